// A render that plays a MIDI file with clock, start, stop and continue into a clock input
// module: the file's real-time messages survive writing and reading, reach the module before
// the tick their time falls in, and the module's outputs follow tick by tick. And in the desktop
// program: an unwired clock output started and stopped with the run, and clock, start and stop
// passed from the input port to the modules.
#include "ClockModules.h"
#include "Dialogs.h"
#include "FrmMain.h"
#include "LoopbackMidi.h"
#include "MidiFile.h"
#include "MidiTestSupport.h"
#include "OfflineRun.h"
#include "Slot.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <string>

namespace {

// Records, after every tick, what reached its four inputs (the clock input's outputs, one tick
// late as every cable is).
class TKorClockRecorder : public TKorModule {
    Q_OBJECT
public:
    Q_INVOKABLE TKorClockRecorder() = default;
    void CreateDetails() override
    {
        TKorModule::CreateDetails();
        for (int i = 0; i < 4; ++i)
            In[i] = AddDetail<TKorInput>(10 + 20 * i, 20, QStringLiteral("In%1").arg(i));
    }
    void Execute() override { Rows.push_back({In[0]->Value(), In[1]->Value(), In[2]->Value(), In[3]->Value()}); }
    std::array<TKorInput *, 4> In{};
    std::vector<std::array<int32_t, 4>> Rows;
};

TEST(ClockRender, AFileWithClockStartStopAndContinueDrivesTheClockInputTickByTick)
{
    // 10 ms ticks; a clock every 25 ms (100 beats per minute), so ticks with and without one.
    std::vector<TTimedMidi> events = {{0, QByteArray(1, char(MidiStart))}};
    for (int64_t ms = 5; ms <= 600; ms += 25)
        events.push_back({ms, QByteArray(1, char(MidiTimingClock))});
    events.push_back({603, QByteArray(1, char(MidiStop))});
    events.push_back({630, QByteArray(1, char(MidiTimingClock))});
    events.push_back({700, QByteArray(1, char(MidiContinue))});
    for (int64_t ms = 705; ms <= 730; ms += 25)
        events.push_back({ms, QByteArray(1, char(MidiTimingClock))});
    const std::vector<TTimedMidi> played = ReadStandardMidiFile(WriteStandardMidiFile(events));
    ASSERT_EQ(played, events);

    TKorModulePageControl pages;
    TKorSlot *slot = pages.NewSlot("Clock");
    auto *in = Create<TKorClockIn>(slot->Sheet());
    auto *recorder = Create<TKorClockRecorder>(slot->Sheet());
    recorder->SetTop(50);
    const TKorOutput *outs[] = {in->OutClock(), in->OutBeat(), in->OutRun(), in->OutTempo()};
    for (int i = 0; i < 4; ++i)
        slot->Sheet()->ToggleConnection(const_cast<TKorOutput *>(outs[i]), recorder->In[size_t(i)]);
    std::string sent;
    TOfflineRun run(pages, 10, [&](int64_t, const char *, size_t) { sent += '!'; });
    run.Run(76, played);
    ASSERT_EQ(recorder->Rows.size(), 76u);
    EXPECT_EQ(sent, "") << "a clock input sends nothing";

    struct TRow {
        int Tick; // the tick the clock input computed; the recorder saw it one tick later
        int32_t Clock, Beat, Run, Tempo;
    };
    const std::vector<TRow> expected = {
        {0, 1000, 1000, 1000, 0},     // start and the first clock (5 ms): the first beat
        {1, 0, 0, 1000, 0},
        {3, 1000, 0, 1000, 1000},     // the second clock (30 ms): 25 ms apart, 100.0 beats per minute
        {4, 0, 0, 1000, 1000},
        {58, 1000, 0, 1000, 1000},    // clock 24 (580 ms)
        {60, 0, 0, 0, 0},             // stopped at 603 ms
        {63, 1000, 0, 0, 0},          // a clock while stopped: a pulse, nothing counted
        {70, 1000, 1000, 1000, 0},    // continued: clock 25 of the run is the second beat
        {73, 1000, 0, 1000, 1000},
    };
    for (const TRow &row : expected) {
        SCOPED_TRACE("tick " + std::to_string(row.Tick));
        const auto &seen = recorder->Rows[size_t(row.Tick + 1)];
        EXPECT_EQ(seen[0], row.Clock);
        EXPECT_EQ(seen[1], row.Beat);
        EXPECT_EQ(seen[2], row.Run);
        EXPECT_EQ(seen[3], row.Tempo);
    }
    int pulses = 0, beats = 0;
    for (const auto &seen : recorder->Rows) {
        pulses += seen[0] > 0;
        beats += seen[1] > 0;
    }
    EXPECT_EQ(pulses, 27);
    EXPECT_EQ(beats, 2);
}

struct TQuietDialogs : IDialogs {
    QStringList Shown;
    void ShowMessage(const QString &text) override { Shown << text; }
    void ShowError(const QString &text) override { Shown << text; }
};

TEST(ClockOutput, AnUnwiredClockOutputStartsAndStopsWithTheRun)
{
    TQuietDialogs boxes;
    SetDialogs(&boxes);
    QTemporaryDir dir;
    QFile ini(dir.filePath("korvane.INI"));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[Settings]\nMidiOut=Drums\n");
    ini.close();
    auto midi = std::make_shared<TLoopbackMidi>(QStringList{}, QStringList{"Drums"});
    {
        TMainWindowOptions options;
        options.SettingsFile = ini.fileName();
        options.Midi = midi;
        options.SaveSettings = false;
        TFormMain w(std::move(options));
        TKorSlot *slot = w.PageControl()->NewSlot("Beat");
        {
            std::lock_guard lock(slot->Guard().Mutex);
            Create<TKorClockOut>(slot->Sheet());
        }
        const auto sent = [&] {
            std::string s;
            for (const auto &m : midi->Sent(0)) // start and stop; the notes off of the end aside
                if (m.size() == 1)
                    s += m[0] == MidiStart ? 's' : m[0] == MidiStop ? 'p' : '?';
            return s;
        };
        EXPECT_TRUE(WaitFor([&] { return sent() == "s"; })) << sent();
        w.SetRunning(false);
        EXPECT_EQ(sent(), "sp");
        w.SetRunning(true);
        EXPECT_TRUE(WaitFor([&] { return sent() == "sps"; })) << sent();
        w.close();
        EXPECT_EQ(sent(), "spsp");
    }
    SetDialogs(nullptr);
    EXPECT_TRUE(boxes.Shown.isEmpty()) << boxes.Shown.join(" | ").toStdString();
}

TEST(ClockInput, TheWindowPassesClockStartAndStopToTheModulesButNotActiveSensing)
{
    TQuietDialogs boxes;
    SetDialogs(&boxes);
    QTemporaryDir dir;
    QFile ini(dir.filePath("korvane.INI"));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[Settings]\nMidiIn=DAW\n");
    ini.close();
    auto midi = std::make_shared<TLoopbackMidi>(QStringList{"DAW"}, QStringList{});
    {
        TMainWindowOptions options;
        options.SettingsFile = ini.fileName();
        options.Midi = midi;
        options.SaveSettings = false;
        TFormMain w(std::move(options));
        ASSERT_TRUE(w.MidiInOpen());
        TKorSlot *slot = w.PageControl()->NewSlot("Follow");
        TKorClockIn *in = nullptr;
        {
            std::lock_guard lock(slot->Guard().Mutex);
            in = Create<TKorClockIn>(slot->Sheet());
        }
        ASSERT_TRUE(midi->Inject(0, {MidiStart}));
        ASSERT_TRUE(midi->Inject(0, {MidiTimingClock}));
        EXPECT_TRUE(WaitFor([&] { return in->OutRun()->Value() == 1000; }));
        EXPECT_TRUE(WaitFor([&] { return in->LastShortMidi() == MidiTimingClock; }));
        ASSERT_TRUE(midi->Inject(0, {0xFE}));
        ASSERT_TRUE(midi->Inject(0, {MidiStop}));
        EXPECT_TRUE(WaitFor([&] { return in->OutRun()->Value() == 0; }));
        EXPECT_EQ(in->LastShortMidi(), MidiStop) << "active sensing is still kept out";
        w.close();
    }
    SetDialogs(nullptr);
    EXPECT_TRUE(boxes.Shown.isEmpty()) << boxes.Shown.join(" | ").toStdString();
}

} // namespace

#include "test_clock_render.moc"
