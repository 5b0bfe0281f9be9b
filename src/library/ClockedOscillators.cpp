#include "ClockedOscillators.h"
