#include "Globals.h"

#include "Errors.h"
#include "FileWriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

namespace {

const QString SettingsSection = QStringLiteral("Settings");
const QString ColorsSection = QStringLiteral("Colors");
const QString TimingSection = QStringLiteral("Timing");
const QString RecentSection = QStringLiteral("Recent");

constexpr int32_t DefaultResolution = 20;

struct TColorKey {
    const char *Key;
    std::atomic<TColor> *Setting;
};
const TColorKey ColorKeys[] = {
    {"ModuleColor", &ModuleColor}, {"AsymmetricColor", &AsymmetricColor},
    {"SymmetricColor", &SymmetricColor}, {"LogicColor", &LogicColor},
    {"NeuronColor", &NeuronColor}, {"KnobColor", &KnobColor},
    {"LedColorOn", &LedColorOn}, {"LedColorOff", &LedColorOff},
    {"ViewerColor", &ViewerColor}, {"ScopeColor", &ScopeColor},
};

// The key=value lines of an ini file, looked up by section and key without regard to letter
// case. Lines outside a section, comments (";" or "#") and lines without "=" are ignored; where
// a key appears twice, the first one counts. A value loses its outer blanks, and one pair of
// double quotes around it, which is how a value that needs its outer blanks is written.
class TIniFile {
public:
    // Empty when the file is missing or cannot be read.
    static TIniFile Load(const QString &fileName)
    {
        TIniFile ini;
        QFile f(fileName);
        if (!f.open(QIODevice::ReadOnly))
            return ini;
        QString text = QString::fromUtf8(f.readAll());
        if (text.startsWith(QChar(0xFEFF)))
            text.remove(0, 1);
        QString section;
        bool inSection = false;
        for (QStringView line : QStringView(text).split(u'\n')) {
            line = line.trimmed(); // also the "\r" of a CR LF file
            if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#'))
                continue;
            if (line.startsWith(u'[')) {
                const qsizetype close = line.indexOf(u']');
                section = line.mid(1, close < 0 ? -1 : close - 1).trimmed().toString();
                inSection = true;
                continue;
            }
            const qsizetype eq = line.indexOf(u'=');
            if (!inSection || eq < 0)
                continue;
            QStringView value = line.mid(eq + 1).trimmed();
            if (value.size() >= 2 && value.startsWith(u'"') && value.endsWith(u'"'))
                value = value.mid(1, value.size() - 2);
            ini.FEntries.push_back({section, line.left(eq).trimmed().toString(), value.toString()});
        }
        return ini;
    }

    std::optional<QString> Value(const QString &section, const QString &key) const
    {
        for (const TEntry &e : FEntries)
            if (e.Section.compare(section, Qt::CaseInsensitive) == 0 && e.Key.compare(key, Qt::CaseInsensitive) == 0)
                return e.Value;
        return std::nullopt;
    }

    QString ReadString(const QString &section, const QString &key, const QString &def) const
    {
        return Value(section, key).value_or(def);
    }

    // A decimal integer in [lo, hi]; anything else gives the default.
    int64_t ReadNumber(const QString &section, const QString &key, int64_t def, int64_t lo, int64_t hi) const
    {
        const std::optional<QString> v = Value(section, key);
        bool ok = false;
        const qlonglong n = v ? v->toLongLong(&ok, 10) : 0;
        return ok && n >= lo && n <= hi ? n : def;
    }

    int32_t ReadInteger(const QString &section, const QString &key, int32_t def) const
    {
        return int32_t(ReadNumber(section, key, def, std::numeric_limits<int32_t>::min(),
                                  std::numeric_limits<int32_t>::max()));
    }

    // Any integer but 0 is true; "true" and "false" are understood as well.
    bool ReadBool(const QString &section, const QString &key, bool def) const
    {
        const QString v = ReadString(section, key, QString());
        if (v.compare(u"true", Qt::CaseInsensitive) == 0)
            return true;
        if (v.compare(u"false", Qt::CaseInsensitive) == 0)
            return false;
        return ReadNumber(section, key, def ? 1 : 0, std::numeric_limits<int64_t>::min(),
                          std::numeric_limits<int64_t>::max()) != 0;
    }

    // 32 bits written signed or unsigned.
    TColor ReadColor(const QString &section, const QString &key, TColor def) const
    {
        return TColor(ReadNumber(section, key, def, std::numeric_limits<int32_t>::min(),
                                 std::numeric_limits<uint32_t>::max()));
    }

private:
    struct TEntry {
        QString Section, Key, Value;
    };
    std::vector<TEntry> FEntries;
};

// Builds the text of an ini file in the order the keys are written.
class TIniWriter {
public:
    void Section(const QString &name)
    {
        if (!FText.isEmpty())
            FText += u'\n';
        FText += u'[' + name + QStringLiteral("]\n");
    }
    void Write(const QString &key, const QString &value) { FText += key + u'=' + value + u'\n'; }
    void WriteString(const QString &key, const QString &value) { Write(key, Quoted(value)); }
    void WriteInteger(const QString &key, int64_t value) { Write(key, QString::number(value)); }
    void WriteBool(const QString &key, bool value) { Write(key, value ? QStringLiteral("1") : QStringLiteral("0")); }
    const QString &Text() const { return FText; }

private:
    // A value is written as it is, unless reading would change it: outer blanks and outer
    // double quotes are kept by quoting. A line break would cut the value and start a line of
    // its own (another key, even), so such a value is not written at all.
    static QString Quoted(const QString &value)
    {
        if (value.contains(u'\n') || value.contains(u'\r') || value.contains(QChar(0)))
            return QString();
        const bool quote = value != value.trimmed() ||
                           (value.size() >= 2 && value.startsWith(u'"') && value.endsWith(u'"'));
        return quote ? u'"' + value + u'"' : value;
    }

    QString FText;
};

// Replaces the settings file through the file writer: a failed write keeps the previous file.
void WriteSettingsFile(const QString &fileName, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(fileName).absolutePath()); // a first save into the configuration folder
    try {
        WriteWholeFile(fileName, data);
    } catch (const EFileError &e) {
        throw EFileError(QStringLiteral("Cannot write the settings file \"%1\". %2")
                             .arg(QDir::toNativeSeparators(fileName), e.Reason()),
                         fileName, e.Reason());
    }
}

// Tried rather than judged from the permission bits, which say nothing about a read-only
// mount and do not bind the superuser.
bool IsWritableFolder(const QString &folder)
{
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".korvane-write-test-XXXXXX")));
    return probe.open();
}

QString SettingsFileName()
{
    QString name = QCoreApplication::instance() ? QFileInfo(QCoreApplication::applicationFilePath()).fileName()
                                                 : QStringLiteral("korvane");
    if (const qsizetype dot = name.indexOf(u'.'); dot >= 0)
        name.truncate(dot);
    return name + QStringLiteral(".INI");
}

} // namespace

QString SettingsFilePath()
{
    const QString home = ApplicationDirectory();
    if (IsWritableFolder(home))
        return home + SettingsFileName();
    const QString config = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    // Without a home folder there is nowhere better; saving will then say why it failed.
    return (config.isEmpty() ? home : config + u'/') + SettingsFileName();
}

void ChooseWritablePlaces()
{
    QString place;
    if (!IsWritableFolder(ApplicationDirectory())) {
        const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        if (!data.isEmpty() && QDir().mkpath(data))
            place = data;
    }
    SetUserFilesDirectory(place);
}

TAppSettings ReadSettings(const QString &file, const QRect &current, const QSize &screen)
{
    const TIniFile ini = TIniFile::Load(file);
    TAppSettings s;
    int32_t left = ini.ReadInteger(SettingsSection, QStringLiteral("Left"), current.left());
    int32_t top = ini.ReadInteger(SettingsSection, QStringLiteral("Top"), current.top());
    int32_t width = ini.ReadInteger(SettingsSection, QStringLiteral("Width"), current.width());
    int32_t height = ini.ReadInteger(SettingsSection, QStringLiteral("Height"), current.height());
    s.MidiIn = ini.ReadString(SettingsSection, QStringLiteral("MidiIn"), QString());
    s.MidiOut = ini.ReadString(SettingsSection, QStringLiteral("MidiOut"), QString());
    s.Randomized = ini.ReadBool(SettingsSection, QStringLiteral("Randomized"), true);
    s.RandomSeed = ini.ReadInteger(SettingsSection, QStringLiteral("RandomSeed"), 0);
    s.LastLoadPath = ini.ReadString(SettingsSection, QStringLiteral("LastLoadPath"), QString());
    s.LastSavePath = ini.ReadString(SettingsSection, QStringLiteral("LastSavePath"), QString());
    s.MidiApi = ini.ReadString(SettingsSection, QStringLiteral("MidiApi"), QString());
    s.MidiPickUp = ini.ReadBool(SettingsSection, QStringLiteral("MidiPickUp"), false);
    s.OscPort = ini.ReadInteger(SettingsSection, QStringLiteral("OscPort"), 0);
    if (s.OscPort < 0 || s.OscPort > 65535)
        s.OscPort = 0;
    s.OscHost = ini.ReadString(SettingsSection, QStringLiteral("OscHost"), QString());
    s.RemoteChangesAreEdits = ini.ReadBool(SettingsSection, QStringLiteral("RemoteChangesAreEdits"), false);
    s.RecordInput = ini.ReadBool(SettingsSection, QStringLiteral("RecordInput"), false);
    s.Link = ini.ReadBool(SettingsSection, QStringLiteral("Link"), false);
    s.JackTransport = !s.Link && ini.ReadBool(SettingsSection, QStringLiteral("JackTransport"), false);
    for (int i = 1; i <= TAppSettings::MaxRecentFiles; ++i) {
        const QString f = ini.ReadString(RecentSection, QStringLiteral("File%1").arg(i), QString());
        if (!f.isEmpty() && !s.RecentFiles.contains(f))
            s.RecentFiles << f;
    }
    // A missing colour keeps the colour it has, which at start is its initial value.
    for (const TColorKey &c : ColorKeys)
        c.Setting->store(ini.ReadColor(ColorsSection, QString::fromLatin1(c.Key), c.Setting->load()));
    // A period of 0 or less is no period at all: the timer gets the defaults instead.
    s.Resolution = ini.ReadInteger(TimingSection, QStringLiteral("Resolution"), DefaultResolution);
    if (s.Resolution <= 0)
        s.Resolution = DefaultResolution;
    s.Accuracy = ini.ReadInteger(TimingSection, QStringLiteral("Accuracy"), s.Resolution / 10);
    if (s.Accuracy <= 0)
        s.Accuracy = s.Resolution / 10;

    // Checked before a QRect is made, so that no sum of two extreme values is ever formed.
    if (left < -8 || left > screen.width() - 50)
        left = 0;
    if (top < -8 || top > screen.height() - 50)
        top = 0;
    if (width < 640 || width > screen.width() + 16)
        width = 640;
    if (height < 480 || height > screen.height() + 16)
        height = 480;
    s.Window = QRect(left, top, width, height);
    return s;
}

void WriteSettings(const QString &file, const TAppSettings &settings)
{
    TIniWriter ini;
    ini.Section(SettingsSection);
    ini.WriteInteger(QStringLiteral("Left"), settings.Window.left());
    ini.WriteInteger(QStringLiteral("Top"), settings.Window.top());
    ini.WriteInteger(QStringLiteral("Width"), settings.Window.width());
    ini.WriteInteger(QStringLiteral("Height"), settings.Window.height());
    ini.WriteString(QStringLiteral("MidiIn"), settings.MidiIn);
    ini.WriteString(QStringLiteral("MidiOut"), settings.MidiOut);
    ini.WriteBool(QStringLiteral("Randomized"), settings.Randomized);
    ini.WriteInteger(QStringLiteral("RandomSeed"), settings.RandomSeed);
    ini.WriteString(QStringLiteral("LastLoadPath"), settings.LastLoadPath);
    ini.WriteString(QStringLiteral("LastSavePath"), settings.LastSavePath);
    if (!settings.MidiApi.isEmpty())
        ini.WriteString(QStringLiteral("MidiApi"), settings.MidiApi);
    if (settings.MidiPickUp) // a file that never had it stays as it was
        ini.WriteBool(QStringLiteral("MidiPickUp"), settings.MidiPickUp);
    if (settings.OscPort != 0)
        ini.WriteInteger(QStringLiteral("OscPort"), settings.OscPort);
    if (!settings.OscHost.isEmpty())
        ini.WriteString(QStringLiteral("OscHost"), settings.OscHost);
    if (settings.RemoteChangesAreEdits)
        ini.WriteBool(QStringLiteral("RemoteChangesAreEdits"), true);
    if (settings.RecordInput)
        ini.WriteBool(QStringLiteral("RecordInput"), true);
    if (settings.Link)
        ini.WriteBool(QStringLiteral("Link"), true);
    if (settings.JackTransport)
        ini.WriteBool(QStringLiteral("JackTransport"), true);
    ini.Section(ColorsSection);
    for (const TColorKey &c : ColorKeys)
        ini.WriteInteger(QString::fromLatin1(c.Key), c.Setting->load());
    ini.Section(TimingSection);
    ini.WriteInteger(QStringLiteral("Resolution"), settings.Resolution);
    ini.WriteInteger(QStringLiteral("Accuracy"), settings.Accuracy);
    if (!settings.RecentFiles.isEmpty()) {
        ini.Section(RecentSection);
        for (int i = 0; i < std::min<int>(int(settings.RecentFiles.size()), TAppSettings::MaxRecentFiles); ++i)
            ini.WriteString(QStringLiteral("File%1").arg(i + 1), settings.RecentFiles[i]);
    }
    WriteSettingsFile(file, ini.Text().toUtf8());
}

void AddRecentFile(TAppSettings &settings, const QString &file)
{
    const QString path = QFileInfo(file).absoluteFilePath();
    settings.RecentFiles.removeAll(path);
    settings.RecentFiles.prepend(path);
    while (settings.RecentFiles.size() > TAppSettings::MaxRecentFiles)
        settings.RecentFiles.removeLast();
}
