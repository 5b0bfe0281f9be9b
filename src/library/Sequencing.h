// Counting and sequencing modules: fixed and settable frequency dividers, the eight-step table,
// the shift register, and the slot control that starts and stops its own patch.
#pragma once

#include "PanelKit.h"

#include <array>

// The name of MIDI note n as the table shows it: letter, octave (-5 .. 5), then "#" or a blank
// ("C0 " for 60, "C0#" for 61); "inv" outside 0 .. 127.
QString NoteName(int32_t n);

// A binary counter of rising edges on "In" (0 .. 65535, then round to 0 again): output k
// carries bit k of the count, so "Out1" halves the input frequency and "Out1024" divides it by
// 2048. Owned by its sheet; owns its panel details. Execute runs on the tick thread and
// allocates nothing; the count is not saved.
class TKorDividerFixed : public TKorCustomModule {
    Q_OBJECT
public:
    static constexpr int OutputCount = 11;

    Q_INVOKABLE TKorDividerFixed() = default;
    void CreateDetails() override;
    void Execute() override;

    int32_t Count() const { return FCount; }
    TKorInput *In() const { return FIn; }
    // Output k (0 .. 10) carries bit k of the count; lamp k shows it.
    TKorOutput *Out(int k) const { return FOuts[size_t(k)]; }
    TKorLed *Lamp(int k) const { return FLamps[size_t(k)]; }

private:
    TKorInput *FIn = nullptr;
    std::array<TKorOutput *, OutputCount> FOuts{};
    std::array<TKorLed *, OutputCount> FLamps{};
    int32_t FCount = 0;
    int32_t FPrevIn = 0;
};

// Toggles "Outp" every d rising edges of "Inp", d being the knob position less one, so one
// output cycle spans 2 x d input cycles; a rising "Sync" starts the d edges afresh.
// Owned by its sheet; owns its panel details. Execute runs on the tick thread and allocates
// nothing; the knob moves on the user-interface thread under the patch lock.
class TKorFreqDivider : public TKorCustomModule {
    Q_OBJECT
    Q_PROPERTY(int KnobValue READ KnobValue WRITE SetKnobValue)
public:
    Q_INVOKABLE TKorFreqDivider() = default;
    void CreateDetails() override;
    void Execute() override;

    int KnobValue() const { return FKnob->Position(); }
    void SetKnobValue(int v) { FKnob->SetPosition(v); }

    int32_t Division() const { return FDivision; }
    // Rising "Inp" edges still to come before the next toggle.
    int32_t Countdown() const { return FCountdown; }
    TKorInput *Inp() const { return FInp; }
    TKorInput *Sync() const { return FSync; }
    TKorOutput *Outp() const { return FOutp; }
    TKorKnob *Knob() const { return FKnob; }
    TKorLed *Lamp() const { return FLamp; }

private:
    TKorOutput *FOutp = nullptr;
    TKorInput *FInp = nullptr, *FSync = nullptr;
    TKorKnob *FKnob = nullptr;
    TKorLed *FLamp = nullptr;
    int32_t FDivision = 1;
    int32_t FCountdown = 1;
    int32_t FPrevInp = 0, FPrevSync = 0;
};

// Eight step values chosen by "Inp": step s + i - 1 plays value i, where s is the start knob;
// every other step gives 0, so tables with starts 0, 8, 16 ... chained through "Chain" play one
// long sequence. In note mode the viewers name the notes (value div 8) instead of the numbers.
// Two rack rows high. Owned by its sheet; owns its panel details. Execute runs on the tick
// thread, reads only plain copies of the knobs and allocates nothing; knobs, the note-mode
// button and the properties run on the user-interface thread under the patch lock.
class TKorTable : public TKorCustomModule {
    Q_OBJECT
    Q_PROPERTY(int K1 READ K1 WRITE SetK1)
    Q_PROPERTY(int K2 READ K2 WRITE SetK2)
    Q_PROPERTY(int K3 READ K3 WRITE SetK3)
    Q_PROPERTY(int K4 READ K4 WRITE SetK4)
    Q_PROPERTY(int K5 READ K5 WRITE SetK5)
    Q_PROPERTY(int K6 READ K6 WRITE SetK6)
    Q_PROPERTY(int K7 READ K7 WRITE SetK7)
    Q_PROPERTY(int K8 READ K8 WRITE SetK8)
    Q_PROPERTY(int SV READ SV WRITE SetSV)
    Q_PROPERTY(bool ButModeDown READ ButModeDown WRITE SetButModeDown)
public:
    static constexpr int StepCount = 8;

    Q_INVOKABLE TKorTable() = default;
    void CreateDetails() override;
    void Execute() override;

    int K1() const { return ValueKnob(1)->Position(); }
    int K2() const { return ValueKnob(2)->Position(); }
    int K3() const { return ValueKnob(3)->Position(); }
    int K4() const { return ValueKnob(4)->Position(); }
    int K5() const { return ValueKnob(5)->Position(); }
    int K6() const { return ValueKnob(6)->Position(); }
    int K7() const { return ValueKnob(7)->Position(); }
    int K8() const { return ValueKnob(8)->Position(); }
    void SetK1(int v) { SetValueKnob(1, v); }
    void SetK2(int v) { SetValueKnob(2, v); }
    void SetK3(int v) { SetValueKnob(3, v); }
    void SetK4(int v) { SetValueKnob(4, v); }
    void SetK5(int v) { SetValueKnob(5, v); }
    void SetK6(int v) { SetValueKnob(6, v); }
    void SetK7(int v) { SetValueKnob(7, v); }
    void SetK8(int v) { SetValueKnob(8, v); }
    int SV() const { return FStartKnob->Position(); }
    void SetSV(int v) { FStartKnob->SetPosition(v); }
    bool ButModeDown() const { return FModeButton->Down(); }
    void SetButModeDown(bool v) { FModeButton->SetDown(v); }

    // Moves value knob i (1 .. 8), then writes its viewer in the current mode.
    void SetValueKnob(int i, int32_t v);
    TKorKnob *ValueKnob(int i) const { return FValueKnobs[size_t(i - 1)]; }
    TKorViewer *ValueViewer(int i) const { return FValueViewers[size_t(i - 1)]; }
    TKorLed *Lamp(int i) const { return FLamps[size_t(i - 1)]; }
    int32_t Value(int i) const { return FValues[size_t(i - 1)]; }
    int32_t Start() const { return FStart; }
    bool NoteMode() const { return FNoteMode; }
    TKorInput *Inp() const { return FInp; }
    TKorOutput *Outp() const { return FOutp; }
    TKorOutput *Chain() const { return FChain; }
    TKorKnob *StartKnob() const { return FStartKnob; }
    TKorPushButton *ModeButton() const { return FModeButton; }

private:
    // Writes value i's viewer: a note name in note mode, else the number.
    void ShowValue(int i);

    std::array<TKorViewer *, StepCount> FValueViewers{};
    std::array<TKorKnob *, StepCount> FValueKnobs{};
    std::array<TKorLed *, StepCount> FLamps{};
    TKorInput *FInp = nullptr;
    TKorOutput *FOutp = nullptr, *FChain = nullptr;
    TKorKnob *FStartKnob = nullptr;
    TKorPushButton *FModeButton = nullptr;
    std::array<int32_t, StepCount> FValues{};
    int32_t FStart = 0;
    bool FNoteMode = false;
};

// A ten-stage shift register: every delay + 1 ticks each output takes the value of the one
// before it and "Out1" takes "In". Owned by its sheet; owns its panel details. Execute runs on
// the tick thread and allocates nothing; the counter is not saved.
class TKorShifter : public TKorCustomModule {
    Q_OBJECT
    Q_PROPERTY(int DelayValue READ DelayValue WRITE SetDelayValue)
public:
    static constexpr int StageCount = 10;

    Q_INVOKABLE TKorShifter() = default;
    void CreateDetails() override;
    void Execute() override;

    int DelayValue() const { return FDelay; }
    void SetDelayValue(int v) { FDelayKnob->SetPosition(v); }

    int32_t Counter() const { return FCounter; }
    TKorInput *In() const { return FIn; }
    // Stage k, 1 .. 10.
    TKorOutput *Out(int k) const { return FOuts[size_t(k - 1)]; }
    TKorKnob *DelayKnob() const { return FDelayKnob; }

private:
    TKorInput *FIn = nullptr;
    std::array<TKorOutput *, StageCount> FOuts{};
    TKorKnob *FDelayKnob = nullptr;
    int32_t FDelay = 1;
    int32_t FCounter = 0;
};

// Start and stop buttons for the patch the module sits on: stopping switches the sheet's
// active flag, and with it the slot's, so the patch neither runs nor takes or sends MIDI until
// started again. Needs no tick. Owned by its sheet; owns its two buttons. User-interface thread
// only (under the patch lock while a patch runs).
class TKorSlotCtrl : public TKorCustomModule {
    Q_OBJECT
    Q_PROPERTY(bool Active READ Active WRITE SetActive)
public:
    Q_INVOKABLE TKorSlotCtrl() = default;
    void CreateDetails() override;

    bool Active() const { return FActive; }
    // Presses the matching button and, on a sheet, starts or stops it.
    void SetActive(bool v);

    TKorPushButton *StopButton() const { return FStopButton; }
    TKorPushButton *StartButton() const { return FStartButton; }

private:
    TKorPushButton *FStopButton = nullptr;
    TKorPushButton *FStartButton = nullptr;
    bool FActive = true;
};
