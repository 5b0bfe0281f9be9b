// The library's classes in the class registry, in the order that converts old patch files.
#include "MoreMods.h"

void RegisterLibraryModules()
{
    RegisterModuleClasses({
        &ClassOf<TKorConstant>(),
        &ClassOf<TKorAmplifier>(),
        &ClassOf<TKorMultiplier>(),
        &ClassOf<TKorDivider>(),
        &ClassOf<TKorSquare>(),
        &ClassOf<TKorSine>(),
        &ClassOf<TKorSaw>(),
        &ClassOf<TKorRandom>(),
        &ClassOf<TKorRndPulse>(),
        &ClassOf<TKorClSquare>(),
        &ClassOf<TKorClSine>(),
        &ClassOf<TKorClSaw>(),
        &ClassOf<TKorClRandom>(),
        &ClassOf<TKorClRndPulse>(),
        &ClassOf<TKorMidiIn>(),
        &ClassOf<TKorMidiOut>(),
        &ClassOf<TKorControlIn>(),
        &ClassOf<TKorControlOut>(),
        &ClassOf<TKorBendIn>(),
        &ClassOf<TKorBendOut>(),
        &ClassOf<TKorDividerFixed>(),
        &ClassOf<TKorFreqDivider>(),
        &ClassOf<TKorTable>(),
        &ClassOf<TKorNeuron>(),
        &ClassOf<TKorScope>(),
        &ClassOf<TKorMorph>(),
        &ClassOf<TKorSlotCtrl>(),
        &ClassOf<TKorShifter>(),
        &ClassOf<TKorClockOut>(),
        &ClassOf<TKorClockIn>(),
        &ClassOf<TKorLink>(),
    });
}
