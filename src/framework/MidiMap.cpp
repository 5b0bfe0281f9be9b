#include "MidiMap.h"

#include "MidiMsg.h"

#include <QStringList>
#include <cstring>

namespace {

constexpr uint8_t ControlChange = 0xB;

bool ValidNumbers(int channel, int controller)
{
    return channel >= 1 && channel <= 16 && controller >= 0 && controller <= 127;
}

// Digits only: toInt alone would take signs and blanks.
bool ToNumber(const QString &text, int &value)
{
    if (text.isEmpty() || text.size() > 3)
        return false;
    for (QChar c : text)
        if (c < u'0' || c > u'9')
            return false;
    value = text.toInt();
    return true;
}

} // namespace

bool ParseMidiMapLine(const QString &line, TMidiMapText &out)
{
    const QStringList parts = line.split(u' ');
    if (parts.size() != 3)
        return false;
    TMidiMapText entry;
    if (!ToNumber(parts[0], entry.Channel) || !ToNumber(parts[1], entry.Controller) ||
        !ValidNumbers(entry.Channel, entry.Controller))
        return false;
    const qsizetype dot = parts[2].lastIndexOf(u'.');
    if (dot <= 0 || dot == parts[2].size() - 1)
        return false;
    entry.Module = parts[2].left(dot);
    entry.Property = parts[2].mid(dot + 1);
    out = std::move(entry);
    return true;
}

QString FormatMidiMapLine(const TMidiMapText &entry)
{
    return QStringLiteral("%1 %2 %3.%4").arg(entry.Channel).arg(entry.Controller).arg(entry.Module, entry.Property);
}

QString ControlCaption(const char *property)
{
    QString name = QString::fromLatin1(property);
    for (const char *prefix : {"Knob", "Button", "But"})
        if (name.startsWith(QLatin1String(prefix)) && name.size() > qsizetype(strlen(prefix))) {
            name.remove(0, qsizetype(strlen(prefix)));
            break;
        }
    for (const char *suffix : {"Value", "Down"})
        if (name.endsWith(QLatin1String(suffix)) && name.size() > qsizetype(strlen(suffix))) {
            name.chop(qsizetype(strlen(suffix)));
            break;
        }
    return name;
}

int TKorMidiMap::IndexOf(const TKorCustomModule *module, QByteArrayView property) const
{
    for (size_t i = 0; i < FBindings.size(); ++i)
        if (FBindings[i].Ref.Module == module && property == QByteArrayView(FBindings[i].Property()))
            return int(i);
    return -1;
}

const TMidiBinding *TKorMidiMap::BindingOf(const TKorCustomDetail *control) const
{
    for (const TMidiBinding &b : FBindings)
        if (b.Ref.Control == control)
            return &b;
    return nullptr;
}

bool TKorMidiMap::Bind(TKorCustomModule &module, QByteArrayView property, int channel, int controller, int at)
{
    TMidiBinding binding;
    if (!ValidNumbers(channel, controller) || !FindControl(module, property, binding.Ref))
        return false;
    binding.Channel = channel;
    binding.Controller = controller;
    if (const int i = IndexOf(&module, property); i >= 0)
        FBindings[size_t(i)] = binding;
    else if (at < 0 || size_t(at) >= FBindings.size())
        FBindings.push_back(binding);
    else
        FBindings.insert(FBindings.begin() + at, binding);
    return true;
}

int TKorMidiMap::Forget(const TKorCustomModule *module, QByteArrayView property)
{
    const int i = IndexOf(module, property);
    if (i >= 0)
        FBindings.erase(FBindings.begin() + i);
    return i;
}

void TKorMidiMap::ForgetModule(const TKorCustomModule *module)
{
    std::erase_if(FBindings, [module](const TMidiBinding &b) { return b.Ref.Module == module; });
}

bool TKorMidiMap::Apply(uint32_t message, bool pickUp)
{
    const TShortMsgParts m = SplitShortMsg(message);
    if (m.Command != ControlChange)
        return false;
    bool changed = false;
    for (TMidiBinding &b : FBindings) {
        if (b.Channel != m.Channel + 1 || b.Controller != m.Data1)
            continue;
        b.Ref.Control->ControlRange(b.Ref.Range);
        const int32_t target = ControllerValue(b.Ref.Range, m.Data2);
        if (pickUp) {
            const int32_t current = ControlValue(b.Ref);
            if (b.Engaged && current != b.Applied)
                b.Engaged = false; // moved by the mouse, an undo, another controller
            if (!b.Engaged) {
                const bool passed = b.HasLast && ((b.LastTarget < current && target > current) ||
                                                  (b.LastTarget > current && target < current));
                b.Engaged = target == current || passed;
            }
        } else {
            b.Engaged = true;
        }
        b.LastTarget = target;
        b.HasLast = true;
        if (!b.Engaged)
            continue;
        changed = SetControlValue(b.Ref, target) || changed;
        b.Applied = ControlValue(b.Ref);
    }
    return changed;
}
