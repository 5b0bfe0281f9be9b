#include "Arithmetic.h"
