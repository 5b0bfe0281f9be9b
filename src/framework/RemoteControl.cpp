#include "RemoteControl.h"

#include <QMetaProperty>
#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

bool Describe(TKorCustomModule &module, TKorCustomDetail &detail, TControlRef &ref)
{
    TControlRange range;
    if (!detail.Property() || !detail.ControlRange(range))
        return false;
    const int index = module.metaObject()->indexOfProperty(detail.Property());
    if (index < 0)
        return false;
    ref = {&module, &detail, index, range};
    return true;
}

} // namespace

bool FindControl(TKorCustomModule &module, QByteArrayView property, TControlRef &ref)
{
    for (QObject *child : module.children()) {
        auto *detail = qobject_cast<TKorCustomDetail *>(child);
        if (detail && detail->Property() && property == QByteArrayView(detail->Property()))
            return Describe(module, *detail, ref);
    }
    return false;
}

std::vector<TControlRef> ModuleControls(TKorCustomModule &module)
{
    std::vector<TControlRef> controls;
    for (QObject *child : module.children()) {
        auto *detail = qobject_cast<TKorCustomDetail *>(child);
        TControlRef ref;
        if (detail && Describe(module, *detail, ref))
            controls.push_back(ref);
    }
    return controls;
}

int32_t SteppedValue(const TControlRange &range, int64_t value)
{
    if (range.Button)
        return value != 0 ? 1 : 0;
    const int64_t lo = std::min(range.Min, range.Max), hi = std::max(range.Min, range.Max);
    if (value >= hi)
        return int32_t(hi);
    if (value <= lo)
        return int32_t(lo);
    const int64_t step = std::max<int64_t>(1, range.Step);
    const int64_t steps = (value - lo + step / 2) / step; // to the nearest step, halves up
    return int32_t(std::min(hi, lo + steps * step));
}

int32_t ControllerValue(const TControlRange &range, int v)
{
    v = std::clamp(v, 0, 127);
    if (range.Button)
        return v >= 64 ? 1 : 0;
    if (v == 127)
        return SteppedValue(range, range.Max);
    const double span = double(range.Max) - double(range.Min);
    return SteppedValue(range, int64_t(std::llround(double(range.Min) + v * span / 127.0)));
}

int32_t ControlValue(const TControlRef &ref)
{
    const QVariant v = ref.Module->metaObject()->property(ref.PropertyIndex).read(ref.Module);
    return ref.Range.Button ? (v.toBool() ? 1 : 0) : v.toInt();
}

bool SetControlValue(const TControlRef &ref, int64_t value)
{
    const int32_t next = SteppedValue(ref.Range, value);
    if (next == ControlValue(ref))
        return false;
    const QMetaProperty property = ref.Module->metaObject()->property(ref.PropertyIndex);
    property.write(ref.Module, ref.Range.Button ? QVariant(next != 0) : QVariant(next));
    return ControlValue(ref) == next;
}
