// The settings file (every key with its default, the window kept on the screen, the exact text
// written and a round trip), the places chosen when the program's folder cannot be written, and
// the random settings dialog.
#include "EditorTestSupport.h"
#include "FrmRndSet.h"
#include "Globals.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QKeyEvent>
#include <QToolButton>
#include <functional>
#include <gtest/gtest.h>

void PrintTo(const TAppSettings &s, std::ostream *os)
{
    *os << "{window " << s.Window.left() << ',' << s.Window.top() << ' ' << s.Window.width() << 'x'
        << s.Window.height() << ", in \"" << s.MidiIn.toStdString() << "\", out \"" << s.MidiOut.toStdString()
        << "\", randomized " << s.Randomized << ", seed " << s.RandomSeed << ", load \""
        << s.LastLoadPath.toStdString() << "\", save \"" << s.LastSavePath.toStdString() << "\", timing "
        << s.Resolution << '/' << s.Accuracy << ", api \"" << s.MidiApi.toStdString() << "\", osc "
        << s.OscHost.toStdString() << ':' << s.OscPort << ", remote edits " << s.RemoteChangesAreEdits << '}';
}

namespace {

const QRect Current(100, 50, 800, 600);
const QSize Screen(1920, 1080);

void WriteText(const QString &fileName, const QByteArray &text)
{
    QFile f(fileName);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << fileName.toStdString();
    f.write(text);
}

QByteArray ReadText(const QString &fileName)
{
    QFile f(fileName);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// What a start without a settings file gives, spelled out.
TAppSettings Defaults()
{
    TAppSettings s;
    s.Window = Current;
    s.MidiIn = s.MidiOut = s.LastLoadPath = s.LastSavePath = s.MidiApi = QString();
    s.Randomized = true;
    s.RandomSeed = 0;
    s.Resolution = 20;
    s.Accuracy = 2;
    return s;
}

std::vector<TColor> Colors()
{
    return {ModuleColor, AsymmetricColor, SymmetricColor, LogicColor, NeuronColor,
            KnobColor,   LedColorOn,      LedColorOff,    ViewerColor, ScopeColor};
}

class Settings : public ::testing::Test {
protected:
    void SetUp() override { ResetColorSettings(); }
    void TearDown() override { ResetColorSettings(); }
    QString File(const QString &name = QStringLiteral("korvane.INI")) const { return Dir.filePath(name); }
    QTemporaryDir Dir;
};

TEST_F(Settings, ReadsEveryKeyWithItsDefault)
{
    struct Case {
        const char *Name;
        const char *Ini; // null: no file at all
        std::function<void(TAppSettings &)> Expect;
    };
    const std::vector<Case> cases = {
        {"no file", nullptr, [](TAppSettings &) {}},
        {"empty file", "", [](TAppSettings &) {}},
        {"every key",
         "[Settings]\nLeft=10\nTop=20\nWidth=1024\nHeight=700\nMidiIn=Keys\nMidiOut=Synth A\nRandomized=0\n"
         "RandomSeed=-12345\nLastLoadPath=/home/me/patches\nLastSavePath=/home/me/saved\nMidiApi=jack\n"
         "OscPort=9000\nOscHost=0.0.0.0\nRemoteChangesAreEdits=1\n"
         "[Timing]\nResolution=5\nAccuracy=1\n",
         [](TAppSettings &s) {
             s.Window = QRect(10, 20, 1024, 700);
             s.MidiIn = "Keys";
             s.MidiOut = "Synth A";
             s.Randomized = false;
             s.RandomSeed = -12345;
             s.LastLoadPath = "/home/me/patches";
             s.LastSavePath = "/home/me/saved";
             s.MidiApi = "jack";
             s.OscPort = 9000;
             s.OscHost = "0.0.0.0";
             s.RemoteChangesAreEdits = true;
             s.Resolution = 5;
             s.Accuracy = 1;
         }},
        {"Resolution 10 and no Accuracy", "[Timing]\nResolution=10\n",
         [](TAppSettings &s) { s.Resolution = 10, s.Accuracy = 1; }},
        {"Accuracy is Resolution div 10, not rounded", "[Timing]\nResolution=39\n",
         [](TAppSettings &s) { s.Resolution = 39, s.Accuracy = 3; }},
        {"a period of zero or less is no period", "[Timing]\nResolution=0\nAccuracy=-3\n", [](TAppSettings &) {}},
        {"a negative Resolution gives the default Accuracy too", "[Timing]\nResolution=-50\n",
         [](TAppSettings &) {}},
        {"an Accuracy of zero follows the Resolution read", "[Timing]\nResolution=50\nAccuracy=0\n",
         [](TAppSettings &s) { s.Resolution = 50, s.Accuracy = 5; }},
        {"a window left of and above the screen", "[Settings]\nLeft=-100\nTop=-9\n",
         [](TAppSettings &s) { s.Window.moveTo(0, 0); }},
        {"a window at the lower limits stays", "[Settings]\nLeft=-8\nTop=-8\nWidth=640\nHeight=480\n",
         [](TAppSettings &s) { s.Window = QRect(-8, -8, 640, 480); }},
        {"a window at the upper limits stays", "[Settings]\nLeft=1870\nTop=1030\nWidth=1936\nHeight=1096\n",
         [](TAppSettings &s) { s.Window = QRect(1870, 1030, 1936, 1096); }},
        {"a window just past the limits", "[Settings]\nLeft=1871\nTop=1031\nWidth=1937\nHeight=1097\n",
         [](TAppSettings &s) { s.Window = QRect(0, 0, 640, 480); }},
        {"a window too small", "[Settings]\nWidth=300\nHeight=479\n",
         [](TAppSettings &s) { s.Window.setSize(QSize(640, 480)); }},
        {"values that are not numbers",
         "[Settings]\nLeft=abc\nTop=\nWidth=12a\nHeight=0x300\nRandomized=yes\nRandomSeed=1.5\n"
         "[Timing]\nResolution=fast\nAccuracy=ms\n",
         [](TAppSettings &) {}},
        {"an OSC port out of range is none", "[Settings]\nOscPort=65536\n", [](TAppSettings &) {}},
        {"numbers beyond 32 bits", "[Settings]\nLeft=-2147483649\nRandomSeed=2147483648\n[Timing]\nResolution=99999999999\n",
         [](TAppSettings &) {}},
        {"the smallest seed", "[Settings]\nRandomSeed=-2147483648\n",
         [](TAppSettings &s) { s.RandomSeed = INT32_MIN; }},
        {"letter case, blanks, quotes and CR LF",
         "[SETTINGS]\r\n  midiin =  Keys  \r\nMIDIOUT=\"  Pad \"\r\nrandomized=FALSE\r\n"
         "LastLoadPath=/a=b;c #d\r\n[timing]\r\nRESOLUTION=10\r\n",
         [](TAppSettings &s) {
             s.MidiIn = "Keys";
             s.MidiOut = "  Pad ";
             s.Randomized = false;
             s.LastLoadPath = "/a=b;c #d";
             s.Resolution = 10, s.Accuracy = 1;
         }},
        {"comments, keys outside their section, repeated keys",
         "Left=5\n[Settings]\n; Top=6\n# Width=700\nLeft=300\nLeft=400\nMidiIn\n[Colors]\nMidiOut=X\n"
         "[Settings]\nLeft=500\nHeight=500\n",
         [](TAppSettings &s) { s.Window = QRect(300, 50, 800, 500); }},
    };
    for (const Case &c : cases) {
        const QString file = File(QString::fromLatin1(c.Name) + ".INI");
        if (c.Ini)
            WriteText(file, c.Ini);
        TAppSettings expected = Defaults();
        c.Expect(expected);
        EXPECT_EQ(ReadSettings(file, Current, Screen), expected) << c.Name;
        EXPECT_EQ(Colors(), (std::vector<TColor>{0xC0C0C0, 0xFF0000, 0x800080, 0xFFFFFF, 0x808080, 0x400040,
                                                 0xFFFFFF, 0x400040, 0x400040, 0x400040}))
            << c.Name << ": no colour in the file, none changed";
    }
}

TEST_F(Settings, ReadsTheColoursIntoTheColourSettings)
{
    WriteText(File(), "[Colors]\nModuleColor=255\nScopeColor=16711680\nLogicColor=-1\nNeuronColor=grey\n"
                      "KnobColor=4294967296\nviewercolor=0\n");
    ReadSettings(File(), Current, Screen);
    EXPECT_EQ(Colors(), (std::vector<TColor>{0x0000FF, 0xFF0000, 0x800080, 0xFFFFFFFF, 0x808080, 0x400040, 0xFFFFFF,
                                             0x400040, 0x000000, 0xFF0000}));
}

TEST_F(Settings, WritesEveryKeyInItsOrder)
{
    TAppSettings s = Defaults();
    s.Window = QRect(12, 34, 800, 600);
    s.MidiIn = "Keys";
    s.MidiOut = ""; // no output port
    s.Randomized = false;
    s.RandomSeed = -7;
    s.LastLoadPath = "/home/me/in";
    s.Resolution = 10;
    s.Accuracy = 1;
    ModuleColor = 0x0000FF;
    WriteSettings(File(), s);
    EXPECT_EQ(ReadText(File()), "[Settings]\n"
                                "Left=12\n"
                                "Top=34\n"
                                "Width=800\n"
                                "Height=600\n"
                                "MidiIn=Keys\n"
                                "MidiOut=\n"
                                "Randomized=0\n"
                                "RandomSeed=-7\n"
                                "LastLoadPath=/home/me/in\n"
                                "LastSavePath=\n"
                                "\n"
                                "[Colors]\n"
                                "ModuleColor=255\n"
                                "AsymmetricColor=16711680\n"
                                "SymmetricColor=8388736\n"
                                "LogicColor=16777215\n"
                                "NeuronColor=8421504\n"
                                "KnobColor=4194368\n"
                                "LedColorOn=16777215\n"
                                "LedColorOff=4194368\n"
                                "ViewerColor=4194368\n"
                                "ScopeColor=4194368\n"
                                "\n"
                                "[Timing]\n"
                                "Resolution=10\n"
                                "Accuracy=1\n");

    // The back end is written only when one was chosen, last in its section.
    s.Randomized = true;
    s.MidiApi = "jack";
    WriteSettings(File(), s);
    const QByteArray text = ReadText(File());
    EXPECT_TRUE(text.contains("Randomized=1\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("LastSavePath=\nMidiApi=jack\n\n[Colors]\n")) << text.toStdString();
}

TEST_F(Settings, WhatIsWrittenReadsBackTheSame)
{
    TAppSettings s;
    s.Window = QRect(-8, 0, 1936, 1096);
    s.MidiIn = "  Spaced port ";
    s.MidiOut = "\"Quoted\"";
    s.Randomized = false;
    s.RandomSeed = INT32_MIN;
    s.LastLoadPath = QString::fromUtf8("/home/m\xC3\xBCller/patches = mine; #1");
    s.LastSavePath = "/tmp/[brackets]";
    s.Resolution = 7;
    s.Accuracy = 3;
    s.MidiApi = "alsa";
    s.OscPort = 65535;
    s.OscHost = "::1";
    s.RemoteChangesAreEdits = true;
    const std::vector<TColor> colors = {0x000000, 0x010203, 0xFFFFFF, 0x123456, 0xABCDEF,
                                        0x00FF00, 0x0000FF, 0x7F7F7F, 0x808081, 0xFEDCBA};
    std::atomic<TColor> *settings[] = {&ModuleColor, &AsymmetricColor, &SymmetricColor, &LogicColor, &NeuronColor,
                                       &KnobColor,   &LedColorOn,      &LedColorOff,    &ViewerColor, &ScopeColor};
    for (size_t i = 0; i < colors.size(); ++i)
        *settings[i] = colors[i];
    WriteSettings(File(), s);
    ResetColorSettings();
    EXPECT_EQ(ReadSettings(File(), QRect(1, 2, 700, 500), Screen), s);
    EXPECT_EQ(Colors(), colors);
}

TEST_F(Settings, AValueWithALineBreakCannotAddKeysOfItsOwn)
{
    TAppSettings s = Defaults();
    s.LastLoadPath = "/tmp/a\n[Timing]\nResolution=1";
    s.LastSavePath = "/tmp/b\r\nRandomSeed=99";
    s.Resolution = 30;
    WriteSettings(File(), s);
    TAppSettings expected = s;
    expected.LastLoadPath.clear();
    expected.LastSavePath.clear();
    EXPECT_EQ(ReadSettings(File(), Current, Screen), expected);
}

TEST_F(Settings, WritingMakesMissingFoldersAndRaisesWhereItCannotWrite)
{
    const QString nested = Dir.filePath("config/korvane/korvane.INI");
    WriteSettings(nested, Defaults());
    EXPECT_EQ(ReadSettings(nested, QRect(), Screen), Defaults());

    WriteText(File("plain"), "not a folder");
    const QString impossible = File("plain/korvane.INI");
    try {
        WriteSettings(impossible, Defaults());
        ADD_FAILURE() << "no error for a file inside a file";
    } catch (const EFileError &e) {
        EXPECT_TRUE(e.Message().contains(QDir::toNativeSeparators(impossible))) << e.what();
    }
}

// The program's own folder, the user's configuration and data folders all inside one
// temporary folder; everything is put back afterwards.
class SettingsPlaces : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Root.isValid());
        for (auto &[name, old] : Environment) {
            old = qgetenv(name);
            qputenv(name, Root.filePath(QString::fromLatin1(name)).toLocal8Bit());
        }
    }
    void TearDown() override
    {
        for (auto &[name, old] : Environment)
            old.isNull() ? qunsetenv(name) : qputenv(name, old);
        QFile::setPermissions(Root.filePath("readonly"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner); // so it can be removed
        SetApplicationDirectory(QStringLiteral(KORVANE_APPDIR));
        SetUserFilesDirectory(QString());
    }
    QString Config() const { return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation); }
    QString Data() const { return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation); }
    // The user's folders are used: a settings file that can be written and read back there,
    // and new slots' files in the data folder, which exists.
    void ExpectUserFolders()
    {
        ASSERT_TRUE(Config().startsWith(Root.filePath("XDG_CONFIG_HOME/"))) << Config().toStdString();
        EXPECT_EQ(SettingsFilePath(), Config() + "/shell_tests.INI");
        TAppSettings s = Defaults();
        s.RandomSeed = 31;
        WriteSettings(SettingsFilePath(), s);
        EXPECT_EQ(ReadSettings(SettingsFilePath(), Current, Screen), s);

        SetUserFilesDirectory("/elsewhere");
        ChooseWritablePlaces();
        ASSERT_TRUE(Data().startsWith(Root.filePath("XDG_DATA_HOME/"))) << Data().toStdString();
        EXPECT_EQ(UserFilesDirectory(), Data() + "/");
        EXPECT_TRUE(QFileInfo(Data()).isDir());
    }

    QTemporaryDir Root;
    std::pair<const char *, QByteArray> Environment[2] = {{"XDG_CONFIG_HOME", {}}, {"XDG_DATA_HOME", {}}};
};

TEST_F(SettingsPlaces, AWritableProgramFolderHoldsEverything)
{
    const QString app = Root.filePath("app") + "/";
    ASSERT_TRUE(QDir().mkpath(app));
    SetApplicationDirectory(app);
    EXPECT_EQ(SettingsFilePath(), app + "shell_tests.INI");
    SetUserFilesDirectory("/elsewhere");
    ChooseWritablePlaces();
    EXPECT_EQ(UserFilesDirectory(), app);
    EXPECT_TRUE(QDir(app).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty())
        << "trying the folder leaves nothing behind";
}

TEST_F(SettingsPlaces, AMissingProgramFolderFallsBackToTheUserFolders)
{
    SetApplicationDirectory(Root.filePath("not-there") + "/");
    ExpectUserFolders();
    EXPECT_FALSE(QFileInfo::exists(Root.filePath("not-there")));
}

TEST_F(SettingsPlaces, AReadOnlyProgramFolderFallsBackToTheUserFolders)
{
    const QString app = Root.filePath("readonly");
    ASSERT_TRUE(QDir().mkpath(app));
    ASSERT_TRUE(QFile::setPermissions(app, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
    SetApplicationDirectory(app + "/");
    QFile probe(app + "/probe");
    if (probe.open(QIODevice::WriteOnly)) {
        probe.remove();
        GTEST_SKIP() << "a read-only folder is writable here (running as root)";
    }
    ExpectUserFolders();
}

// A key pressed and released on a widget, as the window system delivers it.
void KeyClick(QWidget *w, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QKeyEvent press(QEvent::KeyPress, key, modifiers), release(QEvent::KeyRelease, key, modifiers);
    QApplication::sendEvent(w, &press);
    QApplication::sendEvent(w, &release);
}

// The dialog as the main window uses it, with message boxes recorded.
struct TRandomDialogFixture {
    TDialogRecorder Recorder;
    TFormRandomSettings Dialog;

    void Show()
    {
        Dialog.open();
        Settle();
        ASSERT_TRUE(Dialog.isVisible());
    }
    static void Settle()
    {
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
};

TEST(RandomSettings, StartsRandomizedWithSeedZeroAndTheEditLocked)
{
    TRandomDialogFixture f;
    EXPECT_EQ(f.Dialog.windowTitle(), "Random settings");
    EXPECT_EQ(f.Dialog.size(), QSize(210, 129));
    EXPECT_EQ(f.Dialog.minimumSize(), f.Dialog.maximumSize()) << "fixed size";
    EXPECT_EQ(f.Dialog.Seed(), 0);
    EXPECT_EQ(f.Dialog.EditSeed()->text(), "0");
    EXPECT_TRUE(f.Dialog.Randomized());
    EXPECT_TRUE(f.Dialog.CheckBoxRandomized()->isChecked());
    EXPECT_FALSE(f.Dialog.EditSeed()->isEnabled());
    EXPECT_EQ(f.Dialog.CheckBoxRandomized()->text(), "&Randomized random seed value");
    EXPECT_EQ(f.Dialog.SpeedButtonOk()->text(), "Ok");
    EXPECT_EQ(f.Dialog.SpeedButtonCancel()->text(), "Cancel");
    EXPECT_LT(f.Dialog.SpeedButtonCancel()->x(), f.Dialog.SpeedButtonOk()->x()) << "Cancel on the left";
    QLabel *label = nullptr;
    for (QLabel *l : f.Dialog.findChildren<QLabel *>())
        if (l->text() == "Random &seed value")
            label = l;
    ASSERT_TRUE(label);
    EXPECT_EQ(label->buddy(), f.Dialog.EditSeed());

    f.Dialog.SetSeed(-3);
    f.Dialog.SetRandomized(false);
    EXPECT_EQ(f.Dialog.EditSeed()->text(), "-3");
    EXPECT_FALSE(f.Dialog.CheckBoxRandomized()->isChecked());
    EXPECT_TRUE(f.Dialog.EditSeed()->isEnabled());
}

TEST(RandomSettings, TheBoxDecidesWhetherTheSeedCanBeEdited)
{
    TRandomDialogFixture f;
    f.Show();
    KeyClick(f.Dialog.CheckBoxRandomized(), Qt::Key_Space);
    EXPECT_FALSE(f.Dialog.Randomized());
    EXPECT_TRUE(f.Dialog.EditSeed()->isEnabled());
    KeyClick(f.Dialog.CheckBoxRandomized(), Qt::Key_Space);
    EXPECT_TRUE(f.Dialog.Randomized());
    EXPECT_FALSE(f.Dialog.EditSeed()->isEnabled());
    EXPECT_TRUE(f.Dialog.isVisible());
    f.Dialog.SpeedButtonCancel()->click();
}

TEST(RandomSettings, OkReadsTheSeedAndStaysOpenOnWhatIsNoNumber)
{
    using Close = std::function<void(TFormRandomSettings &)>;
    const Close okButton = [](TFormRandomSettings &d) { d.SpeedButtonOk()->click(); };
    const Close enterInEdit = [](TFormRandomSettings &d) { KeyClick(d.EditSeed(), Qt::Key_Return); };
    const Close cancelButton = [](TFormRandomSettings &d) { d.SpeedButtonCancel()->click(); };
    struct Case {
        const char *Name;
        bool Randomized;
        QString Text;
        Close Action;
        int Result; // -1: stays open with the message
        int32_t Seed;
        QString EditAfter;
    };
    const std::vector<Case> cases = {
        {"Ok with -5", false, "-5", okButton, QDialog::Accepted, -5, "-5"},
        {"Enter in the edit with blanks", false, " 42 ", enterInEdit, QDialog::Accepted, 42, "42"},
        {"keypad Enter to the dialog", false, "2147483647",
         [](TFormRandomSettings &d) { KeyClick(&d, Qt::Key_Enter, Qt::KeypadModifier); }, QDialog::Accepted,
         INT32_MAX, "2147483647"},
        {"12a", false, "12a", okButton, -1, 7, "12a"},
        {"beyond 32 bits", false, "2147483648", enterInEdit, -1, 7, "2147483648"},
        {"hexadecimal", false, "0x10", okButton, -1, 7, "0x10"},
        {"nothing", false, "", enterInEdit, -1, 7, ""},
        {"randomized leaves the edit unread", true, "12a", okButton, QDialog::Accepted, 7, "12a"},
        {"Cancel shows the held seed again", false, "99", cancelButton, QDialog::Rejected, 7, "7"},
        {"Esc in the edit", false, "99", [](TFormRandomSettings &d) { KeyClick(d.EditSeed(), Qt::Key_Escape); },
         QDialog::Rejected, 7, "7"},
        {"the close box", false, "99", [](TFormRandomSettings &d) { d.close(); }, QDialog::Rejected, 7, "7"},
    };
    for (const Case &c : cases) {
        TRandomDialogFixture f;
        f.Dialog.SetSeed(7);
        f.Dialog.SetRandomized(c.Randomized);
        f.Show();
        f.Dialog.EditSeed()->setText(c.Text);
        c.Action(f.Dialog);
        TRandomDialogFixture::Settle();
        EXPECT_EQ(f.Dialog.Seed(), c.Seed) << c.Name;
        EXPECT_EQ(f.Dialog.EditSeed()->text(), c.EditAfter) << c.Name;
        if (c.Result < 0) {
            EXPECT_TRUE(f.Dialog.isVisible()) << c.Name;
            EXPECT_EQ(f.Recorder.Messages, QStringList{"Random seed value must be a (decimal) number."}) << c.Name;
            EXPECT_EQ(f.Dialog.focusWidget(), f.Dialog.EditSeed()) << c.Name;
            f.Dialog.SpeedButtonCancel()->click();
        } else {
            EXPECT_FALSE(f.Dialog.isVisible()) << c.Name;
            EXPECT_EQ(f.Dialog.result(), c.Result) << c.Name;
            EXPECT_TRUE(f.Recorder.Messages.isEmpty()) << c.Name;
        }
    }
}

TEST(RandomSettings, EnterAndEscWithShiftCtrlOrAltDoNotClose)
{
    TRandomDialogFixture f;
    f.Dialog.SetRandomized(false);
    f.Show();
    f.Dialog.EditSeed()->setText("5");
    for (QWidget *target : {static_cast<QWidget *>(f.Dialog.EditSeed()), static_cast<QWidget *>(&f.Dialog)})
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
            for (Qt::KeyboardModifier m : {Qt::ShiftModifier, Qt::ControlModifier, Qt::AltModifier}) {
                KeyClick(target, key, m);
                TRandomDialogFixture::Settle();
                EXPECT_TRUE(f.Dialog.isVisible()) << "key " << key << " with modifier " << m;
            }
    EXPECT_EQ(f.Dialog.Seed(), 0);
    EXPECT_TRUE(f.Recorder.Messages.isEmpty());
    f.Dialog.SpeedButtonCancel()->click();
}

} // namespace
