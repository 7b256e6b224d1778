#pragma once

#include "engine/shared.hpp"
#include "engine/vco.hpp"

#include <cstdint>
#include <vector>

// The three target texts. A modulator acts on each actual value of the carrier whose
// name its text contains, so a text holding two names applies both rules.
inline constexpr char TARGET_PHASE[] = "PHASE";
inline constexpr char TARGET_FREQUENCE[] = "FREQUENCE";
inline constexpr char TARGET_AMPLITUDE[] = "AMPLITUDE";

// One heard carrier with its modulators. The voice owns its two lists, not the
// oscillators or texts they refer to; copying copies the references.
class Voice {
  public:
    std::vector<Vco*> mods;           // modulators, applied in list order
    std::vector<const char*> targets; // parallel to mods: what each modulator acts on
    Vco* carrier = nullptr;           // the oscillator that is heard
    Shared<std::int32_t> note = 0;    // note number; MIDI note note + 11 is heard
};
