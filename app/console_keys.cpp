#include "app/console_keys.hpp"

#include "audio/globals.hpp"

#include <cstdio>

std::int32_t gWaveOsc1 = 0;
std::int32_t gWaveLfo1 = 0;
std::int32_t gWaveLfo2 = 0;
std::int32_t gWaveLfo3 = 0;

namespace {

constexpr double TIME_STEP = 100.0;    // attack and decay, clock units
constexpr double SUSTAIN_STEP = 0.1;   // sustain level
constexpr double AMPL_STEP = 0.01;     // every oscillator's amplitude
constexpr double LFO1_FREQ_STEP = 0.5; // Hz
constexpr double LFO2_FREQ_STEP = 0.1; // Hz
constexpr double LFO3_FREQ_STEP = 1.0; // Hz
constexpr double FLOOR = 0.0001;       // base values at or below it (or NaN) become 0
constexpr int STATUS_NOTE = 58;        // the note line's fixed number

// old + by in double precision, rounded to single precision when stored.
void step(Shared<float>& field, double by) {
    field = float(double(field) + by);
}

void stepCounter(std::int32_t& counter) {
    if (counter > 5) counter = 1;
}

void writeWave(std::int32_t counter, Vco& osc) {
    if (counter >= 1 && counter <= 5) osc.wave = counter;
}

void floorValue(Shared<float>& field) {
    if (!(double(field) > FLOOR)) field = 0.0f;
}

} // namespace

void handleConsoleKey(int key) {
    const auto c = static_cast<signed char>(key);
    Vca& vca = *gVca;

    switch (c) {
    case ',': step(vca.attack, TIME_STEP); break;
    case ';': step(vca.attack, -TIME_STEP); break;
    case ':': step(vca.decay, TIME_STEP); break;
    case '=': step(vca.decay, -TIME_STEP); break;
    case ')': step(vca.sustain, SUSTAIN_STEP); break;
    case '-': vca.sustain = 0.0f; break;
    case '+': ++gWaveOsc1; break;
    case '7': ++gWaveLfo1; break;
    case '8': ++gWaveLfo2; break;
    case '9': ++gWaveLfo3; break;
    default: break;
    }

    stepCounter(gWaveOsc1);
    stepCounter(gWaveLfo1);
    stepCounter(gWaveLfo2);
    stepCounter(gWaveLfo3);
    writeWave(gWaveOsc1, *gOsc1);
    writeWave(gWaveLfo1, *gLfo1);
    writeWave(gWaveLfo2, *gLfo2);
    writeWave(gWaveLfo3, *gLfo3);

    switch (c) {
    case 'z': step(gOsc1->ampl, AMPL_STEP); break;
    case 's': step(gOsc1->ampl, -AMPL_STEP); break;
    case 'e': step(gLfo1->freq, LFO1_FREQ_STEP); break;
    case 'd': step(gLfo1->freq, -LFO1_FREQ_STEP); break;
    case 'r': step(gLfo1->ampl, AMPL_STEP); break;
    case 'f': step(gLfo1->ampl, -AMPL_STEP); break;
    case 't': step(gLfo2->freq, LFO2_FREQ_STEP); break;
    case 'g': step(gLfo2->freq, -LFO2_FREQ_STEP); break;
    case 'y': step(gLfo2->ampl, AMPL_STEP); break;
    case 'h': step(gLfo2->ampl, -AMPL_STEP); break;
    case 'u': step(gLfo3->freq, LFO3_FREQ_STEP); break;
    case 'j': step(gLfo3->freq, -LFO3_FREQ_STEP); break;
    case 'i': step(gLfo3->ampl, AMPL_STEP); break;
    case 'k': step(gLfo3->ampl, -AMPL_STEP); break;
    default: break;
    }

    Vco* const oscs[] = {gOsc1, gLfo1, gLfo2, gLfo3};
    for (Vco* osc : oscs)
        floorValue(osc->ampl);
    for (Vco* osc : oscs)
        floorValue(osc->freq);
    for (Vco* osc : oscs)
        floorValue(osc->phase);

    std::printf("Note [%d] -> [%f]\n", STATUS_NOTE, double(gOsc1->freq));
    for (Vco* osc : oscs)
        osc->print();
    vca.print();
}
