#pragma once

#include "engine/voice.hpp"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

// The sound source: an ordered list of voices whose carriers are summed, scaled to
// the range of 16-bit samples. Built once with the default patch; the lists never
// change afterwards, only the notes and the oscillators' fields.
class Synth {
  public:
    Synth(); // builds the default patch and prints its listing

    void tick();             // one frame: every voice, summed into out
    void printPatch() const; // the carriers and their modulators, one line each

    float out = 0.0f; // summed sample of the last tick
    std::vector<Voice> voices;

  private:
    struct NoteTable {
        static constexpr int SIZE = 128;
        static double compute(int note) {
            return 8.1757989 * std::pow(2.0, (double(note) + 11.0) / 12.0);
        }
        NoteTable() {
            for (int n = 0; n < SIZE; ++n)
                hz[n] = compute(n);
        }
        double hz[SIZE];
    };
    struct TargetRules {
        bool amplitude, frequency, phase;
    };

    static TargetRules rulesFor(const char* target);
    static double noteFrequency(int note);
    static void modulate(Vco& carrier, const Vco& mod, const char* target);
};

inline void Synth::tick() {
    float sum = 0.0f;
    for (Voice& voice : voices) {
        Vco& carrier = *voice.carrier;
        const int note = voice.note;
        carrier.aFreq = carrier.freq; // sounds last tick's note frequency in this tick
        carrier.aPhase = carrier.phase;
        carrier.aAmpl = carrier.ampl;
        carrier.freq = float(noteFrequency(note));

        for (std::size_t j = 0; j < voice.mods.size(); ++j) {
            Vco& mod = *voice.mods[j];
            mod.aFreq = mod.freq;
            mod.aPhase = mod.phase;
            mod.aAmpl = mod.ampl;
            mod.tick();
            modulate(carrier, mod, voice.targets[j]);
        }
        carrier.tick();
        sum = float(sum + double(carrier.getOut()) * 10000.0);
    }
    out = sum;
}

// 8.1757989 Hz (MIDI note 0) times 2^((note + 11) / 12): note 58 is exactly 440 Hz.
// The notes that keys can reach come from a table of the very same values.
inline double Synth::noteFrequency(int note) {
    static const NoteTable table;
    if (note >= 0 && note < NoteTable::SIZE) return table.hz[note];
    return NoteTable::compute(note);
}

// Scales a carrier's actual value by (1 + the modulator's out). An amplitude
// modulator acts only while its own amplitude and frequency are both non-zero.
inline void Synth::modulate(Vco& carrier, const Vco& mod, const char* target) {
    const TargetRules rules = rulesFor(target);
    const double o = mod.getOut();
    if (rules.amplitude && mod.aAmpl != 0.0f && mod.aFreq != 0.0f)
        carrier.aAmpl = float(o * carrier.aAmpl + carrier.aAmpl);
    if (rules.frequency) carrier.aFreq = float(o * carrier.aFreq + carrier.aFreq);
    if (rules.phase) carrier.aPhase = float(o * carrier.aPhase + carrier.aPhase);
}

// The names a target text contains. The patch's own three texts are known by address;
// any other text is searched.
inline Synth::TargetRules Synth::rulesFor(const char* target) {
    if (target == TARGET_PHASE) return {false, false, true};
    if (target == TARGET_FREQUENCE) return {false, true, false};
    if (target == TARGET_AMPLITUDE) return {true, false, false};
    return {std::strstr(target, TARGET_AMPLITUDE) != nullptr,
            std::strstr(target, TARGET_FREQUENCE) != nullptr,
            std::strstr(target, TARGET_PHASE) != nullptr};
}
