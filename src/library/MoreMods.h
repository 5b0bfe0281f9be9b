// Chief header of the module library: every concrete module family, and the registration of
// the library's classes with the class registry.
#pragma once

#include "Arithmetic.h"
#include "ClockModules.h"
#include "ClockedOscillators.h"
#include "LinkModule.h"
#include "MidiModules.h"
#include "Neuron.h"
#include "Oscillators.h"
#include "PanelKit.h"
#include "ScopeMorph.h"
#include "Sequencing.h"

// Registers every library module class, in the registry's fixed order. Idempotent.
void RegisterLibraryModules();
