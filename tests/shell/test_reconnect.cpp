// The configured MIDI ports kept connected while they come and go, without a restart: over
// loopback devices (each step checked exactly), and over a JACK server of the test's own with
// real clients that appear after Korvane started, go away and come back.
#include "Dialogs.h"
#include "FrmMain.h"
#include "FrmMidDlg.h"
#include "JackRevival.h"
#include "JackTestServer.h"
#include "LoopbackMidi.h"
#include "MidiKeeper.h"
#include "MidiModules.h"
#include "Slot.h"

#include <QComboBox>
#include <QFile>
#include <QTimer>
#include <QToolButton>
#include <QLabel>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <unistd.h>

namespace {

struct TBoxes : IDialogs {
    QStringList Messages, Errors;
    void ShowMessage(const QString &text) override { Messages << text; }
    void ShowError(const QString &text) override { Errors << text; }
};

// All notes off on the sixteen channels, as a port opened again receives it first.
std::vector<std::vector<uint8_t>> AllNotesOff()
{
    std::vector<std::vector<uint8_t>> messages;
    for (uint8_t channel = 0; channel < 16; ++channel)
        messages.push_back({uint8_t(0xB0 + channel), 123, 0});
    return messages;
}

class Reconnect : public ::testing::Test {
protected:
    Reconnect() { SetDialogs(&Boxes); }
    ~Reconnect() override
    {
        if (Window)
            Window->close();
        Window.reset();
        SetDialogs(nullptr);
    }

    TFormMain &Make(const QByteArray &settings, std::shared_ptr<TMidiServices> midi)
    {
        Reports.clear();
        QFile f(Dir.filePath("korvane.INI"));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(settings);
        f.close();
        TMainWindowOptions options;
        options.SettingsFile = f.fileName();
        options.Midi = std::move(midi);
        options.SaveSettings = false;
        options.MidiReport = [this](const QString &text) { Reports << text; };
        Window = std::make_unique<TFormMain>(std::move(options));
        return *Window;
    }

    // A note as a module sends it: through the page control, under the patch lock.
    void SendNote(uint8_t status, uint8_t note, uint8_t velocity)
    {
        std::lock_guard lock(Window->PageControl()->Guard().Mutex);
        Window->PageControl()->OnMidiOutShort(nullptr, MakeShortMsg(status & 15, status >> 4, note, velocity));
    }

    // A note input module on a new slot.
    TKorMidiIn *AddNoteInput()
    {
        TKorSlot *slot = Window->PageControl()->NewSlot("Keys");
        std::lock_guard lock(slot->Guard().Mutex);
        return Create<TKorMidiIn>(slot->Sheet());
    }

    QString Status() const
    {
        const QLabel *line = Window->MidiKeeper()->StatusLine();
        const QString text = Window->MidiKeeper()->StatusText();
        // The line shows it (shortened where the panel is too narrow), the tooltip whole.
        EXPECT_TRUE(line->text() == text || line->text().endsWith(QChar(0x2026))) << line->text().toStdString();
        EXPECT_EQ(line->toolTip().startsWith(text + "\n"), !text.isEmpty()) << line->toolTip().toStdString();
        return text;
    }

    // A JACK server of the test's own, ended after the window, so that the clients Korvane
    // opened there (the port-less ones that list and watch the ports too) go before it.
    TJackServer &StartJack()
    {
        Jack = std::make_unique<TJackServer>();
        return *Jack;
    }

    QTemporaryDir Dir;
    TBoxes Boxes;
    QStringList Reports; // the keeper's one-line reports, as a headless run prints them
    std::unique_ptr<TJackServer> Jack;
    std::unique_ptr<TFormMain> Window;
};

TEST_F(Reconnect, AnOutputThatComesGoesAndComesBackIsOpenedWithAllNotesOffFirst)
{
    auto midi = std::make_shared<TLoopbackMidi>(QStringList{}, QStringList{"Other"});
    TFormMain &w = Make("[Settings]\nMidiOut=Synth\n", midi);
    const QStringList startMessages = Boxes.Messages; // the start still says it could not open it
    EXPECT_FALSE(w.MidiOutOpen());
    EXPECT_EQ(Status(), "MIDI out: Synth (absent)");

    midi->SetOutputs({"Other", "Synth"});
    Settle();
    ASSERT_TRUE(w.MidiOutOpen());
    EXPECT_EQ(w.MidiOutName(), "Synth");
    EXPECT_EQ(Status(), "");
    EXPECT_EQ(midi->Sent(1), AllNotesOff());
    SendNote(0x90, 60, 100);
    midi->ClearSent();

    // Gone: closed, noted, no box; the note that sounded there is not sent again.
    midi->SetOutputs({"Other"});
    Settle();
    EXPECT_FALSE(w.MidiOutOpen());
    EXPECT_EQ(Status(), "MIDI out: Synth (absent)");
    EXPECT_EQ(w.Settings().MidiOut, "Synth") << "the configured name stays";
    SendNote(0x90, 62, 100); // dropped while the port is away

    // Gone and back before the news was handled: the old connection is dead all the same.
    midi->SetOutputs({"Synth"});
    Settle();
    ASSERT_TRUE(w.MidiOutOpen());
    midi->SetOutputs({});
    midi->SetOutputs({"Synth"});
    Settle();
    ASSERT_TRUE(w.MidiOutOpen());
    SendNote(0x90, 64, 100);
    auto expected = AllNotesOff();
    const auto again = AllNotesOff();
    expected.insert(expected.end(), again.begin(), again.end());
    expected.push_back({0x90, 64, 100});
    EXPECT_EQ(midi->Sent(0), expected);
    EXPECT_EQ(Boxes.Messages, startMessages);
    EXPECT_TRUE(Boxes.Errors.isEmpty()) << Boxes.Errors.join(" | ").toStdString();
    EXPECT_EQ(midi->OpenDevices(), 1);

    // Once the window shut down, a port that comes back stays closed.
    w.Shutdown();
    EXPECT_EQ(midi->OpenDevices(), 0);
    midi->SetOutputs({});
    midi->SetOutputs({"Synth"});
    Settle();
    EXPECT_EQ(midi->OpenDevices(), 0);
}

TEST_F(Reconnect, AnInputThatComesLaterReachesTheNoteModules)
{
    auto midi = std::make_shared<TLoopbackMidi>(QStringList{"Pads"}, QStringList{});
    TFormMain &w = Make("[Settings]\nMidiIn=Keys\n", midi);
    TKorMidiIn *keys = AddNoteInput();
    EXPECT_EQ(Status(), "MIDI in: Keys (absent)");
    midi->SetInputs({"Pads", "Keys"});
    Settle();
    ASSERT_TRUE(w.MidiInOpen());
    ASSERT_TRUE(midi->Inject(1, {0x90, 60, 100}));
    EXPECT_TRUE(WaitFor([&] { return keys->OutGate()->Value() == 1000; }));
    EXPECT_EQ(keys->OutNote()->Value(), 480);

    midi->SetInputs({"Pads"});
    Settle();
    EXPECT_FALSE(w.MidiInOpen());
    EXPECT_EQ(Status(), "MIDI in: Keys (absent)");
    midi->SetInputs({"Keys"});
    Settle();
    ASSERT_TRUE(w.MidiInOpen());
    ASSERT_TRUE(midi->Inject(0, {0x80, 60, 0}));
    EXPECT_TRUE(WaitFor([&] { return keys->OutGate()->Value() == 0; }));
}

TEST_F(Reconnect, OwnPortAndUnconfiguredPortsAreLeftAlone)
{
    auto midi = std::make_shared<TLoopbackMidi>(QStringList{"Keys"}, QStringList{"Synth"});
    TFormMain &w = Make("[Settings]\nMidiOut=Korvane\n", midi);
    ASSERT_TRUE(w.MidiOutOpen());
    midi->SetOutputs({});
    midi->SetInputs({});
    Settle();
    EXPECT_TRUE(w.MidiOutOpen()) << "Korvane's own port does not depend on other programs";
    EXPECT_FALSE(w.MidiInOpen());
    EXPECT_EQ(Status(), "");
    EXPECT_TRUE(midi->Sent(MidiMapper).empty()) << "no notes off for a port that never went";
}

TEST_F(Reconnect, TheDialogKeepsAnAbsentPortAndOkLeavesItConfigured)
{
    auto midi = std::make_shared<TLoopbackMidi>(QStringList{"Keys"}, QStringList{"Other"});
    TFormMain &w = Make("[Settings]\nMidiIn=Keys\nMidiOut=Synth\n", midi);
    const int boxes = Boxes.Messages.size();
    QTimer::singleShot(0, [&] {
        EXPECT_EQ(w.MidiDialog()->ComboBoxOutputs()->currentText(), "Synth (absent)");
        w.MidiDialog()->SpeedButtonOk()->click();
    });
    w.MidiSettings();
    EXPECT_EQ(w.Settings().MidiOut, "Synth");
    EXPECT_EQ(w.Settings().MidiIn, "Keys");
    EXPECT_TRUE(w.MidiInOpen());
    EXPECT_EQ(Boxes.Messages.size(), boxes) << "keeping an absent port is no failure";
    midi->SetOutputs({"Synth"});
    Settle();
    EXPECT_TRUE(w.MidiOutOpen());
}

TEST_F(Reconnect, SwitchingTheMidiSystemOpensTheConfiguredPortsOverTheNewOne)
{
    auto before = std::make_shared<TLoopbackMidi>(QStringList{"Keys"}, QStringList{"Synth"});
    TFormMain &w = Make("[Settings]\nMidiIn=Keys\nMidiOut=Synth\n", before);
    ASSERT_TRUE(w.MidiInOpen() && w.MidiOutOpen());
    auto after = std::make_shared<TLoopbackMidi>(QStringList{"Pads", "Keys"}, QStringList{});
    w.SwitchMidiServices(after);
    EXPECT_EQ(before->OpenDevices(), 0);
    EXPECT_TRUE(w.MidiInOpen());
    EXPECT_FALSE(w.MidiOutOpen());
    EXPECT_EQ(Status(), "MIDI out: Synth (absent)");
    EXPECT_EQ(&w.MidiInput()->Services(), after.get());
    ASSERT_TRUE(after->Inject(1, {0x90, 60, 100}));
    EXPECT_TRUE(WaitFor([&] { return w.MidiInput()->MessageCount() == 0; })) << "taken by the window";
    after->SetOutputs({"Synth"});
    Settle();
    EXPECT_TRUE(w.MidiOutOpen());
    EXPECT_EQ(after->Sent(0), AllNotesOff());
    EXPECT_TRUE(Boxes.Messages.isEmpty()) << Boxes.Messages.join(" | ").toStdString();
}

TEST_F(Reconnect, JackChosenInTheDialogWithoutAServerIsTakenAndItsPortsWaitedFor)
{
    qputenv("JACK_DEFAULT_SERVER", QByteArray("korvane-test-absent-") + QByteArray::number(getpid()));
    qputenv("JACK_NO_START_SERVER", "1");
    const std::vector<TMidiApi> apis = AvailableMidiApis();
    if (std::find(apis.begin(), apis.end(), TMidiApi::Jack) == apis.end())
        GTEST_SKIP() << "this RtMidi has no JACK";
    auto midi = std::make_shared<TLoopbackMidi>(QStringList{"Keys"}, QStringList{"Synth"});
    TFormMain &w = Make("[Settings]\nMidiIn=Keys\nMidiOut=Synth\n", midi);
    QString problem;
    QTimer::singleShot(0, [&] {
        w.MidiDialog()->ChooseApi(TMidiApi::Jack);
        problem = w.MidiDialog()->ProblemText();
        w.MidiDialog()->SpeedButtonOk()->click();
    });
    w.MidiSettings();
    EXPECT_TRUE(problem.startsWith("No JACK server is running.")) << problem.toStdString();
    EXPECT_EQ(w.Settings().MidiApi, "jack");
    EXPECT_EQ(w.MidiOutput()->Services().Name(), "jack");
    EXPECT_EQ(midi->OpenDevices(), 0);
    EXPECT_EQ(w.Settings().MidiIn, "Keys") << "the names stay, waiting for their ports";
    EXPECT_EQ(w.Settings().MidiOut, "Synth");
    // The top bar names the system and the remedy in the dialog's words; no box.
    EXPECT_EQ(Status(), problem);
    EXPECT_TRUE(Boxes.Messages.isEmpty() && Boxes.Errors.isEmpty())
        << (Boxes.Messages + Boxes.Errors).join(" | ").toStdString();
    qunsetenv("JACK_DEFAULT_SERVER");
    qunsetenv("JACK_NO_START_SERVER");
}

// ---- Over JACK -------------------------------------------------------------------------------

QProcess *StartDump(TJackServer &jack)
{
    const bool lineBuffered = !QStandardPaths::findExecutable("stdbuf").isEmpty();
    return lineBuffered ? jack.Start("stdbuf", {"-oL", "jack_midi_dump"}) : jack.Start("jack_midi_dump", {});
}

TEST_F(Reconnect, OverJackAnOutputClientThatAppearsLaterGoesAndReturnsReceivesNotes)
{
    TJackServer &jack = StartJack();
    if (!jack.WhyNot().empty())
        GTEST_SKIP() << jack.WhyNot();
    auto services = CreateMidiServices(TMidiApi::Jack);
    ASSERT_EQ(services->Problem(), "");
    TFormMain &w = Make("[Settings]\nMidiApi=jack\nMidiOut=midi-monitor:input\n", services);
    EXPECT_FALSE(w.MidiOutOpen());
    const QStringList startMessages = Boxes.Messages;
    WaitFor([] { return false; }, 2000); // the client appears 2 s after Korvane started

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "appearing" : "returning");
        QProcess *dump = StartDump(jack);
        ASSERT_TRUE(WaitFor([&] { return w.MidiOutOpen(); }, 8000)) << Status().toStdString();
        EXPECT_EQ(Status(), "");
        SendNote(0x90, 60 + round, 100);
        QString seen;
        ASSERT_TRUE(DumpShows(*dump, seen, QStringLiteral("90 %1 64").arg(60 + round, 2, 16))) << seen.toStdString();
        // All notes off reached the client before the note.
        EXPECT_LT(seen.indexOf("bf 7b 00"), seen.indexOf(QStringLiteral("90 %1 64").arg(60 + round, 2, 16)))
            << seen.toStdString();
        EXPECT_GE(seen.indexOf("bf 7b 00"), 0) << seen.toStdString();
        TJackServer::End(*dump, false);
        ASSERT_TRUE(WaitFor([&] { return !w.MidiOutOpen(); }, 8000));
        EXPECT_EQ(Status(), "MIDI out: midi-monitor:input (absent)");
    }
    EXPECT_EQ(Boxes.Messages, startMessages) << "a port that goes is noted, not boxed";
}

TEST_F(Reconnect, OverJackNotesFromAnInputClientThatAppearsLaterReachTheNoteModule)
{
    TJackServer &jack = StartJack();
    if (!jack.WhyNot().empty())
        GTEST_SKIP() << jack.WhyNot();
    auto services = CreateMidiServices(TMidiApi::Jack);
    ASSERT_EQ(services->Problem(), "");
    TFormMain &w = Make("[Settings]\nMidiApi=jack\nMidiIn=seq:out\n", services);
    TKorMidiIn *keys = AddNoteInput();
    EXPECT_FALSE(w.MidiInOpen());
    WaitFor([] { return false; }, 2000);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "appearing" : "returning");
        keys->OutNote()->SetValue(0);
        // Key 60 + round at velocity 64, twice a second.
        QProcess *seq = jack.Start("jack_midiseq", {"seq", "24000", "0", QString::number(60 + round), "2000"});
        ASSERT_TRUE(WaitFor([&] { return w.MidiInOpen(); }, 8000)) << Status().toStdString();
        EXPECT_TRUE(WaitFor([&] { return keys->OutNote()->Value() == (60 + round) * 8; }, 8000));
        EXPECT_EQ(keys->OutVel()->Value(), 64 * 8);
        TJackServer::End(*seq, false);
        ASSERT_TRUE(WaitFor([&] { return !w.MidiInOpen(); }, 8000));
        EXPECT_EQ(Status(), "MIDI in: seq:out (absent)");
    }
}

// The JACK server stops (as `kill` stops it) and starts again, and the synthesizer's client
// with it: Korvane says so in the top bar, makes its clients again by itself and plays to the
// configured port, all notes off first; Korvane's own port is there again for others to
// connect to. Over Korvane's own clients and over RtMidi's, which stand in for them.
TEST_F(Reconnect, OverJackAServerThatStopsAndReturnsIsTakenAgain)
{
    struct TCase {
        const char *Name;
        std::shared_ptr<TMidiServices> (*Make)();
        QByteArray Settings;
        bool ConnectOwnPort; // the test joins Korvane:Korvane to the synthesizer, as a user would
    };
    const std::vector<TCase> cases = {
        {"a configured port", [] { return CreateMidiServices(TMidiApi::Jack); },
         "[Settings]\nMidiApi=jack\nMidiOut=midi-monitor:input\n", false},
        {"Korvane's own port", [] { return CreateMidiServices(TMidiApi::Jack); },
         "[Settings]\nMidiApi=jack\nMidiOut=Korvane\n", true},
        {"a configured port through RtMidi", [] { return CreateRtMidiServices(TMidiApi::Jack); },
         "[Settings]\nMidiApi=jack\nMidiOut=midi-monitor:input\n", false},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TJackServer &jack = StartJack();
        if (!jack.WhyNot().empty())
            GTEST_SKIP() << jack.WhyNot();
        auto services = c.Make();
        ASSERT_EQ(services->Problem(), "");
        TFormMain &w = Make(c.Settings, services);
        const QStringList startBoxes = Boxes.Messages + Boxes.Errors; // a port absent at the start
        for (int round = 0; round < 2; ++round) {
            SCOPED_TRACE(round == 0 ? "first server" : "after the restart");
            QProcess *dump = StartDump(jack);
            // Generous: under a loaded machine RtMidi's clients have once taken more than 15 s
            // to be made again; how soon notes return is measured in the restart bench.
            ASSERT_TRUE(WaitFor([&] { return w.MidiOutOpen() && Status().isEmpty(); }, 40000))
                << Status().toStdString();
            if (c.ConnectOwnPort) {
                ASSERT_TRUE(WaitFor([&] { return jack.Run("jack_connect", {"Korvane:Korvane", "midi-monitor:input"}) == 0; },
                                    8000));
            }
            const QString note = QStringLiteral("90 %1 64").arg(60 + round, 2, 16);
            QString seen;
            // The dump's client may take a moment to take its cycles: the note is sent until heard.
            ASSERT_TRUE(WaitFor(
                [&] {
                    SendNote(0x90, 60 + round, 100);
                    return DumpShows(*dump, seen, note);
                },
                15000))
                << seen.toStdString();
            if (round == 1 && !c.ConnectOwnPort) {
                // All notes off reached the returned synthesizer before the note.
                EXPECT_GE(seen.indexOf("bf 7b 00"), 0) << seen.toStdString();
                EXPECT_LT(seen.indexOf("bf 7b 00"), seen.indexOf(note)) << seen.toStdString();
            }
            if (round == 1)
                break;
            TJackServer::End(*dump, false);
            ASSERT_TRUE(jack.StopServer());
            ASSERT_TRUE(WaitFor([&] { return Status() == JackStoppedText(); }, 10000)) << Status().toStdString();
            EXPECT_FALSE(w.MidiOutOpen());
            SendNote(0x90, 50, 100); // dropped while there is no server
            ASSERT_TRUE(jack.StartServer());
        }
        EXPECT_EQ(Reports.count(JackStoppedText()), 1) << Reports.join(" | ").toStdString();
        EXPECT_TRUE(Reports.last().startsWith("JACK server running again")) << Reports.join(" | ").toStdString();
        EXPECT_EQ(Boxes.Messages + Boxes.Errors, startBoxes) << "a server that stops is noted, not boxed";
        Window->close();
        Window.reset();
        services.reset();
        Jack.reset();
    }
}

// The same as a user runs it: a headless run plays on through the restart, says so in one
// line each way on standard error, and the synthesizer that returns hears its notes again.
// Off until mended: once in three runs under ctest the headless process hung as the server
// stopped (no line on standard error, no end on SIGTERM); alone it passed.
// libjack may deadlock a client's close that meets its server's end (rarely, on a busy machine):
// then Korvane gives JACK up for the run and says so, and must still play on and end when asked.
TEST_F(Reconnect, OverJackAHeadlessRunPlaysOnThroughAServerRestart)
{
    TJackServer &jack = StartJack();
    if (!jack.WhyNot().empty())
        GTEST_SKIP() << jack.WhyNot();
    QProcess *dump = StartDump(jack);
    ASSERT_TRUE(WaitFor([&] { return jack.Lists("midi-monitor:input"); }, 8000));
    QProcess *korvane = jack.Start(QStringLiteral(KORVANE_PROGRAM),
                                   {"--headless", "--midi-api", "jack", "--midi-out", "midi-monitor:input", "--period",
                                    "10", QStringLiteral(KORVANE_FIXTURES "/cli/gate_notes.korvane")});
    QString err;
    const auto stderrShows = [&](const QStringList &lines) {
        return WaitFor(
            [&] {
                err += QString::fromUtf8(korvane->readAllStandardError());
                return std::any_of(lines.begin(), lines.end(), [&](const QString &l) { return err.contains(l); });
            },
            15000);
    };
    const QString stopped = "korvane: " + JackStoppedText() + "\n";
    const QString stuck = QStringLiteral("korvane: ") + QString::fromUtf8(JackStuckText()) + "\n";
    QString seen;
    ASSERT_TRUE(DumpShows(*dump, seen, "90 3c 7f")) << seen.toStdString() << err.toStdString();

    TJackServer::End(*dump, false);
    ASSERT_TRUE(jack.StopServer());
    EXPECT_TRUE(stderrShows({stopped, stuck})) << err.toStdString();
    ASSERT_TRUE(jack.StartServer());
    dump = StartDump(jack);
    if (!err.contains(stuck)) {
        seen.clear();
        // Generous: the server is looked for once a second, and the machine may be busy.
        const bool heard = WaitFor([&] { return DumpShows(*dump, seen, "90 3c 7f"); }, 15000);
        err += QString::fromUtf8(korvane->readAllStandardError());
        const std::optional<QStringList> ports = jack.Ports({"-c"});
        EXPECT_TRUE(heard) << "dumped: " << seen.toStdString() << "\nkorvane said: " << err.toStdString()
                           << "\nports and connections: " << (ports ? ports->join(u'\n').toStdString() : "?");
        EXPECT_TRUE(stderrShows({"korvane: JACK server running again"})) << err.toStdString();
        EXPECT_EQ(err.count(stopped), 1) << err.toStdString();
    } else {
        std::cout << "libjack got stuck closing a client as its server ended; Korvane went on without JACK\n";
    }
    EXPECT_EQ(korvane->state(), QProcess::Running) << err.toStdString();

    korvane->terminate();
    ASSERT_TRUE(korvane->waitForFinished(15000));
    err += QString::fromUtf8(korvane->readAllStandardError());
    EXPECT_EQ(korvane->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(korvane->exitCode(), 0) << err.toStdString();
}

} // namespace
