#include "MidiModules.h"

#include "Checked.h"

#include <algorithm>

namespace {

enum TMidiCommand : uint8_t { NoteOffCmd = 8, NoteOnCmd = 9, ControlChangeCmd = 11, PitchBendCmd = 14 };

constexpr int32_t HighestChannel = 15;
constexpr int32_t HighestDataByte = 127;
constexpr int32_t HighestController = 120;
constexpr int32_t HighestBend = 16383;
constexpr int32_t UnitsPerStep = 8;

// A note number or velocity as a signal; a 7-bit byte times 8 cannot overflow.
constexpr int32_t ToSignal(uint8_t dataByte)
{
    return dataByte * UnitsPerStep;
}

// A signal as a data byte, held within 0 .. highest so that every message is well formed.
uint8_t ToDataByte(int32_t value, int32_t highest = HighestDataByte)
{
    return uint8_t(std::clamp(value / UnitsPerStep, 0, highest));
}

// The channel from "InCh" (0-based, not divided) when it is wired, else the knob's.
uint8_t ChannelFrom(const TKorInput *inCh, int32_t selected)
{
    return uint8_t(std::clamp(inCh->IsConnected() ? inCh->Value() : selected, 0, HighestChannel));
}

// Stores `now` in `last` and tells whether it differed.
bool Changed(int32_t &last, int32_t now)
{
    const bool changed = now != last;
    last = now;
    return changed;
}

} // namespace

void TKorMidiChannelModule::AddChannelKnob(QPoint viewerAt, QPoint knobAt)
{
    FChannelKnob = AddKnobWithViewer(*this, viewerAt, -15, knobAt, {1, 16, 1, 1, "KnobChValue"});
    FChannelKnob->SetOnChange([this](TKorKnob *, int32_t position) { FChannel = position - 1; });
}

void TKorMidiIn::CreateDetails()
{
    TKorMidiChannelModule::CreateDetails();
    AddLabel(*this, 123, 14, QStringLiteral("Note"));
    FOutNote = AddOutput(*this, 125, 30, QStringLiteral("OutNote"), Asymmetric);
    AddLabel(*this, 152, 14, QStringLiteral("Gate"));
    FOutGate = AddOutput(*this, 155, 30, QStringLiteral("OutGate"), Logic);
    AddLabel(*this, 185, 14, QStringLiteral("Vel"));
    FOutVel = AddOutput(*this, 185, 30, QStringLiteral("OutVel"), Asymmetric);
    AddLabel(*this, 207, 14, QStringLiteral("Rel vel"));
    FOutVelOff = AddOutput(*this, 215, 30, QStringLiteral("OutVelOff"), Asymmetric);
    FLamp = AddLamp(*this, 159, 5);
    AddChannelKnob({91, 30}, {60, 18});
    AddLabel(*this, 95, 14, QStringLiteral("Ch"));
}

void TKorMidiIn::ShortMidiIn(uint32_t Msg)
{
    TKorMidiChannelModule::ShortMidiIn(Msg);
    auto [channel, command, note, velocity] = SplitShortMsg(Msg);
    if (command == NoteOnCmd && velocity == 0)
        command = NoteOffCmd;
    if (channel != FChannel)
        return;
    if (command == NoteOnCmd) {
        FOutNote->SetValue(ToSignal(note));
        FOutGate->SetValue(1000);
        FOutVel->SetValue(ToSignal(velocity));
        FLamp->SetOn(true);
    } else if (command == NoteOffCmd && ToSignal(note) == FOutNote->Value()) {
        FOutGate->SetValue(0);
        FOutVelOff->SetValue(ToSignal(velocity));
        FLamp->SetOn(false);
    }
}

void TKorMidiOut::CreateDetails()
{
    TKorMidiChannelModule::CreateDetails();
    AddLabel(*this, 123, 14, QStringLiteral("note"));
    FInNote = AddInput(*this, 125, 30, QStringLiteral("InNote"), Asymmetric);
    AddLabel(*this, 152, 14, QStringLiteral("gate"));
    FInGate = AddInput(*this, 155, 30, QStringLiteral("InGate"), Logic);
    AddLabel(*this, 185, 14, QStringLiteral("vel"));
    FInVel = AddInput(*this, 185, 30, QStringLiteral("InVel"), Asymmetric);
    AddLabel(*this, 207, 14, QStringLiteral("rel vel"));
    FInVelOff = AddInput(*this, 215, 30, QStringLiteral("InVelOff"), Asymmetric);
    FLamp = AddLamp(*this, 159, 5);
    AddChannelKnob({91, 30}, {60, 18});
    AddLabel(*this, 95, 14, QStringLiteral("Ch"));
    FInCh = AddInput(*this, 8, 30, QStringLiteral("InCh"), Asymmetric);
    AddLabel(*this, 10, 14, QStringLiteral("ch"));
    FGateButton = AddButton(*this, 30, 20, {.Picture = QStringLiteral("Square.bmp"), .AllowAllUp = true, .Property = "ButtonGateDown"});
    FGateButton->SetOnChange([this](TKorPushButton *, bool down) { FRetrigger = down; });
}

void TKorMidiOut::NoteOff(int32_t releaseVelocity)
{
    // On the note's own channel: a note-off on any other would leave the note sounding.
    const auto channel = uint8_t(FSoundingChannel), note = uint8_t(FSoundingNote);
    SendShortMidi(MakeShortMsg(channel, NoteOffCmd, note, uint8_t(releaseVelocity)));
    FSoundingNote = -1;
}

void TKorMidiOut::Execute()
{
    const uint8_t note = ToDataByte(FInNote->Value());
    const int32_t gate = FInGate->Value();
    const uint8_t velocity = FInVel->IsConnected() ? ToDataByte(FInVel->Value()) : HighestDataByte;
    const uint8_t release = FInVelOff->IsConnected() ? ToDataByte(FInVelOff->Value()) : HighestDataByte;
    const uint8_t channel = ChannelFrom(FInCh, FChannel);
    const bool high = gate >= 1;
    const bool sounding = FSoundingNote >= 0;
    const bool start = FRetrigger ? high && note != FSoundingNote : high && FPrevGate < 1;
    if (start) {
        if (sounding)
            NoteOff(release);
        SendShortMidi(MakeShortMsg(channel, NoteOnCmd, note, velocity));
        FSoundingNote = note;
        FSoundingChannel = channel;
    } else if (!high && sounding && (FRetrigger || FPrevGate >= 1)) {
        NoteOff(release);
    }
    FPrevGate = gate;
    FRelease = release;
    FLamp->SetOn(high);
}

void TKorMidiOut::Silence()
{
    if (FSoundingNote >= 0)
        NoteOff(FRelease);
}

void TKorMidiOut::StopRun()
{
    Silence();
    FPrevGate = 0;
}

void TKorControlIn::CreateDetails()
{
    TKorMidiChannelModule::CreateDetails();
    FOut = AddOutput(*this, 227, 30, QStringLiteral("Out"), Asymmetric);
    FLamp = AddLamp(*this, 230, 20);
    AddChannelKnob({108, 30}, {77, 18});
    AddLabel(*this, 110, 14, QStringLiteral("Ch"));
    FControllerKnob = AddKnobWithViewer(*this, {190, 30}, -2, {159, 18}, {0, HighestController, 1, 2, "KnobCtrValue"});
    FControllerKnob->SetOnChange([this](TKorKnob *, int32_t position) { FController = position; });
    AddLabel(*this, 192, 14, QStringLiteral("Ctr"));
}

void TKorControlIn::ShortMidiIn(uint32_t Msg)
{
    TKorMidiChannelModule::ShortMidiIn(Msg);
    const auto [channel, command, controller, value] = SplitShortMsg(Msg);
    if (command != ControlChangeCmd || channel != FChannel || controller != FController)
        return;
    FOut->SetValue(ToSignal(value));
    FLamp->SetOn(!FLamp->On());
}

void TKorControlOut::CreateDetails()
{
    TKorMidiChannelModule::CreateDetails();
    FInCh = AddInput(*this, 10, 30, QStringLiteral("InCh"), Asymmetric);
    AddLabel(*this, 12, 14, QStringLiteral("ch"));
    FInCtr = AddInput(*this, 30, 30, QStringLiteral("InCtr"), Asymmetric);
    AddLabel(*this, 31, 14, QStringLiteral("ctr"));
    FIn = AddInput(*this, 50, 30, QStringLiteral("In"), Asymmetric);
    AddLabel(*this, 52, 14, QStringLiteral("in"));
    AddChannelKnob({118, 30}, {87, 18});
    AddLabel(*this, 120, 14, QStringLiteral("Ch"));
    FControllerKnob = AddKnobWithViewer(*this, {190, 30}, -2, {159, 18}, {0, HighestController, 1, 2, "KnobCtrValue"});
    AddLabel(*this, 192, 14, QStringLiteral("Ctr"));
}

void TKorControlOut::Execute()
{
    const uint8_t value = ToDataByte(FIn->Value());
    const uint8_t channel = ChannelFrom(FInCh, FChannel);
    const int32_t wanted = FInCtr->IsConnected() ? FInCtr->Value() : FControllerKnob->Position();
    const auto controller = uint8_t(std::clamp(wanted, 0, HighestController));
    // Each comparison also stores, so none may be skipped by a shortcut.
    const bool valueChanged = Changed(FLastValue, value);
    const bool channelChanged = Changed(FLastChannel, channel);
    const bool controllerChanged = Changed(FLastController, controller);
    if (valueChanged || channelChanged || controllerChanged)
        SendShortMidi(MakeShortMsg(channel, ControlChangeCmd, controller, value));
}

void TKorBendIn::CreateDetails()
{
    TKorMidiChannelModule::CreateDetails();
    FOut = AddOutput(*this, 227, 30, QStringLiteral("Out"), Symmetric);
    FLamp = AddLamp(*this, 230, 20);
    AddChannelKnob({108, 30}, {77, 18});
    AddLabel(*this, 110, 14, QStringLiteral("Ch"));
    FSenseKnob = AddKnobWithViewer(*this, {190, 30}, -2, {159, 18}, {0, 1000, 4, 1000, "KnobSenseValue"});
    FSenseKnob->SetOnChange([this](TKorKnob *, int32_t position) { FSense = position; });
    AddLabel(*this, 192, 14, QStringLiteral("Sense"));
}

void TKorBendIn::ShortMidiIn(uint32_t Msg)
{
    TKorMidiChannelModule::ShortMidiIn(Msg);
    const auto [channel, command, low, high] = SplitShortMsg(Msg);
    if (command != PitchBendCmd || channel != FChannel)
        return;
    const int32_t bend = high * 128 + low;
    const double centred = Checked::Mul(bend, 2000) / double(HighestBend) - 1000;
    FOut->SetValue(Round(centred * FSense / 1000.0));
    FCounter = Checked::Add(FCounter, 1);
    if (FCounter >= MessagesPerBlink) {
        FCounter = 0;
        FLamp->SetOn(!FLamp->On());
    }
}

void TKorBendOut::CreateDetails()
{
    TKorMidiChannelModule::CreateDetails();
    FInCh = AddInput(*this, 10, 30, QStringLiteral("InCh"), Asymmetric);
    AddLabel(*this, 9, 14, QStringLiteral("ch"));
    FInSense = AddInput(*this, 30, 30, QStringLiteral("InSense"), Asymmetric);
    AddLabel(*this, 23, 14, QStringLiteral("sense")); // the captions make room for "sense"
    FIn = AddInput(*this, 50, 30, QStringLiteral("In"), Symmetric);
    AddLabel(*this, 54, 14, QStringLiteral("in"));
    AddChannelKnob({118, 30}, {87, 18});
    AddLabel(*this, 120, 14, QStringLiteral("Ch"));
    FSenseKnob = AddKnobWithViewer(*this, {190, 30}, -2, {159, 18}, {0, 1000, 4, 1000, "KnobSenseValue"});
    FSenseKnob->SetOnChange([this](TKorKnob *, int32_t position) { FSense = position; });
    AddLabel(*this, 192, 14, QStringLiteral("Sense"));
}

void TKorBendOut::Execute()
{
    const uint8_t channel = ChannelFrom(FInCh, FChannel);
    const bool channelChanged = Changed(FLastChannel, channel);
    const int32_t sense = FInSense->IsConnected() ? Round(Checked::Mul(FInSense->Value(), FSense) / 1000.0) : FSense;
    // Confined before rounding, so that no input, however far out of range, fails to round.
    const double scaled = (double(FIn->Value()) + 1000) / 2000 * HighestBend * sense / 1000;
    const int32_t bend = Round(std::clamp(scaled, 0.0, double(HighestBend)));
    if (Changed(FLastBend, bend) || channelChanged)
        SendShortMidi(MakeShortMsg(channel, PitchBendCmd, uint8_t(bend & 127), uint8_t((bend >> 7) & 127)));
}
