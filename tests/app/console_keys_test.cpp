#include "app/console_keys.hpp"
#include "audio/globals.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

// The program's objects are never freed; neither are the tests' (so no leak is seen).
auto* const everBuilt = new std::vector<void*>;

class ConsoleKeys : public ::testing::Test {
  protected:
    void SetUp() override {
        ::testing::internal::CaptureStdout();
        gSynth = new Synth; // quiet: its listing goes to the capture
        ::testing::internal::GetCapturedStdout();
        gVca = new Vca;
        everBuilt->push_back(gSynth);
        everBuilt->push_back(gVca);
        Voice& voice0 = gSynth->voices[0];
        gOsc1 = voice0.carrier;
        gLfo1 = voice0.mods[0];
        gLfo2 = voice0.mods[1];
        gLfo3 = voice0.mods[2];
        gWaveOsc1 = gWaveLfo1 = gWaveLfo2 = gWaveLfo3 = 0;
    }

    static std::string press(int key, int times = 1) {
        ::testing::internal::CaptureStdout();
        for (int i = 0; i < times; ++i)
            handleConsoleKey(key);
        return ::testing::internal::GetCapturedStdout();
    }
};

// Every value a console key can change, by name.
enum Field {
    ATTACK,
    DECAY,
    SUSTAIN,
    OSC1_AMPL,
    LFO1_AMPL,
    LFO2_AMPL,
    LFO3_AMPL,
    OSC1_FREQ,
    LFO1_FREQ,
    LFO2_FREQ,
    LFO3_FREQ,
    OSC1_PHASE,
    LFO1_PHASE,
    LFO2_PHASE,
    LFO3_PHASE,
    OSC1_WAVE,
    LFO1_WAVE,
    LFO2_WAVE,
    LFO3_WAVE,
    FIELD_COUNT
};

Shared<float>& floatField(Field field) {
    Vco* const oscs[] = {gOsc1, gLfo1, gLfo2, gLfo3};
    switch (field) {
    case ATTACK: return gVca->attack;
    case DECAY: return gVca->decay;
    case SUSTAIN: return gVca->sustain;
    default: break;
    }
    if (field < OSC1_FREQ) return oscs[field - OSC1_AMPL]->ampl;
    if (field < OSC1_PHASE) return oscs[field - OSC1_FREQ]->freq;
    return oscs[field - OSC1_PHASE]->phase;
}

using Snapshot = std::array<float, FIELD_COUNT>;

Snapshot snapshot() {
    Vco* const oscs[] = {gOsc1, gLfo1, gLfo2, gLfo3};
    Snapshot values{};
    for (int f = 0; f < OSC1_WAVE; ++f)
        values[f] = floatField(Field(f));
    for (int i = 0; i < 4; ++i)
        values[OSC1_WAVE + i] = float(oscs[i]->wave);
    return values;
}

// Asserts that `after` equals `before` except where `changed` says.
void expectOnly(const Snapshot& before, const Snapshot& after, int changed, float expected) {
    for (int f = 0; f < FIELD_COUNT; ++f)
        if (f == changed)
            EXPECT_EQ(after[f], expected) << "field " << f;
        else
            EXPECT_EQ(after[f], before[f]) << "field " << f << " changed";
}

int countLines(const std::string& text) {
    int lines = 0;
    for (char c : text)
        lines += c == '\n';
    return lines;
}

struct KeyCase {
    char key;
    Field field;
    float expected;
};

// From the default patch and envelope: each step formed in double precision.
const KeyCase KEY_CASES[] = {
    {',', ATTACK, 110.0f},
    {';', ATTACK, -90.0f},
    {':', DECAY, 500.0f},
    {'=', DECAY, 300.0f},
    {')', SUSTAIN, float(0.1)},
    {'z', OSC1_AMPL, float(1.0 + 0.01)},
    {'s', OSC1_AMPL, float(1.0 - 0.01)},
    {'e', LFO1_FREQ, 0.5f},
    {'d', LFO1_FREQ, 0.0f}, // -0.5, floored
    {'r', LFO1_AMPL, float(1.0 + 0.01)},
    {'f', LFO1_AMPL, float(1.0 - 0.01)},
    {'t', LFO2_FREQ, float(0.1)},
    {'g', LFO2_FREQ, 0.0f}, // -0.1, floored
    {'y', LFO2_AMPL, float(1.0 + 0.01)},
    {'h', LFO2_AMPL, float(1.0 - 0.01)},
    {'u', LFO3_FREQ, 1.0f},
    {'j', LFO3_FREQ, 0.0f}, // -1, floored
    {'i', LFO3_AMPL, float(1.0 + 0.01)},
    {'k', LFO3_AMPL, float(1.0 - 0.01)},
    {'+', OSC1_WAVE, 1.0f}, // the counter's first value; the patch's wave is 1 too
    {'7', LFO1_WAVE, 1.0f},
    {'8', LFO2_WAVE, 1.0f},
    {'9', LFO3_WAVE, 1.0f},
};

TEST_F(ConsoleKeys, EachKeyChangesItsOwnValueOnly) {
    for (const KeyCase& c : KEY_CASES) {
        SCOPED_TRACE(std::string("key ") + c.key);
        SetUp();
        const Snapshot before = snapshot();
        EXPECT_EQ(countLines(press(c.key)), 6);
        expectOnly(before, snapshot(), c.field, c.expected);
    }
}

TEST_F(ConsoleKeys, KeysWithoutARowChangeNothing) {
    std::vector<int> keys = {'2', '3', '4', '.', 'Z', 'S', 'E', 27, 'a', 'q', 'w', ' ', '\n', 0};
    for (int byte = 128; byte <= 255; ++byte)
        keys.push_back(byte); // negative as signed characters
    for (int key : keys) {
        SCOPED_TRACE("key " + std::to_string(key));
        const Snapshot before = snapshot();
        EXPECT_EQ(countLines(press(key)), 6);
        expectOnly(before, snapshot(), -1, 0.0f);
    }
}

TEST_F(ConsoleKeys, SustainKeysSetAndAdd) {
    gVca->sustain = 0.7f;
    press('-');
    EXPECT_EQ(float(gVca->sustain), 0.0f);
    press(')', 3);
    EXPECT_EQ(float(gVca->sustain), 0.30000001192092896f);
    press('-');
    EXPECT_EQ(float(gVca->sustain), 0.0f);
}

TEST_F(ConsoleKeys, AttackAndDecayHaveNoFloor) {
    press(';', 2);
    EXPECT_EQ(float(gVca->attack), -190.0f);
    press('=', 5);
    EXPECT_EQ(float(gVca->decay), -100.0f);
}

TEST_F(ConsoleKeys, AmplitudeStepsDownToZeroAndBackInDoublePrecision) {
    press('s', 99);
    EXPECT_EQ(float(gOsc1->ampl), 0.01000065915286541f);
    press('s'); // 0.00000066 is below the floor
    EXPECT_EQ(float(gOsc1->ampl), 0.0f);
    press('s', 3);
    EXPECT_EQ(float(gOsc1->ampl), 0.0f);
    press('z');
    EXPECT_EQ(float(gOsc1->ampl), 0.01f);
    press('z', 4); // single-precision steps would give 0.049999997
    EXPECT_EQ(float(gOsc1->ampl), 0.05000000074505806f);
}

TEST_F(ConsoleKeys, FloorSetsTwelveBaseValuesToZeroUnlessAbove) {
    const float NAN_VALUE = std::numeric_limits<float>::quiet_NaN();
    struct FloorCase {
        float value;
        float expected;
    };
    const FloorCase cases[] = {
        {0.0001f, 0.0f}, // 0.000099999997 in single precision
        {0.00010001f, 0.00010001f},
        {0.0f, 0.0f},
        {-0.0f, 0.0f},
        {-3.5f, 0.0f},
        {NAN_VALUE, 0.0f},
        {-std::numeric_limits<float>::infinity(), 0.0f},
        {std::numeric_limits<float>::infinity(), std::numeric_limits<float>::infinity()},
        {2.0f, 2.0f},
    };
    for (const FloorCase& c : cases)
        for (int f = OSC1_AMPL; f <= LFO3_PHASE; ++f) {
            SCOPED_TRACE("field " + std::to_string(f) + " value " + std::to_string(c.value));
            SetUp();
            floatField(Field(f)) = c.value;
            const Snapshot before = snapshot();
            press('4');
            expectOnly(before, snapshot(), f, c.expected);
            EXPECT_FALSE(std::signbit(float(floatField(Field(f)))));
        }
}

TEST_F(ConsoleKeys, EnvelopeValuesAreNotFloored) {
    gVca->sustain = std::numeric_limits<float>::quiet_NaN();
    gVca->attack = 0.00001f;
    press('4');
    EXPECT_TRUE(std::isnan(float(gVca->sustain)));
    EXPECT_EQ(float(gVca->attack), 0.00001f);
}

TEST_F(ConsoleKeys, WaveCountersRunOneToFiveAndRound) {
    struct CounterCase {
        char key;
        std::int32_t* counter;
        Field wave;
    };
    const CounterCase cases[] = {{'+', &gWaveOsc1, OSC1_WAVE},
                                 {'7', &gWaveLfo1, LFO1_WAVE},
                                 {'8', &gWaveLfo2, LFO2_WAVE},
                                 {'9', &gWaveLfo3, LFO3_WAVE}};
    for (const CounterCase& c : cases) {
        SCOPED_TRACE(std::string("key ") + c.key);
        SetUp();
        for (int press_ = 1; press_ <= 12; ++press_) {
            const Snapshot before = snapshot();
            press(c.key);
            const int expected = (press_ - 1) % 5 + 1;
            EXPECT_EQ(*c.counter, expected);
            expectOnly(before, snapshot(), c.wave, float(expected));
        }
    }
}

TEST_F(ConsoleKeys, WaveIsWrittenAfterEveryKeyOnceItsCounterHasLeftZero) {
    gOsc1->wave = 4; // counter still 0: left alone
    press('4');
    EXPECT_EQ(int(gOsc1->wave), 4);
    press('+');
    EXPECT_EQ(int(gOsc1->wave), 1);
    gOsc1->wave = 3;
    press('Z');
    EXPECT_EQ(int(gOsc1->wave), 1);
    gWaveLfo2 = 9; // above 5: back to 1
    press('4');
    EXPECT_EQ(gWaveLfo2, 1);
    EXPECT_EQ(int(gLfo2->wave), 1);
}

TEST_F(ConsoleKeys, StatusLinesShowTheCarriersFrequencyUnderTheFixedNote58) {
    EXPECT_EQ(press('4'), "Note [58] -> [440.000000]\n"
                          "Freq [440.000] Ampl [1.000] Phase [1.000] - AFreq [440.000] "
                          "AAmpl [1.000] APhase [1.000]  \n"
                          "Freq [0.000] Ampl [1.000] Phase [1.000] - AFreq [0.000] "
                          "AAmpl [1.000] APhase [1.000]  \n"
                          "Freq [0.000] Ampl [1.000] Phase [1.000] - AFreq [0.000] "
                          "AAmpl [1.000] APhase [1.000]  \n"
                          "Freq [0.000] Ampl [1.000] Phase [1.000] - AFreq [0.000] "
                          "AAmpl [1.000] APhase [1.000]  \n"
                          "VCA [10.000000][400.000000][0.000000] \n");

    gSynth->voices[0].note = 63; // the tick sets the carrier's freq from the note
    gSynth->tick();
    const std::string status = press('e');
    EXPECT_EQ(status.substr(0, status.find('\n') + 1), "Note [58] -> [587.329529]\n");
    EXPECT_NE(status.find("Freq [0.500] Ampl [1.000]"), std::string::npos);
}

} // namespace
