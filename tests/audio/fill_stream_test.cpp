#include "audio/fill_stream.hpp"
#include "audio/globals.hpp"
#include "audio/sound_setup.hpp"

#include <gtest/gtest.h>

#include <SDL.h>
#include <dlfcn.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

// The surface lock of SDL, interposed in this test binary so that a test can make it
// fail: a software surface's lock never fails by itself. Counts locks and unlocks.
namespace {
bool failLocks = false;
int locks = 0;
int unlocks = 0;
} // namespace

extern "C" int SDL_LockSurface(SDL_Surface* surface) {
    ++locks;
    if (failLocks) return -1;
    static const auto real =
        reinterpret_cast<int (*)(SDL_Surface*)>(dlsym(RTLD_NEXT, "SDL_LockSurface"));
    return real(surface);
}

extern "C" void SDL_UnlockSurface(SDL_Surface* surface) {
    ++unlocks;
    static const auto real =
        reinterpret_cast<void (*)(SDL_Surface*)>(dlsym(RTLD_NEXT, "SDL_UnlockSurface"));
    real(surface);
}

namespace {

constexpr unsigned char UNTOUCHED = 0xAB;
constexpr float NAN_F = std::numeric_limits<float>::quiet_NaN();
constexpr float INF_F = std::numeric_limits<float>::infinity();

std::int16_t sampleAt(const std::vector<unsigned char>& buffer, int offset) {
    return std::int16_t(buffer[offset] | buffer[offset + 1] << 8);
}

// The default patch, built once (it prints its listing) and kept for the whole run.
const Synth& defaultPatch() {
    static const Synth* patch = new Synth;
    return *patch;
}

// A synth with one voice around `carrier`, without the default patch's oscillators.
Synth synthAround(Vco& carrier) {
    Synth synth = defaultPatch();
    Voice voice;
    voice.carrier = &carrier;
    voice.note = 58;
    synth.voices = {voice};
    return synth;
}

// An envelope in its sustain stage that holds its level at `level` on every tick.
void holdLevel(Vca& vca, float level) {
    vca.attack = 0.0f;
    vca.decay = 1e9f;
    vca.peak = 1.0f;
    vca.sustain = level;
    vca.level = level;
    vca.released = 0;
    vca.clock = 0.0f;
    vca.active = 1;
}

class FillStream : public testing::Test {
  protected:
    void SetUp() override {
        gSynth = &synth;
        gVca = &vca;
        gScreen = nullptr;
        failLocks = false;
        locks = unlocks = 0;
    }
    void TearDown() override {
        gSynth = nullptr;
        gVca = nullptr;
        gScreen = nullptr;
    }
    // A carrier that holds its out: 0.0001 makes the synth's sum exactly 1.
    void holdProduct(float product) {
        carrier.wave = 0;
        carrier.out = 0.0001f;
        holdLevel(vca, product);
    }

    Vco carrier{0.1f, 440.0f, SAW}; // at most 10 x 0.1 x 10000: within range
    Synth synth = synthAround(carrier);
    Vca vca;
};

TEST_F(FillStream, ProductIsTruncatedAndSaturated) {
    const struct {
        float product;
        std::int16_t sample;
    } cases[] = {
        {-1234.99f, -1234},  {32767.0f, 32767}, {32767.9f, 32767}, {-32768.0f, -32768},
        {-32768.5f, -32768}, {32768.0f, 32767}, {40000.0f, 32767}, // a wrap would give -25536
        {-40000.0f, -32768},                                       // a wrap would give 25536
        {65536.0f, 32767},                                         // a wrap would give 0
        {-65537.0f, -32768}, {9.3e18f, 32767},                     // beyond 2^63
        {-9.3e18f, -32768},  {INF_F, 32767},    {-INF_F, -32768},  {NAN_F, 0},
        {-NAN_F, 0},
    };
    for (const auto& c : cases) {
        holdProduct(c.product);
        std::vector<unsigned char> buffer(12, UNTOUCHED);
        EXPECT_EQ(fillStream(nullptr, buffer.data(), 12, nullptr), 1);
        ASSERT_EQ(synth.out, 1.0f);
        ASSERT_TRUE(std::isnan(c.product) ? std::isnan(vca.level) : vca.level == c.product);
        for (int offset = 0; offset < 12; offset += 2)
            EXPECT_EQ(sampleAt(buffer, offset), c.sample) << c.product << " at byte " << offset;
    }
}

// Only whole frames are written; each frame ticks the envelope and the synth once and
// stores their product in both channels.
TEST_F(FillStream, WritesWholeFramesOfTheProduct) {
    for (int length : {0, 1, 3, 4, 6, 7, 8, 30, 4099, -1, -4, -6, INT_MIN}) {
        const int frames = length > 0 ? length / 4 : 0;
        Vco carrierTwin{0.1f, 440.0f, SAW};
        Synth synthTwin = synthAround(carrierTwin);
        Vca vcaTwin;
        carrier = Vco{0.1f, 440.0f, SAW};
        for (Vca* v : {&vca, &vcaTwin}) {
            v->level = 0.0f;
            v->clock = 0.0f;
            v->released = 0;
            v->active = 1;
        }
        std::vector<unsigned char> buffer(std::max(length, 0) + 8, UNTOUCHED);

        EXPECT_EQ(fillStream(nullptr, buffer.data(), length, nullptr), 1);
        for (int i = 0; i < frames; ++i) {
            vcaTwin.tick();
            synthTwin.tick();
            const std::int16_t expected = std::int16_t(std::trunc(synthTwin.out * vcaTwin.level));
            ASSERT_EQ(sampleAt(buffer, 4 * i), expected) << "length " << length << " frame " << i;
            ASSERT_EQ(sampleAt(buffer, 4 * i + 2), expected)
                << "length " << length << " frame " << i;
        }
        for (std::size_t i = 4 * frames; i < buffer.size(); ++i)
            ASSERT_EQ(buffer[i], UNTOUCHED) << "length " << length << " byte " << i;
        EXPECT_EQ(float(vca.clock), float(vcaTwin.clock)) << length;
        EXPECT_EQ(float(carrier.pos), float(carrierTwin.pos)) << length;
    }
}

TEST_F(FillStream, SilentEnvelopeStillAdvancesTheSynth) {
    Vco carrierTwin{0.1f, 440.0f, SAW};
    Synth synthTwin = synthAround(carrierTwin);
    std::vector<unsigned char> buffer(400, UNTOUCHED);
    fillStream(nullptr, buffer.data(), 400, nullptr);
    for (int i = 0; i < 100; ++i)
        synthTwin.tick();
    EXPECT_EQ(std::vector<unsigned char>(400, 0), buffer);
    EXPECT_EQ(float(carrier.pos), float(carrierTwin.pos));
    EXPECT_EQ(synth.out, synthTwin.out);
}

// A carrier loud enough to overshoot the 16-bit range clips at full scale, without the
// jump to the other sign that a wrap makes.
TEST_F(FillStream, OvershootClipsWithoutCracks) {
    carrier = Vco{5.0f, 440.0f, SINE};
    holdLevel(vca, 1.0f);
    std::vector<unsigned char> buffer(STREAM_BYTES, UNTOUCHED);
    fillStream(nullptr, buffer.data(), STREAM_BYTES, nullptr);
    int highest = 0, lowest = 0, largestStep = 0;
    for (int offset = 0; offset < STREAM_BYTES; offset += 4) {
        const int left = sampleAt(buffer, offset);
        ASSERT_EQ(left, sampleAt(buffer, offset + 2)) << offset;
        highest = std::max(highest, left);
        lowest = std::min(lowest, left);
        if (offset > 0)
            largestStep = std::max(largestStep, std::abs(left - sampleAt(buffer, offset - 4)));
    }
    EXPECT_EQ(highest, 32767);
    EXPECT_EQ(lowest, -32768);
    EXPECT_LT(largestStep, 16384);
}

// The default patch after a note starts: every frame carries one sample in both channels.
TEST_F(FillStream, DefaultPatchLeftEqualsRight) {
    gSynth = const_cast<Synth*>(&defaultPatch());
    vca.decay = 1e7f;
    vca.level = 0.0f;
    vca.clock = 0.0f;
    vca.released = 0;
    vca.active = 1;
    std::vector<unsigned char> buffer(STREAM_BYTES, UNTOUCHED);
    fillStream(nullptr, buffer.data(), STREAM_BYTES, nullptr);
    int loudest = 0;
    for (int offset = 0; offset < STREAM_BYTES; offset += 4) {
        ASSERT_EQ(sampleAt(buffer, offset), sampleAt(buffer, offset + 2)) << offset;
        loudest = std::max(loudest, std::abs(int(sampleAt(buffer, offset))));
    }
    EXPECT_GT(loudest, 1000);
}

// A surface over a pixel buffer of the test's own, with `padding` bytes after each row.
struct PaddedSurface {
    PaddedSurface(int w, int h, int bitsPerPixel, Uint32 rmask, Uint32 gmask, Uint32 bmask,
                  Uint32 amask, int padding)
        : pitch(w * (bitsPerPixel / 8) + padding), rowBytes(w * (bitsPerPixel / 8)),
          pixels(std::size_t(pitch) * h, UNTOUCHED) {
        surface = SDL_CreateRGBSurfaceFrom(pixels.data(), w, h, bitsPerPixel, pitch, rmask, gmask,
                                           bmask, amask);
    }
    ~PaddedSurface() { SDL_FreeSurface(surface); }
    PaddedSurface(const PaddedSurface&) = delete;
    PaddedSurface& operator=(const PaddedSurface&) = delete;

    // Bytes of the rows' pixels that differ from `value`, and padding bytes that changed.
    int rowBytesNot(unsigned char value) const {
        int count = 0;
        for (std::size_t i = 0; i < pixels.size(); ++i)
            if (int(i % pitch) < rowBytes && pixels[i] != value) ++count;
        return count;
    }
    int paddingTouched() const {
        int count = 0;
        for (std::size_t i = 0; i < pixels.size(); ++i)
            if (int(i % pitch) >= rowBytes && pixels[i] != UNTOUCHED) ++count;
        return count;
    }

    int pitch, rowBytes;
    std::vector<unsigned char> pixels;
    SDL_Surface* surface = nullptr;
};

// Each row's pixels take the low byte of the format's black; the bytes up to the pitch stay.
TEST_F(FillStream, ClearScreenFillsEachRowAndKeepsThePadding) {
    const struct {
        int bitsPerPixel;
        Uint32 rmask, gmask, bmask, amask;
        int padding;
        unsigned char black;
    } cases[] = {
        {32, 0x00FF0000, 0x0000FF00, 0x000000FF, 0, 12, 0x00},
        {32, 0xFF000000, 0x00FF0000, 0x0000FF00, 0x000000FF, 4, 0xFF}, // opaque alpha below
        {24, 0xFF0000, 0x00FF00, 0x0000FF, 0, 3, 0x00},
        {16, 0xF800, 0x07E0, 0x001F, 0, 2, 0x00},
        {32, 0x00FF0000, 0x0000FF00, 0x000000FF, 0, 0, 0x00},
    };
    for (const auto& c : cases) {
        PaddedSurface screen(7, 5, c.bitsPerPixel, c.rmask, c.gmask, c.bmask, c.amask, c.padding);
        ASSERT_NE(screen.surface, nullptr) << SDL_GetError();
        ASSERT_EQ(SDL_MapRGB(screen.surface->format, 0, 0, 0) & 0xFF, c.black);
        clearScreen(screen.surface);
        EXPECT_EQ(screen.rowBytesNot(c.black), 0) << c.bitsPerPixel << " bits";
        EXPECT_EQ(screen.paddingTouched(), 0) << c.bitsPerPixel << " bits";
        EXPECT_EQ(locks, unlocks);
    }
}

TEST_F(FillStream, FillClearsTheWindowEvenWithoutFrames) {
    PaddedSurface screen(640, 8, 32, 0x00FF0000, 0x0000FF00, 0x000000FF, 0, 0);
    gScreen = screen.surface;
    const float clockBefore = vca.clock;
    unsigned char buffer[4] = {UNTOUCHED, UNTOUCHED, UNTOUCHED, UNTOUCHED};
    vca.active = 1;
    EXPECT_EQ(fillStream(nullptr, buffer, 0, nullptr), 1);
    EXPECT_EQ(screen.rowBytesNot(0x00), 0);
    EXPECT_EQ(float(vca.clock), clockBefore);
    EXPECT_EQ(float(carrier.pos), 0.0f);
    for (unsigned char b : buffer)
        EXPECT_EQ(b, UNTOUCHED);
    EXPECT_EQ(locks, 1);
    EXPECT_EQ(unlocks, 1);
}

// A failed lock skips the clear, unlocks nothing and leaves the frames as they would be.
TEST_F(FillStream, FailedLockStillFillsTheBuffer) {
    std::vector<unsigned char> expected(64, UNTOUCHED), buffer(64, UNTOUCHED);
    holdProduct(-1234.5f);
    fillStream(nullptr, expected.data(), 64, nullptr);

    PaddedSurface screen(16, 4, 32, 0x00FF0000, 0x0000FF00, 0x000000FF, 0, 4);
    gScreen = screen.surface;
    failLocks = true;
    locks = unlocks = 0;
    holdProduct(-1234.5f);
    EXPECT_EQ(fillStream(nullptr, buffer.data(), 64, nullptr), 1);
    EXPECT_EQ(buffer, expected);
    EXPECT_EQ(screen.rowBytesNot(UNTOUCHED), 0) << "nothing cleared";
    EXPECT_EQ(locks, 1);
    EXPECT_EQ(unlocks, 0);
}

TEST_F(FillStream, NoSurfaceIsLeftAlone) {
    clearScreen(nullptr);
    holdProduct(100.0f);
    std::vector<unsigned char> buffer(8, UNTOUCHED);
    EXPECT_EQ(fillStream(nullptr, buffer.data(), 8, nullptr), 1);
    EXPECT_EQ(sampleAt(buffer, 4), 100);
    EXPECT_EQ(locks, 0);
}

} // namespace
