// MIDI modules: notes, controllers and bends taken from incoming messages, the messages the
// output modules send per tick (only on change, always well formed), the panels, the saved
// settings, silence while the slot is stopped, and the note-off of a sounding note when an
// edit removes its module or stops its slot.
#include "AllocationCounter.h"
#include "LibraryTestSupport.h"
#include "PageControl.h"
#include "PatchFile.h"
#include "Slot.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <utility>

namespace {

// A value reaches an input through its cable at the end of one tick; the module reads it on
// the next.
constexpr int SettleTicks = 2;

uint32_t NoteOn(uint8_t ch, uint8_t note, uint8_t vel) { return MakeShortMsg(ch, 9, note, vel); }
uint32_t NoteOff(uint8_t ch, uint8_t note, uint8_t vel) { return MakeShortMsg(ch, 8, note, vel); }
uint32_t Control(uint8_t ch, uint8_t ctr, uint8_t value) { return MakeShortMsg(ch, 11, ctr, value); }
uint32_t Bend(uint8_t ch, uint8_t low, uint8_t high) { return MakeShortMsg(ch, 14, low, high); }

// A sent message in words, so that a failing comparison reads: "on 0 60 127", "off ...",
// "cc 0 7 100", "bend 0 8192" (channel 0-based; the bend as its 14-bit value).
std::string Describe(uint32_t msg)
{
    const auto [ch, cmd, d1, d2] = SplitShortMsg(msg);
    if (msg > 0xFFFFFF)
        return "malformed " + std::to_string(msg);
    const std::string c = std::to_string(ch) + " ";
    switch (cmd) {
    case 8: return "off " + c + std::to_string(d1) + " " + std::to_string(d2);
    case 9: return "on " + c + std::to_string(d1) + " " + std::to_string(d2);
    case 11: return "cc " + c + std::to_string(d1) + " " + std::to_string(d2);
    case 14: return "bend " + c + std::to_string(d2 * 128 + d1);
    default: return "command " + std::to_string(cmd);
    }
}

using TSent = std::vector<std::string>;

// Wires a test source into `input` and sets the input at once too, so the very next tick
// already reads `value`.
void Wire(TKorDrawSheet &sheet, TKorInput *input, int32_t value)
{
    Drive(sheet, input, value);
    input->SetValue(value);
}

// What the sheet sent since the last call, in words; also checks each message really is the
// module's own and its data bytes fit 7 bits (Describe would otherwise mask them).
TSent TakeSent(TTestHost &host, const TKorCustomModule *from)
{
    TSent sent;
    for (const auto &[sender, msg] : host.MidiShort) {
        EXPECT_EQ(sender, from);
        EXPECT_EQ(msg & 0x808000u, 0u) << "a data byte beyond 7 bits in " << msg;
        sent.push_back(Describe(msg));
    }
    host.MidiShort.clear();
    return sent;
}

struct TMidiInCase {
    const char *Name;
    int32_t ChannelKnob;
    std::vector<uint32_t> Messages;
    int32_t Note, Gate, Vel, VelOff;
    bool Lamp;
};

TEST(MidiIn, NoteMessagesOfTheSelectedChannelSetNoteGateAndVelocities)
{
    const std::vector<TMidiInCase> cases = {
        {"note-on", 1, {NoteOn(0, 60, 100)}, 480, 1000, 800, 0, true},
        {"note-off of the note gives the release velocity", 1, {NoteOn(0, 60, 100), NoteOff(0, 60, 64)}, 480, 0,
         800, 512, false},
        {"note-on with velocity 0 is a note-off with release velocity 0", 1,
         {NoteOn(0, 60, 100), NoteOff(0, 60, 64), NoteOn(0, 60, 100), NoteOn(0, 60, 0)}, 480, 0, 800, 0, false},
        {"overlapping notes: the first one's note-off leaves the gate high", 1,
         {NoteOn(0, 60, 100), NoteOn(0, 64, 90), NoteOff(0, 60, 40)}, 512, 1000, 720, 0, true},
        {"the second note's note-off drops it", 1,
         {NoteOn(0, 60, 100), NoteOn(0, 64, 90), NoteOff(0, 60, 40), NoteOff(0, 64, 30)}, 512, 0, 720, 240, false},
        {"other channels and other messages are ignored", 2,
         {NoteOn(0, 60, 100), Control(1, 60, 100), Bend(1, 0, 100), MakeShortMsg(1, 10, 60, 100)}, 0, 0, 0, 0,
         false},
        {"the sixteenth channel", 16, {NoteOn(14, 50, 50), NoteOn(15, 60, 100)}, 480, 1000, 800, 0, true},
        {"data bytes lose their top bit", 1, {MakeShortMsg(0, 9, 0x80 + 60, 0x80 + 100)}, 480, 1000, 800, 0, true},
    };
    for (const TMidiInCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        auto *m = f.Add<TKorMidiIn>();
        m->SetKnobChValue(c.ChannelKnob);
        for (uint32_t msg : c.Messages)
            f.Sheet->MidiInShort(msg);
        EXPECT_EQ(m->OutNote()->Value(), c.Note);
        EXPECT_EQ(m->OutGate()->Value(), c.Gate);
        EXPECT_EQ(m->OutVel()->Value(), c.Vel);
        EXPECT_EQ(m->OutVelOff()->Value(), c.VelOff);
        EXPECT_EQ(m->Lamp()->On(), c.Lamp);
        EXPECT_EQ(m->LastShortMidi(), c.Messages.back()) << "the base still records what came in";
    }
}

// One step: "InNote" and "InGate" set, the module ticked until it has seen them, and what it
// sent meanwhile.
struct TNoteStep {
    int32_t Note, Gate;
    TSent Sent;
};

struct TMidiOutCase {
    const char *Name;
    bool Retrigger;
    std::vector<TNoteStep> Steps;
};

TEST(MidiOut, GateModeAndRetriggerModeWithAChangingNote)
{
    const std::vector<TMidiOutCase> cases = {
        {"gate mode: a note change while the gate is high waits for the next rising gate",
         false,
         {{480, 0, {}},
          {480, 1000, {"on 0 60 127"}},
          {496, 1000, {}},
          {496, 0, {"off 0 60 127"}},
          {496, 1, {"on 0 62 127"}},
          {504, 1, {}},
          {504, -1000, {"off 0 62 127"}},
          {504, 0, {}}}},
        {"retrigger: each new note stops the old one and starts itself",
         true,
         {{480, 1000, {"on 0 60 127"}},
          {496, 1000, {"off 0 60 127", "on 0 62 127"}},
          {503, 1000, {}}, // 503 div 8 is still 62
          {480, 0, {"off 0 62 127"}},
          {496, 0, {}},
          {496, 1, {"on 0 62 127"}}}},
        {"notes out of range are clamped, not wrapped",
         true,
         {{-5, 1000, {"on 0 0 127"}}, {2000, 1000, {"off 0 0 127", "on 0 127 127"}}, {2000, 0, {"off 0 127 127"}}}},
    };
    for (const TMidiOutCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        auto *m = f.Add<TKorMidiOut>();
        m->SetButtonGateDown(c.Retrigger);
        EXPECT_EQ(m->Retrigger(), c.Retrigger);
        TDrive note = Drive(*f.Sheet, m->InNote()), gate = Drive(*f.Sheet, m->InGate());
        Tick(*f.Sheet, SettleTicks);
        EXPECT_EQ(TakeSent(f.Host, m), TSent{}) << "nothing while the gate is low";
        for (size_t i = 0; i < c.Steps.size(); ++i) {
            const TNoteStep &s = c.Steps[i];
            note.Set(s.Note);
            gate.Set(s.Gate);
            Tick(*f.Sheet, SettleTicks);
            EXPECT_EQ(TakeSent(f.Host, m), s.Sent) << "step " << i;
            EXPECT_EQ(m->Lamp()->On(), s.Gate >= 1) << "step " << i;
        }
    }
}

struct TNoteOptionsCase {
    const char *Name;
    int32_t ChannelKnob;
    std::optional<int32_t> InVel, InVelOff, InCh;
    TSent Sent;
};

TEST(MidiOut, VelocitiesAndChannelFromKnobOrInputsAreClamped)
{
    const std::vector<TNoteOptionsCase> cases = {
        {"unwired: velocities 127 on the knob's channel", 3, {}, {}, {}, {"on 2 60 127", "off 2 60 127"}},
        {"velocities take 8 units a step", 1, 800, 87, {}, {"on 0 60 100", "off 0 60 10"}},
        {"velocities out of range are clamped", 1, 5000, -100, {}, {"on 0 60 127", "off 0 60 0"}},
        {"a wired InCh overrides the knob, without division", 3, {}, {}, 9, {"on 9 60 127", "off 9 60 127"}},
        {"InCh 20 sends on the sixteenth channel", 1, {}, {}, 20, {"on 15 60 127", "off 15 60 127"}},
        {"InCh below 0 sends on the first channel", 5, {}, {}, -4, {"on 0 60 127", "off 0 60 127"}},
    };
    for (const TNoteOptionsCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        auto *m = f.Add<TKorMidiOut>();
        m->SetKnobChValue(c.ChannelKnob);
        Drive(*f.Sheet, m->InNote(), 480);
        TDrive gate = Drive(*f.Sheet, m->InGate());
        if (c.InVel)
            Drive(*f.Sheet, m->InVel(), *c.InVel);
        if (c.InVelOff)
            Drive(*f.Sheet, m->InVelOff(), *c.InVelOff);
        if (c.InCh)
            Drive(*f.Sheet, m->InCh(), *c.InCh);
        gate.Set(1000);
        Tick(*f.Sheet, SettleTicks);
        gate.Set(0);
        Tick(*f.Sheet, SettleTicks);
        EXPECT_EQ(TakeSent(f.Host, m), c.Sent);
    }
}

TEST(MidiOut, ANoteStopsOnTheChannelItStartedOnWhenTheChannelChanges)
{
    TSheetFixture f;
    auto *m = f.Add<TKorMidiOut>();
    TDrive note = Drive(*f.Sheet, m->InNote(), 480), gate = Drive(*f.Sheet, m->InGate(), 1000);
    Tick(*f.Sheet, SettleTicks);
    EXPECT_EQ(TakeSent(f.Host, m), TSent{"on 0 60 127"});
    m->SetKnobChValue(3);
    Tick(*f.Sheet);
    EXPECT_EQ(TakeSent(f.Host, m), TSent{}) << "a channel change alone sends nothing";
    gate.Set(0);
    Tick(*f.Sheet, SettleTicks);
    EXPECT_EQ(TakeSent(f.Host, m), TSent{"off 0 60 127"}) << "a note-off on channel 2 would leave the note hanging";
    gate.Set(1000);
    Tick(*f.Sheet, SettleTicks);
    EXPECT_EQ(TakeSent(f.Host, m), TSent{"on 2 60 127"});

    // The same in retrigger mode with the channel from "InCh".
    m->SetButtonGateDown(true);
    TDrive ch = Drive(*f.Sheet, m->InCh(), 2);
    Tick(*f.Sheet, SettleTicks);
    EXPECT_EQ(TakeSent(f.Host, m), TSent{});
    ch.Set(5);
    note.Set(496);
    Tick(*f.Sheet, SettleTicks);
    EXPECT_EQ(TakeSent(f.Host, m), (TSent{"off 2 60 127", "on 5 62 127"}));
}

TEST(ControlIn, TakesOnlyItsControllerOnItsChannelAndTogglesTheLamp)
{
    TSheetFixture f;
    auto *m = f.Add<TKorControlIn>();
    EXPECT_EQ(m->Channel(), 0);
    EXPECT_EQ(m->Controller(), 2) << "a new module";
    m->SetKnobChValue(2);
    m->SetKnobCtrValue(7);
    struct Row {
        const char *Name;
        uint32_t Msg;
        int32_t Out;
        bool Lamp;
    };
    const std::vector<Row> rows = {
        {"taken", Control(1, 7, 100), 800, true},
        {"another channel", Control(0, 7, 50), 800, true},
        {"another controller", Control(1, 8, 50), 800, true},
        {"not a control change", NoteOn(1, 7, 50), 800, true},
        {"value 0", Control(1, 7, 0), 0, false},
        {"value 127", Control(1, 7, 127), 1016, true},
        {"the same value again still toggles", Control(1, 7, 127), 1016, false},
    };
    for (const Row &r : rows) {
        f.Sheet->MidiInShort(r.Msg);
        EXPECT_EQ(m->Out()->Value(), r.Out) << r.Name;
        EXPECT_EQ(m->Lamp()->On(), r.Lamp) << r.Name;
    }
}

TEST(ControlOut, ANewModuleSendsOnceOnItsFirstTick)
{
    TSheetFixture f;
    auto *m = f.Add<TKorControlOut>();
    Tick(*f.Sheet);
    EXPECT_EQ(TakeSent(f.Host, m), TSent{"cc 0 2 0"});
    Tick(*f.Sheet, 5);
    EXPECT_EQ(TakeSent(f.Host, m), TSent{});

    TSheetFixture quiet;
    auto *q = quiet.Add<TKorControlOut>();
    q->SetKnobCtrValue(0);
    Tick(*quiet.Sheet, 3);
    EXPECT_EQ(TakeSent(quiet.Host, q), TSent{}) << "channel 1, controller 0 and value 0 are what it starts from";
}

TEST(ControlOut, SendsWhenValueChannelOrControllerChangesAfterClamping)
{
    struct Step {
        const char *Name;
        int32_t In, InCh, InCtr;
        TSent Sent;
    };
    const std::vector<Step> steps = {
        {"all wired at 0: as it starts", 0, 0, 0, {}},
        {"value", 800, 0, 0, {"cc 0 0 100"}},
        {"a change within one step", 807, 0, 0, {}},
        {"value above the range", 2000, 0, 0, {"cc 0 0 127"}},
        {"value below the range", -50, 0, 0, {"cc 0 0 0"}},
        {"InCh 20 is the sixteenth channel", -50, 20, 0, {"cc 15 0 0"}},
        {"InCtr above 120", -50, 20, 500, {"cc 15 120 0"}},
        {"channel and controller at once: one message", -50, -3, 7, {"cc 0 7 0"}},
        {"nothing changed", -51, -3, 7, {}},
    };
    TSheetFixture f;
    auto *m = f.Add<TKorControlOut>();
    TDrive in = Drive(*f.Sheet, m->In()), ch = Drive(*f.Sheet, m->InCh()), ctr = Drive(*f.Sheet, m->InCtr());
    for (const Step &s : steps) {
        in.Set(s.In);
        ch.Set(s.InCh);
        ctr.Set(s.InCtr);
        Tick(*f.Sheet, SettleTicks);
        EXPECT_EQ(TakeSent(f.Host, m), s.Sent) << s.Name;
    }
}

TEST(BendIn, ConvertsBendsOfItsChannelScaledByTheSense)
{
    struct Row {
        const char *Name;
        uint8_t Low, High;
        int32_t Sense, Out;
    };
    const std::vector<Row> rows = {
        {"lowest", 0, 0, 1000, -1000},
        {"highest", 127, 127, 1000, 1000},
        {"centre 8192", 0, 64, 1000, 0},
        {"8191 is also 0", 127, 63, 1000, 0},
        {"1 rounds to -1000", 1, 0, 1000, -1000},
        {"three quarters", 0, 96, 1000, 500},
        {"half sense halves the swing", 0, 0, 500, -500},
        {"half sense, highest", 127, 127, 500, 500},
        {"half sense keeps the centre", 0, 64, 500, 0},
        {"sense 0", 127, 127, 0, 0},
    };
    for (const Row &r : rows) {
        TSheetFixture f;
        auto *m = f.Add<TKorBendIn>();
        m->SetKnobSenseValue(r.Sense);
        f.Sheet->MidiInShort(Bend(0, r.Low, r.High));
        EXPECT_EQ(m->Out()->Value(), r.Out) << r.Name;
    }

    TSheetFixture f;
    auto *m = f.Add<TKorBendIn>();
    m->SetKnobChValue(3);
    f.Sheet->MidiInShort(Bend(2, 0, 0));
    for (uint32_t other : {Bend(0, 127, 127), Control(2, 1, 127), NoteOn(2, 127, 127)})
        f.Sheet->MidiInShort(other);
    EXPECT_EQ(m->Out()->Value(), -1000) << "other channels and other messages change nothing";
}

TEST(BendIn, LampChangesEveryFortyFirstBendOfItsChannel)
{
    TSheetFixture f;
    auto *m = f.Add<TKorBendIn>();
    auto bends = [&](int n) {
        for (int i = 0; i < n; ++i) {
            f.Sheet->MidiInShort(Bend(0, uint8_t(i % 128), 64));
            f.Sheet->MidiInShort(Bend(1, 0, 64)); // another channel: not counted
            f.Sheet->MidiInShort(Control(0, 1, 64));
        }
    };
    bends(40);
    EXPECT_FALSE(m->Lamp()->On());
    bends(1);
    EXPECT_TRUE(m->Lamp()->On()) << "the 41st";
    bends(40);
    EXPECT_TRUE(m->Lamp()->On());
    bends(1);
    EXPECT_FALSE(m->Lamp()->On()) << "the 82nd";
}

TEST(BendOut, BendFromInputAndSenseIsClampedAndRoundedHalfToEven)
{
    constexpr int32_t Int32Max = std::numeric_limits<int32_t>::max();
    constexpr int32_t Int32Min = std::numeric_limits<int32_t>::min();
    struct Row {
        const char *Name;
        int32_t In, SenseKnob;
        std::optional<int32_t> InSense;
        int32_t Bend;
    };
    const std::vector<Row> rows = {
        {"0 is the centre: 8191.5 to the even 8192", 0, 1000, {}, 8192},
        {"-1000 is the bottom", -1000, 1000, {}, 0},
        {"+1000 is the top", 1000, 1000, {}, 16383},
        {"above the range", 5000, 1000, {}, 16383},
        {"the largest input neither wraps nor raises", Int32Max, 1000, {}, 16383},
        {"the smallest input", Int32Min, 1000, {}, 0},
        {"half sense lowers the centre", 0, 500, {}, 4096},
        {"sense 0 sends the bottom", 1000, 0, {}, 0},
        {"InSense scales the knob: 500 of 1000, a tie to even", 1000, 1000, 500, 8192},
        {"InSense 500 of knob 500 is sense 250", 1000, 500, 500, 4096},
        {"negative InSense", 1000, 1000, -1000, 0},
    };
    for (const Row &r : rows) {
        TSheetFixture f;
        auto *m = f.Add<TKorBendOut>();
        m->SetKnobSenseValue(r.SenseKnob);
        // The second channel differs from the first, where the module starts, so the first tick
        // sends whatever the bend.
        Wire(*f.Sheet, m->InCh(), 1);
        Wire(*f.Sheet, m->In(), r.In);
        if (r.InSense)
            Wire(*f.Sheet, m->InSense(), *r.InSense);
        Tick(*f.Sheet);
        EXPECT_EQ(TakeSent(f.Host, m), TSent{"bend 1 " + std::to_string(r.Bend)}) << r.Name;
    }

    TSheetFixture f;
    f.Add<TKorBendOut>();
    Tick(*f.Sheet);
    ASSERT_EQ(f.Host.MidiShort.size(), 1u);
    EXPECT_EQ(f.Host.MidiShort[0].second, MakeShortMsg(0, 14, 0, 64)) << "low seven bits first";
}

TEST(BendOut, SendsOnlyWhenBendOrChannelChanges)
{
    TSheetFixture f;
    auto *m = f.Add<TKorBendOut>();
    TDrive in = Drive(*f.Sheet, m->In()), ch = Drive(*f.Sheet, m->InCh());
    Tick(*f.Sheet, SettleTicks);
    EXPECT_EQ(TakeSent(f.Host, m), TSent{"bend 0 8192"}) << "a new module sends once";
    struct Step {
        const char *Name;
        int32_t In, InCh;
        TSent Sent;
    };
    const std::vector<Step> steps = {
        {"unchanged", 0, 0, {}},
        {"bend", 1000, 0, {"bend 0 16383"}},
        {"channel", 1000, 20, {"bend 15 16383"}},
        {"still", 1000, 20, {}},
    };
    for (const Step &s : steps) {
        in.Set(s.In);
        ch.Set(s.InCh);
        Tick(*f.Sheet, SettleTicks);
        EXPECT_EQ(TakeSent(f.Host, m), s.Sent) << s.Name;
    }
}

TEST(BendOut, RaisesWhenInSenseTimesTheSenseOverflows)
{
    TSheetFixture f;
    auto *m = f.Add<TKorBendOut>();
    Drive(*f.Sheet, m->InSense(), 3'000'000);
    Tick(*f.Sheet);
    EXPECT_THROW(Tick(*f.Sheet), EIntOverflow) << "3000000 x 1000 leaves 32 bits";
}

TEST(MidiModules, PanelsCarryTheirConnectorsAndKnobSettings)
{
    struct Connector {
        const char *Name;
        uint8_t Kind;
        int32_t Left, Top;
    };
    struct Panel {
        const char *Class;
        std::vector<Connector> Connectors;
        QPoint ChannelKnob;
        TKnobSpec Second; // the controller or sense knob; Min = Max = 0 for none
    };
    const std::vector<Panel> panels = {
        {"TKorMidiIn",
         {{"OutNote", Asymmetric, 125, 30},
          {"OutGate", Logic, 155, 30},
          {"OutVel", Asymmetric, 185, 30},
          {"OutVelOff", Asymmetric, 215, 30}},
         {60, 18},
         {0, 0, 0, 0}},
        {"TKorMidiOut",
         {{"InNote", Asymmetric, 125, 30},
          {"InGate", Logic, 155, 30},
          {"InVel", Asymmetric, 185, 30},
          {"InVelOff", Asymmetric, 215, 30},
          {"InCh", Asymmetric, 8, 30}},
         {60, 18},
         {0, 0, 0, 0}},
        {"TKorControlIn", {{"Out", Asymmetric, 227, 30}}, {77, 18}, {0, 120, 1, 2}},
        {"TKorControlOut",
         {{"InCh", Asymmetric, 10, 30}, {"InCtr", Asymmetric, 30, 30}, {"In", Asymmetric, 50, 30}},
         {87, 18},
         {0, 120, 1, 2}},
        {"TKorBendIn", {{"Out", Symmetric, 227, 30}}, {77, 18}, {0, 1000, 4, 1000}},
        {"TKorBendOut",
         {{"InCh", Asymmetric, 10, 30}, {"InSense", Asymmetric, 30, 30}, {"In", Symmetric, 50, 30}},
         {87, 18},
         {0, 1000, 4, 1000}},
    };
    for (const Panel &p : panels) {
        SCOPED_TRACE(p.Class);
        TSheetFixture f;
        auto *m = qobject_cast<TKorMidiChannelModule *>(CreateComponent(FindModuleClass(p.Class), f.Sheet.get()));
        ASSERT_TRUE(m);
        EXPECT_EQ(m->Title(), QString::fromLatin1(p.Class).mid(4));
        int connectors = 0;
        for (int i = 0; i < m->ComponentCount(); ++i)
            connectors += qobject_cast<TKorConnector *>(m->Components(i)) != nullptr;
        EXPECT_EQ(connectors, int(p.Connectors.size()));
        for (const Connector &c : p.Connectors) {
            auto *connector = qobject_cast<TKorConnector *>(m->FindComponent(QString::fromLatin1(c.Name)));
            ASSERT_TRUE(connector) << c.Name;
            EXPECT_EQ(connector->SignalKind(), c.Kind) << c.Name;
            EXPECT_EQ(QPoint(connector->Left(), connector->Top()), QPoint(c.Left, c.Top)) << c.Name;
        }
        TKorKnob *ch = m->ChannelKnob();
        EXPECT_EQ(QPoint(ch->Left(), ch->Top()), p.ChannelKnob);
        EXPECT_EQ((std::vector{ch->Min(), ch->Max(), ch->Step(), ch->Position()}), (std::vector{1, 16, 1, 1}));
        EXPECT_EQ(ch->Viewer()->Text(), "1");
        EXPECT_EQ(ch->Viewer()->Width(), 20) << "default width less 15";
        EXPECT_EQ(m->Channel(), 0);
        if (p.Second.Max == 0)
            continue;
        TKorKnob *second = nullptr;
        for (int i = 0; i < m->ComponentCount() && !second; ++i)
            if (auto *k = qobject_cast<TKorKnob *>(m->Components(i)); k && k != ch)
                second = k;
        ASSERT_TRUE(second);
        EXPECT_EQ(QPoint(second->Left(), second->Top()), QPoint(159, 18));
        EXPECT_EQ((std::vector{second->Min(), second->Max(), second->Step(), second->Position()}),
                  (std::vector{p.Second.Min, p.Second.Max, p.Second.Step, p.Second.Position}));
        EXPECT_EQ(second->Viewer()->Width(), 33) << "default width less 2";
    }

    TSheetFixture f;
    auto *out = f.Add<TKorMidiOut>();
    EXPECT_FALSE(out->GateButton()->Glyph().isNull()) << "Square.bmp from the application directory";
    EXPECT_TRUE(out->GateButton()->AllowAllUp());
    EXPECT_FALSE(out->ButtonGateDown());
    EXPECT_FALSE(out->Retrigger());
    EXPECT_EQ(out->SoundingNote(), -1);
}

TEST(MidiModules, SettingsSurviveSaveAndLoadAndReachTheModules)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("midi.korvane");
    {
        TSheetFixture f;
        f.Add<TKorMidiIn>(0, 0)->SetKnobChValue(2);
        auto *out = f.Add<TKorMidiOut>(0, 50);
        out->SetKnobChValue(3);
        out->SetButtonGateDown(true);
        auto *cin = f.Add<TKorControlIn>(0, 100);
        cin->SetKnobChValue(4);
        cin->SetKnobCtrValue(7);
        auto *cout = f.Add<TKorControlOut>(0, 150);
        cout->SetKnobChValue(5);
        cout->SetKnobCtrValue(64);
        auto *bin = f.Add<TKorBendIn>(0, 200);
        bin->SetKnobChValue(6);
        bin->SetKnobSenseValue(500);
        auto *bout = f.Add<TKorBendOut>(0, 250);
        bout->SetKnobChValue(16);
        bout->SetKnobSenseValue(252);
        SaveSheetToFile(*f.Sheet, path);
    }
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    EXPECT_TRUE(text.contains("    KnobChValue = 3\r\n    ButtonGateDown = True\r\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("    KnobChValue = 16\r\n    KnobSenseValue = 252\r\n")) << text.toStdString();

    TOwned<TKorDrawSheet> sheet = ReadSheetFromFile(path);
    sheet->ResolveConnections();
    ASSERT_EQ(sheet->ModuleCount(), 6);
    auto *in = qobject_cast<TKorMidiIn *>(sheet->Modules(0));
    auto *out = qobject_cast<TKorMidiOut *>(sheet->Modules(1));
    auto *cin = qobject_cast<TKorControlIn *>(sheet->Modules(2));
    auto *cout = qobject_cast<TKorControlOut *>(sheet->Modules(3));
    auto *bin = qobject_cast<TKorBendIn *>(sheet->Modules(4));
    auto *bout = qobject_cast<TKorBendOut *>(sheet->Modules(5));
    ASSERT_TRUE(in && out && cin && cout && bin && bout);
    EXPECT_EQ(in->Channel(), 1);
    EXPECT_EQ(out->Channel(), 2);
    EXPECT_TRUE(out->Retrigger());
    EXPECT_EQ(cin->Channel(), 3);
    EXPECT_EQ(cin->Controller(), 7);
    EXPECT_EQ(cout->KnobCtrValue(), 64);
    EXPECT_EQ(bin->Sense(), 500);
    EXPECT_EQ(bout->Channel(), 15);
    EXPECT_EQ(bout->Sense(), 252);

    TTestHost host;
    sheet->SetHost(&host);
    Tick(*sheet);
    std::vector<uint32_t> sent;
    for (const auto &[sender, msg] : host.MidiShort)
        sent.push_back(msg);
    // Control change 64 on channel 5; bend 16383 x 252 / 2000 = 2064.258 on channel 16.
    EXPECT_EQ(sent, (std::vector<uint32_t>{MakeShortMsg(4, 11, 64, 0), MakeShortMsg(15, 14, 2064 & 127, 2064 >> 7)}));
    sheet->SetHost(nullptr);
}

TEST(MidiModules, AStoppedSlotSendsNothingAndTheOutputsSendOnceWhenItRuns)
{
    std::vector<std::string> sent; // outlives the slot, which ends its sounding note as it goes
    TKorSlot slot;
    slot.OnMidiOutShort = [&](QObject *, uint32_t msg) { sent.push_back(Describe(msg)); };
    {
        std::lock_guard lock(slot.Guard().Mutex);
        Create<TKorControlOut>(slot.Sheet());
        Create<TKorBendOut>(slot.Sheet());
        auto *note = Create<TKorMidiOut>(slot.Sheet());
        Drive(*slot.Sheet(), note->InGate(), 1000);
    }
    slot.Sheet()->SetActive(false);
    for (int i = 0; i < 3; ++i)
        slot.Execute();
    EXPECT_TRUE(sent.empty());
    slot.Sheet()->SetActive(true);
    for (int i = 0; i < 3; ++i)
        slot.Execute();
    EXPECT_EQ(sent, (TSent{"cc 0 2 0", "bend 0 8192", "on 0 0 127"}));
}

// A page control with one slot whose patch holds a note output sounding note 62, started on
// channel 5 with release velocity 10 wired (its knob turned to channel 10 since), and a note
// output whose note has already ended. Sent: what the page control sent, in words.
struct TSoundingPatch {
    TKorModulePageControl Pages;
    TKorSlot *Slot = Pages.NewSlot(QString());
    TKorMidiOut *Sounding = nullptr, *Ended = nullptr;
    TSent Sent;

    // Plays both notes and ends one; returns what that sent.
    TSent Start()
    {
        Pages.OnMidiOutShort = [this](QObject *, uint32_t msg) { Sent.push_back(Describe(msg)); };
        TKorDrawSheet &sheet = *Slot->Sheet();
        Sounding = Create<TKorMidiOut>(&sheet);
        Sounding->SetKnobChValue(5);
        Wire(sheet, Sounding->InNote(), 496);
        Wire(sheet, Sounding->InVelOff(), 80);
        Wire(sheet, Sounding->InGate(), 1000);
        Ended = Create<TKorMidiOut>(&sheet);
        Wire(sheet, Ended->InNote(), 480);
        TDrive gate = Drive(sheet, Ended->InGate(), 1000);
        Ended->InGate()->SetValue(1000);
        Run(SettleTicks);
        gate.Set(0);
        Run(SettleTicks);
        Sounding->SetKnobChValue(10);
        return std::exchange(Sent, {});
    }
    // Selects both note outputs only (their sources cannot be copied).
    void SelectNoteOutputs()
    {
        Sounding->SetSelected(true);
        Ended->SetSelected(true);
    }
    void Run(int ticks)
    {
        for (int i = 0; i < ticks; ++i)
            Pages.Execute();
    }
};

struct TSilencingEdit {
    const char *Name;
    std::function<void(TSoundingPatch &)> Edit;
};

TEST(MidiOut, EveryEditThatRemovesASoundingNoteOrStopsItsSlotSendsItsNoteOffOnce)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString empty = dir.filePath("empty.korvane"), stopped = dir.filePath("stopped.korvane");
    SaveSheetToFile(*CreateOwned<TKorDrawSheet>(), empty);
    {
        TOwned<TKorDrawSheet> sheet = CreateOwned<TKorDrawSheet>();
        Create<TKorSlotCtrl>(sheet.get())->SetActive(false);
        SaveSheetToFile(*sheet, stopped);
    }
    const std::vector<TSilencingEdit> edits = {
        {"deleting the selected modules",
         [](TSoundingPatch &p) {
             p.SelectNoteOutputs();
             p.Pages.DeleteSelectedModules();
         }},
        {"cutting the selection",
         [](TSoundingPatch &p) {
             p.SelectNoteOutputs();
             p.Pages.CopySelection();
             p.Pages.DeleteSelectedModules();
         }},
        {"deleting all modules", [](TSoundingPatch &p) { p.Pages.DeleteAllModules(); }},
        {"freeing that module alone by its index",
         [](TSoundingPatch &p) {
             TKorDrawSheet &sheet = *p.Slot->Sheet();
             int index = 0;
             while (sheet.Modules(index) != p.Sounding)
                 ++index;
             TStructuralEdit edit(p.Pages.Guard());
             sheet.FreeModule(index);
         }},
        {"closing its slot", [](TSoundingPatch &p) { p.Pages.CloseActiveSlot(); }},
        {"closing all slots while another is active",
         [](TSoundingPatch &p) {
             p.Pages.NewSlot(QString());
             p.Pages.CloseAllSlots();
         }},
        {"loading a patch over it", [&](TSoundingPatch &p) { p.Slot->LoadFromFile(empty); }},
        {"loading a patch saved stopped over it", [&](TSoundingPatch &p) { p.Slot->LoadFromFile(stopped); }},
        {"stopping its slot with a slot control, then starting it again",
         [](TSoundingPatch &p) {
             auto *control = Create<TKorSlotCtrl>(p.Slot->Sheet());
             std::lock_guard lock(p.Pages.Guard().Mutex);
             control->StopButton()->SetDown(true);
             ASSERT_FALSE(p.Slot->Active());
             // Running again with the gate still high plays nothing until the gate rises anew,
             // and a note the stop did not forget would be ended a second time at the close.
             control->StartButton()->SetDown(true);
             ASSERT_TRUE(p.Slot->Active());
         }},
    };
    for (const TSilencingEdit &e : edits) {
        SCOPED_TRACE(e.Name);
        TSoundingPatch p;
        ASSERT_EQ(p.Start(), (TSent{"on 4 62 127", "on 0 60 127", "off 0 60 127"}));
        e.Edit(p);
        // On the note's own channel, at once; nothing for the note that has ended.
        EXPECT_EQ(p.Sent, TSent{"off 4 62 10"});
        p.Run(SettleTicks);
        p.Pages.CloseAllSlots();
        EXPECT_EQ(p.Sent, TSent{"off 4 62 10"}) << "never a second time";
    }
}

TEST(MidiModules, SendingFromTheTickAllocatesNothing)
{
    TSheetFixture f;
    auto *note = f.Add<TKorMidiOut>();
    auto *control = f.Add<TKorControlOut>();
    auto *bend = f.Add<TKorBendOut>();
    TDrive gate = Drive(*f.Sheet, note->InGate());
    TDrive value = Drive(*f.Sheet, control->In());
    TDrive pitch = Drive(*f.Sheet, bend->In());
    // The recording host's own lists must not grow inside the measured ticks.
    f.Host.MidiShort.reserve(1000);
    f.Host.Invalidated.reserve(10000);
    f.Host.InvalidatedOnThread.reserve(10000);
    Tick(*f.Sheet, SettleTicks);
    AllocationCounter::Start();
    for (int i = 0; i < 50; ++i) {
        gate.Set(i % 2 * 1000);
        value.Set(i * 8);
        pitch.Set(i * 40 - 1000);
        f.Sheet->Execute();
    }
    EXPECT_EQ(AllocationCounter::Stop(), 0u);
    EXPECT_GE(f.Host.MidiShort.size(), 140u) << "the ticks did send";
}

} // namespace
