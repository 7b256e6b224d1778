#include "app/pump_events.hpp"
#include "audio/globals.hpp"

#include <SDL.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

auto* const everBuilt = new std::vector<void*>;

// SDL's dummy video driver: a real event queue without a display.
class WindowEvents : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
        ASSERT_NE(SDL_SetVideoMode(640, 800, 0, SDL_ANYFORMAT), nullptr) << SDL_GetError();
    }

    void SetUp() override {
        ::testing::internal::CaptureStdout();
        gSynth = new Synth;
        ::testing::internal::GetCapturedStdout();
        gVca = new Vca;
        everBuilt->push_back(gSynth);
        everBuilt->push_back(gVca);
        SDL_Event stale;
        while (SDL_PollEvent(&stale)) {
        }
    }

    static int note(int voice) { return gSynth->voices[voice].note; }

    // Runs one pump and returns what it printed.
    static std::string pump() {
        ::testing::internal::CaptureStdout();
        pumpEvents();
        return ::testing::internal::GetCapturedStdout();
    }
};

void push(SDL_Event event) {
    ASSERT_EQ(SDL_PushEvent(&event), 0) << SDL_GetError();
}

SDL_Event keyEvent(Uint8 type, SDLKey key) {
    SDL_Event event{};
    event.type = type;
    event.key.type = type;
    event.key.state = type == SDL_KEYDOWN ? SDL_PRESSED : SDL_RELEASED;
    event.key.keysym.sym = key;
    return event;
}

SDL_Event userEvent(int code) {
    SDL_Event event{};
    event.type = SDL_USEREVENT;
    event.user.code = code;
    return event;
}

struct NoteKeyCase {
    SDLKey key;
    int note0, note1;
};
const NoteKeyCase NOTE_KEYS[] = {
    {SDLK_z, 58, 58}, {SDLK_x, 63, 59}, {SDLK_c, 65, 60},
    {SDLK_v, 66, 61}, {SDLK_b, 68, 62}, {SDLK_n, 70, 63},
};

TEST_F(WindowEvents, NoteKeyDownSetsThePairAndTriggersWithoutRelease) {
    for (const NoteKeyCase& c : NOTE_KEYS) {
        SCOPED_TRACE(SDL_GetKeyName(c.key));
        SetUp();
        gVca->trig(); // a note that still sounds is restarted
        gVca->untrig();
        gVca->clock = 1234.0f;
        push(keyEvent(SDL_KEYDOWN, c.key));
        EXPECT_EQ(pump(), "\nTRIG\n");
        EXPECT_EQ(note(0), c.note0);
        EXPECT_EQ(note(1), c.note1);
        EXPECT_EQ(int(gVca->active), 1);
        EXPECT_EQ(int(gVca->released), 0);
        EXPECT_EQ(float(gVca->clock), 0.0f);

        push(keyEvent(SDL_KEYUP, c.key));
        EXPECT_EQ(pump(), "UNTRIG\n");
        EXPECT_EQ(int(gVca->released), 1);
        EXPECT_EQ(note(0), c.note0); // the notes stay
        EXPECT_EQ(note(1), c.note1);
    }
}

TEST_F(WindowEvents, ReleasingAnyNoteKeyReleasesTheEnvelope) {
    push(keyEvent(SDL_KEYDOWN, SDLK_z));
    push(keyEvent(SDL_KEYDOWN, SDLK_x));
    push(keyEvent(SDL_KEYUP, SDLK_z)); // x is still held
    EXPECT_EQ(pump(), "\nTRIG\n\nTRIG\nUNTRIG\n");
    EXPECT_EQ(note(0), 63);
    EXPECT_EQ(note(1), 59);
    EXPECT_EQ(int(gVca->released), 1);
    EXPECT_EQ(int(gVca->active), 1);
}

TEST_F(WindowEvents, RetriggerPlaysARandomPairWhateverItsCode) {
    for (int code : {RETRIGGER_CODE, 0, 7, -1}) {
        SCOPED_TRACE("code " + std::to_string(code));
        push(userEvent(code));
        EXPECT_EQ(pump(), "UNTRIG\n\nTRIG\n");
        EXPECT_EQ(int(gVca->active), 1);
        EXPECT_EQ(int(gVca->released), 0);
    }
    pushRetrigger();
    EXPECT_EQ(pump(), "UNTRIG\n\nTRIG\n");
}

TEST_F(WindowEvents, RandomPairsStayInRange) {
    std::vector<int> seen0(10), seen1(10);
    for (int i = 0; i < 500; ++i) {
        pushRetrigger();
        pump();
        ASSERT_GE(note(0), 53);
        ASSERT_LE(note(0), 62);
        ASSERT_GE(note(1), 58);
        ASSERT_LE(note(1), 67);
        ++seen0[note(0) - 53];
        ++seen1[note(1) - 58];
    }
    for (int i = 0; i < 10; ++i) {
        EXPECT_GT(seen0[i], 0) << "voice 0 never played " << 53 + i;
        EXPECT_GT(seen1[i], 0) << "voice 1 never played " << 58 + i;
    }
}

// The main thread's generator starts at 1 in every run, so every run plays these pairs.
TEST_F(WindowEvents, EveryRunPlaysTheSameRandomPairs) {
    const int pairs[][2] = {{54, 65}, {57, 58}, {62, 62}, {61, 66}, {55, 62}};
    auto playFirstPairs = [&] {
        for (int i = 0; i < 5; ++i) {
            pushRetrigger();
            pump();
            if (note(0) != pairs[i][0] || note(1) != pairs[i][1]) std::exit(10 + i);
        }
        std::exit(0);
    };
    // A fresh process each time: this process's own generator has moved on already.
    EXPECT_EXIT(playFirstPairs(), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(playFirstPairs(), ::testing::ExitedWithCode(0), "");
}

TEST_F(WindowEvents, OtherEventsChangeNothingAndThePumpGoesOn) {
    std::vector<SDL_Event> others = {
        keyEvent(SDL_KEYDOWN, SDLK_a),     keyEvent(SDL_KEYUP, SDLK_a),
        keyEvent(SDL_KEYDOWN, SDLK_m),     keyEvent(SDL_KEYDOWN, SDLK_w),
        keyEvent(SDL_KEYDOWN, SDLK_UP),    keyEvent(SDL_KEYUP, SDLK_LSHIFT),
        keyEvent(SDL_KEYDOWN, SDLK_SPACE), keyEvent(SDL_KEYUP, SDLK_RETURN),
    };
    SDL_Event event{};
    event.type = SDL_MOUSEMOTION;
    event.motion.type = SDL_MOUSEMOTION;
    event.motion.x = 10;
    others.push_back(event);
    event = {};
    event.type = SDL_MOUSEBUTTONDOWN;
    event.button.type = SDL_MOUSEBUTTONDOWN;
    event.button.button = SDL_BUTTON_LEFT;
    others.push_back(event);
    event.type = event.button.type = SDL_MOUSEBUTTONUP;
    others.push_back(event);
    event = {};
    event.type = SDL_ACTIVEEVENT; // focus lost and gained
    event.active.type = SDL_ACTIVEEVENT;
    event.active.state = SDL_APPINPUTFOCUS;
    others.push_back(event);
    event.active.gain = 1;
    others.push_back(event);
    event = {};
    event.type = SDL_QUIT; // the window's close button
    others.push_back(event);

    gVca->trig();
    gVca->clock = 55.0f;
    for (const SDL_Event& other : others)
        push(other);
    push(keyEvent(SDL_KEYDOWN, SDLK_c)); // handled after all the others
    EXPECT_EQ(pump(), "\nTRIG\n");
    EXPECT_EQ(note(0), 65);
    EXPECT_EQ(note(1), 60);

    for (const SDL_Event& other : others)
        push(other);
    gVca->clock = 55.0f;
    EXPECT_EQ(pump(), "");
    EXPECT_EQ(float(gVca->clock), 55.0f);
    EXPECT_EQ(int(gVca->released), 0);
    EXPECT_EQ(note(0), 65);
    EXPECT_EQ(note(1), 60);
}

TEST_F(WindowEvents, EscapeDownOrUpEndsTheProgramWithZero) {
    push(keyEvent(SDL_KEYDOWN, SDLK_ESCAPE));
    EXPECT_EXIT(pumpEvents(), ::testing::ExitedWithCode(0), "");
    SetUp();
    push(keyEvent(SDL_KEYUP, SDLK_ESCAPE));
    EXPECT_EXIT(pumpEvents(), ::testing::ExitedWithCode(0), "");
    SetUp();
    push(keyEvent(SDL_KEYDOWN, SDLK_ESCAPE)); // the pump does not come back
    EXPECT_EXIT(
        {
            pumpEvents();
            std::exit(3);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
