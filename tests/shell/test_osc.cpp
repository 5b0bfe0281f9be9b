// OSC control: addresses and arguments turned into commands; a patch driven through a real
// UDP socket (set, list, subscribe, bad input counted and reported once); the settings and the
// Options menu items of the window.
#include "Arithmetic.h"
#include "FrmMain.h"
#include "LoopbackMidi.h"
#include "OscCommand.h"
#include "OscControl.h"
#include "PageControl.h"
#include "RemoteControl.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QUndoStack>
#include <gtest/gtest.h>
#include <lo/lo.h>

#include <arpa/inet.h>
#include <cmath>
#include <csignal>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

TOscArg Int(int64_t v) { return {'i', v, 0}; }
TOscArg Float(double v) { return {'f', 0, v}; }
TOscArg Text() { return {'s', 0, 0}; }

struct TParseCase {
    const char *Name;
    std::string Address;
    std::vector<TOscArg> Args;
    TOscKind Kind;
    TOscProblem Problem;
    int32_t SlotNumber = 0;
    const char *Slot = "", *Module = "", *Property = "";
    int64_t Value = 0;
};

TEST(OscCommand, AddressesAndArgumentsBecomeCommands)
{
    using K = TOscKind;
    using P = TOscProblem;
    const std::string longName(TOscCommand::NameSize, 'm');
    const std::vector<TParseCase> cases = {
        {"a control by tab number", "/korvane/1/Amp/KnobAmpValue", {Int(250)}, K::SetControl, P::None, 1, "1", "Amp", "KnobAmpValue", 250},
        {"a slot name with dots", "/korvane/arpeggio.korvane/Swell/KnobAmpValue", {Int(-3)}, K::SetControl, P::None, 0,
         "arpeggio.korvane", "Swell", "KnobAmpValue", -3},
        {"a float is rounded", "/korvane/2/Amp/KnobClipValue", {Float(99.5)}, K::SetControl, P::None, 2, "2", "Amp", "KnobClipValue", 100},
        {"a negative float is rounded", "/korvane/2/Amp/KnobClipValue", {Float(-0.6)}, K::SetControl, P::None, 2, "2", "Amp", "KnobClipValue", -1},
        {"a huge float is cut, not overflowed", "/korvane/S/Amp/K", {Float(1e300)}, K::SetControl, P::None, 0, "S", "Amp", "K",
         int64_t(1) << 53},
        {"a 64-bit integer", "/korvane/S/Amp/K", {{'h', int64_t(1) << 40, 0}}, K::SetControl, P::None, 0, "S", "Amp", "K", int64_t(1) << 40},
        {"true presses a button", "/korvane/S/Gate/ButOn", {{'T', 0, 0}}, K::SetControl, P::None, 0, "S", "Gate", "ButOn", 1},
        {"a slot name that only starts with digits", "/korvane/12a/M/P", {Int(1)}, K::SetControl, P::None, 0, "12a", "M", "P", 1},
        {"slot active", "/korvane/3/active", {Int(0)}, K::SlotActive, P::None, 3, "3", "", "", 0},
        {"run", "/korvane/run", {Int(1)}, K::Run, P::None, 0, "", "", "", 1},
        {"run stopped by a float", "/korvane/run", {Float(0.2)}, K::Run, P::None, 0, "", "", "", 0},
        {"all notes off", "/korvane/allnotesoff", {}, K::AllNotesOff, P::None},
        {"all notes off by a pressed button", "/korvane/allnotesoff", {Float(1)}, K::AllNotesOff, P::None},
        {"a released button does nothing", "/korvane/allnotesoff", {Float(0)}, K::None, P::None},
        {"list", "/korvane/list", {}, K::List, P::None},
        {"subscribe", "/korvane/subscribe", {}, K::Subscribe, P::None},
        {"unsubscribe", "/korvane/unsubscribe", {Int(1)}, K::Unsubscribe, P::None},
        {"outside the root", "/x/y", {Int(1)}, K::None, P::UnknownAddress},
        {"the root's name alone", "/korvane", {}, K::None, P::UnknownAddress},
        {"an unknown verb", "/korvane/stop", {Int(1)}, K::None, P::UnknownAddress},
        {"an unknown slot verb", "/korvane/1/mute", {Int(1)}, K::None, P::UnknownAddress},
        {"too deep", "/korvane/1/Amp/KnobAmpValue/x", {Int(1)}, K::None, P::UnknownAddress},
        {"an empty part", "/korvane//Amp/KnobAmpValue", {Int(1)}, K::None, P::UnknownAddress},
        {"a trailing slash", "/korvane/run/", {Int(1)}, K::None, P::UnknownAddress},
        {"the empty address", "", {}, K::None, P::UnknownAddress},
        {"a value missing", "/korvane/1/Amp/KnobAmpValue", {}, K::None, P::WrongArguments},
        {"two values", "/korvane/1/Amp/KnobAmpValue", {Int(1), Int(2)}, K::None, P::WrongArguments},
        {"a string value", "/korvane/1/Amp/KnobAmpValue", {Text()}, K::None, P::WrongArguments},
        {"not a number", "/korvane/1/Amp/KnobAmpValue", {Float(std::nan(""))}, K::None, P::WrongArguments},
        {"run without a value", "/korvane/run", {}, K::None, P::WrongArguments},
        {"list with a string", "/korvane/list", {Text()}, K::None, P::WrongArguments},
        {"a module name too long", "/korvane/1/" + longName + "/KnobAmpValue", {Int(1)}, K::None, P::NameTooLong},
        {"a slot name too long", "/korvane/" + std::string(TOscCommand::SlotSize, 's') + "/active", {Int(1)}, K::None,
         P::NameTooLong},
    };
    for (const TParseCase &c : cases) {
        const TOscCommand got = ParseOscCommand(c.Address, c.Args);
        EXPECT_EQ(got.Kind, c.Kind) << c.Name;
        EXPECT_EQ(got.Problem, c.Problem) << c.Name;
        if (c.Kind != K::SetControl && c.Kind != K::SlotActive && c.Kind != K::Run)
            continue;
        EXPECT_EQ(got.Value, c.Value) << c.Name;
        EXPECT_EQ(got.SlotNumber, c.SlotNumber) << c.Name;
        EXPECT_STREQ(got.Slot, c.Slot) << c.Name;
        EXPECT_STREQ(got.Module, c.Module) << c.Name;
        EXPECT_STREQ(got.Property, c.Property) << c.Name;
    }
}

// A free UDP port on 127.0.0.1 just now.
int FreePort()
{
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &length);
    ::close(s);
    return ntohs(a.sin_port);
}

// Runs the event loop until `done` or a generous deadline; what was waited for is then checked.
template <class F>
bool Await(F done)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

struct TReceived {
    std::string Path, Types;
    std::string Text;
    std::vector<int32_t> Ints;
};

// A client with a socket of its own, so that answers come back to it.
class TOscClient {
public:
    explicit TOscClient(int port) : FServer(lo_server_new(nullptr, nullptr)), FTarget(lo_address_new("127.0.0.1", std::to_string(port).c_str()))
    {
        lo_server_add_method(FServer, nullptr, nullptr, &TOscClient::Handle, this);
    }
    ~TOscClient()
    {
        lo_address_free(FTarget);
        lo_server_free(FServer);
    }
    void Send(const char *path)
    {
        lo_message m = lo_message_new();
        lo_send_message_from(FTarget, FServer, path, m);
        lo_message_free(m);
    }
    lo_address Target() const { return FTarget; }
    // Takes what has arrived so far.
    void Take()
    {
        while (lo_server_recv_noblock(FServer, 0) > 0) {
        }
    }
    // Takes what arrives, keeping the window's loop going, until `count` messages are there.
    bool Receive(size_t count)
    {
        return Await([&] {
            Take();
            return Received.size() >= count;
        });
    }
    std::vector<TReceived> Received;

private:
    static int Handle(const char *path, const char *types, lo_arg **argv, int argc, lo_message, void *self)
    {
        TReceived r{path, types, {}, {}};
        for (int i = 0; i < argc; ++i) {
            if (types[i] == LO_STRING)
                r.Text = reinterpret_cast<const char *>(argv[i]);
            else if (types[i] == LO_INT32)
                r.Ints.push_back(OscArgValue<int32_t>(argv[i]));
        }
        static_cast<TOscClient *>(self)->Received.push_back(r);
        return 0;
    }
    lo_server FServer;
    lo_address FTarget;
};

// A page control with one slot whose name holds a dot and an amplifier named Swell on it.
class OscSocket : public ::testing::Test {
protected:
    OscSocket()
    {
        Slot = Pages.NewSlot(QStringLiteral("arpeggio.korvane"));
        std::lock_guard lock(Pages.Guard().Mutex);
        Amp = Create<TKorAmplifier>(Slot->Sheet());
        Amp->SetName(QStringLiteral("Swell"));
    }
    TKorModulePageControl Pages;
    TKorSlot *Slot = nullptr;
    TKorAmplifier *Amp = nullptr;
};

TEST_F(OscSocket, SetsListsSendsChangesAndCountsWhatItIgnores)
{
    TOscControl osc(Pages);
    const int port = FreePort();
    ASSERT_EQ(osc.Listen(QStringLiteral("127.0.0.1"), port), QString());
    ASSERT_TRUE(osc.Listening());
    TOscClient client(port);
    const char *const amp = "/korvane/arpeggio.korvane/Swell/KnobAmpValue";
    const char *const clip = "/korvane/1/Swell/KnobClipValue";

    // Set in the property's units, stepped as the knob holds it; played, not edited.
    lo_send(client.Target(), amp, "i", 1001);
    lo_send(client.Target(), clip, "f", 250.4f);
    ASSERT_TRUE(Await([&] { return Amp->KnobClipValue() != 0; }));
    EXPECT_EQ(Amp->KnobAmpValue(), 1000) << "stepped by 40";
    EXPECT_EQ(Amp->KnobClipValue(), 252) << "rounded, then stepped by 4";
    EXPECT_EQ(Slot->History()->count(), 0);
    EXPECT_FALSE(Slot->Modified());
    Pages.SetRemoteChangesAreEdits(true);
    lo_send(client.Target(), clip, "i", 500);
    ASSERT_TRUE(Await([&] { return Amp->KnobClipValue() == 500; }));
    EXPECT_TRUE(Slot->Modified()) << "counted as an edit once asked to";
    EXPECT_EQ(Slot->History()->count(), 0);

    // A bundle's messages are taken one by one; a slot made silent stops playing.
    lo_bundle bundle = lo_bundle_new(LO_TT_IMMEDIATE);
    lo_message first = lo_message_new(), second = lo_message_new();
    lo_message_add_int32(first, 100);
    lo_message_add_int32(second, 0);
    lo_bundle_add_message(bundle, clip, first);
    lo_bundle_add_message(bundle, "/korvane/arpeggio.korvane/active", second);
    lo_send_bundle(client.Target(), bundle);
    lo_bundle_free_recursive(bundle);
    ASSERT_TRUE(Await([&] { return !Slot->Active(); }));
    EXPECT_EQ(Amp->KnobClipValue(), 100);
    EXPECT_FALSE(Slot->Sheet()->Active());

    // Every control: address, minimum, maximum, step and value, then the count.
    client.Send("/korvane/list");
    ASSERT_TRUE(client.Receive(3));
    ASSERT_EQ(client.Received.size(), 3u);
    EXPECT_EQ(client.Received[0].Path, "/korvane/list");
    EXPECT_EQ(client.Received[0].Types, "siiii");
    EXPECT_EQ(client.Received[0].Text, amp);
    EXPECT_EQ(client.Received[0].Ints, (std::vector<int32_t>{-10000, 10000, 40, 1000}));
    EXPECT_EQ(client.Received[1].Text, "/korvane/arpeggio.korvane/Swell/KnobClipValue");
    EXPECT_EQ(client.Received[1].Ints, (std::vector<int32_t>{0, 1000, 4, 100}));
    EXPECT_EQ(client.Received[2].Path, "/korvane/list/end");
    EXPECT_EQ(client.Received[2].Ints, std::vector<int32_t>{2});

    // A subscriber hears every value once, then only what changed.
    client.Received.clear();
    client.Send("/korvane/subscribe");
    ASSERT_TRUE(client.Receive(2));
    EXPECT_EQ(osc.SubscriberCount(), 1);
    client.Received.clear();
    {
        std::lock_guard lock(Pages.Guard().Mutex);
        Amp->SetKnobAmpValue(-400);
    }
    osc.SendChanges();
    ASSERT_TRUE(client.Receive(1));
    osc.SendChanges(); // nothing new
    client.Send("/korvane/unsubscribe");
    ASSERT_TRUE(Await([&] { return osc.SubscriberCount() == 0; }));
    client.Take();
    ASSERT_EQ(client.Received.size(), 1u);
    EXPECT_EQ(client.Received[0].Path, amp);
    EXPECT_EQ(client.Received[0].Ints, std::vector<int32_t>{-400});

    // Bad input is counted by reason, and said once.
    QStringList reports;
    osc.OnReport = [&](const QString &line) { reports << line; };
    lo_send(client.Target(), "/x/y", "i", 1);
    lo_send(client.Target(), amp, "s", "loud");
    lo_send(client.Target(), "/korvane/9/Swell/KnobAmpValue", "i", 1);
    lo_send(client.Target(), "/korvane/1/Swell/Title", "i", 1);
    const int raw = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string garbage = "not an OSC message", big(TOscServer::PacketSize + 1, '/');
    for (const std::string &packet : {std::string(), garbage, big})
        ::sendto(raw, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    ::close(raw);
    TOscTally &tally = osc.Tally();
    ASSERT_TRUE(Await([&] {
        return tally.Ignored(TOscTally::UnknownAddress) + tally.Ignored(TOscTally::WrongArguments) + tally.Ignored(TOscTally::NoSuchSlot) +
                   tally.Ignored(TOscTally::NoSuchControl) + tally.Ignored(TOscTally::NotOsc) + tally.Ignored(TOscTally::Oversized) ==
               7;
    }));
    EXPECT_EQ(tally.Ignored(TOscTally::UnknownAddress), 1u);
    EXPECT_EQ(tally.Ignored(TOscTally::WrongArguments), 1u);
    EXPECT_EQ(tally.Ignored(TOscTally::NoSuchSlot), 1u);
    EXPECT_EQ(tally.Ignored(TOscTally::NoSuchControl), 1u);
    EXPECT_EQ(tally.Ignored(TOscTally::NotOsc), 2u) << "the empty packet and the text";
    EXPECT_EQ(tally.Ignored(TOscTally::Oversized), 1u);
    EXPECT_EQ(Amp->KnobAmpValue(), -400);
    osc.CheckReport();
    osc.CheckReport();
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports[0].startsWith(QStringLiteral("OSC: 1 message ignored (unknown address /x/y); 1 (wrong arguments for ")))
        << reports[0].toStdString();
    EXPECT_TRUE(reports[0].contains(QStringLiteral("2 (not OSC)"))) << reports[0].toStdString();
}

// The window: the Options items kept in the settings file and read back at the next start,
// the run driven by OSC, and a port that cannot be bound said in the status line.
TEST(OscWindow, OptionsAreStoredAndDriveTheServer)
{
    QTemporaryDir dir;
    const QString settings = dir.filePath(QStringLiteral("korvane.INI"));
    const auto make = [&] {
        TMainWindowOptions options;
        options.SettingsFile = settings;
        options.Midi = std::make_shared<TLoopbackMidi>(QStringList{"Keys"}, QStringList{"Synth"});
        return std::make_unique<TFormMain>(std::move(options));
    };
    const auto text = [&] {
        QFile f(settings);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    const int port = FreePort();
    {
        auto window = make();
        EXPECT_FALSE(window->Osc()->Listening()) << "off without a port";
        QAction *edits = window->Action(QStringLiteral("OSC and MIDI changes are edits"));
        ASSERT_NE(edits, nullptr);
        EXPECT_TRUE(edits->isCheckable());
        EXPECT_FALSE(edits->isChecked());
        edits->trigger();
        EXPECT_TRUE(window->PageControl()->RemoteChangesAreEdits());
        window->Action(QStringLiteral("MIDI controllers pick up knobs"))->trigger();
        EXPECT_TRUE(window->PageControl()->MidiPickUp());
        window->SetOscAddress(QStringLiteral("127.0.0.1"), port);
        EXPECT_TRUE(window->Osc()->Listening());
        EXPECT_TRUE(text().contains("RemoteChangesAreEdits=1\n")) << text().toStdString();
        EXPECT_TRUE(text().contains("MidiPickUp=1\n")) << text().toStdString();
        EXPECT_TRUE(text().contains(QStringLiteral("OscPort=%1\nOscHost=127.0.0.1\n").arg(port).toUtf8())) << text().toStdString();
        window->close();
    }
    auto window = make();
    EXPECT_TRUE(window->Action(QStringLiteral("OSC and MIDI changes are edits"))->isChecked());
    EXPECT_TRUE(window->PageControl()->RemoteChangesAreEdits());
    EXPECT_TRUE(window->PageControl()->MidiPickUp());
    ASSERT_TRUE(window->Osc()->Listening());
    EXPECT_EQ(window->Osc()->Port(), port);

    ASSERT_TRUE(window->Running());
    lo_address target = lo_address_new("127.0.0.1", std::to_string(port).c_str());
    lo_send(target, "/korvane/run", "i", 0);
    EXPECT_TRUE(Await([&] { return !window->Running(); }));
    lo_send(target, "/korvane/run", "f", 1.0f);
    EXPECT_TRUE(Await([&] { return window->Running(); }));
    lo_address_free(target);

    // A port another socket holds: said, and the window goes on without OSC.
    TOscServer holder;
    ASSERT_EQ(holder.Start(QStringLiteral("127.0.0.1"), 0), QString());
    window->SetOscAddress(QString(), holder.Port());
    EXPECT_FALSE(window->Osc()->Listening());
    auto *problems = window->statusBar()->findChild<QLabel *>(QStringLiteral("LabelProblems"));
    ASSERT_NE(problems, nullptr);
    EXPECT_TRUE(problems->text().startsWith(QStringLiteral("OSC: cannot listen on 127.0.0.1 port %1: ").arg(holder.Port())))
        << problems->text().toStdString();
    window->SetOscAddress(QString(), 0);
    EXPECT_FALSE(text().contains("OscPort")) << "off is the default, not written";
    EXPECT_TRUE(problems->text().isEmpty());
    window->close();
}

// A headless run listens on --osc-port: a control set there is what /korvane/list then says,
// and an unknown address is one line on standard error.
TEST(OscHeadless, ListensOnTheCommandLinesPort)
{
    const int port = FreePort();
    QProcess p;
    p.start(QStringLiteral(KORVANE_PROGRAM), {"--headless", "--midi-api", "loopback", "--osc-port", QString::number(port),
                                              QStringLiteral(KORVANE_FIXTURES "/cli/controllers.korvane")});
    ASSERT_TRUE(p.waitForStarted(10000));
    QString err;
    const auto readUntil = [&](const QString &text) {
        QElapsedTimer t;
        t.start();
        while (!err.contains(text) && t.elapsed() < 20000 && p.state() == QProcess::Running) {
            p.waitForReadyRead(100);
            err += QString::fromUtf8(p.readAllStandardError());
        }
        return err.contains(text);
    };
    ASSERT_TRUE(readUntil(QStringLiteral("; OSC on UDP port %1;").arg(port))) << err.toStdString();
    TOscClient client(port);
    lo_send(client.Target(), "/korvane/controllers.korvane/Level/KnobAmpValue", "i", 500);
    lo_send(client.Target(), "/x/y", "");
    client.Send("/korvane/list");
    ASSERT_TRUE(Await([&] {
        client.Take();
        return !client.Received.empty() && client.Received.back().Path == "/korvane/list/end";
    }));
    bool found = false;
    for (const TReceived &r : client.Received)
        if (r.Text == "/korvane/controllers.korvane/Level/KnobAmpValue") {
            found = true;
            EXPECT_EQ(r.Ints.back(), 500);
        }
    EXPECT_TRUE(found);
    EXPECT_TRUE(readUntil(QStringLiteral("korvane: OSC: 1 message ignored (unknown address /x/y)\n"))) << err.toStdString();
    ::kill(pid_t(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(30000));
    err += QString::fromUtf8(p.readAllStandardError());
    EXPECT_EQ(p.exitCode(), 0) << err.toStdString();
    EXPECT_EQ(err.count(QStringLiteral("OSC: ")), 1) << err.toStdString();
}

TEST(OscReporter, OneLinePerBurstAndPerNewReason)
{
    TOscReporter reporter;
    TOscTally::TTotals totals;
    totals.Examples[TOscTally::UnknownAddress] = "/x/y";
    totals.Examples[TOscTally::WrongArguments] = "/korvane/run";
    const auto t0 = TOscReporter::TClock::time_point{} + 1h;
    EXPECT_EQ(reporter.Update(totals, t0), std::nullopt) << "nothing ignored yet";
    totals.Counts[TOscTally::UnknownAddress] = 12;
    EXPECT_EQ(reporter.Update(totals, t0 + 250ms), QStringLiteral("OSC: 12 messages ignored (unknown address /x/y)"));
    totals.Counts[TOscTally::UnknownAddress] = 5000;
    EXPECT_EQ(reporter.Update(totals, t0 + 500ms), std::nullopt) << "the same burst goes on";
    totals.Counts[TOscTally::UnknownAddress] = 9000;
    totals.Counts[TOscTally::WrongArguments] = 1;
    EXPECT_EQ(reporter.Update(totals, t0 + 750ms),
              QStringLiteral("OSC: 8988 messages ignored (unknown address /x/y); 1 (wrong arguments for /korvane/run)"))
        << "a new reason within the burst";
    totals.Counts[TOscTally::UnknownAddress] = 9500;
    EXPECT_EQ(reporter.Update(totals, t0 + 1s), std::nullopt);
    EXPECT_EQ(reporter.Update(totals, t0 + 5s), std::nullopt) << "quiet";
    totals.Counts[TOscTally::UnknownAddress] = 9501;
    EXPECT_EQ(reporter.Update(totals, t0 + 6s), QStringLiteral("OSC: 501 messages ignored (unknown address /x/y)"))
        << "again after the quiet period, counting since the last line";
}

} // namespace
