// Helpers for module tests: a hosted sheet, wiring a test source into an input, ticking.
#pragma once

#include "MoreMods.h"
#include "TestHost.h"
#include "TestModules.h"

// Drives `input` from a test source whose value the test sets; a cable, so IsConnected holds.
struct TDrive {
    TKorTestSource *Source;
    void Set(int32_t v) { Source->Next = v; }
};

inline TDrive Drive(TKorDrawSheet &sheet, TKorInput *input, int32_t value = 0)
{
    auto *source = Create<TKorTestSource>(&sheet);
    source->Next = value;
    sheet.ToggleConnection(source->Out, input);
    return {source};
}

// Runs n ticks of the sheet.
inline void Tick(TKorDrawSheet &sheet, int n = 1)
{
    for (int i = 0; i < n; ++i)
        sheet.Execute();
}

// Every library module class, in the registry's order (also the order old patch files are
// converted in).
inline const char *const LibraryClasses[] = {
    "TKorConstant",   "TKorAmplifier",    "TKorMultiplier",  "TKorDivider",    "TKorSquare",   "TKorSine",
    "TKorSaw",        "TKorRandom",       "TKorRndPulse",    "TKorClSquare",   "TKorClSine",   "TKorClSaw",
    "TKorClRandom",   "TKorClRndPulse",   "TKorMidiIn",      "TKorMidiOut",    "TKorControlIn", "TKorControlOut",
    "TKorBendIn",     "TKorBendOut",      "TKorDividerFixed", "TKorFreqDivider", "TKorTable",   "TKorNeuron",
    "TKorScope",      "TKorMorph",        "TKorSlotCtrl",    "TKorShifter",
    "TKorClockOut",   "TKorClockIn",      "TKorLink"};
