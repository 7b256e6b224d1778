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

    static const NoteTable noteTable; // filled before main, so no tick ever builds it
};

inline void Synth::tick() {
    float sum = 0.0f;
    for (Voice& voice : voices) {
        Vco& carrier = *voice.carrier;
        const int note = voice.note;
        // The actual values are the mixer thread's own, so locals follow each store.
        float aFreq = carrier.freq; // sounds last tick's note frequency in this tick
        float aPhase = carrier.phase;
        float aAmpl = carrier.ampl;
        carrier.aFreq = aFreq;
        carrier.aPhase = aPhase;
        carrier.aAmpl = aAmpl;
        carrier.freq = float(noteFrequency(note));

        const std::size_t count = voice.mods.size();
        for (std::size_t j = 0; j < count; ++j) {
            Vco& mod = *voice.mods[j];
            const float modFreq = mod.freq, modPhase = mod.phase, modAmpl = mod.ampl;
            mod.aFreq = modFreq;
            mod.aPhase = modPhase;
            mod.aAmpl = modAmpl;
            const double o = mod.render(modFreq, modPhase, modAmpl);
            if (&mod == &carrier) { // a carrier that modulates itself was just reset
                aFreq = carrier.aFreq;
                aPhase = carrier.aPhase;
                aAmpl = carrier.aAmpl;
            }
            // Each rule scales the carrier's actual value by (1 + o); an amplitude modulator
            // acts only while its own amplitude and frequency are both non-zero.
            const TargetRules rules = rulesFor(voice.targets[j]);
            if (rules.amplitude && modAmpl != 0.0f && modFreq != 0.0f) {
                aAmpl = float(o * aAmpl + aAmpl);
                carrier.aAmpl = aAmpl;
            }
            if (rules.frequency) {
                aFreq = float(o * aFreq + aFreq);
                carrier.aFreq = aFreq;
            }
            if (rules.phase) {
                aPhase = float(o * aPhase + aPhase);
                carrier.aPhase = aPhase;
            }
        }
        sum = float(sum + double(carrier.render(aFreq, aPhase, aAmpl)) * 10000.0);
    }
    out = sum;
}

// 8.1757989 Hz (MIDI note 0) times 2^((note + 11) / 12): note 58 is exactly 440 Hz.
// The notes that keys can reach come from a table of the very same values.
inline double Synth::noteFrequency(int note) {
    if (note >= 0 && note < NoteTable::SIZE) return noteTable.hz[note];
    return NoteTable::compute(note);
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
