// The synth: the default patch and its listing, note frequencies, the one-tick delay of
// a new note, the modulation rules and the summed sample.
#include "engine/synth.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr double TWO_PI = 6.2831853;

// Oscillators live to the end of the test program, like the program's own, and stay
// listed here for the leak checker even when a test takes them out of a voice.
void keep(Vco* osc) {
    static auto* kept = new std::vector<Vco*>;
    kept->push_back(osc);
}

Synth& newSynth(std::string* listing = nullptr) {
    testing::internal::CaptureStdout();
    Synth* synth = new Synth;
    const std::string printed = testing::internal::GetCapturedStdout();
    if (listing) *listing = printed;
    keep(synth->voices[0].carrier);
    for (Vco* mod : synth->voices[0].mods)
        keep(mod);
    keep(synth->voices[1].carrier);
    static auto* synths = new std::vector<Synth*>;
    synths->push_back(synth);
    return *synth;
}

std::string addressText(const void* p) {
    char text[64];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

double noteHz(int note) {
    return 8.1757989 * std::pow(2.0, double(note + 11) / 12.0);
}

TEST(Synth, DefaultPatch) {
    Synth& synth = newSynth();
    EXPECT_EQ(synth.out, 0.0f);
    ASSERT_EQ(synth.voices.size(), 2u);
    const Voice& v0 = synth.voices[0];
    const Voice& v1 = synth.voices[1];
    ASSERT_EQ(v0.mods.size(), 3u);
    ASSERT_EQ(v0.targets.size(), 3u);
    EXPECT_STREQ(v0.targets[0], "PHASE");
    EXPECT_STREQ(v0.targets[1], "FREQUENCE");
    EXPECT_STREQ(v0.targets[2], "AMPLITUDE");
    EXPECT_TRUE(v1.mods.empty());
    EXPECT_TRUE(v1.targets.empty());
    EXPECT_EQ(v0.note, 58);
    EXPECT_EQ(v1.note, 58);

    struct Expected {
        const Vco* osc;
        float freq;
    };
    const Expected oscillators[] = {
        {v0.carrier, 440.0f}, {v0.mods[0], 0.0f},   {v0.mods[1], 0.0f},
        {v0.mods[2], 0.0f},   {v1.carrier, 880.0f},
    };
    std::set<const Vco*> distinct;
    for (const Expected& e : oscillators) {
        ASSERT_NE(e.osc, nullptr);
        distinct.insert(e.osc);
        EXPECT_EQ(e.osc->ampl, 1.0f);
        EXPECT_EQ(e.osc->freq, e.freq);
        EXPECT_EQ(e.osc->aFreq, e.freq);
        EXPECT_EQ(e.osc->phase, 1.0f);
        EXPECT_EQ(e.osc->wave, SINE);
    }
    EXPECT_EQ(distinct.size(), 5u);
}

TEST(Synth, ListingOfTheDefaultPatch) {
    std::string listing;
    Synth& synth = newSynth(&listing);
    const Voice& v0 = synth.voices[0];
    const Voice& v1 = synth.voices[1];
    const std::string expected = "VCO [" + addressText(v0.carrier) + "]\n" +
                                 " |---         PHASE <-- VCO [" + addressText(v0.mods[0]) + "]\n" +
                                 " |---     FREQUENCE <-- VCO [" + addressText(v0.mods[1]) + "]\n" +
                                 " |---     AMPLITUDE <-- VCO [" + addressText(v0.mods[2]) + "]\n" +
                                 "VCO [" + addressText(v1.carrier) + "]\n";
    EXPECT_EQ(listing, expected);

    testing::internal::CaptureStdout();
    synth.printPatch();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected) << "the same text each time";
}

TEST(Synth, ListingPadsTargetsToFourteen) {
    struct Case {
        const char* target;
        const char* field;
    };
    const Case cases[] = {
        {"PHASE", "         PHASE"},
        {"", "              "},
        {"FREQUENCE PHASE", "FREQUENCE PHASE"}, // longer texts are not cut
    };
    for (const Case& c : cases) {
        Synth& synth = newSynth();
        Voice& voice = synth.voices[1];
        voice.mods = {synth.voices[0].mods[0]};
        voice.targets = {c.target};
        testing::internal::CaptureStdout();
        synth.printPatch();
        const std::string listing = testing::internal::GetCapturedStdout();
        const std::string line =
            std::string(" |---") + c.field + " <-- VCO [" + addressText(voice.mods[0]) + "]\n";
        EXPECT_NE(listing.find("]\nVCO [" + addressText(voice.carrier) + "]\n" + line),
                  std::string::npos)
            << listing;
    }
}

TEST(Synth, NoteFrequencies) {
    struct Case {
        int note;
        float hz;
    };
    const Case cases[] = {
        {58, 440.0f},
        {53, float(8.1757989 * std::pow(2.0, 64.0 / 12.0))},
        {67, float(8.1757989 * std::pow(2.0, 78.0 / 12.0))},
        {-11, 8.1757989f},
        {0, float(noteHz(0))},
        {127, float(noteHz(127))},
        {128, float(noteHz(128))},
        {-200, float(noteHz(-200))},
        {5000, float(noteHz(5000))}, // beyond single precision: infinity
    };
    Synth& synth = newSynth();
    Vco& carrier = *synth.voices[1].carrier;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        synth.voices[1].note = c.note;
        synth.tick();
        EXPECT_EQ(carrier.freq, c.hz);
    }
    EXPECT_NEAR(float(noteHz(53)), 329.63, 0.01);
    EXPECT_NEAR(float(noteHz(67)), 739.99, 0.01);
}

TEST(Synth, EveryTableNoteMatchesItsFormula) {
    Synth& synth = newSynth();
    for (int note = -20; note < 140; ++note) {
        synth.voices[1].note = note;
        synth.tick();
        ASSERT_EQ(synth.voices[1].carrier->freq, float(noteHz(note))) << "note " << note;
    }
}

TEST(Synth, CarrierSoundsLastTicksFrequency) {
    Synth& synth = newSynth();
    Voice& voice = synth.voices[1];
    Vco& carrier = *voice.carrier;

    synth.tick();
    EXPECT_EQ(carrier.aFreq, 880.0f) << "the construction frequency, in the first tick only";
    EXPECT_EQ(carrier.freq, 440.0f);
    EXPECT_EQ(carrier.pos, float(880.0 / 44100.0));

    float pos = carrier.pos;
    synth.tick();
    EXPECT_EQ(carrier.aFreq, 440.0f);
    EXPECT_EQ(carrier.pos, float(double(pos) + 440.0 / 44100.0));

    voice.note = 67;
    pos = carrier.pos;
    synth.tick();
    EXPECT_EQ(carrier.aFreq, 440.0f) << "the new note is heard from the next tick";
    EXPECT_EQ(carrier.freq, float(noteHz(67)));
    synth.tick();
    EXPECT_EQ(carrier.aFreq, float(noteHz(67)));
    const double step67 = double(float(noteHz(67))) / 44100.0;
    EXPECT_EQ(carrier.pos, float(double(float(double(pos) + 440.0 / 44100.0)) + step67))
        << "the waveform runs on, no restart";

    carrier.freq = 1000.0f; // written from outside between two ticks
    synth.tick();
    EXPECT_EQ(carrier.aFreq, 1000.0f);
    EXPECT_EQ(carrier.freq, float(noteHz(67))) << "the note frequency again";
    synth.tick();
    EXPECT_EQ(carrier.aFreq, float(noteHz(67)));
}

TEST(Synth, FirstTickOfTheDefaultPatch) {
    Synth& synth = newSynth();
    synth.tick();
    const Voice& v0 = synth.voices[0];
    const Vco& c0 = *v0.carrier;
    const Vco& c1 = *synth.voices[1].carrier;

    // The modulators rest at 0 Hz: each gives sin(1 cycle), about -7.18e-9.
    const float lfo = float(std::sin(1.0 * TWO_PI));
    for (const Vco* mod : v0.mods) {
        EXPECT_EQ(mod->out, lfo);
        EXPECT_EQ(mod->pos, 0.0f);
    }
    const float aPhase = float(double(lfo) * 1.0 + 1.0);
    const float aFreq = float(double(lfo) * 440.0 + 440.0);
    const float aAmpl = 1.0f; // the amplitude modulator rests at 0 Hz, so it does not act
    EXPECT_EQ(c0.aPhase, aPhase);
    EXPECT_EQ(c0.aFreq, aFreq);
    EXPECT_EQ(c0.aAmpl, aAmpl);
    const float pos0 = float(double(aFreq) / 44100.0);
    EXPECT_EQ(c0.out, float(std::sin((double(pos0) + aPhase) * TWO_PI) * aAmpl));
    EXPECT_EQ(c1.out, float(std::sin((double(float(880.0 / 44100.0)) + 1.0) * TWO_PI)));

    // The running sum is rounded to single precision after each voice.
    const float afterVoice0 = float(0.0 + double(c0.out) * 10000.0);
    EXPECT_EQ(synth.out, float(double(afterVoice0) + double(c1.out) * 10000.0));
    EXPECT_NEAR(synth.out,
                10000.0 * (std::sin(TWO_PI * 440.0 / 44100.0) + std::sin(TWO_PI * 880.0 / 44100.0)),
                1.0);
}

TEST(Synth, WithoutVoicesSumsToZero) {
    Synth& synth = newSynth();
    synth.tick();
    EXPECT_NE(synth.out, 0.0f);
    synth.voices.clear();
    synth.tick();
    EXPECT_EQ(synth.out, 0.0f);
}

TEST(Synth, VoiceWithoutModulatorsSoundsItsBaseValues) {
    Synth& synth = newSynth();
    Vco& carrier = *synth.voices[1].carrier;
    carrier.phase = 0.3f;
    carrier.ampl = 0.6f;
    carrier.wave = SAW;
    synth.tick();
    synth.tick();
    EXPECT_EQ(carrier.aPhase, 0.3f);
    EXPECT_EQ(carrier.aAmpl, 0.6f);
    EXPECT_EQ(carrier.aFreq, 440.0f);
    EXPECT_EQ(carrier.out, float(double(float(carrier.pos)) * 0.6));
}

// One modulator in front of a carrier with base phase 0.25, amplitude 0.8 and 440 Hz.
// The modulator's out comes from its own tick: SAW_OFFSET at pos 0 gives -0.5 whatever
// its amplitude; SAW gives pos x ampl.
struct Modulator {
    int wave;
    float pos, freq, ampl;
    float out; // what its tick gives
};
constexpr Modulator MINUS_HALF{SAW_OFFSET, 0.0f, 0.0f, 1.0f, -0.5f};
constexpr Modulator MINUS_HALF_SILENT{SAW_OFFSET, 0.0f, 0.001f, 0.0f, -0.5f}; // ampl 0
constexpr Modulator MINUS_HALF_STILL{SAW_OFFSET, 0.0f, 0.0f, 0.0f, -0.5f};    // ampl, freq 0
constexpr Modulator MINUS_HALF_MOVING{SAW_OFFSET, 0.0f, 1e-6f, 1.0f, -0.5f};
constexpr Modulator PLUS_ONE{SAW, 1.0f, 0.001f, 1.0f, 1.0f};
constexpr Modulator PLUS_ONE_STILL{SAW, 1.0f, 0.0f, 1.0f, 1.0f}; // freq 0
constexpr Modulator MINUS_ONE{SAW, 1.0f, 0.001f, -1.0f, -1.0f};
constexpr Modulator ZERO{SAW, 0.0f, 0.0f, 1.0f, 0.0f};
constexpr Modulator ODD{SAW, 0.3f, 0.0f, 1.0f, 0.3f};

Vco& addModulator(Voice& voice, const Modulator& m, const char* target) {
    Vco& mod = *new Vco(m.ampl, m.freq, m.wave);
    keep(&mod);
    mod.pos = m.pos;
    voice.mods.push_back(&mod);
    voice.targets.push_back(target);
    return mod;
}

Synth& synthWithCarrier() {
    Synth& synth = newSynth();
    synth.voices.erase(synth.voices.begin());
    Vco& carrier = *synth.voices[0].carrier;
    carrier.phase = 0.25f;
    carrier.ampl = 0.8f;
    carrier.freq = 440.0f;
    carrier.wave = SAW;
    return synth;
}

TEST(Synth, ModulationRules) {
    struct Case {
        const char* name;
        const char* target;
        Modulator mod;
        bool onFreq, onPhase, onAmpl;
    };
    const Case cases[] = {
        {"frequency halved", "FREQUENCE", MINUS_HALF, true, false, false},
        {"frequency, even at amplitude 0", "FREQUENCE", MINUS_HALF_SILENT, true, false, false},
        {"frequency, even at 0 Hz", "FREQUENCE", MINUS_HALF_STILL, true, false, false},
        {"frequency unchanged by out 0", "FREQUENCE", ZERO, true, false, false},
        {"phase halved", "PHASE", MINUS_HALF, false, true, false},
        {"phase, even at amplitude and 0 Hz", "PHASE", MINUS_HALF_STILL, false, true, false},
        {"phase by an inexact out", "PHASE", ODD, false, true, false},
        {"amplitude doubled", "AMPLITUDE", PLUS_ONE, false, false, true},
        {"amplitude to 0 by out -1", "AMPLITUDE", MINUS_ONE, false, false, true},
        {"amplitude: no effect at amplitude 0", "AMPLITUDE", MINUS_HALF_SILENT, false, false,
         false},
        {"amplitude: no effect at 0 Hz", "AMPLITUDE", PLUS_ONE_STILL, false, false, false},
        {"two names, both rules", "FREQUENCE PHASE", MINUS_HALF, true, true, false},
        {"all three names", "AMPLITUDE/FREQUENCE/PHASE", PLUS_ONE, true, true, true},
        {"names are case-sensitive", "phase frequence amplitude", MINUS_HALF, false, false, false},
        {"a text with no name", "VOLUME", MINUS_HALF, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Synth& synth = synthWithCarrier();
        Voice& voice = synth.voices[0];
        Vco& carrier = *voice.carrier;
        Vco& mod = addModulator(voice, c.mod, c.target);
        synth.tick();

        ASSERT_EQ(mod.out, c.mod.out) << "the modulator as set up";
        EXPECT_EQ(mod.aFreq, mod.freq) << "modulators keep their base values";
        EXPECT_EQ(mod.aPhase, mod.phase);
        EXPECT_EQ(mod.aAmpl, mod.ampl);

        const double o = c.mod.out;
        const float aFreq = c.onFreq ? float(o * 440.0 + 440.0) : 440.0f;
        const float aPhase = c.onPhase ? float(o * 0.25 + 0.25) : 0.25f;
        const float aAmpl = c.onAmpl ? float(o * double(0.8f) + double(0.8f)) : 0.8f;
        EXPECT_EQ(carrier.aFreq, aFreq);
        EXPECT_EQ(carrier.aPhase, aPhase);
        EXPECT_EQ(carrier.aAmpl, aAmpl);
        // The carrier sounds with them: SAW from pos 0.
        const float pos = float(double(aFreq) / 44100.0);
        EXPECT_EQ(carrier.pos, pos);
        EXPECT_EQ(carrier.out, float(double(pos) * aAmpl));
        EXPECT_EQ(synth.out, float(double(carrier.out) * 10000.0));
    }
}

TEST(Synth, ModulatorsCompoundInListOrder) {
    Synth& synth = synthWithCarrier();
    Voice& voice = synth.voices[0];
    addModulator(voice, MINUS_HALF, "FREQUENCE");
    addModulator(voice, ODD, "FREQUENCE");
    addModulator(voice, PLUS_ONE, "AMPLITUDE");
    addModulator(voice, MINUS_HALF_MOVING, "AMPLITUDE");
    synth.tick();
    const Vco& carrier = *voice.carrier;
    const float halved = float(-0.5 * 440.0 + 440.0);
    EXPECT_EQ(carrier.aFreq, float(double(0.3f) * halved + halved));
    const float doubled = float(1.0 * double(0.8f) + double(0.8f));
    EXPECT_EQ(carrier.aAmpl, float(-0.5 * double(doubled) + double(doubled)));
}

TEST(Synth, CarrierThatModulatesItself) {
    // The carrier listed as its own modulator: its reset as a modulator reads the note
    // frequency stored just before, and its first tick moves pos before the heard one.
    Synth& synth = synthWithCarrier();
    Voice& voice = synth.voices[0];
    Vco& carrier = *voice.carrier;
    carrier.freq = 1000.0f;
    voice.mods = {&carrier};
    voice.targets = {"FREQUENCE"};
    synth.tick();

    const double noteFreq = double(float(noteHz(58)));
    const float firstPos = float(noteFreq / 44100.0);
    const double o = float(double(firstPos) * 0.8); // SAW as a modulator
    const float aFreq = float(o * noteFreq + noteFreq);
    const float pos = float(double(firstPos) + double(aFreq) / 44100.0);
    EXPECT_EQ(carrier.aFreq, aFreq);
    EXPECT_EQ(carrier.pos, pos);
    EXPECT_EQ(carrier.out, float(double(pos) * 0.8));
}

} // namespace
