#include "engine/vco.hpp"

#include <cstdio>

Vco::Vco(float ampl, float freq, int wave)
    : ampl(ampl), freq(freq), aPhase(phase), aAmpl(ampl), aFreq(freq), wave(wave) {}

void Vco::print() const {
    std::printf("Freq [%3.3f] Ampl [%3.3f] Phase [%3.3f] - AFreq [%3.3f] AAmpl [%3.3f] "
                "APhase [%3.3f]  \n",
                double(freq), double(ampl), double(phase), double(aFreq), double(aAmpl),
                double(aPhase));
}
