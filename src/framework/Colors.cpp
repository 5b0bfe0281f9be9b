#include "Colors.h"

namespace {
constexpr TColor DefModule = 0xC0C0C0, DefAsym = 0xFF0000, DefSym = 0x800080, DefLogic = 0xFFFFFF,
                 DefNeuron = 0x808080, DefDark = 0x400040, DefLedOn = 0xFFFFFF;
}

std::atomic<TColor> ModuleColor{DefModule};
std::atomic<TColor> AsymmetricColor{DefAsym};
std::atomic<TColor> SymmetricColor{DefSym};
std::atomic<TColor> LogicColor{DefLogic};
std::atomic<TColor> NeuronColor{DefNeuron};
std::atomic<TColor> KnobColor{DefDark};
std::atomic<TColor> LedColorOn{DefLedOn};
std::atomic<TColor> LedColorOff{DefDark};
std::atomic<TColor> ViewerColor{DefDark};
std::atomic<TColor> ScopeColor{DefDark};

void ResetColorSettings()
{
    ModuleColor = DefModule;
    AsymmetricColor = DefAsym;
    SymmetricColor = DefSym;
    LogicColor = DefLogic;
    NeuronColor = DefNeuron;
    KnobColor = DefDark;
    LedColorOn = DefLedOn;
    LedColorOff = DefDark;
    ViewerColor = DefDark;
    ScopeColor = DefDark;
}

TColor SignalKindColor(uint8_t kind)
{
    switch (kind) {
    case 1: return AsymmetricColor;
    case 2: return LogicColor;
    case 3: return NeuronColor;
    default: return SymmetricColor;
    }
}
