// The ten colour settings of the patch editor, program-wide and shared with the settings file.
// Colours are 0x00BBGGRR (red in the low byte); ToQColor converts at paint time only.
#pragma once

#include <QColor>
#include <atomic>
#include <cstdint>

using TColor = uint32_t;

// Written by the user-interface thread (settings, colour commands), read while painting
// and when details are built. Atomic so that a read on another thread is never torn.
extern std::atomic<TColor> ModuleColor;     // module bodies; 0xC0C0C0 silver
extern std::atomic<TColor> AsymmetricColor; // connectors and cables of kind 1; 0xFF0000 blue
extern std::atomic<TColor> SymmetricColor;  // kind 0; 0x800080 purple
extern std::atomic<TColor> LogicColor;      // kind 2; 0xFFFFFF white
extern std::atomic<TColor> NeuronColor;     // kind 3; 0x808080 grey
extern std::atomic<TColor> KnobColor;       // 0x400040
extern std::atomic<TColor> LedColorOn;      // 0xFFFFFF
extern std::atomic<TColor> LedColorOff;     // 0x400040
extern std::atomic<TColor> ViewerColor;     // 0x400040
extern std::atomic<TColor> ScopeColor;      // 0x400040

// Puts every colour setting back to its default.
void ResetColorSettings();

// The colour of a signal kind (0 Symmetric, 1 Asymmetric, 2 Logic, 3 Neuron);
// any other kind shows the symmetric colour.
TColor SignalKindColor(uint8_t kind);

inline QColor ToQColor(TColor c)
{
    return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF));
}
