#include "Errors.h"

void AssertionFailure(const QString &text, int line)
{
    throw EAssertionFailed(QStringLiteral("%1 (Modules, line %2)").arg(text).arg(line));
}

void CheckBounds(int Value, int Lo, int Hi, const QString &Where, const QString &ParamName)
{
    if (Value >= Lo && Value <= Hi)
        return;
    KOR_FAIL(QStringLiteral("%1 : Parameter %2 (%3) out of bounds [%4,%5]")
                 .arg(Where, ParamName)
                 .arg(Value)
                 .arg(Lo)
                 .arg(Hi));
}

EFileError::EFileError(const QString &message, const QString &path, const QString &reason)
    : Exception(message), FPath(path), FReason(reason)
{
}
