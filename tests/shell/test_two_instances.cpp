// The desktop program as a user runs it, twice: a copy of korvane in a folder of its own (so its
// settings file is the test's), shown offscreen, with a session runtime folder of its own for the
// instance channel and a JACK server of its own (jackd with its dummy driver). What the running
// instance does is heard through its MIDI port "Korvane:Korvane", read by jack_midi_dump: a second
// start hands its patch over and ends, and the patch plays in the first one; a second start with
// a missing file ends as well and nothing plays. SIGTERM closes the program as "E&xit" does.
#include "JackTestServer.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <csignal>
#include <optional>

namespace {

bool CopyTree(const QString &from, const QString &to)
{
    if (QFileInfo(from).isFile())
        return QFile::copy(from, to);
    if (!QDir().mkpath(to))
        return false;
    QDirIterator it(from, QDir::AllEntries | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        if (!CopyTree(it.filePath(), QDir(to).filePath(it.fileName())))
            return false;
    }
    return true;
}

// What the programs the test starts see besides the JACK server: a session runtime folder of
// their own for the instance channel, and no screen.
QProcessEnvironment ProgramEnvironment(const QTemporaryDir &runtime)
{
    QProcessEnvironment environment;
    environment.insert("XDG_RUNTIME_DIR", runtime.path());
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    return environment;
}

// A patch whose control output sends one control change on its first tick: channel 3
// (status b2), controller 11, value 0.
const char ControllerPatch[] = "object TKorDrawSheet\n"
                               "  object Expression: TKorControlOut\n"
                               "    KnobChValue = 3\n"
                               "    KnobCtrValue = 11\n"
                               "  end\n"
                               "end\n";
const QString ControlChange = QStringLiteral("b2 0b 00");

class TwoInstances : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Session.WhyNot().empty())
            GTEST_SKIP() << Session.WhyNot();
        ASSERT_TRUE(Home.isValid() && Files.isValid());
        const QString build = QStringLiteral(KORVANE_APPDIR);
        QStringList parts = {QFileInfo(QStringLiteral(KORVANE_PROGRAM)).absoluteFilePath(), build + "/Manual",
                             build + "/bitmaps", build + "/Logo.jpg"};
        for (const QFileInfo &bmp : QDir(build).entryInfoList({"*.bmp"}, QDir::Files))
            parts << bmp.absoluteFilePath();
        for (const QString &part : parts)
            ASSERT_TRUE(CopyTree(part, Home.filePath(QFileInfo(part).fileName()))) << part.toStdString();
        Program = Home.filePath(QStringLiteral("korvane"));
        Settings = Home.filePath(QStringLiteral("korvane.INI"));
        QFile ini(Settings);
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        // An input that exists, as a start without one stops at a message box.
        ini.write("[Settings]\nMidiApi=jack\nMidiIn=keys:out\nMidiOut=Korvane\n");
        ini.close();
        Patch = Files.filePath(QStringLiteral("Expression.korvane"));
        QFile patch(Patch);
        ASSERT_TRUE(patch.open(QIODevice::WriteOnly));
        patch.write(ControllerPatch);
        patch.close();

        // Line-buffered, so that each event is readable as soon as it is dumped.
        const bool lineBuffered = !QStandardPaths::findExecutable("stdbuf").isEmpty();
        Session.Start("jack_midiseq", {"keys", "24000", "0", "60", "2000"});
        ASSERT_TRUE(WaitFor([&] { return Session.Lists("keys:out"); }, 10000));
        Dump = lineBuffered ? Session.Start("stdbuf", {"-oL", "jack_midi_dump"}) : Session.Start("jack_midi_dump", {});
        First = Session.Start(Program, {});
        // The port is opened while the window is made, after the instance channel listens.
        ASSERT_TRUE(WaitFor([&] { return Session.Lists("Korvane:Korvane"); }, 20000))
            << "the first instance did not open its port: " << First->readAllStandardError().toStdString();
        ASSERT_TRUE(WaitFor([&] { return Session.Lists("midi-monitor:input"); }, 10000));
        ASSERT_EQ(Session.Run("jack_connect", {"Korvane:Korvane", "midi-monitor:input"}), 0);
        ASSERT_TRUE(WaitFor([&] { return Session.Lists("   midi-monitor:input", {"-c"}); }, 5000));
    }

    // A later start with the same environment; its exit code (-1: crashed or did not end).
    int SecondStart(const QStringList &arguments) { return Session.Run(Program, arguments, nullptr, 30000); }

    // What the dump has printed so far.
    QString Dumped()
    {
        FDumped += QString::fromLocal8Bit(Dump->readAllStandardOutput());
        return FDumped;
    }
    bool DumpShows(const QString &wanted, int ms)
    {
        return WaitFor([&] { return Dumped().contains(wanted); }, ms);
    }

    QTemporaryDir Runtime;
    TJackServer Session{{}, ProgramEnvironment(Runtime)};
    QTemporaryDir Home, Files;
    QString Program, Settings, Patch;
    QProcess *Dump = nullptr, *First = nullptr;

private:
    QString FDumped;
};

TEST_F(TwoInstances, ASecondStartHandsItsPatchToTheRunningOneAndEnds)
{
    // A missing file: the second start still ends well, and the running one plays nothing.
    const QString before = Dumped();
    EXPECT_EQ(SecondStart({Files.filePath(QStringLiteral("Missing.korvane"))}), 0);
    WaitFor([] { return false; }, 400);
    EXPECT_EQ(Dumped(), before) << "something played after a missing file was handed over";

    EXPECT_EQ(SecondStart({Patch}), 0);
    EXPECT_TRUE(DumpShows(ControlChange, 8000))
        << "dumped: " << Dumped().toStdString() << "\nfirst instance said: " << First->readAllStandardError().toStdString();
    EXPECT_EQ(First->state(), QProcess::Running) << "the first instance ended";
    // A second client of the name would be renamed (Korvane-01).
    const std::optional<QStringList> ports = Session.Ports();
    ASSERT_TRUE(ports) << "jack_lsp failed";
    EXPECT_EQ(ports->filter(QRegularExpression(QStringLiteral("^Korvane(-\\d+)?:"))), QStringList{"Korvane:Korvane"})
        << "the second start opened a port of its own";
}

TEST_F(TwoInstances, SigtermClosesTheRunningInstanceAsExitDoes)
{
    ::kill(First->processId(), SIGTERM);
    ASSERT_TRUE(First->waitForFinished(15000)) << "still running after SIGTERM";
    EXPECT_EQ(First->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(First->exitCode(), 0) << First->readAllStandardError().toStdString();
    // A clean stop sends all notes off on every channel before the port closes.
    EXPECT_TRUE(DumpShows(QStringLiteral("bf 7b 00"), 5000)) << Dumped().toStdString();

    // The settings are written back whole, keeping the port and the MIDI system.
    QFile ini(Settings);
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(ini.readAll());
    EXPECT_TRUE(text.contains(QStringLiteral("\nMidiOut=Korvane\n"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("\nMidiApi=jack\n"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("[Timing]"))) << "the file was not written: " << text.toStdString();
}

} // namespace
