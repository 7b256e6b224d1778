#include "engine/synth.hpp"

#include <cstdio>

const Synth::NoteTable Synth::noteTable;

Synth::Synth() {
    // Five oscillators, never freed: the voices and the console keys refer to them.
    auto* osc1 = new Vco(1.0f, 440.0f, SINE);
    auto* amplitudeLfo = new Vco(1.0f, 0.0f, SINE);
    auto* frequencyLfo = new Vco(1.0f, 0.0f, SINE);
    auto* phaseLfo = new Vco(1.0f, 0.0f, SINE);
    auto* osc2 = new Vco(1.0f, 880.0f, SINE);

    Voice voice0, voice1;
    voice0.carrier = osc1;
    voice0.note = 58;
    // Each modulator goes in at the front: the list ends up PHASE, FREQUENCE, AMPLITUDE.
    const std::pair<Vco*, const char*> lfos[] = {
        {amplitudeLfo, TARGET_AMPLITUDE},
        {frequencyLfo, TARGET_FREQUENCE},
        {phaseLfo, TARGET_PHASE},
    };
    for (const auto& [lfo, target] : lfos) {
        voice0.mods.insert(voice0.mods.begin(), lfo);
        voice0.targets.insert(voice0.targets.begin(), target);
    }
    voice1.carrier = osc2;
    voice1.note = 58;

    voices.insert(voices.begin(), voice1);
    voices.insert(voices.begin(), voice0);
    printPatch();
}

void Synth::printPatch() const {
    for (const Voice& voice : voices) {
        std::printf("VCO [%p]\n", static_cast<void*>(voice.carrier));
        for (std::size_t j = 0; j < voice.mods.size(); ++j)
            std::printf(" |---%14s <-- VCO [%p]\n", voice.targets[j],
                        static_cast<void*>(voice.mods[j]));
    }
}
