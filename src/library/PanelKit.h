// Building blocks for module panels: each call places one connector, label, knob with its
// viewer, button or lamp, so a module's CreateDetails reads like its panel table.
#pragma once

#include "Modules.h"
#include "PanelControls.h"

// Knob settings in the order a panel table gives them. Property: the module's published
// property the knob stands for, so that MIDI controllers and OSC can find and turn it.
struct TKnobSpec {
    int32_t Min, Max, Step, Position;
    const char *Property = nullptr;
};

// Button settings; Picture is a file in the application directory ("Sym.bmp"), or empty.
struct TButtonSpec {
    QString Picture;
    int32_t Width = 25, Height = 25;
    bool AllowAllUp = true;
    bool Down = false;
    int32_t Group = 0;
    const char *Property = nullptr; // as for knobs; buttons that stand for no property have none
};

// A caption sized to its text, opaque, in black.
TKorTextLabel *AddLabel(TKorCustomModule &m, int32_t left, int32_t top, const QString &text);
TKorInput *AddInput(TKorCustomModule &m, int32_t left, int32_t top, const QString &name, TSignalKind kind);
TKorOutput *AddOutput(TKorCustomModule &m, int32_t left, int32_t top, const QString &name, TSignalKind kind);
// Range, step and position of a knob, in that order (the position is clamped into the range).
void ConfigureKnob(TKorKnob &knob, const TKnobSpec &settings);
// A value viewer (the default width changed by viewerWidthDelta), then a standard knob that
// shows its position there. The caller attaches the change handler afterwards.
TKorKnob *AddKnobWithViewer(TKorCustomModule &m, QPoint viewerAt, int32_t viewerWidthDelta, QPoint knobAt,
                            const TKnobSpec &settings);
// A push button with picture, size, group and state; its handlers are attached afterwards.
TKorPushButton *AddButton(TKorCustomModule &m, int32_t left, int32_t top, const TButtonSpec &settings);
TKorLed *AddLamp(TKorCustomModule &m, int32_t left, int32_t top);
