#include "Oscillators.h"
