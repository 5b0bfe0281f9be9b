// The process-wide pseudo-random generator that random oscillators, the neuron and the graph
// sheet draw from. Guarded: the user-interface and tick threads both call it; no allocation.
#pragma once

#include <cstdint>

// Seeds the generator; the same seed gives the same sequence on every machine.
void RandSeed(uint32_t seed);
// Seeds the generator from the clock.
void Randomize();
// An integer in 0 .. n - 1; 0 when n <= 0.
int32_t Random(int32_t n);
// A number in [0, 1).
double RandomFloat();
