#include "Neuron.h"
