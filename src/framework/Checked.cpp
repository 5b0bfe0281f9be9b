#include "Checked.h"

#include "Errors.h"


namespace Checked {

void RaiseOverflow()
{
    throw EIntOverflow(QStringLiteral("Integer overflow"));
}

void RaiseZeroDivide()
{
    throw EZeroDivide(QStringLiteral("Division by zero"));
}

} // namespace Checked
