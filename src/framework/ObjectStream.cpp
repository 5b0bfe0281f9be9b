#include "ObjectStream.h"

#include "Errors.h"

#include <QMetaProperty>
#include <vector>

// Binary layout (little endian):
//   stream   = "KPF1" object
//   object   = 'O' string(name) string(class) { 'P' string(property) value } 0
//              { object } 0
//   value    = 1 int32 | 2 (False) | 3 (True) | 4 string | 5 { value } 0
//   string   = length (7 bits a byte, low first, high bit = more), then that many UTF-8 bytes
namespace {

constexpr char Signature[] = "KPF1";
constexpr int MaxDepth = 64; // objects and lists nested deeper than this are refused
enum : uint8_t { vaEnd = 0, vaInt = 1, vaFalse = 2, vaTrue = 3, vaString = 4, vaList = 5 };
constexpr uint8_t TagObject = 'O', TagProperty = 'P';

void PutU32(QByteArray &out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.append(char((v >> (8 * i)) & 0xFF));
}

void PutString(QByteArray &out, const QString &s)
{
    const QByteArray utf8 = s.toUtf8();
    uint32_t n = uint32_t(utf8.size());
    do {
        out.append(char((n & 0x7F) | (n > 0x7F ? 0x80 : 0)));
        n >>= 7;
    } while (n);
    out.append(utf8);
}

// Bounds-checked reading of the binary form.
class TBinaryReader {
public:
    explicit TBinaryReader(const QByteArray &data) : FData(data) {}

    uint8_t Byte()
    {
        Need(1);
        return uint8_t(FData[FPos++]);
    }
    uint8_t PeekByte()
    {
        Need(1);
        return uint8_t(FData[FPos]);
    }
    uint32_t U32()
    {
        Need(4);
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t(uint8_t(FData[FPos++])) << (8 * i);
        return v;
    }
    QString String()
    {
        uint32_t n = 0;
        for (int shift = 0;; shift += 7) {
            const uint8_t b = Byte();
            if (shift > 28 || (shift == 28 && b > 0x0F))
                Fail();
            n |= uint32_t(b & 0x7F) << shift;
            if (!(b & 0x80))
                break;
        }
        if (n > uint32_t(FData.size() - FPos))
            Fail();
        const QString s = QString::fromUtf8(FData.constData() + FPos, qsizetype(n));
        FPos += n;
        return s;
    }
    void Signature()
    {
        Need(4);
        if (FData.mid(FPos, 4) != ::Signature)
            throw EStreamError(QStringLiteral("Invalid stream format"));
        FPos += 4;
    }
    QVariant Value(int depth)
    {
        if (depth > MaxDepth)
            throw EStreamError(QStringLiteral("Invalid stream format: nested too deeply"));
        switch (Byte()) {
        case vaInt: return QVariant(int(int32_t(U32())));
        case vaFalse: return QVariant(false);
        case vaTrue: return QVariant(true);
        case vaString: return QVariant(String());
        case vaList: {
            QVariantList list;
            while (PeekByte() != vaEnd)
                list << Value(depth + 1);
            Byte();
            return list;
        }
        default: Fail();
        }
    }
    bool AtEnd() const { return FPos == FData.size(); }
    [[noreturn]] void Fail() { throw EStreamError(QStringLiteral("Invalid stream format")); }

private:
    void Need(qsizetype n)
    {
        if (FData.size() - FPos < n)
            Fail();
    }
    const QByteArray &FData;
    qsizetype FPos = 0;
};

bool IsIntegral(const QVariant &v)
{
    return v.typeId() == QMetaType::Int;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Writing

namespace {

void PutValue(QByteArray &out, const QVariant &v, int depth)
{
    if (depth > MaxDepth)
        throw EStreamError(QStringLiteral("Invalid stream format: nested too deeply"));
    switch (v.typeId()) {
    case QMetaType::Int:
        out.append(char(vaInt));
        PutU32(out, uint32_t(v.toInt()));
        break;
    case QMetaType::Bool: out.append(char(v.toBool() ? vaTrue : vaFalse)); break;
    case QMetaType::QString:
        out.append(char(vaString));
        PutString(out, v.toString());
        break;
    case QMetaType::QVariantList:
        out.append(char(vaList));
        for (const QVariant &item : v.toList())
            PutValue(out, item, depth + 1);
        out.append(char(vaEnd));
        break;
    case QMetaType::QStringList:
        PutValue(out, QVariant(QVariantList(v.toStringList().cbegin(), v.toStringList().cend())), depth);
        break;
    default:
        throw EStreamError(QStringLiteral("Unsupported property type %1").arg(QString::fromLatin1(v.typeName())));
    }
}

} // namespace

QByteArray TObjectSnapshot::Binary() const
{
    QByteArray out(Signature, 4);
    for (const TItem &item : FItems) {
        switch (item.Kind) {
        case TKind::Object:
            out.append(char(TagObject));
            PutString(out, item.Name);
            PutString(out, QString::fromLatin1(item.Latin1));
            break;
        case TKind::Property:
            out.append(char(TagProperty));
            PutString(out, item.Latin1 ? QString::fromLatin1(item.Latin1) : item.Name);
            PutValue(out, item.Value, 0);
            break;
        case TKind::Children:
        case TKind::End: out.append(char(vaEnd)); break;
        }
    }
    return out;
}

void TStreamWriter::WriteProperty(const QString &name, const QVariant &value)
{
    FOut.FItems.push_back({TObjectSnapshot::TKind::Property, nullptr, name, value});
}

void TStreamWriter::WriteObject(const TComponent &c)
{
    using TKind = TObjectSnapshot::TKind;
    const QMetaObject *meta = c.metaObject();
    FOut.FItems.push_back({TKind::Object, meta->className(), c.Name(), {}});
    // Index 0 is QObject's objectName: the name travels in the header instead.
    for (int i = QObject::staticMetaObject.propertyCount(); i < meta->propertyCount(); ++i) {
        const QMetaProperty p = meta->property(i);
        if (p.isWritable() && c.IsStored(p.name()))
            FOut.FItems.push_back({TKind::Property, p.name(), {}, p.read(&c)});
    }
    c.WriteDefinedProperties(*this);
    FOut.FItems.push_back({TKind::Children, nullptr, {}, {}});
    for (const TComponent *child : c.StreamedChildren()) {
        Breathe();
        WriteObject(*child);
    }
    FOut.FItems.push_back({TKind::End, nullptr, {}, {}});
}

TObjectSnapshot TakeSnapshot(const TComponent &root, const std::function<void()> &breathe)
{
    TObjectSnapshot snapshot;
    TStreamWriter(snapshot, breathe).WriteObject(root);
    return snapshot;
}

QByteArray WriteComponent(const TComponent &root)
{
    return TakeSnapshot(root).Binary();
}

// ---------------------------------------------------------------------------------------------
// Reading into components

namespace {

class TComponentReader {
public:
    TComponentReader(const QByteArray &binary, const TTextLines *lines) : FIn(binary), FLines(lines) {}

    TComponent *ReadRoot(TComponent *root, TComponent *owner)
    {
        TComponent *created = nullptr;
        try {
            FIn.Signature();
            if (FIn.Byte() != TagObject)
                FIn.Fail();
            const size_t item = FItem++;
            const QString name = FIn.String(), className = FIn.String();
            const QString label = name.isEmpty() ? className : name;
            Located(item, label, [&] {
                const TComponentClass *cls = FindClass(className);
                if (!cls)
                    throw EClassNotFound(QStringLiteral("Class %1 not found").arg(className));
                if (root) {
                    if (!root->metaObject()->inherits(cls->Meta))
                        throw EStreamError(
                            QStringLiteral("The stream holds a %1, not a %2").arg(className, root->ClassName()));
                } else {
                    root = created = CreateComponent(*cls, owner);
                    if (!name.isEmpty())
                        root->SetName(name);
                }
            });
            ReadBody(root, item, true, 0);
            if (!FIn.AtEnd())
                FIn.Fail();
            for (const auto &loaded : FLoaded) {
                TComponent *c = loaded.first;
                Located(loaded.second, Label(c), [c] { c->Loaded(); });
            }
        } catch (Exception &e) {
            // A malformed binary form names no item: it gets the line of the last one read.
            if (FLines && !FPlaced)
                e.Prepend(LinePrefix(FItem > 0 ? FItem - 1 : 0));
            Free(created);
            throw;
        } catch (...) {
            Free(created);
            throw;
        }
        return root;
    }

private:
    static QString Label(const TComponent *c) { return c->Name().isEmpty() ? c->ClassName() : c->Name(); }

    QString LinePrefix(size_t item) const
    {
        return QStringLiteral("%1: ").arg(FLines && item < FLines->size() ? (*FLines)[item] : 0);
    }

    // Runs `step` for item `item`, which concerns `what` ("Osc1" or "Osc1.Top"); with lines,
    // an error it raises is prefixed with the line and `what`, keeping its class.
    template <class F>
    void Located(size_t item, const QString &what, F step)
    {
        try {
            step();
        } catch (Exception &e) {
            if (FLines && !FPlaced) {
                e.Prepend(LinePrefix(item) + what + QStringLiteral(": "));
                FPlaced = true;
            }
            throw;
        }
    }

    // An error of reading a property: "Error reading Osc1.Top: why", or with lines
    // "12: Osc1.Top: why".
    [[noreturn]] void PropertyError(size_t item, const QString &what, const QString &why)
    {
        if (FLines) {
            FPlaced = true;
            throw EStreamError(LinePrefix(item) + what + QStringLiteral(": ") + why);
        }
        throw EStreamError(QStringLiteral("Error reading %1: %2").arg(what, why));
    }

    void ReadBody(TComponent *object, size_t objectItem, bool isRoot, int depth)
    {
        if (depth > MaxDepth)
            throw EStreamError(QStringLiteral("Invalid stream format: nested too deeply"));
        FLoaded.emplace_back(object, objectItem);
        while (FIn.PeekByte() == TagProperty) {
            FIn.Byte();
            const size_t item = FItem++;
            const QString property = FIn.String();
            const QVariant value = FIn.Value(0);
            SetProperty(object, item, property, value, isRoot);
        }
        if (FIn.Byte() != vaEnd)
            FIn.Fail();
        while (FIn.PeekByte() == TagObject) {
            FIn.Byte();
            const size_t item = FItem++;
            const QString name = FIn.String(), className = FIn.String();
            TComponent *child = nullptr;
            Located(item, name.isEmpty() ? className : name, [&] {
                const TComponentClass *cls = FindClass(className);
                if (!cls)
                    throw EClassNotFound(QStringLiteral("Class %1 not found").arg(className));
                // Checked before the child exists: an object the owner would never write back
                // must not be read and then silently dropped.
                if (!object->AcceptsStreamedChild(*cls))
                    throw EStreamError(QStringLiteral("%1 cannot hold a %2").arg(Label(object), className));
                child = CreateComponent(*cls, object);
                child->SetName(name);
            });
            ReadBody(child, item, false, depth + 1);
        }
        if (FIn.Byte() != vaEnd)
            FIn.Fail();
    }

    void SetProperty(TComponent *object, size_t item, const QString &property, const QVariant &value, bool isRoot)
    {
        const QString what = Label(object) + u'.' + property;
        const QByteArray latin = property.toLatin1();
        const int index = latin == "objectName" ? -1 : object->metaObject()->indexOfProperty(latin.constData());
        if (index < 0) {
            bool taken = false;
            const std::span<const int32_t> elementLines = FLines ? FLines->Elements(item) : std::span<const int32_t>();
            Setter(item, what, [&] { taken = object->ReadDefinedProperty(property, value, elementLines); });
            if (taken)
                return;
            if (isRoot && IsIntegral(value))
                return; // placement lines of earlier versions carry nothing for the patch
            PropertyError(item, what, QStringLiteral("Property %1 does not exist").arg(property));
        }
        const QMetaProperty p = object->metaObject()->property(index);
        if (!p.isWritable())
            PropertyError(item, what, QStringLiteral("Property %1 does not exist").arg(property));
        if (value.typeId() != p.metaType().id())
            PropertyError(item, what, QStringLiteral("Invalid property value"));
        Setter(item, what, [&] { p.write(object, value); });
    }

    // Runs a setter: its error names the property ("Error reading Osc1.Top: Integer overflow"
    // without lines).
    template <class F>
    void Setter(size_t item, const QString &what, F step)
    {
        if (FLines)
            return Located(item, what, step);
        try {
            step();
        } catch (Exception &e) {
            e.Prepend(QStringLiteral("Error reading %1: ").arg(what));
            throw;
        }
    }

    TBinaryReader FIn;
    const TTextLines *FLines; // null: errors carry no lines
    size_t FItem = 0;         // items (object headers and properties) read so far
    bool FPlaced = false;     // the error on its way out already names its place
    std::vector<std::pair<TComponent *, size_t>> FLoaded; // read order, with each object's item
};

} // namespace

TComponent *ReadComponent(const QByteArray &binary, TComponent *root, TComponent *owner, const TTextLines *lines)
{
    return TComponentReader(binary, lines).ReadRoot(root, owner);
}

// ---------------------------------------------------------------------------------------------
// Binary -> text

namespace {

constexpr int LineLength = 64; // string characters per line before a " +" continuation

class TTextWriter {
public:
    explicit TTextWriter(const QByteArray &binary) : FIn(binary) {}

    QByteArray Convert()
    {
        FIn.Signature();
        if (FIn.Byte() != TagObject)
            FIn.Fail();
        Object(0);
        if (!FIn.AtEnd())
            FIn.Fail();
        return FOut;
    }

private:
    void Indent(int level) { FOut.append(QByteArray(level * 2, ' ')); }
    void NewLine(int level)
    {
        FOut.append("\r\n");
        Indent(level);
    }

    void Object(int level)
    {
        if (level > MaxDepth)
            FIn.Fail();
        const QString name = FIn.String(), className = FIn.String();
        Indent(level);
        FOut.append("object ");
        if (!name.isEmpty())
            FOut.append(name.toUtf8()).append(": ");
        FOut.append(className.toUtf8()).append("\r\n");
        while (FIn.PeekByte() == TagProperty) {
            FIn.Byte();
            Indent(level + 1);
            FOut.append(FIn.String().toUtf8()).append(" = ");
            Value(FIn.Value(0), level + 1);
            FOut.append("\r\n");
        }
        if (FIn.Byte() != vaEnd)
            FIn.Fail();
        while (FIn.PeekByte() == TagObject) {
            FIn.Byte();
            Object(level + 1);
        }
        if (FIn.Byte() != vaEnd)
            FIn.Fail();
        Indent(level);
        FOut.append("end\r\n");
    }

    void Value(const QVariant &v, int level)
    {
        switch (v.typeId()) {
        case QMetaType::Int: FOut.append(QByteArray::number(v.toInt())); break;
        case QMetaType::Bool: FOut.append(v.toBool() ? "True" : "False"); break;
        case QMetaType::QString: String(v.toString(), level + 1); break;
        default: { // list
            FOut.append('(');
            for (const QVariant &item : v.toList()) {
                NewLine(level + 1);
                Value(item, level + 1);
            }
            FOut.append(')');
        }
        }
    }

    // Printable ASCII runs in apostrophes, everything else as #code (UTF-16 code units).
    // A string longer than a line starts on a new, deeper line and breaks every 64 characters.
    void String(const QString &s, int level)
    {
        if (s.isEmpty()) {
            FOut.append("''");
            return;
        }
        const qsizetype n = s.size();
        if (n > LineLength)
            NewLine(level);
        // Control characters, DEL (127) among them, are written as codes.
        auto plain = [](QChar c) { return c.unicode() >= ' ' && c.unicode() < 127 && c != u'\''; };
        qsizetype i = 0, lineStart = 0;
        while (i < n) {
            bool lineBreak = false;
            if (plain(s[i])) {
                const qsizetype j = i;
                do
                    ++i;
                while (i < n && plain(s[i]) && i - lineStart < LineLength);
                lineBreak = i - lineStart >= LineLength;
                FOut.append('\'').append(s.mid(j, i - j).toLatin1()).append('\'');
            } else {
                FOut.append('#').append(QByteArray::number(s[i].unicode()));
                ++i;
                lineBreak = i - lineStart >= LineLength;
            }
            if (lineBreak && i < n) {
                FOut.append(" +");
                NewLine(level);
                lineStart = i;
            }
        }
    }

    TBinaryReader FIn;
    QByteArray FOut;
};

} // namespace

QByteArray ObjectBinaryToText(const QByteArray &binary)
{
    return TTextWriter(binary).Convert();
}

// ---------------------------------------------------------------------------------------------
// Text -> binary

namespace {

class TTextParser {
public:
    TTextParser(const QByteArray &text, TTextLines *lines) : FText(text), FLines(lines) { Next(); }

    QByteArray Convert()
    {
        QByteArray out(Signature, 4);
        FOut = &out;
        Object(0);
        if (FKind != TToken::End)
            Error(QStringLiteral("End of file expected"));
        return out;
    }

private:
    enum class TToken { End, Ident, Integer, String, Symbol };

    [[noreturn]] void Error(const QString &what) const
    {
        if (FLines)
            throw EStreamError(QStringLiteral("%1: %2").arg(FTokenLine).arg(what));
        throw EStreamError(QStringLiteral("%1 on line %2").arg(what).arg(FTokenLine));
    }

    // Notes the line of the item (object header or property) about to be written.
    void NoteLine(int line)
    {
        if (FLines)
            FLines->push_back(line);
    }

    void SkipBlanks()
    {
        while (FPos < FText.size()) {
            const char c = FText[FPos];
            if (c == '\n')
                ++FLine;
            else if (c != ' ' && c != '\t' && c != '\r')
                break;
            ++FPos;
        }
    }

    static bool IdentStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
    static bool Digit(char c) { return c >= '0' && c <= '9'; }

    // Reads one string piece sequence: 'runs' and #codes written next to each other.
    QString StringPieces()
    {
        QString s;
        while (FPos < FText.size() && (FText[FPos] == '\'' || FText[FPos] == '#')) {
            if (FText[FPos] == '#') {
                ++FPos;
                const qsizetype start = FPos;
                while (FPos < FText.size() && Digit(FText[FPos]) && FPos - start < 6)
                    ++FPos;
                bool ok = false;
                const uint code = FText.mid(start, FPos - start).toUInt(&ok);
                if (!ok || code > 0xFFFF)
                    Error(QStringLiteral("Invalid character code"));
                s.append(QChar(char16_t(code)));
                continue;
            }
            ++FPos;
            QByteArray run;
            for (;;) {
                if (FPos >= FText.size() || FText[FPos] == '\n' || FText[FPos] == '\r')
                    Error(QStringLiteral("Unterminated string"));
                if (FText[FPos] == '\'') {
                    if (FPos + 1 < FText.size() && FText[FPos + 1] == '\'') { // '' stands for '
                        run.append('\'');
                        FPos += 2;
                        continue;
                    }
                    ++FPos;
                    break;
                }
                run.append(FText[FPos++]);
            }
            s.append(QString::fromUtf8(run));
        }
        return s;
    }

    void Next()
    {
        SkipBlanks();
        FTokenLine = FLine;
        FToken.clear();
        if (FPos >= FText.size()) {
            FKind = TToken::End;
            return;
        }
        const char c = FText[FPos];
        if (IdentStart(c)) {
            const qsizetype start = FPos;
            while (FPos < FText.size() && (IdentStart(FText[FPos]) || Digit(FText[FPos]) || FText[FPos] == '.'))
                ++FPos;
            FToken = QString::fromLatin1(FText.mid(start, FPos - start));
            FKind = TToken::Ident;
        } else if (Digit(c) || (c == '-' && FPos + 1 < FText.size() && Digit(FText[FPos + 1]))) {
            const qsizetype start = FPos++;
            while (FPos < FText.size() && Digit(FText[FPos]))
                ++FPos;
            FToken = QString::fromLatin1(FText.mid(start, FPos - start));
            FKind = TToken::Integer;
        } else if (c == '\'' || c == '#') {
            FString = StringPieces();
            FKind = TToken::String;
        } else {
            FToken = QString(QLatin1Char(c));
            ++FPos;
            FKind = TToken::Symbol;
        }
    }

    bool IsSymbol(char c) const { return FKind == TToken::Symbol && FToken == QLatin1Char(c); }
    bool IsWord(const char *w) const
    {
        return FKind == TToken::Ident && FToken.compare(QLatin1String(w), Qt::CaseInsensitive) == 0;
    }
    QString Ident()
    {
        if (FKind != TToken::Ident)
            Error(QStringLiteral("Identifier expected"));
        QString s = FToken;
        Next();
        return s;
    }
    void Expect(char c)
    {
        if (!IsSymbol(c))
            Error(QStringLiteral("'%1' expected").arg(QLatin1Char(c)));
        Next();
    }

    void Object(int depth)
    {
        if (depth > MaxDepth)
            Error(QStringLiteral("Objects nested too deeply"));
        if (!IsWord("object"))
            Error(QStringLiteral("'object' expected"));
        NoteLine(FTokenLine);
        Next();
        QString name, className = Ident();
        if (IsSymbol(':')) {
            Next();
            name = className;
            className = Ident();
        }
        FOut->append(char(TagObject));
        PutString(*FOut, name);
        PutString(*FOut, className);
        while (FKind == TToken::Ident && !IsWord("object") && !IsWord("end")) {
            FOut->append(char(TagProperty));
            NoteLine(FTokenLine);
            PutString(*FOut, Ident());
            Expect('=');
            Value(0);
        }
        FOut->append(char(vaEnd));
        while (IsWord("object"))
            Object(depth + 1);
        FOut->append(char(vaEnd));
        if (!IsWord("end"))
            Error(QStringLiteral("'end' expected"));
        Next();
    }

    void Value(int depth)
    {
        if (depth > MaxDepth)
            Error(QStringLiteral("Lists nested too deeply"));
        switch (FKind) {
        case TToken::Integer: {
            bool ok = false;
            const qlonglong v = FToken.toLongLong(&ok);
            if (!ok || v < INT32_MIN || v > INT32_MAX)
                Error(QStringLiteral("Integer value out of range"));
            FOut->append(char(vaInt));
            PutU32(*FOut, uint32_t(int32_t(v)));
            Next();
            return;
        }
        case TToken::String: {
            QString s = FString;
            Next();
            while (IsSymbol('+')) { // continuation of a long string
                Next();
                if (FKind != TToken::String)
                    Error(QStringLiteral("String expected"));
                s += FString;
                Next();
            }
            FOut->append(char(vaString));
            PutString(*FOut, s);
            return;
        }
        case TToken::Ident:
            if (IsWord("True") || IsWord("False")) {
                FOut->append(char(IsWord("True") ? vaTrue : vaFalse));
                Next();
                return;
            }
            Error(QStringLiteral("Invalid property value"));
        case TToken::Symbol:
            if (IsSymbol('(')) {
                Next();
                FOut->append(char(vaList));
                while (!IsSymbol(')')) {
                    if (FKind == TToken::End)
                        Error(QStringLiteral("')' expected"));
                    if (FLines && depth == 0)
                        FLines->AddElement(FTokenLine);
                    Value(depth + 1);
                }
                Next();
                FOut->append(char(vaEnd));
                return;
            }
            Error(QStringLiteral("Invalid property value"));
        case TToken::End: Error(QStringLiteral("Unexpected end of file"));
        }
    }

    const QByteArray &FText;
    TTextLines *FLines; // null: errors name the line at their end
    QByteArray *FOut = nullptr;
    qsizetype FPos = 0;
    int FLine = 1, FTokenLine = 1;
    TToken FKind = TToken::End;
    QString FToken, FString;
};

} // namespace

QByteArray ObjectTextToBinary(const QByteArray &text, TTextLines *lines)
{
    if (lines)
        lines->clear();
    return TTextParser(text, lines).Convert();
}
