#include "Sequencing.h"

#include "Checked.h"

namespace {

// The step knobs of the table stand for the published properties K1 .. K8.
constexpr const char *StepProperties[] = {"K1", "K2", "K3", "K4", "K5", "K6", "K7", "K8"};

// A logic input is high from 1 upward.
bool Rising(int32_t now, int32_t before)
{
    return now >= 1 && before < 1;
}

} // namespace

QString NoteName(int32_t n)
{
    if (n < 0 || n > 127)
        return QStringLiteral("inv");
    static const char *const Letters[12] = {"C", "C", "D", "D", "E", "F", "F", "G", "G", "A", "A", "B"};
    static const char *const Accidentals[12] = {" ", "#", " ", "#", " ", " ", "#", " ", "#", " ", "#", " "};
    return QString::asprintf("%s%d%s", Letters[n % 12], n / 12 - 5, Accidentals[n % 12]);
}

// ---- Fixed divider ----

void TKorDividerFixed::CreateDetails()
{
    TKorCustomModule::CreateDetails();
    FIn = AddInput(*this, 8, 30, QStringLiteral("In"), Logic);
    AddLabel(*this, 10, 14, QStringLiteral("in"));
    for (int k = 0; k < OutputCount; ++k)
        FOuts[size_t(k)] = AddOutput(*this, 28 + 20 * k, 30, QStringLiteral("Out%1").arg(1 << k), Logic);
    for (int k = 0; k < OutputCount; ++k)
        FLamps[size_t(k)] = AddLamp(*this, 31 + 20 * k, 20);
}

void TKorDividerFixed::Execute()
{
    const int32_t v = FIn->Value();
    if (Rising(v, FPrevIn)) {
        FCount = Checked::Add(FCount, 1);
        if (FCount > 65535)
            FCount = 0;
        for (int k = 0; k < OutputCount; ++k) {
            FOuts[size_t(k)]->SetValue(FCount & (1 << k) ? 1000 : 0);
            FLamps[size_t(k)]->SetOn(FOuts[size_t(k)]->Value() >= 1);
        }
    }
    FPrevIn = v;
}

// ---- Settable divider ----

void TKorFreqDivider::CreateDetails()
{
    TKorCustomModule::CreateDetails();
    FOutp = AddOutput(*this, 227, 30, QStringLiteral("Outp"), Logic);
    FInp = AddInput(*this, 8, 30, QStringLiteral("Inp"), Logic);
    AddLabel(*this, 10, 14, QStringLiteral("in"));
    FSync = AddInput(*this, 30, 30, QStringLiteral("Sync"), Logic);
    AddLabel(*this, 30, 14, QStringLiteral("snc"));
    FKnob = AddKnobWithViewer(*this, {190, 2}, -2, {193, 18}, {2, 256, 1, 2, "KnobValue"});
    FLamp = AddLamp(*this, 230, 20);
    FKnob->SetOnChange([this](TKorKnob *, int32_t position) {
        FDivision = Checked::Sub(position, 1);
        // A shorter division counts from the new length at once, not after a long wait.
        if (FCountdown > FDivision)
            FCountdown = FDivision;
    });
}

void TKorFreqDivider::Execute()
{
    const int32_t y = FSync->Value();
    if (Rising(y, FPrevSync))
        FCountdown = FDivision;
    FPrevSync = y;

    const int32_t v = FInp->Value();
    if (Rising(v, FPrevInp)) {
        if (FCountdown > FDivision)
            FCountdown = FDivision;
        FCountdown = Checked::Sub(FCountdown, 1);
        if (FCountdown < 1) {
            FOutp->SetValue(FOutp->Value() < 1 ? 1000 : 0);
            FLamp->SetOn(FOutp->Value() >= 1);
            FCountdown = FDivision;
        }
    }
    FPrevInp = v;
}

// ---- Table ----

void TKorTable::CreateDetails()
{
    TKorCustomModule::CreateDetails();
    SetHeight(2 * Height());
    for (int i = 1; i <= StepCount; ++i) {
        const int32_t column = 30 * (i - 1);
        TKorViewer *viewer = AddDetail<TKorViewer>(3 + column, 28);
        viewer->SetWidth(viewer->Width() - 5);
        TKorKnob *knob = AddDetail<TKorKnob>(5 + column, 44);
        FValueViewers[size_t(i - 1)] = viewer;
        FValueKnobs[size_t(i - 1)] = knob;
        knob->SetViewer(viewer);
        // Attached before the range and position, so the starting value reaches its copy.
        knob->SetOnChange([this, i](TKorKnob *, int32_t position) {
            if (position == FValues[size_t(i - 1)])
                return;
            FValues[size_t(i - 1)] = position;
            ShowValue(i);
        });
        ConfigureKnob(*knob, {-1000, 1000, 4, 480, StepProperties[size_t(i - 1)]});
        FLamps[size_t(i - 1)] = AddLamp(*this, 13 + column, 20);
    }
    FInp = AddInput(*this, 8, 80, QStringLiteral("Inp"), Asymmetric);
    AddLabel(*this, 28, 81, QStringLiteral("in"));
    FOutp = AddOutput(*this, 219, 80, QStringLiteral("Outp"), Symmetric);
    FChain = AddOutput(*this, 189, 80, QStringLiteral("Chain"), Asymmetric);
    AddLabel(*this, 155, 81, QStringLiteral("chain"));
    AddLabel(*this, 57, 81, QStringLiteral("start"));
    auto *startViewer = AddDetail<TKorViewer>(107, 81);
    startViewer->SetWidth(startViewer->Width() - 5);
    FStartKnob = AddDetail<TKorKnobMedium>(81, 78);
    ConfigureKnob(*FStartKnob, {0, 512, 8, 0, "SV"});
    FStartKnob->SetViewer(startViewer);
    FStartKnob->SetOnChange([this](TKorKnob *, int32_t position) { FStart = position; });
    FModeButton = AddButton(*this, 222, 2, {.Picture = {}, .Height = 15, .AllowAllUp = true, .Down = true, .Property = "ButModeDown"});
    FModeButton->SetOnChange([this](TKorPushButton *, bool down) {
        FNoteMode = down;
        for (int i = 1; i <= StepCount; ++i)
            SetValueKnob(i, ValueKnob(i)->Position());
    });
}

void TKorTable::SetValueKnob(int i, int32_t v)
{
    ValueKnob(i)->SetPosition(v);
    ShowValue(i);
}

void TKorTable::ShowValue(int i)
{
    const int32_t position = ValueKnob(i)->Position();
    ValueViewer(i)->SetText(FNoteMode ? NoteName(position / 8) : QString::number(position));
}

void TKorTable::Execute()
{
    const int32_t x = FInp->Value();
    FChain->SetValue(x);
    const int32_t i = Checked::Add(Checked::Sub(x, FStart), 1);
    const bool inRange = i >= 1 && i <= StepCount;
    FOutp->SetValue(inRange ? FValues[size_t(i - 1)] : 0);
    for (int j = 1; j <= StepCount; ++j)
        FLamps[size_t(j - 1)]->SetOn(i == j);
}

// ---- Shifter ----

void TKorShifter::CreateDetails()
{
    TKorCustomModule::CreateDetails();
    FIn = AddInput(*this, 188, 5, QStringLiteral("In"), Asymmetric);
    for (int k = 1; k <= StageCount; ++k)
        FOuts[size_t(k - 1)] = AddOutput(*this, 8 + 20 * (k - 1), 30, QStringLiteral("Out%1").arg(k), Asymmetric);
    FDelayKnob = AddKnobWithViewer(*this, {208, 2}, 0, {208, 18}, {1, 256, 1, 1, "DelayValue"});
    FDelayKnob->SetOnChange([this](TKorKnob *, int32_t position) { FDelay = position; });
}

void TKorShifter::Execute()
{
    FCounter = Checked::Add(FCounter, 1);
    if (FCounter > FDelay)
        FCounter = 0;
    if (FCounter != 0)
        return;
    for (int k = StageCount; k >= 2; --k)
        Out(k)->SetValue(Out(k - 1)->Value());
    Out(1)->SetValue(FIn->Value());
}

// ---- Slot control ----

void TKorSlotCtrl::CreateDetails()
{
    TKorCustomModule::CreateDetails();
    FStopButton = AddButton(*this, 50, 20, {.Picture = QStringLiteral("Stop.bmp"), .AllowAllUp = false, .Group = 1});
    FStartButton = AddButton(*this, 80, 20,
                             {.Picture = QStringLiteral("Start.bmp"), .AllowAllUp = false, .Down = true, .Group = 1, .Property = "Active"});
    const auto pressed = [this](TKorPushButton *button, bool down) {
        if (down)
            SetActive(button == FStartButton);
    };
    FStopButton->SetOnChange(pressed);
    FStartButton->SetOnChange(pressed);
}

void TKorSlotCtrl::SetActive(bool v)
{
    if (v == FActive)
        return;
    // Stored first: pressing the button calls back here, and must find nothing to do.
    FActive = v;
    (v ? FStartButton : FStopButton)->SetDown(true);
    if (TKorDrawSheet *sheet = DrawSheet())
        sheet->SetActive(v);
}
