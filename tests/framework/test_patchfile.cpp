// Patch files: saving and reading sheets, cable lines by name and by index with their
// failure messages, files of earlier versions, failed saves, and tab captions.
#include "Modules.h"
#include "TestModules.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const QString OldFormat = "The (old format) patch is corrupted or incompatible:\rcan't make all the connections, "
                          "and some connections will probably be wrong.";
const QString NewFormat = "The (new format) patch is corrupted or incompatible:\rcan't make all the connections.";
const QString Unrecognised = "The patch is corrupted or incompatible:\r- this can't be repaired, don't know what "
                             "will happen next ... crash ?\rThe patch format is not recognised ...";

struct TDialogRecorder : IDialogs {
    QStringList Messages, Errors;
    void ShowMessage(const QString &text) override { Messages << text; }
    void ShowError(const QString &text) override { Errors << text; }
};

class PatchFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Dir.isValid());
        SetDialogs(&Shown);
    }
    void TearDown() override { SetDialogs(nullptr); }

    QString Path(const QString &name) const { return Dir.filePath(name); }
    static QByteArray Read(const QString &path)
    {
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
        return f.readAll();
    }
    static void Write(const QString &path, const QByteArray &data)
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(data);
    }
    // Reads a file as a slot does: the sheet, then its cables.
    static TOwned<TKorDrawSheet> Load(const QString &path)
    {
        TOwned<TKorDrawSheet> sheet = ReadSheetFromFile(path);
        sheet->ResolveConnections();
        return sheet;
    }
    // "Module.Connector > Module.Connector" for every cable, in list order.
    static QStringList Cables(const TKorDrawSheet &sheet)
    {
        QStringList list;
        for (int i = 0; i < sheet.CableCount(); ++i)
            list << sheet.CableFrom(i)->Owner()->Name() + "." + sheet.CableFrom(i)->Name() + " > " +
                        sheet.CableTo(i)->Owner()->Name() + "." + sheet.CableTo(i)->Name();
        return list;
    }

    QTemporaryDir Dir;
    TDialogRecorder Shown;
};

TEST_F(PatchFile, EmptySheetIsHeaderPlacementConnectionsAndEnd)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    SaveSheetToFile(*sheet, Path("empty.slt"));
    EXPECT_EQ(Read(Path("empty.slt")), "object TKorDrawSheet\r\n"
                                       "  Left = 0\r\n"
                                       "  Top = 0\r\n"
                                       "  Width = 0\r\n"
                                       "  Height = 0\r\n"
                                       "  Connections = ()\r\n"
                                       "end\r\n");
    auto again = Load(Path("empty.slt"));
    EXPECT_EQ(again->ModuleCount(), 0);
    EXPECT_EQ(again->PendingLines(), nullptr);
}

TEST_F(PatchFile, SavingKeepsModuleNamesAndWritesCablesByName)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    auto *src = Create<TKorTestSource>(sheet.get());
    auto *thr = Create<TKorTestThrough>(sheet.get());
    auto *nameless = Create<TKorTestThrough>(sheet.get());
    src->SetName("Lead");
    nameless->SetName("");
    thr->SetLeft(250);
    nameless->SetTop(50);
    sheet->ToggleConnection(src->Out, thr->In);
    sheet->BringToFront(src); // run order is not kept: files list creation order

    SaveSheetToFile(*sheet, Path("pair.slt"));
    EXPECT_EQ(src->Name(), "Lead") << "a name the user or a file gave stays";
    EXPECT_EQ(thr->Name(), "TestThrough0");
    EXPECT_EQ(nameless->Name(), "TestThrough1") << "only a module without a name gets one";
    EXPECT_EQ(sheet->Modules(0), src);
    const QByteArray expected = "object TKorDrawSheet\r\n"
                                "  Left = 0\r\n"
                                "  Top = 0\r\n"
                                "  Width = " + QByteArray::number(sheet->Width()) + "\r\n"
                                "  Height = " + QByteArray::number(sheet->Height()) + "\r\n"
                                "  Connections = (\r\n"
                                "    'Lead.Out TestThrough0.In')\r\n"
                                "  object Lead: TKorTestSource\r\n"
                                "    Left = 0\r\n"
                                "    Top = 0\r\n"
                                "    Title = 'TestSource'\r\n"
                                "  end\r\n"
                                "  object TestThrough0: TKorTestThrough\r\n"
                                "    Left = 250\r\n"
                                "    Top = 0\r\n"
                                "    Title = 'TestThrough'\r\n"
                                "  end\r\n"
                                "  object TestThrough1: TKorTestThrough\r\n"
                                "    Left = 0\r\n"
                                "    Top = 50\r\n"
                                "    Title = 'TestThrough'\r\n"
                                "  end\r\n"
                                "end\r\n";
    EXPECT_EQ(Read(Path("pair.slt")), expected);

    // Saving again, and saving what was loaded, writes the same bytes.
    SaveSheetToFile(*sheet, Path("again.slt"));
    EXPECT_EQ(Read(Path("again.slt")), expected);
    auto loaded = Load(Path("pair.slt"));
    EXPECT_EQ(Cables(*loaded), QStringList{"Lead.Out > TestThrough0.In"});
    EXPECT_TRUE(Shown.Messages.isEmpty());
    SaveSheetToFile(*loaded, Path("pair2.slt"));
    // A loaded sheet without a slot has its own extent: the cables and modules are the same.
    const auto body = [](const QByteArray &text) { return text.mid(text.indexOf("  Connections")); };
    EXPECT_EQ(body(Read(Path("pair2.slt"))), body(expected));
    EXPECT_EQ(Cables(*loaded), QStringList{"Lead.Out > TestThrough0.In"});
}

TEST_F(PatchFile, CableDrawnFromAnInputIsWrittenAndReadInputFirst)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    auto *src = Create<TKorTestSource>(sheet.get());
    auto *thr = Create<TKorTestThrough>(sheet.get());
    sheet->ToggleConnection(thr->In, src->Out);
    SaveSheetToFile(*sheet, Path("rev.slt"));
    EXPECT_TRUE(Read(Path("rev.slt")).contains("'TestThrough0.In TestSource0.Out'"));
    auto loaded = Load(Path("rev.slt"));
    EXPECT_EQ(Cables(*loaded), QStringList{"TestThrough0.In > TestSource0.Out"});
    qobject_cast<TKorTestSource *>(loaded->Modules(0))->Next = 9;
    loaded->Execute();
    EXPECT_EQ(qobject_cast<TKorTestThrough *>(loaded->Modules(1))->In->Value(), 9);
}

TEST_F(PatchFile, StoredPatchLoadsWithSettingsAndSurvivesSaves)
{
    auto sheet = Load(QStringLiteral(KORVANE_FIXTURES "/current_format.korvane"));
    ASSERT_EQ(sheet->ModuleCount(), 3);
    auto *src = qobject_cast<TKorTestSource *>(sheet->Modules(0));
    auto *thr = qobject_cast<TKorTestThrough *>(sheet->Modules(1));
    auto *set = qobject_cast<TKorTestSettings *>(sheet->Modules(2));
    ASSERT_TRUE(src && thr && set);
    EXPECT_EQ(src->Title(), "Lead 'A'");
    EXPECT_EQ(thr->Left(), 250) << "260 in the file snaps to the rack";
    EXPECT_EQ(set->Title(), "A title that is longer than sixty-four characters, so it breaks onto a second line");
    EXPECT_EQ(set->KnobValue(), -1000);
    EXPECT_EQ(set->Note(), QString::fromUtf8("\u00e9t\u00e9"));
    EXPECT_EQ(Cables(*sheet), (QStringList{"TestSource0.Out > TestThrough0.In", "TestThrough0.Out > TestSettings0.In1_1",
                                           "TestSettings0.In1_1 > TestSource0.Out"}))
        << "connector names with \"_\" are read back";
    EXPECT_EQ(set->In->ConnectionCount(), 2);

    // Names stay across saves, so every round trip gives the same text again.
    SaveSheetToFile(*sheet, Path("a.korvane"));
    auto once = Load(Path("a.korvane"));
    SaveSheetToFile(*once, Path("b.korvane"));
    EXPECT_EQ(Read(Path("b.korvane")), Read(Path("a.korvane")));
    EXPECT_EQ(Cables(*once).size(), 3);
    EXPECT_TRUE(Shown.Messages.isEmpty());
}

// A cable fault as shown: the message, then the line at fault.
QString Fault(const QString &message, const QString &line)
{
    return message + "\r'" + line + "'";
}

struct TLineCase {
    const char *Name;
    QStringList Lines;
    QStringList Cables;
    QStringList Messages;
};

TEST_F(PatchFile, CableLinesMakeTheirCablesOrReportTheFirstFault)
{
    const TLineCase cases[] = {
        {"index line", {"0.1 1.1"}, {"TestSource0.Out > TestThrough0.In"}, {}},
        {"trailing text after an index", {"0.1 1.1xyz"}, {"TestSource0.Out > TestThrough0.In"}, {}},
        {"index of a label", {"0.0 1.1"}, {}, {Fault(OldFormat, "0.0 1.1")}},
        {"indexes out of range, shown once", {"5.1 1.1", "0.1 9.9"}, {}, {Fault(OldFormat, "5.1 1.1")}},
        {"name line", {"TestSource0.Out TestThrough0.In"}, {"TestSource0.Out > TestThrough0.In"}, {}},
        {"names in any case", {"testsource0.OUT TESTTHROUGH0.in"}, {"TestSource0.Out > TestThrough0.In"}, {}},
        {"names with underscores", {"TestSettings0.Out_1 TestSettings0.In1_1"}, {"TestSettings0.Out_1 > TestSettings0.In1_1"}, {}},
        {"missing first module, shown once",
         {"Sine0.Out TestThrough0.In", "Nope.Out TestThrough0.In"},
         {},
         {Fault(NewFormat, "Sine0.Out TestThrough0.In")}},
        {"missing first connector", {"TestSource0.Nope TestThrough0.In"}, {}, {Fault(NewFormat, "TestSource0.Nope TestThrough0.In")}},
        {"missing second module", {"TestSource0.Out Nope.In"}, {}, {Fault(NewFormat, "TestSource0.Out Nope.In")}},
        {"label where a connector belongs",
         {"TestSource0.TextLabel0 TestThrough0.In"},
         {},
         {Fault(NewFormat, "TestSource0.TextLabel0 TestThrough0.In")}},
        {"label as second connector",
         {"TestSource0.Out TestThrough0.TextLabel0"},
         {},
         {Fault(NewFormat, "TestSource0.Out TestThrough0.TextLabel0")}},
        {"missing second connector is dropped", {"TestSource0.Out TestThrough0.Nope"}, {}, {}},
        // A line that fits neither form would be lost at the next save: it is reported.
        {"words without a connector", {"garbage"}, {}, {Fault(NewFormat, "garbage")}},
        {"one connector only", {"TestSource0.Out"}, {}, {Fault(NewFormat, "TestSource0.Out")}},
        {"no second connector named", {"TestSource0.Out TestThrough0"}, {}, {Fault(NewFormat, "TestSource0.Out TestThrough0")}},
        {"malformed separators, the first shown",
         {"Sine0-Out Amplifier0.In", "TestSource0.Out-TestThrough0.In", "0-1 1.1", "0.1-1.1"},
         {},
         {Fault(NewFormat, "Sine0-Out Amplifier0.In")}},
        {"an index line cut short", {"0.1"}, {}, {Fault(OldFormat, "0.1")}},
        {"empty line", {""}, {}, {Fault(Unrecognised, "")}},
        {"a cable twice is no cable", {"TestSource0.Out TestThrough0.In", "TestThrough0.In TestSource0.Out"}, {}, {}},
        {"only the first fault is shown", {"9.9 9.9", "X.Out Y.In", ""}, {}, {Fault(OldFormat, "9.9 9.9")}},
        {"lines after a fault still count",
         {"Nope.Out TestThrough0.In", "TestSource0.Out TestThrough0.In"},
         {"TestSource0.Out > TestThrough0.In"},
         {Fault(NewFormat, "Nope.Out TestThrough0.In")}},
    };
    for (const TLineCase &c : cases) {
        SCOPED_TRACE(c.Name);
        Shown.Messages.clear();
        auto sheet = CreateOwned<TKorDrawSheet>();
        Create<TKorTestSource>(sheet.get());
        Create<TKorTestThrough>(sheet.get());
        Create<TKorTestSettings>(sheet.get());
        sheet->ReadDefinedProperty("Connections", QVariant(QVariantList(c.Lines.cbegin(), c.Lines.cend())));
        sheet->ResolveConnections();
        EXPECT_EQ(Cables(*sheet), c.Cables);
        EXPECT_EQ(Shown.Messages, c.Messages);
        EXPECT_EQ(sheet->PendingLines(), nullptr);
    }
}

TEST_F(PatchFile, ACableFaultInAFileNamesItsLine)
{
    // Lines written by hand: two cables on one line, then a line with no second connector.
    Write(Path("hand.korvane"), "object TKorDrawSheet\n"
                                "  Connections = (\n"
                                "    'TestSource0.Out TestThrough0.In' 'TestThrough0.Out TestThrough1.In'\n"
                                "\n"
                                "    'TestSource0.Out')\n"
                                "  object TestSource0: TKorTestSource\n"
                                "  end\n"
                                "  object TestThrough0: TKorTestThrough\n"
                                "  end\n"
                                "  object TestThrough1: TKorTestThrough\n"
                                "    Top = 50\n"
                                "  end\n"
                                "end\n");
    auto sheet = Load(Path("hand.korvane"));
    EXPECT_EQ(Shown.Messages, QStringList{NewFormat + "\rLine 5: 'TestSource0.Out'"});
    EXPECT_EQ(Cables(*sheet).size(), 2) << "the lines around the fault are made";

    // Saved again, the line at fault is gone: which is why it was reported.
    Shown.Messages.clear();
    SaveSheetToFile(*sheet, Path("again.korvane"));
    Load(Path("again.korvane"));
    EXPECT_TRUE(Shown.Messages.isEmpty());
}

TEST_F(PatchFile, EmptyNumberInAnIndexLineEndsTheLoad)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    Create<TKorTestSource>(sheet.get());
    Create<TKorTestThrough>(sheet.get());
    sheet->ReadDefinedProperty("Connections", QVariantList{"0.1 1.1", "0.1 1.", "0.1 1.1"});
    try {
        sheet->ResolveConnections();
        FAIL() << "accepted";
    } catch (const EConvertError &e) {
        EXPECT_EQ(e.Message(), "'' is not a valid integer value");
    }
    EXPECT_EQ(sheet->CableCount(), 1) << "lines before the faulty one are made, none after";
    EXPECT_EQ(sheet->PendingLines(), nullptr);
    EXPECT_TRUE(Shown.Messages.isEmpty());
}

TEST_F(PatchFile, EarlierFormatIsConvertedOnceAndKeepsABackup)
{
    const QByteArray earlier = Read(QStringLiteral(KORVANE_FIXTURES "/old_format.slt"));
    Write(Path("old.slt"), earlier);
    EXPECT_THROW(ReadSheetFromFile(Path("old.slt")), EClassNotFound);

    auto sheet = ReadSheetConverting(Path("old.slt"));
    sheet->ResolveConnections();
    ASSERT_EQ(sheet->ModuleCount(), 3);
    EXPECT_EQ(sheet->Modules(0)->Title(), "Old source");
    EXPECT_EQ(qobject_cast<TKorTestSettings *>(sheet->Modules(2))->Note(), "kept");
    EXPECT_EQ(Cables(*sheet), (QStringList{"TestSource0.Out > TestThrough0.In", "TestSettings0.Out_1 > TestThrough0.In"}));
    EXPECT_TRUE(Shown.Messages.isEmpty());

    EXPECT_EQ(Read(Path("old.bak")), earlier) << "the earlier text stays beside the file";
    const QByteArray converted = Read(Path("old.slt"));
    EXPECT_TRUE(converted.startsWith("object TKorDrawSheet\r\n"));
    EXPECT_TRUE(converted.contains("object TestSource0: TKorTestSource\r\n"));
    EXPECT_TRUE(converted.contains("'0.1 1.1'")) << "nothing but class names changes";
    EXPECT_NO_THROW(ReadSheetFromFile(Path("old.slt"))) << "converted files load directly";
    ConvertOldClassNames(Path("old.slt"));
    EXPECT_EQ(Read(Path("old.slt")), converted) << "converting twice changes nothing";
}

TEST_F(PatchFile, FailedReadsNameTheirCause)
{
    try {
        ReadSheetFromFile(Path("missing.slt"));
        FAIL() << "missing file read";
    } catch (const EFileError &e) {
        EXPECT_TRUE(e.Message().startsWith("Cannot open file \"" + Path("missing.slt") + "\"."));
    }
    Write(Path("broken.slt"), "object TKorDrawSheet\r\n  Left = \r\nend\r\n");
    try {
        ReadSheetFromFile(Path("broken.slt"));
        FAIL() << "broken file read";
    } catch (const EStreamError &e) {
        EXPECT_EQ(e.Message(), Path("broken.slt") + ":3: Invalid property value");
    }
    try {
        ReadSheetFromFile(Dir.path());
        FAIL() << "directory read";
    } catch (const EFileError &e) {
        EXPECT_EQ(e.Message(), "Cannot open file \"" + Dir.path() + "\". Is a directory");
    }
}

TEST_F(PatchFile, ClearedTitlesStayClearedThroughSaveAndLoad)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    Create<TKorTestSource>(sheet.get())->SetTitle("");
    Create<TKorTestSource>(sheet.get())->SetTitle(QStringLiteral("del") + QChar(0x7F));
    SaveSheetToFile(*sheet, Path("titles.slt"));
    EXPECT_TRUE(Read(Path("titles.slt")).contains("    Title = ''\r\n"));
    EXPECT_TRUE(Read(Path("titles.slt")).contains("    Title = 'del'#127\r\n"));
    auto loaded = Load(Path("titles.slt"));
    ASSERT_EQ(loaded->ModuleCount(), 2);
    EXPECT_EQ(loaded->Modules(0)->Title(), "") << "not the default title of a new module";
    EXPECT_EQ(loaded->Modules(1)->Title(), QStringLiteral("del") + QChar(0x7F));
}

// Fills the sheet with a module whose note makes the text larger than the binary form.
void AddBulk(TKorDrawSheet &sheet)
{
    auto *m = Create<TKorTestSettings>(&sheet);
    m->SetNote(QString(6000, u'n'));
}

TEST_F(PatchFile, SaveThatFailsHalfWayLeavesThePreviousFileAlone)
{
    auto old = CreateOwned<TKorDrawSheet>();
    Create<TKorTestSource>(old.get());
    SaveSheetToFile(*old, Path("keep.slt"));
    const QByteArray before = Read(Path("keep.slt"));

    auto sheet = CreateOwned<TKorDrawSheet>();
    AddBulk(*sheet);
    sheet->PrepareForSave();
    const qsizetype binarySize = WriteComponent(*sheet).size();
    const qsizetype textSize = ObjectBinaryToText(WriteComponent(*sheet)).size();
    // A file-size limit below the text's size stops the new text half-way, as a full disk
    // would.
    const rlim_t limit = rlim_t(binarySize + textSize) / 2;
    ASSERT_LT(binarySize, qsizetype(limit));
    ASSERT_GT(textSize, qsizetype(limit));

    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    // sigaction, not signal(): the file writer's handler takes its siginfo and must come back so.
    struct sigaction ignore {}, oldAction {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &oldAction), 0);
    struct rlimit small = saved;
    small.rlim_cur = limit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool raised = false;
    try {
        SaveSheetToFile(*sheet, Path("keep.slt"));
    } catch (const EFileError &e) {
        raised = e.Message().startsWith("Cannot write file");
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &oldAction, nullptr);

    EXPECT_TRUE(raised);
    EXPECT_EQ(Read(Path("keep.slt")), before) << "byte for byte";
    EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"keep.slt"}) << "no half-written files";
}

// The part file beside the target shortens the target's name in its own where both would not
// fit in one name: a file named as long as names may be is saved like any other.
TEST_F(PatchFile, SaveToTheLongestNameAFolderTakes)
{
    const QString name = QString(255 - 4, u'p') + ".slt";
    auto sheet = CreateOwned<TKorDrawSheet>();
    Create<TKorTestSource>(sheet.get());
    SaveSheetToFile(*sheet, Path(name));
    EXPECT_EQ(Load(Path(name))->ModuleCount(), 1);
    EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{name});
}

TEST_F(PatchFile, SaveBelowAFileIsRefused)
{
    Write(Path("plain"), "not a folder");
    try {
        SaveSheetToFile(*CreateOwned<TKorDrawSheet>(), Path("plain/x.slt"));
        FAIL() << "saved into a file";
    } catch (const EFileError &e) {
        EXPECT_TRUE(e.Message().startsWith("Cannot create file")) << e.Message().toStdString();
    }
}

TEST_F(PatchFile, SaveIntoAReadOnlyFolderKeepsThePreviousFile)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "folder permissions do not bind root";
    auto sheet = CreateOwned<TKorDrawSheet>();
    ASSERT_TRUE(QDir(Dir.path()).mkdir("ro"));
    SaveSheetToFile(*sheet, Path("ro/kept.slt"));
    const QByteArray before = Read(Path("ro/kept.slt"));
    QFile::setPermissions(Path("ro"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    Create<TKorTestSource>(sheet.get());
    EXPECT_THROW(SaveSheetToFile(*sheet, Path("ro/kept.slt")), EFileError);
    QFile::setPermissions(Path("ro"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_EQ(Read(Path("ro/kept.slt")), before);
}

TEST(SlotNames, CaptionIsTheFileNameUpToSlt)
{
    const std::pair<const char *, const char *> cases[] = {
        {"C:\\Patches\\My.Patch.SLT", "My.Patch"},
        {"/home/me/patches/My.Patch.slt", "My.Patch"},
        {"a.slt.old", "a"},
        {"b.korvane", "b.korvane"},
        {"/x/y/b.korvane", "b.korvane"},
        {"Slot3", "Slot3"},
        {"mixed/folders\\deep.slt", "deep"},
        {"", ""},
    };
    for (const auto &[file, caption] : cases)
        EXPECT_EQ(SlotNameFromFileName(file), caption) << file;
}

} // namespace
