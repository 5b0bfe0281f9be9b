// The port keeper on its own, through a host of the test's and a clock it turns by hand: a
// port that is listed but does not open is tried less and less often and reported once, and
// news of Korvane's own clients neither hurries nor resets that. And a MIDI system that cannot
// be used at all: one line, the same in the top bar, the reports and the MIDI dialog, no box.
#include "Dialogs.h"
#include "FrmMain.h"
#include "FrmMidDlg.h"
#include "MidiKeeper.h"
#include "MidiTestSupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

#include <stdexcept>
#include <unistd.h>

namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

// Loopback devices whose MIDI system can be made unusable, as a JACK server that stops.
class TFailingSystem : public TLoopbackMidi {
public:
    using TLoopbackMidi::TLoopbackMidi;
    QString Problem() const override { return FProblem; }
    void SetProblem(const QString &problem)
    {
        FProblem = problem;
        PortsChanged();
    }

private:
    QString FProblem;
};

// Opens through the services as the window does; refuses while told to.
struct THost : IMidiPortHost {
    std::shared_ptr<TLoopbackMidi> Midi;
    QString Wanted;
    bool Refuse = false;
    int Tries = 0;
    std::unique_ptr<TMidiOutput> Out;

    TMidiServices &PortServices() const override { return *Midi; }
    QString ConfiguredPort(TMidiSide side) const override { return side == TMidiSide::Out ? Wanted : QString(); }
    bool PortOpen(TMidiSide side) const override { return side == TMidiSide::Out && Out && Out->IsOpen(); }
    QString OpenPortName(TMidiSide) const override { return Out ? Out->ProductName() : QString(); }
    bool PortLost(TMidiSide) const override { return Out && Out->PortLost(); }
    void OpenPort(TMidiSide, const QString &name) override
    {
        ++Tries;
        if (Refuse)
            throw std::runtime_error("the device is busy");
        Out = std::make_unique<TMidiOutput>(nullptr, Midi);
        Out->SetProductName(name);
        Out->Open();
    }
    void ClosePort(TMidiSide) override { Out.reset(); }
};

class Keeper : public ::testing::Test {
protected:
    Keeper()
    {
        Host.Midi = Midi;
        Host.Wanted = "Synth";
        KeeperUnderTest = std::make_unique<TMidiPortKeeper>(Host, &Panel, nullptr, [this] { return Now; });
        KeeperUnderTest->SetOnReport([this](const QString &text) { Reports << text; });
        KeeperUnderTest->Watch(Midi);
    }
    // The retry timer's turn, the clock moved to it.
    void RetryDue()
    {
        Now += KeeperUnderTest->RetryDelay();
        KeeperUnderTest->Check();
    }

    std::shared_ptr<TFailingSystem> Midi = std::make_shared<TFailingSystem>(QStringList{}, QStringList{"Synth"});
    THost Host;
    QWidget Panel;
    steady_clock::time_point Now = steady_clock::time_point() + hours(1);
    QStringList Reports;
    std::unique_ptr<TMidiPortKeeper> KeeperUnderTest;
};

TEST(KeeperBackoff, GrowsFromAQuarterSecondDoublingUpToThirtySeconds)
{
    const std::vector<std::pair<int, milliseconds>> rows = {
        {0, 0ms}, {1, 250ms}, {2, 500ms}, {3, 1000ms}, {7, 16000ms}, {8, 30000ms}, {9, 30000ms}, {1000, 30000ms},
    };
    for (const auto &[failures, delay] : rows)
        EXPECT_EQ(TMidiPortKeeper::Backoff(failures), delay) << failures << " failures";
}

TEST_F(Keeper, APortThatRefusesIsTriedLessAndLessOftenReportedOnceAndNotHurriedByItsOwnNews)
{
    Host.Refuse = true;
    KeeperUnderTest->Check();
    EXPECT_EQ(Host.Tries, 1);
    EXPECT_TRUE(KeeperUnderTest->OutputAbsent());
    EXPECT_EQ(KeeperUnderTest->StatusText(), "MIDI out: Synth (absent)");
    ASSERT_EQ(Reports.size(), 1);
    EXPECT_TRUE(Reports[0].startsWith("MIDI out: Synth is there but does not open (the device is busy)"))
        << Reports[0].toStdString();

    // Each try makes and drops a client of Korvane's own: news that lists the same ports of
    // the other programs, which must not bring the next try forward.
    for (int i = 0; i < 5; ++i) {
        Midi->SetOutputs({"Synth"});
        Settle();
    }
    EXPECT_EQ(Host.Tries, 1) << "the keeper spins on its own news";

    const std::vector<milliseconds> waits = {250ms, 500ms, 1s, 2s, 4s, 8s, 16s, 30s, 30s};
    for (size_t i = 0; i < waits.size(); ++i) {
        EXPECT_EQ(KeeperUnderTest->RetryDelay(), waits[i]) << "after try " << i + 1;
        Now += KeeperUnderTest->RetryDelay() / 2;
        KeeperUnderTest->Check(); // too early: not tried
        EXPECT_EQ(Host.Tries, int(i + 1));
        Now += KeeperUnderTest->RetryDelay();
        KeeperUnderTest->Check();
        EXPECT_EQ(Host.Tries, int(i + 2));
    }
    EXPECT_EQ(Reports.size(), 1) << Reports.join(" | ").toStdString();

    // Another program's port is news: the waiting port is tried at once, and from the start.
    Midi->SetOutputs({"Synth", "Drums"});
    Settle();
    EXPECT_EQ(Host.Tries, int(waits.size() + 2));
    EXPECT_EQ(KeeperUnderTest->RetryDelay(), 250ms);

    Host.Refuse = false;
    RetryDue();
    EXPECT_TRUE(Host.PortOpen(TMidiSide::Out));
    EXPECT_FALSE(KeeperUnderTest->OutputAbsent());
    EXPECT_EQ(KeeperUnderTest->RetryDelay(), 0ms);
    EXPECT_EQ(KeeperUnderTest->StatusText(), "");
    EXPECT_EQ(Reports.size(), 1);
}

TEST_F(Keeper, ASystemThatStopsIsReportedOnceItsPortClosedAndOpenedAgainWhenItReturns)
{
    KeeperUnderTest->Check();
    ASSERT_TRUE(Host.PortOpen(TMidiSide::Out));
    const QString stopped = "JACK server stopped: waiting for it";
    Midi->SetProblem(stopped);
    Settle();
    EXPECT_FALSE(Host.PortOpen(TMidiSide::Out)) << "a port of a system that stopped is closed";
    EXPECT_EQ(KeeperUnderTest->StatusText(), stopped);
    EXPECT_EQ(Host.Tries, 1) << "nothing is tried while the system cannot be used";
    EXPECT_EQ(KeeperUnderTest->RetryDelay(), 0ms);
    Midi->SetOutputs({"Synth"});
    Settle();
    EXPECT_EQ(Reports, QStringList{stopped});

    Midi->SetProblem({});
    Settle();
    EXPECT_TRUE(Host.PortOpen(TMidiSide::Out));
    EXPECT_EQ(Host.Tries, 2);
    EXPECT_EQ(KeeperUnderTest->StatusText(), "");
    ASSERT_EQ(Reports.size(), 2);
    EXPECT_TRUE(Reports[1].contains("can be used again")) << Reports[1].toStdString();
}

// ---- A MIDI system that is missing, in the window -------------------------------------------

struct TBoxes : IDialogs {
    QStringList Shown;
    void ShowMessage(const QString &text) override { Shown << text; }
    void ShowError(const QString &text) override { Shown << text; }
};

TEST(MissingMidiSystem, IsOneLineInTheTopBarTheReportsAndTheDialogWithoutABox)
{
    struct TCase {
        const char *Name;
        std::function<std::shared_ptr<TMidiServices>()> Make;
        QString Begins; // how the line starts: it names the system
        QString Remedy; // and what to do
    };
    const std::vector<TCase> cases = {
        {"ALSA without its sequencer", [] { return CreateRtMidiServices(TMidiApi::Alsa, "/nonexistent/snd/seq"); },
         "The ALSA sequencer is not available", "modprobe snd-seq"},
        {"JACK without a server", [] { return CreateMidiServices(TMidiApi::Jack); }, "No JACK server is running",
         "jackd -d dummy"},
    };
    // No server goes by this name: none runs for it, and none is started.
    qputenv("JACK_DEFAULT_SERVER", QByteArray("korvane-test-absent-") + QByteArray::number(getpid()));
    qputenv("JACK_NO_START_SERVER", "1");
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TBoxes boxes;
        SetDialogs(&boxes);
        QStringList reports;
        QTemporaryDir dir;
        QFile f(dir.filePath("korvane.INI"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[Settings]\nMidiIn=Keys\nMidiOut=Korvane\n");
        f.close();
        TMainWindowOptions options;
        options.SettingsFile = f.fileName();
        options.Midi = c.Make();
        options.SaveSettings = false;
        options.MidiReport = [&](const QString &text) { reports << text; };
        const QString problem = options.Midi->Problem();
        EXPECT_TRUE(problem.startsWith(c.Begins)) << problem.toStdString();
        EXPECT_TRUE(problem.contains(c.Remedy)) << problem.toStdString();
        EXPECT_FALSE(problem.contains('\n'));
        {
            TFormMain w(std::move(options));
            Settle();
            EXPECT_EQ(w.MidiKeeper()->StatusText(), problem);
            EXPECT_TRUE(w.MidiKeeper()->StatusLine()->toolTip().startsWith(problem));
            EXPECT_EQ(reports, QStringList{problem});
            EXPECT_FALSE(w.MidiOutOpen() || w.MidiInOpen());
            EXPECT_EQ(w.Settings().MidiOut, "Korvane") << "the choice stays for when the system is there";
            QTimer::singleShot(0, [&] {
                EXPECT_EQ(w.MidiDialog()->ProblemText(), problem);
                w.MidiDialog()->SpeedButtonOk()->click();
            });
            w.MidiSettings();
            Settle();
            EXPECT_EQ(w.Settings().MidiIn, "Keys");
            EXPECT_EQ(reports, QStringList{problem}) << "said once";
            w.close();
        }
        EXPECT_TRUE(boxes.Shown.isEmpty()) << boxes.Shown.join(" | ").toStdString();
        SetDialogs(nullptr);
    }
    qunsetenv("JACK_DEFAULT_SERVER");
    qunsetenv("JACK_NO_START_SERVER");
}

} // namespace
