// The draw sheet's side of patch files: the "Connections" and "MidiMap" properties, names
// before a save, and turning stored cable and binding lines back into cables and bindings.
#include "Dialogs.h"
#include "DrawSheet.h"
#include "Errors.h"
#include "ObjectStream.h"

namespace {

const QString OldFormatMessage = QStringLiteral(
    "The (old format) patch is corrupted or incompatible:\rcan't make all the connections, and some "
    "connections will probably be wrong.");
const QString NewFormatMessage =
    QStringLiteral("The (new format) patch is corrupted or incompatible:\rcan't make all the connections.");
const QString MidiMapMessage = QStringLiteral(
    "The patch holds MIDI controller bindings that cannot be made:\rthey were left out.");
const QString UnrecognisedMessage = QStringLiteral(
    "The patch is corrupted or incompatible:\r- this can't be repaired, don't know what will happen next "
    "... crash ?\rThe patch format is not recognised ...");

// A cursor over one cable line: runs of characters from a set, and single separators.
struct TLineCursor {
    const QString &Line;
    qsizetype Pos = 0;

    template <class Pred>
    QString Run(Pred inSet)
    {
        const qsizetype start = Pos;
        while (Pos < Line.size() && inSet(Line[Pos]))
            ++Pos;
        return Line.mid(start, Pos - start);
    }
    // Steps over `c` when it stands at the cursor; false (line to be ignored) otherwise.
    bool Skip(QChar c)
    {
        if (Pos >= Line.size() || Line[Pos] != c)
            return false;
        ++Pos;
        return true;
    }
};

bool IsDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// Connector and module names: letters, digits and "_" (names such as "In1_1" are written too).
bool IsNameChar(QChar c)
{
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || IsDigit(c) || c == u'_';
}

int ToIndex(const QString &digits)
{
    bool ok = false;
    const int v = digits.toInt(&ok);
    if (!ok)
        throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(digits));
    return v;
}

TComponent *ChildAt(const TComponent *owner, int index)
{
    if (!owner || index < 0 || index >= owner->ComponentCount())
        return nullptr;
    return owner->Components(index);
}

} // namespace

void TKorDrawSheet::PrepareForSave()
{
    FModules.clear();
    for (int i = 0; i < ComponentCount(); ++i)
        if (auto *m = qobject_cast<TKorCustomModule *>(Components(i)))
            FModules.push_back(m);
    // Names stay as they are, so that saving twice writes the same text and whatever names a
    // module from outside still finds it. Loading and pasting leave no module without a valid
    // name; this covers modules made in other ways.
    for (TKorCustomModule *m : FModules)
        if (!IsValidIdent(m->Name()) || FindComponent(m->Name()) != m)
            m->SetName(m->GetUniqueName());
}

QList<TComponent *> TKorDrawSheet::StreamedChildren() const
{
    // Creation order (as PrepareForSave leaves the list too), so that a patch written without
    // a save, for a recovery copy, lists its modules as the save would.
    QList<TComponent *> list;
    for (int i = 0; i < ComponentCount(); ++i)
        if (auto *m = qobject_cast<TKorCustomModule *>(Components(i)))
            list << m;
    return list;
}

bool TKorDrawSheet::AcceptsStreamedChild(const TComponentClass &cls) const
{
    return cls.InheritsFrom(TKorCustomModule::staticMetaObject);
}

void TKorDrawSheet::WriteDefinedProperties(TStreamWriter &writer) const
{
    QVariantList lines;
    lines.reserve(CableCount()); // a list that grows moves what it holds, in one piece
    for (int i = 0; i < CableCount(); ++i) {
        writer.Breathe();
        const TKorConnection *c = FConnections.Items(i);
        lines << QStringLiteral("%1.%2 %3.%4")
                     .arg(c->From->Owner()->Name(), c->From->Name(), c->To->Owner()->Name(), c->To->Name());
    }
    writer.WriteProperty(QStringLiteral("Connections"), lines);
    if (FMidiMap.Empty())
        return; // a patch without bindings is written as before there were any
    QVariantList bindings;
    bindings.reserve(qsizetype(FMidiMap.Bindings().size()));
    for (const TMidiBinding &b : FMidiMap.Bindings())
        bindings << FormatMidiMapLine({b.Channel, b.Controller, b.ModuleName(), QString::fromLatin1(b.Property())});
    writer.WriteProperty(QStringLiteral("MidiMap"), bindings);
}

bool TKorDrawSheet::ReadDefinedProperty(const QString &name, const QVariant &value, std::span<const int32_t> elementLines)
{
    const bool cables = name == QLatin1String("Connections");
    if (!cables && name != QLatin1String("MidiMap"))
        return false;
    if (value.typeId() != QMetaType::QVariantList)
        throw EStreamError(QStringLiteral("Invalid property value")); // the reader names the property
    std::optional<QStringList> &pending = cables ? FPendingLines : FPendingMapLines;
    pending.emplace();
    for (const QVariant &item : value.toList()) {
        if (item.typeId() != QMetaType::QString)
            throw EStreamError(QStringLiteral("Invalid property value")); // the reader names the property
        pending->append(item.toString());
    }
    (cables ? FPendingLineNumbers : FPendingMapLineNumbers).assign(elementLines.begin(), elementLines.end());
    return true;
}

namespace {

// The first line at fault, so that the user can find it in the file and mend it.
void ShowBadLine(const QString &message, const QStringList &lines, const std::vector<int32_t> &numbers, qsizetype i)
{
    const QString quoted = u'\'' + lines[i] + u'\'';
    Dialogs().ShowMessage(message + u'\r' +
                          (size_t(i) < numbers.size() ? QStringLiteral("Line %1: %2").arg(numbers[size_t(i)]).arg(quoted)
                                                      : quoted));
}

} // namespace

void TKorDrawSheet::ResolveConnections()
{
    if (!FPendingLines) {
        ResolveMidiMap();
        return;
    }
    const QStringList lines = std::move(*FPendingLines);
    const std::vector<int32_t> numbers = std::move(FPendingLineNumbers);
    FPendingLines.reset();
    FPendingLineNumbers.clear();
    const TBulkEdit bulk(*this);
    bool shown = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        try {
            ParseConnectionLine(lines[i]);
        } catch (const ECorruptPatch &e) {
            if (shown)
                continue;
            shown = true;
            ShowBadLine(e.Message(), lines, numbers, i);
        }
    }
    ResolveMidiMap();
}

void TKorDrawSheet::ResolveMidiMap()
{
    if (!FPendingMapLines)
        return;
    const QStringList lines = std::move(*FPendingMapLines);
    const std::vector<int32_t> numbers = std::move(FPendingMapLineNumbers);
    FPendingMapLines.reset();
    FPendingMapLineNumbers.clear();
    FMidiMap.Clear();
    bool shown = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        TMidiMapText entry;
        auto *module = ParseMidiMapLine(lines[i], entry) ? qobject_cast<TKorCustomModule *>(FindComponent(entry.Module))
                                                         : nullptr;
        if (module && FMidiMap.Bind(*module, entry.Property.toLatin1(), entry.Channel, entry.Controller))
            continue;
        if (!shown)
            ShowBadLine(MidiMapMessage, lines, numbers, i);
        shown = true;
    }
}

void TKorDrawSheet::ParseConnectionLine(const QString &line)
{
    TLineCursor cur{line};
    if (!line.isEmpty() && IsDigit(line[0])) {
        const int a = ToIndex(cur.Run(IsDigit));
        if (!cur.Skip(u'.'))
            throw ECorruptPatch(OldFormatMessage);
        const int b = ToIndex(cur.Run(IsDigit));
        if (!cur.Skip(u' '))
            throw ECorruptPatch(OldFormatMessage);
        const int c = ToIndex(cur.Run(IsDigit));
        if (!cur.Skip(u'.'))
            throw ECorruptPatch(OldFormatMessage);
        const int d = ToIndex(cur.Run(IsDigit));
        auto *from = qobject_cast<TKorConnector *>(ChildAt(qobject_cast<TKorCustomModule *>(ChildAt(this, a)), b));
        auto *to = qobject_cast<TKorConnector *>(ChildAt(qobject_cast<TKorCustomModule *>(ChildAt(this, c)), d));
        if (!from || !to)
            throw ECorruptPatch(OldFormatMessage);
        ToggleConnection(from, to);
        return;
    }
    if (line.isEmpty())
        throw ECorruptPatch(UnrecognisedMessage);
    const QString m1 = cur.Run(IsNameChar);
    if (!cur.Skip(u'.'))
        throw ECorruptPatch(NewFormatMessage);
    const QString k1 = cur.Run(IsNameChar);
    if (!cur.Skip(u' '))
        throw ECorruptPatch(NewFormatMessage);
    const QString m2 = cur.Run(IsNameChar);
    if (!cur.Skip(u'.'))
        throw ECorruptPatch(NewFormatMessage);
    const QString k2 = cur.Run(IsNameChar);

    auto *module1 = qobject_cast<TKorCustomModule *>(FindComponent(m1));
    auto *module2 = qobject_cast<TKorCustomModule *>(FindComponent(m2));
    TComponent *found1 = module1 ? module1->FindComponent(k1) : nullptr;
    auto *from = qobject_cast<TKorConnector *>(found1);
    if (!module1 || !module2 || !from)
        throw ECorruptPatch(NewFormatMessage);
    TComponent *found2 = module2->FindComponent(k2);
    auto *to = qobject_cast<TKorConnector *>(found2);
    if (found2 && !to)
        throw ECorruptPatch(NewFormatMessage);
    ToggleConnection(from, to); // no second connector: nothing is made
}
