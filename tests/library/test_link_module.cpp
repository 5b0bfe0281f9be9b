// The module that follows shared time, against a stand-in session whose beat time the test
// moves: clock, beat and bar pulses in the first tick past each, over tempi and tick periods;
// phase, tempo and run; what the inputs ask of the session; no source, no session.
#include "AllocationCounter.h"
#include "LibraryTestSupport.h"
#include "SessionClock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

namespace {

// A session at a steady tempo whose clock the test sets: beat = Origin + Time x Tempo / 60.
class TFakeSession final : public TKorSessionClock {
public:
    double Time = 0;   // seconds: the deadline of the tick about to run
    double Tempo = 120;
    double Origin = 0; // the beat at time 0
    bool Playing = false;
    bool Present = true;
    std::vector<double> TempoAsked;
    std::vector<bool> PlayingAsked;

    double BeatAt(double t) const { return Origin + t * Tempo / 60; }
    // A tempo change keeps the beat of the present moment, as a session does.
    void SetTempo(double bpm)
    {
        const double beat = BeatAt(Time);
        Tempo = bpm;
        Origin = beat - Time * bpm / 60;
    }

    QString Name() const override { return QStringLiteral("Test session"); }
    bool Capture(double quantum, TSessionPosition &at) override
    {
        if (!Present)
            return false;
        at.Beat = BeatAt(Time);
        at.Phase = at.Beat - std::floor(at.Beat / quantum) * quantum;
        at.Tempo = Tempo;
        at.Playing = Playing;
        return true;
    }
    void RequestTempo(double bpm) override { TempoAsked.push_back(bpm); }
    void RequestPlaying(bool playing) override { PlayingAsked.push_back(playing); }
};

class LinkModule : public ::testing::Test {
protected:
    void SetUp() override
    {
        Link = Create<TKorLink>(F.Sheet.get());
        SetSessionClock(&Session);
    }
    void TearDown() override { SetSessionClock(nullptr); }

    // One tick with its deadline at `seconds`.
    void TickAt(double seconds)
    {
        Session.Time = seconds;
        Tick(*F.Sheet);
    }
    std::array<int32_t, 6> Outputs() const
    {
        return {Link->OutClock()->Value(), Link->OutBeat()->Value(), Link->OutBar()->Value(),
                Link->OutPhase()->Value(), Link->OutTempo()->Value(), Link->OutRun()->Value()};
    }

    TSheetFixture F;
    TFakeSession Session;
    TKorLink *Link = nullptr;
};

// The ticks (deadline n x period) in which the events at beats first + k x step fall: the
// first tick whose deadline reaches the event's time, computed from time, not from beats.
std::set<int64_t> TicksOfEvents(const TFakeSession &s, double step, double period, int64_t ticks)
{
    std::set<int64_t> out;
    const double firstBeat = s.BeatAt(0), lastBeat = s.BeatAt(double(ticks - 1) * period);
    for (double k = std::floor(firstBeat / step) + 1; k * step <= lastBeat; ++k) {
        const double time = (k * step - s.Origin) * 60 / s.Tempo;
        out.insert(int64_t(std::ceil(time / period)));
    }
    return out;
}

TEST_F(LinkModule, PulsesFallInTheFirstTickPastEachClockBeatAndBarAtAnyTempoAndPeriod)
{
    const struct {
        double Bpm, PeriodMs;
        int32_t Quantum;
    } cases[] = {
        {137, 1, 4}, {137, 5, 4}, {120, 10, 3}, {60, 20, 4},  {300, 2, 7},
        {90, 7, 16}, {200, 20, 4}, {137, 20, 4}, {240, 20, 1}, {45.5, 13, 5},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.Bpm << " BPM, " << c.PeriodMs << " ms, quantum " << c.Quantum);
        Session = TFakeSession{};
        Link = Create<TKorLink>(F.Sheet.get()); // nothing before the first tick to count from
        Session.Tempo = c.Bpm;
        Session.Origin = 0.0123; // no event exactly on a deadline
        Link->SetKnobQuantumValue(c.Quantum);
        const double period = c.PeriodMs / 1000;
        // 64 beats and a little more.
        const auto ticks = int64_t(std::ceil(64.3 * 60 / c.Bpm / period));
        std::set<int64_t> clocks, beats, bars;
        for (int64_t n = 0; n < ticks; ++n) {
            TickAt(double(n) * period);
            const auto out = Outputs();
            const std::pair<int32_t, std::set<int64_t> *> pulses[] = {{out[0], &clocks}, {out[1], &beats}, {out[2], &bars}};
            for (auto [value, into] : pulses) {
                ASSERT_TRUE(value == 0 || value == 1000);
                if (value == 1000)
                    into->insert(n);
            }
            const double beat = Session.BeatAt(Session.Time);
            const double phase = std::fmod(beat, c.Quantum) / c.Quantum;
            ASSERT_EQ(out[3], int32_t(std::floor(phase * 1000))) << "tick " << n;
            ASSERT_EQ(out[4], int32_t(std::lround(c.Bpm * 10)));
            ASSERT_EQ(out[5], 0);
        }
        const std::set<int64_t> clockTicks = TicksOfEvents(Session, 1.0 / 24, period, ticks);
        EXPECT_EQ(clocks, clockTicks);
        EXPECT_EQ(beats, TicksOfEvents(Session, 1, period, ticks));
        EXPECT_EQ(bars, TicksOfEvents(Session, c.Quantum, period, ticks));
        // 24 clocks a beat: one pulse each while a tick is shorter than a clock; a tick that
        // reaches two clocks gives one pulse.
        const double clocksPassed = std::floor(Session.BeatAt(double(ticks - 1) * period) * 24) -
                                    std::floor(Session.BeatAt(0) * 24);
        if (period < 60 / c.Bpm / 24)
            EXPECT_EQ(double(clocks.size()), clocksPassed);
        else
            EXPECT_LT(double(clocks.size()), clocksPassed);
        EXPECT_GE(clocksPassed, 64 * 24);
    }
}

TEST_F(LinkModule, AJumpBackPlaysTheNewPositionsClockBeatAndBarAndTempoAndRunFollowTheSession)
{
    Session.Tempo = 120; // a clock every 20.8 ms; ticks of 5 ms
    Session.Origin = 10.3;
    for (int n = 0; n < 20; ++n)
        TickAt(n * 0.005);
    // The session starts with beat 0 at the next deadline, as a start requested there does.
    Session.Time = 0.1;
    Session.Origin = -Session.Time * 2;
    Session.Playing = true;
    Tick(*F.Sheet);
    EXPECT_EQ(Outputs(), (std::array<int32_t, 6>{1000, 1000, 1000, 0, 1200, 1000}));
    TickAt(0.105);
    EXPECT_EQ(Outputs(), (std::array<int32_t, 6>{0, 0, 0, 2, 1200, 1000})) << "0.01 beat of 4: 2 per mille";
    // A tempo change goes on from the same beat.
    Session.Time = 0.11;
    Session.SetTempo(137.5);
    Tick(*F.Sheet);
    EXPECT_EQ(Link->OutTempo()->Value(), 1375);
    EXPECT_EQ(Link->OutClock()->Value(), 0);
    // A small step back (a session that moved its beats a little) is not a new clock.
    Session.Origin -= 0.001;
    TickAt(0.11);
    EXPECT_EQ(Outputs()[0], 0);
    Session.Playing = false;
    TickAt(0.115);
    EXPECT_EQ(Link->OutRun()->Value(), 0);
}

TEST_F(LinkModule, AChangeAtAWiredInputAsksTheSessionOnceAndWhatCameWithoutASourceIsAskedWhenOneComes)
{
    TickAt(0);
    EXPECT_TRUE(Session.TempoAsked.empty() && Session.PlayingAsked.empty()) << "nothing wired asks nothing";
    TDrive tempo = Drive(*F.Sheet, Link->InTempo(), 1200);
    TDrive run = Drive(*F.Sheet, Link->InRun(), 0);
    // A cable carries its value into the input one tick later.
    const struct {
        int32_t Tempo, Run;
        std::vector<double> TempoAsked;
        std::vector<bool> PlayingAsked;
    } steps[] = {
        {1200, 0, {}, {}},
        {1200, 0, {120}, {}},        // the first value wired
        {1375, 1000, {120}, {}},
        {1375, 1000, {120, 137.5}, {true}},
        {0, 1000, {120, 137.5}, {true}}, // 0 is no tempo
        {1200, 0, {120, 137.5}, {true}},
        {1200, 0, {120, 137.5, 120}, {true, false}},
        {1200, 500, {120, 137.5, 120}, {true, false}},
        {1200, 500, {120, 137.5, 120}, {true, false, true}}, // high from 1 up
    };
    int n = 0;
    for (const auto &s : steps) {
        SCOPED_TRACE(n);
        tempo.Set(s.Tempo);
        run.Set(s.Run);
        TickAt(0.01 * ++n);
        EXPECT_EQ(Session.TempoAsked, s.TempoAsked);
        EXPECT_EQ(Session.PlayingAsked, s.PlayingAsked);
    }
    // Without a source nothing is asked; the source that comes gets what the inputs say now.
    SetSessionClock(nullptr);
    tempo.Set(900);
    run.Set(0);
    TickAt(0.2);
    TickAt(0.21);
    SetSessionClock(&Session);
    TickAt(0.22);
    EXPECT_EQ(Session.TempoAsked, (std::vector<double>{120, 137.5, 120, 90}));
    EXPECT_EQ(Session.PlayingAsked, (std::vector<bool>{true, false, true, false}));
    // Taking the cables away asks nothing.
    F.Sheet->ToggleConnection(tempo.Source->Out, Link->InTempo());
    F.Sheet->ToggleConnection(run.Source->Out, Link->InRun());
    TickAt(0.23);
    EXPECT_EQ(Session.TempoAsked.size(), 4u);
    EXPECT_EQ(Session.PlayingAsked.size(), 4u);
}

TEST_F(LinkModule, WithoutASourceOrASessionEveryOutputIsZeroAndThePanelSaysSo)
{
    Session.Origin = 3.99;
    Session.Playing = true;
    TickAt(0);
    TickAt(0.02);
    EXPECT_EQ(Outputs(), (std::array<int32_t, 6>{1000, 1000, 1000, 7, 1200, 1000})) << "beat 4.03 of bars of 4";
    EXPECT_EQ(Link->SourceLabel()->Text(), "Link off") << "made before the news of a source";
    emit SessionClockNews().Changed();
    EXPECT_EQ(Link->SourceLabel()->Text(), "Test session");

    Session.Present = false; // the server it reads is gone
    TickAt(0.04);
    EXPECT_EQ(Outputs(), (std::array<int32_t, 6>{}));
    EXPECT_FALSE(Link->Lamp()->On());
    Session.Present = true;
    TickAt(0.06);
    EXPECT_EQ(Link->OutClock()->Value(), 0) << "the first tick back has no tick before it to count from";
    EXPECT_TRUE(Link->Lamp()->On()) << "beat 4.11: the first half of a beat";
    EXPECT_EQ(Link->OutTempo()->Value(), 1200);

    SetSessionClock(nullptr);
    TickAt(0.08);
    EXPECT_EQ(Outputs(), (std::array<int32_t, 6>{}));
    emit SessionClockNews().Changed();
    EXPECT_EQ(Link->SourceLabel()->Text(), "Link off");
    // A module made while a source is on names it at once.
    SetSessionClock(&Session);
    EXPECT_EQ(Create<TKorLink>(F.Sheet.get())->SourceLabel()->Text(), "Test session");
}

TEST_F(LinkModule, TheTickAllocatesNothingAndTheQuantumIsSavedAsItsProperty)
{
    Drive(*F.Sheet, Link->InTempo(), 1200);
    Drive(*F.Sheet, Link->InRun(), 1000);
    Session.TempoAsked.reserve(100);
    Session.PlayingAsked.reserve(100);
    TickAt(0);
    AllocationCounter::Start();
    for (int n = 1; n < 200; ++n)
        TickAt(n * 0.005);
    EXPECT_EQ(AllocationCounter::Stop(), 0u);
    EXPECT_EQ(Session.TempoAsked.size(), 1u);

    EXPECT_STREQ(Link->QuantumKnob()->Property(), "KnobQuantumValue");
    EXPECT_EQ(Link->KnobQuantumValue(), 4);
    Link->setProperty("KnobQuantumValue", 7);
    EXPECT_EQ(Link->QuantumKnob()->Position(), 7);
    Link->SetKnobQuantumValue(40);
    EXPECT_EQ(Link->KnobQuantumValue(), 16) << "1 to 16 beats";
}

} // namespace
