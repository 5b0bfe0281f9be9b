#include "Checked.h"

#include "Errors.h"

#include <cfenv>
#include <cmath>

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

int32_t Round(double x)
{
    // nearbyint follows the current rounding mode, which Korvane never changes from
    // round-to-nearest-even; checking the range on the rounded value keeps 2147483647.4 legal.
    const double r = std::nearbyint(x);
    if (!(r >= -2147483648.0 && r <= 2147483647.0))
        Checked::RaiseOverflow();
    return static_cast<int32_t>(r);
}
