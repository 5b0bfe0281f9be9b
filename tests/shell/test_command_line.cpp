// The korvane program run from the command line on the patches in tests/fixtures/cli: event
// lines against expectations worked out by hand from the modules' rules, MIDI files read back
// by this program's reader and by an independent one, checking, converting, usage errors, and
// input files that stay untouched.
//
// How the expectations come about: modules compute in sheet order, then the cables carry every
// output to its inputs, so a value reaches the next module one tick later. A square of knob 90
// runs 4 ticks (high at counter 0, 1, 2, low at 3, the counter being 1 at tick 0); a saw of knob
// 150 runs 8 ticks and, asymmetric at amplitude 8, outputs its counter 0 .. 7.
#include "MidiFile.h"
#include "MidiServices.h"
#include "TestPrint.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <chrono>
#include <csignal>
#include <thread>
#include <pthread.h>
#include <unistd.h>

namespace {

struct TRun {
    int Exit = -1;
    QString Out, Err;
};

TRun Korvane(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(KORVANE_PROGRAM), args);
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        ADD_FAILURE() << "korvane did not finish: " << args.join(' ').toStdString();
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

QString Fixture(const QString &name)
{
    return QStringLiteral(KORVANE_FIXTURES "/cli/") + name;
}

QStringList Lines(const QString &text)
{
    return text.split(u'\n', Qt::SkipEmptyParts);
}

QByteArray Sha(const QString &file)
{
    QFile f(file);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << file.toStdString();
    return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
}

// A note-off and note-on at the same tick, as the retriggering voice sends them.
QStringList Retrigger(int tick, const char *off, const char *on)
{
    return {QStringLiteral("%1 80 %2 7f").arg(tick).arg(off), QStringLiteral("%1 90 %2 7f").arg(tick).arg(on)};
}

const QStringList GateNotes = {"1 90 3c 7f", "3 80 3c 7f", "4 90 3c 7f", "7 80 3c 7f", "8 90 3c 7f", "11 80 3c 7f"};
const QStringList Controllers = {"0 b1 07 00", "0 e0 00 40", "1 b1 07 64", "1 e0 00 20"};

TEST(CommandLine, RendersTheEventsWorkedOutByHand)
{
    struct TCase {
        const char *Name;
        QStringList Files;
        int Ticks;
        QStringList Expected;
    };
    QStringList table = {"1 90 3c 7f"};
    const char *const scale[] = {"3c", "3e", "40", "41", "43", "45", "47", "48", "3c", "3e"};
    for (int k = 2; k <= 10; ++k)
        table += Retrigger(k, scale[k - 2], scale[k - 1]);
    const std::vector<TCase> cases = {
        // Gate high at ticks 1-2, 4-6, 8-10: each rising gate plays the constant's note 60.
        {"GateDrivenNotes", {"gate_notes.korvane"}, 12, GateNotes},
        // Saw step k - 2 (counter k - 1) picks table value k - 1 two cables later; the held
        // gate and the retrigger mode stop each note as the next one starts.
        {"TableSequence", {"table_sequence.korvane"}, 11, table},
        // Tick 0: the inputs are still 0, but channel 2 and bend 8192 differ from "nothing
        // sent yet"; tick 1: 800 / 8 = 100 and Round(500 / 2000 x 16383) = 4096.
        {"ControllerAndBend", {"controllers.korvane"}, 5, Controllers},
        {"TwoFilesInSlotOrder", {"gate_notes.korvane", "controllers.korvane"}, 2,
         {"0 b1 07 00", "0 e0 00 40", "1 90 3c 7f", "1 b1 07 64", "1 e0 00 20"}},
        {"AStoppedSlotSendsNothing", {"stopped.korvane", "controllers.korvane"}, 12, Controllers},
        {"OldClassNamesPlayAlike", {"old_gate_notes.slt"}, 12, GateNotes},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        QStringList args = {"--events", "-", "--ticks", QString::number(c.Ticks)};
        for (const QString &f : c.Files)
            args << Fixture(f);
        const TRun run = Korvane(args);
        EXPECT_EQ(run.Exit, 0);
        EXPECT_EQ(Lines(run.Out), c.Expected);
        EXPECT_EQ(run.Err, QString());
    }
}

TEST(CommandLine, MidiInputReachesThePatchesBeforeItsTick)
{
    QTemporaryDir dir;
    const QString in = dir.filePath("keys.mid");
    QFile f(in);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    // 100 ms is tick 5 exactly; 250 ms lies inside tick 12.
    f.write(WriteStandardMidiFile({{100, QByteArray("\x90\x40\x64", 3)}, {250, QByteArray("\x80\x40\x40", 3)}}));
    f.close();
    const TRun run = Korvane({"--events", "-", "--ticks", "20", "--midi-in", in, Fixture("midi_through.korvane")});
    EXPECT_EQ(run.Exit, 0) << run.Err.toStdString();
    // The module takes the message at once; the cable carries it after the tick.
    EXPECT_EQ(Lines(run.Out), QStringList({"6 90 40 64", "13 80 40 7f"}));
}

TEST(CommandLine, MidiInputTurnsTheKnobsAPatchBindsToItsControllers)
{
    QTemporaryDir dir;
    const QString in = dir.filePath("fader.mid");
    QFile f(in);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    // Controller 7 of channel 1 at 100 ms (tick 5): the bound constant goes from 800 to the
    // top, 1000, at once; the cable carries it to the controller output after the tick. The
    // same controller on channel 2 is bound to nothing.
    f.write(WriteStandardMidiFile({{100, QByteArray("\xB0\x07\x7F", 3)}, {200, QByteArray("\xB1\x07\x00", 3)}}));
    f.close();
    const TRun run = Korvane({"--events", "-", "--ticks", "12", "--midi-in", in, Fixture("midi_mapped.korvane")});
    EXPECT_EQ(run.Exit, 0) << run.Err.toStdString();
    // Tick 0 sends the input's 0, tick 1 800 / 8 = 100, tick 6 1000 / 8 = 125.
    EXPECT_EQ(Lines(run.Out), QStringList({"0 b1 07 00", "1 b1 07 64", "6 b1 07 7d"}));
    EXPECT_EQ(run.Err, QString());
}

TEST(CommandLine, MidiFileHoldsEveryMessageAtItsMillisecond)
{
    QTemporaryDir dir;
    const QString mid = dir.filePath("out.mid"), events = dir.filePath("events.txt");
    // --seconds 0.11 at 10 ms: 11 ticks.
    const TRun run = Korvane({"--render", mid, "--events", events, "--seconds", "0.11", "--period", "10",
                              Fixture("table_sequence.korvane")});
    ASSERT_EQ(run.Exit, 0) << run.Err.toStdString();
    QFile e(events), m(mid);
    ASSERT_TRUE(e.open(QIODevice::ReadOnly));
    ASSERT_TRUE(m.open(QIODevice::ReadOnly));
    std::vector<TTimedMidi> expected;
    for (const QString &line : Lines(QString::fromLatin1(e.readAll()))) {
        QStringList fields = line.split(u' ');
        const int64_t tick = fields.takeFirst().toLongLong();
        expected.push_back({tick * 10, QByteArray::fromHex(fields.join(QString()).toLatin1())});
    }
    ASSERT_EQ(expected.size(), 19u);
    EXPECT_EQ(expected.back().Ms, 100);
    EXPECT_EQ(ReadStandardMidiFile(m.readAll()), expected);
}

// Debian's python3-mido, a reader written by others, sees the same messages at the same times.
TEST(CommandLine, AnIndependentReaderAgrees)
{
    QTemporaryDir dir;
    const QString mid = dir.filePath("out.mid");
    const TRun run = Korvane({"--render", mid, "--ticks", "11", Fixture("table_sequence.korvane")});
    ASSERT_EQ(run.Exit, 0) << run.Err.toStdString();
    const char *script = "import sys, mido\n"
                         "f = mido.MidiFile(sys.argv[1])\n"
                         "assert f.type == 0 and len(f.tracks) == 1\n"
                         "t = 0.0\n"
                         "for msg in f:\n"
                         "    t += msg.time\n"
                         "    if not msg.is_meta:\n"
                         "        print(round(t * 1000), msg.hex().lower())\n";
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), {"-c", script, mid});
    ASSERT_TRUE(python.waitForFinished(60000));
    ASSERT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    QStringList expected = {"20 90 3c 7f"};
    const char *const scale[] = {"3c", "3e", "40", "41", "43", "45", "47", "48", "3c", "3e"};
    for (int k = 2; k <= 10; ++k)
        for (const QString &line : Retrigger(k, scale[k - 2], scale[k - 1])) {
            QStringList fields = line.split(u' ');
            fields[0] = QString::number(k * 20);
            expected << fields.join(u' ');
        }
    EXPECT_EQ(Lines(QString::fromLatin1(python.readAllStandardOutput())), expected);
}

TEST(CommandLine, CheckReportsEveryMessageALoadWouldShow)
{
    struct TCase {
        const char *Name;
        QStringList Files;
        int Exit;
        QStringList Messages;
    };
    const QString broken = Fixture("broken_cable.korvane"), truncated = Fixture("truncated.korvane");
    const QString nested = Fixture("module_with_object.korvane"), unreadable = Fixture("unreadable_cable.korvane");
    const QString cableFault = ": The (new format) patch is corrupted or incompatible: can't make all the connections. ";
    const std::vector<TCase> cases = {
        {"CleanFiles", {"gate_notes.korvane", "table_sequence.korvane", "old_gate_notes.slt"}, 0, {}},
        {"ACableToAMissingModule",
         {"broken_cable.korvane"},
         1,
         {broken + cableFault + "Line 3: 'Constant0.Out Nowhere0.In'"}},
        {"ACableLineThatCannotBeRead", {"unreadable_cable.korvane"}, 1, {unreadable + cableFault + "Line 4: 'Constant0.Out'"}},
        {"EveryFileIsChecked",
         {"truncated.korvane", "controllers.korvane", "broken_cable.korvane"},
         1,
         {truncated + ":4: Unexpected end of file",
          broken + cableFault + "Line 3: 'Constant0.Out Nowhere0.In'"}},
        {"AnObjectInsideAModule", {"module_with_object.korvane"}, 1, {nested + ":9: Extra: Constant0 cannot hold a TKorConstant"}},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        QStringList args = {"--check"};
        for (const QString &f : c.Files)
            args << Fixture(f);
        const TRun run = Korvane(args);
        EXPECT_EQ(run.Exit, c.Exit);
        EXPECT_EQ(Lines(run.Err), c.Messages);
        EXPECT_EQ(run.Out, QString());
    }
}

TEST(CommandLine, InputFilesAreNeverWritten)
{
    // The old file lies in a folder of its own, so a ".bak" beside it would show.
    QTemporaryDir dir;
    const QString old = dir.filePath("old.slt"), converted = dir.filePath("new.korvane");
    ASSERT_TRUE(QFile::copy(Fixture("old_gate_notes.slt"), old));
    const QByteArray before = Sha(old);

    EXPECT_EQ(Korvane({"--check", old}).Exit, 0);
    EXPECT_EQ(Korvane({"--events", dir.filePath("e.txt"), "--ticks", "3", old}).Exit, 0);
    const TRun convert = Korvane({"--convert", old, converted});
    EXPECT_EQ(convert.Exit, 0) << convert.Err.toStdString();
    EXPECT_EQ(Sha(old), before);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name), QStringList({"e.txt", "new.korvane", "old.slt"}));

    // The converted file names the current classes, keeps the cables, and plays alike.
    QFile f(converted);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QString text = QString::fromLatin1(f.readAll());
    EXPECT_TRUE(text.startsWith("object TKorDrawSheet")) << text.toStdString();
    EXPECT_TRUE(text.contains(": TKorSquare") && text.contains(": TKorMidiOut")) << text.toStdString();
    EXPECT_EQ(Lines(Korvane({"--events", "-", "--ticks", "12", converted}).Out), GateNotes);
}

TEST(CommandLine, TickErrorsAreDiscardedAndCounted)
{
    // 1000 x 1000 x (three constants of 1000 summed on one input) leaves 32 bits from tick 1.
    const TRun run = Korvane({"--events", "-", "--ticks", "10", Fixture("overflow.korvane")});
    EXPECT_EQ(run.Exit, 3);
    EXPECT_EQ(Lines(run.Err), QStringList({"overflow.korvane (" + Fixture("overflow.korvane") +
                                           "): 9 of 10 ticks raised \"Integer overflow\"; the first at tick 1"}));
}

// A patch that raises on every tick but the first, opened before one that plays notes: the
// notes all come out, in the event log and the MIDI file alike, the error is reported for its
// own patch only, and the exit status says that a patch raised.
TEST(CommandLine, APatchThatRaisesSilencesNoOther)
{
    QTemporaryDir dir;
    const QString failing = Fixture("overflow.korvane"), mid = dir.filePath("out.mid");
    const QString report = "overflow.korvane (" + failing + "): 11 of 12 ticks raised \"Integer overflow\"; the first at tick 1";
    const TRun render = Korvane({"--events", "-", "--render", mid, "--ticks", "12", failing, Fixture("gate_notes.korvane")});
    EXPECT_EQ(render.Exit, 3) << render.Err.toStdString();
    EXPECT_EQ(Lines(render.Out), GateNotes);
    EXPECT_EQ(Lines(render.Err), QStringList{report});
    QFile m(mid);
    ASSERT_TRUE(m.open(QIODevice::ReadOnly));
    EXPECT_EQ(ReadStandardMidiFile(m.readAll()).size(), size_t(GateNotes.size()));
}

// The same report at the end of a real-time run, counted over the ticks that ran.
TEST(CommandLine, AHeadlessRunReportsEachPatchThatRaised)
{
    QProcess p;
    p.start(QStringLiteral(KORVANE_PROGRAM), {"--headless", "--midi-api", "loopback", "--stats", "--period", "1", Fixture("overflow.korvane"),
                                              Fixture("gate_notes.korvane")});
    p.setReadChannel(QProcess::StandardError);
    ASSERT_TRUE(p.waitForStarted(10000));
    QString err;
    while (!err.contains("playing") && p.waitForReadyRead(10000))
        err += QString::fromUtf8(p.readAllStandardError());
    ASSERT_TRUE(err.contains("playing")) << err.toStdString();
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // a few hundred ticks
    ::kill(pid_t(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(60000));
    err += QString::fromUtf8(p.readAllStandardError());
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 3) << err.toStdString();
    const QRegularExpressionMatch ticks = QRegularExpression("^ticks=(\\d+) ", QRegularExpression::MultilineOption).match(err);
    ASSERT_TRUE(ticks.hasMatch()) << err.toStdString();
    const int ran = ticks.captured(1).toInt();
    ASSERT_GE(ran, 2) << "too few ticks ran to tell the first from the rest";
    const QString report = QStringLiteral("overflow.korvane (%1): %2 of %3 ticks raised \"Integer overflow\"; the first at tick 1")
                               .arg(Fixture("overflow.korvane"))
                               .arg(ran - 1)
                               .arg(ran);
    EXPECT_EQ(err.count(" ticks raised "), 1) << err.toStdString();
    EXPECT_TRUE(err.contains(report)) << err.toStdString();
}

TEST(CommandLine, ErrorsGiveOneLineAndTheirExitStatus)
{
    struct TCase {
        const char *Name;
        QStringList Args;
        int Exit;
        QString Err;
    };
    const QString gate = Fixture("gate_notes.korvane"), truncated = Fixture("truncated.korvane");
    const QString usage = QStringLiteral(" (korvane --help shows the usage)");
    const std::vector<TCase> cases = {
        {"UnknownOption", {"--loud", gate}, 2, "korvane: unknown option --loud" + usage},
        {"MissingValue", {"--events", "-", gate, "--ticks"}, 2, "korvane: --ticks needs a value" + usage},
        {"NotANumber",
         {"--events", "-", "--ticks", "ten", gate},
         2,
         "korvane: --ticks wants a whole number from 0 to 2147483647, not \"ten\"" + usage},
        {"TicksAndSeconds",
         {"--events", "-", "--ticks", "1", "--seconds", "1", gate},
         2,
         "korvane: give either --ticks or --seconds" + usage},
        {"NoLength", {"--events", "-", gate}, 2, "korvane: give either --ticks or --seconds" + usage},
        {"NoPatch", {"--events", "-", "--ticks", "1"}, 2, "korvane: no patch file to render" + usage},
        {"MissingFile",
         {"--check", gate, "/nonexistent/x.korvane"},
         2,
         "korvane: no such file: /nonexistent/x.korvane" + usage},
        {"DirectoryAsAPatch",
         {"--check", QStringLiteral(KORVANE_FIXTURES)},
         2,
         "korvane: " KORVANE_FIXTURES " is a directory, not a patch file" + usage},
        {"ConvertNeedsTwo", {"--convert", gate}, 2, "korvane: --convert takes an input and an output file" + usage},
        {"TwoModes",
         {"--check", "--events", "-", gate},
         2,
         "korvane: choose one of --render, --events, --check and --convert" + usage},
        {"RenderOptionsElsewhere",
         {"--check", "--seed", "3", gate},
         2,
         "korvane: --ticks, --seconds, --period, --seed and --midi-in belong to --render" + usage},
        {"OscPortWithARender",
         {"--events", "-", "--ticks", "1", "--osc-port", "9000", gate},
         2,
         "korvane: --osc-port belongs to the desktop program and --headless" + usage},
        {"OscPortNoPort",
         {"--headless", "--midi-api", "loopback", "--osc-port", "70000", gate},
         2,
         "korvane: --osc-port wants a port from 0 to 65535, not \"70000\"" + usage},
        {"RecordWithARender",
         {"--events", "-", "--ticks", "1", "--record", "x.mid", gate},
         2,
         "korvane: --record belongs to the desktop program and --headless" + usage},
        {"RecordWithoutAFile", {"--headless", "--midi-api", "loopback", gate, "--record"}, 2,
         "korvane: --record needs a value" + usage},
        {"RecordToStandardOutput",
         {"--headless", "--midi-api", "loopback", "--record", "-", gate},
         2,
         "korvane: --record wants a MIDI file to write, not \"-\"" + usage},
        {"RecordIntoAMissingFolder",
         {"--headless", "--midi-api", "loopback", "--record", "/nonexistent/x.mid", gate},
         1,
         "korvane: Cannot create file \"/nonexistent/x.mid\". No such file or directory"},
        {"BothOutputsOnStandardOutput",
         {"--render", "-", "--events", "-", "--ticks", "1", gate},
         2,
         "korvane: --render and --events both write -" + usage},
        {"PatchThatDoesNotLoad",
         {"--events", "-", "--ticks", "1", truncated},
         1,
         truncated + ":4: Unexpected end of file"},
        {"MidiInputThatIsNoMidiFile",
         {"--events", "-", "--ticks", "1", "--midi-in", gate, gate},
         1,
         gate + ": Invalid MIDI file: no MThd header at byte 0"},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        const TRun run = Korvane(c.Args);
        EXPECT_EQ(run.Exit, c.Exit);
        EXPECT_EQ(Lines(run.Err), QStringList({c.Err}));
        EXPECT_EQ(run.Out, QString());
    }
}

// Two outputs that name one file the other does not exist yet are refused like two that do: the
// names are compared as the writer would resolve them, not by the file they reach.
TEST(CommandLine, TwoSpellingsOfANewOutputAreRefused)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkdir("sub"));
    ASSERT_TRUE(QFile::link(dir.path(), dir.filePath("sub/up")));
    ASSERT_TRUE(QFile::link("X", dir.filePath("toX")));
    const QString gate = Fixture("gate_notes.korvane"), x = dir.filePath("X");
    struct TCase {
        const char *Name;
        QString Events;
    };
    const std::vector<TCase> cases = {
        {"DotSlash", dir.path() + "/./X"},
        {"DoubleSlash", dir.path() + "//X"},
        {"DotDot", dir.path() + "/sub/../X"},
        {"LinkedFolder", dir.path() + "/sub/up/X"},
        {"DanglingLinkToIt", dir.filePath("toX")},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        QProcess p;
        p.setWorkingDirectory(dir.path());
        p.start(QStringLiteral(KORVANE_PROGRAM), {"--render", x, "--events", c.Events, "--ticks", "12", gate});
        ASSERT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitCode(), 2);
        EXPECT_EQ(QString::fromUtf8(p.readAllStandardError()),
                  "korvane: --render and --events both write " + c.Events + " (korvane --help shows the usage)\n");
        EXPECT_FALSE(QFile::exists(x)) << "nothing ran";
    }
    // Relative to the working folder as well, and two files that differ are still two.
    QProcess relative;
    relative.setWorkingDirectory(dir.path());
    relative.start(QStringLiteral(KORVANE_PROGRAM), {"--render", "X", "--events", "./X", "--ticks", "12", gate});
    ASSERT_TRUE(relative.waitForFinished(60000));
    EXPECT_EQ(relative.exitCode(), 2) << relative.readAllStandardError().toStdString();
    const TRun apart = Korvane({"--render", x, "--events", dir.filePath("sub/X"), "--ticks", "12", gate});
    EXPECT_EQ(apart.Exit, 0) << apart.Err.toStdString();
}

// Loading, checking, converting and rendering to standard output write no temporary file: they
// work with a temporary folder that cannot take one.
TEST(CommandLine, NeedsNoTemporaryFolder)
{
    QTemporaryDir dir;
    const QString gate = Fixture("gate_notes.korvane"), old = Fixture("old_gate_notes.slt");
    struct TCase {
        const char *Name;
        QStringList Args;
    };
    const std::vector<TCase> cases = {
        {"Check", {"--check", gate}},
        {"CheckAnOldFile", {"--check", old}},
        {"RenderToStandardOutput", {"--render", "-", "--ticks", "12", gate}},
        {"EventsOfAnOldFile", {"--events", "-", "--ticks", "12", old}},
        {"ConvertAnOldFile", {"--convert", old, dir.filePath("new.korvane")}},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), dir.filePath("absent/tmp"));
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(KORVANE_PROGRAM), c.Args);
        ASSERT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitCode(), 0);
        EXPECT_EQ(p.readAllStandardError(), QByteArray());
    }
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"new.korvane"});
}

TEST(CommandLine, HelpAndVersion)
{
    const TRun help = Korvane({"--help"});
    EXPECT_EQ(help.Exit, 0);
    EXPECT_TRUE(help.Out.startsWith("Usage:\n")) << help.Out.toStdString();
    EXPECT_TRUE(help.Out.contains("korvane --render OUT.mid"));
    for (const char *option : {"korvane --headless", "--period MS", "--midi-api alsa|jack", "--midi-out NAME",
                               "--midi-in NAME", "--stats", "--record REC.mid"})
        EXPECT_TRUE(help.Out.contains(QLatin1String(option))) << option;
    EXPECT_TRUE(help.Out.contains("--convert IN OUT") && help.Out.contains("(\"-\": standard output)"));
    EXPECT_TRUE(help.Out.contains("Exit status: 0 done; 1 ") && help.Out.contains("; 3 (--render,\n--events, --headless) a patch raised"))
        << help.Out.toStdString();
    EXPECT_EQ(Korvane({"--headless", "--help"}).Out, help.Out) << "help wins over the mode";
    const TRun version = Korvane({"--version"});
    EXPECT_EQ(version.Exit, 0);
    EXPECT_EQ(version.Out, "korvane " KORVANE_VERSION "\n");
}

// A headless run whose MIDI system cannot start says so once, in Korvane's words (none of the
// libraries' own lines), and ends with status 1 before announcing ports it never made.
TEST(CommandLine, HeadlessRunWithoutItsMidiSystemEndsWithOnePlainLine)
{
    struct TCase {
        const char *Name;
        QString Api;
        QString Line; // the whole line, or empty for "starts with Prefix"
        QString Prefix;
        bool Possible;
    };
    const std::vector<TCase> cases = {
        // No server goes by this name: none is running for it, and none is started.
        {"JACK without a server", "jack", "korvane: " + JackNotRunningText(), {}, true},
        {"ALSA without its sequencer", "alsa", {}, "korvane: The ALSA sequencer is not available",
         !QFileInfo::exists(QStringLiteral("/dev/snd/seq"))},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        if (!c.Possible)
            continue; // the machine has it
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("JACK_DEFAULT_SERVER"), QStringLiteral("korvane-test-absent-%1").arg(::getpid()));
        env.insert(QStringLiteral("JACK_NO_START_SERVER"), QStringLiteral("1"));
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(KORVANE_PROGRAM), {"--headless", "--midi-api", c.Api, "--midi-out", "Korvane",
                                                  Fixture("gate_notes.korvane")});
        if (!p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished();
            FAIL() << "still running";
        }
        const QStringList err = Lines(QString::fromUtf8(p.readAllStandardError()));
        EXPECT_EQ(p.exitCode(), 1);
        ASSERT_EQ(err.size(), 1) << err.join('\n').toStdString();
        if (!c.Line.isEmpty())
            EXPECT_EQ(err.first(), c.Line);
        else
            EXPECT_TRUE(err.first().startsWith(c.Prefix)) << err.first().toStdString();
        EXPECT_EQ(QString::fromUtf8(p.readAllStandardOutput()), QString());
    }
}

// A stop signal that comes before a headless run has set anything up still ends it cleanly,
// with its statistics. The program is started with both signals blocked and sent one at
// once: it stays pending until korvane takes the signals and unblocks them, which must come
// before anything that can block, so the run must stop by itself as soon as it plays.
TEST(CommandLine, HeadlessRunStoppedByAnEarlySignalStillReportsItsStatistics)
{
    const QRegularExpression stats(QStringLiteral("^ticks=\\d+ skipped=\\d+ late_p50_us=\\d+ late_p99_us=\\d+ "
                                                  "late_max_us=\\d+$"),
                                   QRegularExpression::MultilineOption);
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
        QProcess p;
        p.setChildProcessModifier([] {
            sigset_t stops;
            sigemptyset(&stops);
            sigaddset(&stops, SIGINT);
            sigaddset(&stops, SIGTERM);
            pthread_sigmask(SIG_BLOCK, &stops, nullptr);
        });
        // Loopback ports: the run plays on a machine without any MIDI system, too.
        p.start(QStringLiteral(KORVANE_PROGRAM),
                {"--headless", "--midi-api", "loopback", "--stats", Fixture("gate_notes.korvane")});
        ASSERT_TRUE(p.waitForStarted(10000));
        ::kill(pid_t(p.processId()), signal);
        if (!p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished();
            FAIL() << "still running after the signal";
        }
        const QString err = QString::fromUtf8(p.readAllStandardError());
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << err.toStdString();
        EXPECT_EQ(p.exitCode(), 0) << err.toStdString();
        EXPECT_TRUE(err.contains(stats)) << err.toStdString();
    }
}

} // namespace
