// The controls of a module that a MIDI controller or another program (OSC) may set: the knobs
// and buttons that stand for one of the module's published properties, found by that
// property's name as patch files write it, and the arithmetic that turns outside values into
// theirs.
#pragma once

#include "CustomModule.h"

#include <QByteArrayView>
#include <vector>

struct TControlRef {
    TKorCustomModule *Module = nullptr;
    TKorCustomDetail *Control = nullptr;
    int PropertyIndex = -1; // in the module's meta-object
    TControlRange Range;
};

// The control that stands for `property` of `module` (compared exactly, as files write it);
// false when there is none.
bool FindControl(TKorCustomModule &module, QByteArrayView property, TControlRef &ref);
// Every such control of the module, in the order its panel made them.
std::vector<TControlRef> ModuleControls(TKorCustomModule &module);

// `value` as the control can hold it: clamped into the range and rounded to the nearest step
// counted from Min, the top of the range always reachable; a button is 1 for anything but 0.
int32_t SteppedValue(const TControlRange &range, int64_t value);
// A 7-bit controller value (0-127): Min + v (Max - Min) / 127, stepped, 127 giving Max exactly;
// a button is down for v >= 64.
int32_t ControllerValue(const TControlRange &range, int v);

// The control's value now, in its property's units (a button 0 or 1).
int32_t ControlValue(const TControlRef &ref);
// Sets `value` (stepped first) through the module's property, as a file or an edit would.
// User-interface thread, under the patch lock. True when the control took a new value (a
// grouped button may refuse to be released).
bool SetControlValue(const TControlRef &ref, int64_t value);
