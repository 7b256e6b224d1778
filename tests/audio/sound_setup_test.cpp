#include "audio/fill_stream.hpp"
#include "audio/globals.hpp"
#include "audio/sound_setup.hpp"
#include "capture.hpp"
#include "fake_fsound.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>
#include <vector>

namespace {

const std::string SEP = "---------------------------------------------------------\n";
const std::string PROMPT = "Press a corresponding number or ESC to quit\n";
const std::string MENU = SEP + "Output Type\n" + SEP + "1 - Direct Sound\n" +
                         "2 - Windows Multimedia Waveout\n" + "3 - ASIO\n" + "4 - NoSound\n" + SEP +
                         PROMPT;
constexpr int ESC = 27;

std::string driverMenu(const std::string& outputName, const std::string& lines) {
    return SEP + outputName + " Driver list\n" + SEP + lines + SEP + PROMPT;
}

std::vector<std::string> driverNames(int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i)
        names.push_back("driver " + std::to_string(i));
    return names;
}

class SoundSetup : public testing::Test {
  protected:
    void SetUp() override {
        gScript = SoundScript{};
        gStream = nullptr;
    }
    Capture capture;
};

TEST_F(SoundSetup, VersionBelowRequiredPrintsOneLineAndShowsNoMenu) {
    for (float version : {3.73f, std::nextafter(3.74f, 0.0f), 0.0f, -1.0f}) {
        gScript = SoundScript{};
        gScript.version = version;
        gScript.keys = {'4', '1'};
        int result = -1;
        EXPECT_EQ(capture.printedBy([&] { result = initSound(); }),
                  "Error : You are using the wrong DLL version!  You should be using FMOD 3.74\n")
            << version;
        EXPECT_EQ(result, 0);
        EXPECT_EQ(gScript.calls, std::vector<std::string>{"GetVersion"});
        EXPECT_EQ(gScript.keys.size(), 2u) << "no key is read";
    }
}

// Version 3.74 passes; ignored keys print nothing; the count is asked before each line
// and at each key; the chosen driver is set before the library is initialised.
TEST_F(SoundSetup, WholeDialogueWithIgnoredKeys) {
    gScript.drivers = {"default", "pulse (PulseAudio Sound Server)", "hw:0"};
    gScript.keys = {'0', '5', 'a', ' ', '\n', '1', '4', '9', '3', '2'};
    int result = -1;
    const std::string printed = capture.printedBy([&] { result = initSound(); });

    EXPECT_EQ(result, 1);
    EXPECT_EQ(printed,
              MENU + driverMenu("Direct Sound",
                                "1 - default\n2 - pulse (PulseAudio Sound Server)\n3 - hw:0\n"));
    const std::vector<std::string> expected = {
        "GetVersion",       "readKey 48",    "readKey 53",       "readKey 97",
        "readKey 32",       "readKey 10",    "readKey 49",       "SetOutput(2)",
        "GetOutput",        "GetNumDrivers", "GetDriverName(0)", "GetNumDrivers",
        "GetDriverName(1)", "GetNumDrivers", "GetDriverName(2)", "GetNumDrivers",
        "readKey 52",       "GetNumDrivers", "readKey 57",       "GetNumDrivers",
        "readKey 51",       "GetNumDrivers", "SetDriver(2)",     "Init(44100,32,0)",
    };
    EXPECT_EQ(gScript.calls, expected);
    EXPECT_EQ(gScript.keys, std::deque<int>{'2'}) << "no key is read after the choice";
}

TEST_F(SoundSetup, OutputKeySelectsItsCode) {
    const struct {
        int key;
        int code;
        const char* header;
    } cases[] = {
        {'1', 2, "Direct Sound"},
        {'2', 1, "Windows Multimedia Waveout"},
        {'3', 7, "ASIO"},
        {'4', 0, "NoSound"},
    };
    for (const auto& c : cases) {
        gScript = SoundScript{};
        gScript.drivers = {"only"};
        gScript.keys = {c.key, '1'};
        const std::string printed = capture.printedBy([] { initSound(); });
        EXPECT_EQ(gScript.calls.at(2), "SetOutput(" + std::to_string(c.code) + ")") << c.key;
        EXPECT_EQ(printed, MENU + driverMenu(c.header, "1 - only\n")) << c.key;
    }
}

// The header names the output type that the library reports, whatever was asked for.
TEST_F(SoundSetup, HeaderNamesTheOutputInForce) {
    const struct {
        int code;
        const char* name;
    } cases[] = {
        {0, "NoSound"},
        {1, "Windows Multimedia Waveout"},
        {2, "Direct Sound"},
        {3, ""},
        {4, "Open Sound System"},
        {5, "Enlightment Sound Daemon"},
        {6, "Alsa"},
        {7, "ASIO"},
        {8, ""},
        {-1, ""},
        {INT_MIN, ""},
    };
    for (const auto& c : cases) {
        gScript = SoundScript{};
        gScript.output = c.code;
        gScript.outputFixed = true;
        gScript.drivers = {"only"};
        gScript.keys = {'1', '1'};
        const std::string printed = capture.printedBy([] { initSound(); });
        EXPECT_EQ(printed, MENU + driverMenu(c.name, "1 - only\n")) << c.code;
    }
}

TEST_F(SoundSetup, DriverKeyIsItsCodeMinus49) {
    const struct {
        int drivers;
        std::deque<int> keys; // the last one chooses
        int index;
    } cases[] = {
        {3, {'1'}, 0},
        {3, {'3'}, 2},
        {3, {'4', '2'}, 1},           // not below the count
        {3, {'0', '/', 'a', '2'}, 1}, // negative, and far above
        {11, {':'}, 9},               // the characters after 9
        {11, {';'}, 10},
        {11, {'<', ';'}, 10},
        {250, {128, 200, 255, '1'}, 0}, // negative as signed characters
        {250, {127}, 78},               // the highest index a key reaches
    };
    for (const auto& c : cases) {
        gScript = SoundScript{};
        gScript.drivers = driverNames(c.drivers);
        gScript.keys = {'1'};
        gScript.keys.insert(gScript.keys.end(), c.keys.begin(), c.keys.end());
        int result = -1;
        capture.printedBy([&] { result = initSound(); });
        EXPECT_EQ(result, 1);
        const std::vector<std::string> last(gScript.calls.end() - 2, gScript.calls.end());
        EXPECT_EQ(last, (std::vector<std::string>{"SetDriver(" + std::to_string(c.index) + ")",
                                                  "Init(44100,32,0)"}))
            << "drivers " << c.drivers << ", last key " << c.keys.back();
        EXPECT_TRUE(gScript.keys.empty());
    }
}

TEST_F(SoundSetup, ListNumbersDriversFromOne) {
    gScript.drivers = driverNames(11);
    gScript.keys = {'4', ':'};
    const std::string printed = capture.printedBy([] { initSound(); });
    std::string lines;
    for (int i = 0; i < 11; ++i)
        lines += std::to_string(i + 1) + " - driver " + std::to_string(i) + "\n";
    EXPECT_EQ(printed, MENU + driverMenu("NoSound", lines));
}

TEST_F(SoundSetup, DriverWithoutANameIsListedWithAnEmptyName) {
    gScript.drivers = {"default", "?", "hw:0"};
    gScript.unnamedDriver = 1;
    gScript.keys = {'1', '2'};
    int result = -1;
    const std::string printed = capture.printedBy([&] { result = initSound(); });
    EXPECT_EQ(printed, MENU + driverMenu("Direct Sound", "1 - default\n2 - \n3 - hw:0\n"));
    EXPECT_EQ(result, 1);
}

TEST_F(SoundSetup, FailedInitReportsAndReadsNoFurtherKey) {
    gScript.drivers = {"default"};
    gScript.initResult = 0;
    gScript.error = FSOUND_ERR_INIT;
    gScript.keys = {'1', '1', '1'};
    int result = -1;
    const std::string printed = capture.printedBy([&] { result = initSound(); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(printed, MENU + driverMenu("Direct Sound", "1 - default\n") +
                           "Error!\nError initializing output device.\n");
    EXPECT_EQ(gScript.calls.back(), "GetError");
    EXPECT_EQ(gScript.keys, std::deque<int>{'1'});
}

// ESC ends the process with 0 at either prompt, before anything else is printed or set.
TEST_F(SoundSetup, EscapeAtEitherPromptExitsWithZero) {
    const struct {
        std::deque<int> keys;
        std::vector<std::string> drivers;
        std::string printed;
        const char* lastCall;
    } cases[] = {
        {{ESC}, {"default"}, MENU, "readKey 27"},
        {{'x', '9', ESC}, {"default"}, MENU, "readKey 27"},
        {{'2', '7', ESC},
         {"default"},
         MENU + driverMenu("Windows Multimedia Waveout", "1 - default\n"),
         "readKey 27"},
        // With no drivers the list is empty and only ESC leaves.
        {{'4', '1', '0', ':', 128, ESC}, {}, MENU + driverMenu("NoSound", ""), "readKey 27"},
    };
    for (const auto& c : cases) {
        gScript = SoundScript{};
        gScript.drivers = c.drivers;
        gScript.keys = c.keys;
        EXPECT_EXIT(
            {
                capture.inChild();
                initSound();
            },
            testing::ExitedWithCode(0), "");
        EXPECT_EQ(capture.printed(), c.printed);
        const std::vector<std::string> calls = capture.childCalls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back(), c.lastCall);
        for (const std::string& call : calls)
            EXPECT_NE(call.rfind("SetDriver", 0), 0u) << call;
    }
}

TEST_F(SoundSetup, StartStreamCreatesAndPlaysTheStream) {
    Vco carrier(1.0f, 440.0f, SINE);
    gOsc1 = &carrier;
    EXPECT_EQ(capture.printedBy(startStream), "");
    EXPECT_EQ(gScript.callback, &fillStream);
    EXPECT_EQ(gScript.length, 32768);
    EXPECT_EQ(gScript.mode, 0x01000150u);
    EXPECT_EQ(gScript.sampleRate, 44100);
    EXPECT_EQ(gScript.userData, &carrier);
    EXPECT_EQ(gScript.calls, (std::vector<std::string>{"Stream_Create", "Stream_Play(0,0x5eed)"}));
    EXPECT_EQ(gStream, gScript.stream);
    gOsc1 = nullptr;
}

TEST_F(SoundSetup, StreamFailureReportsAndExitsWithOne) {
    const struct {
        FSOUND_STREAM* stream;
        int playResult;
        int error;
        const char* printed;
        const char* lastCall;
    } cases[] = {
        {nullptr, 0, FSOUND_ERR_CREATEBUFFER, "Error!\nError creating hardware sound buffer.\n",
         "GetError"},
        {nullptr, 0, FSOUND_ERR_UNINITIALIZED,
         "Error!\nThis command failed because FSOUND_Init was not called\n", "GetError"},
        {reinterpret_cast<FSOUND_STREAM*>(0x5eed), -1, FSOUND_ERR_PLAY,
         "Error!\nPlaying the sound failed.\n", "GetError"},
    };
    for (const auto& c : cases) {
        gScript = SoundScript{};
        gScript.stream = c.stream;
        gScript.playResult = c.playResult;
        gScript.error = c.error;
        EXPECT_EXIT(
            {
                capture.inChild();
                startStream();
            },
            testing::ExitedWithCode(1), "");
        EXPECT_EQ(capture.printed(), c.printed);
        const std::vector<std::string> calls = capture.childCalls();
        const std::vector<std::string> expected =
            c.stream == nullptr
                ? std::vector<std::string>{"Stream_Create", "GetError"}
                : std::vector<std::string>{"Stream_Create", "Stream_Play(0,0x5eed)", "GetError"};
        EXPECT_EQ(calls, expected);
    }
}

TEST_F(SoundSetup, PlayOfAnyOtherChannelIsSuccess) {
    for (int channel : {-2, 0, 1, 31}) {
        gScript = SoundScript{};
        gScript.playResult = channel;
        EXPECT_EQ(capture.printedBy(startStream), "") << channel;
        EXPECT_EQ(gStream, gScript.stream);
    }
}

TEST_F(SoundSetup, CloseSoundClosesTheStreamThenTheLibrary) {
    gScript.stream = reinterpret_cast<FSOUND_STREAM*>(0xbeef);
    startStream();
    gScript.calls.clear();
    EXPECT_EQ(capture.printedBy(closeSound), "");
    EXPECT_EQ(gScript.calls, (std::vector<std::string>{"Stream_Close(0xbeef)", "Close"}));
}

TEST(ErrorText, EveryCode) {
    const struct {
        int code;
        const char* text;
    } cases[] = {
        {0, "No errors"},
        {1, "Cannot call this command after FSOUND_Init.  Call FSOUND_Close first."},
        {2, "This command failed because FSOUND_Init was not called"},
        {3, "Error initializing output device."},
        {4, "The output device is already in use and cannot be reused."},
        {5, "Playing the sound failed."},
        {6, "Soundcard does not support the features needed for this soundsystem (16bit stereo "
            "output)"},
        {7, "Error setting cooperative level for hardware."},
        {8, "Error creating hardware sound buffer."},
        {9, "File not found"},
        {10, "Unknown file format"},
        {11, "Error loading file"},
        {12, "Not enough memory "},
        {13, "The version number of this file format is not supported"},
        {14, "An invalid parameter was passed to this function"},
        {15, "Tried to use an EAX command on a non EAX enabled channel or output."},
        {16, "Failed to allocate a new channel"},
        {17, "Recording not supported on this device"},
        {18, "Required Mediaplayer codec is not installed"},
        {19, "Unknown error"},
        {1000, "Unknown error"},
        {INT_MAX, "Unknown error"},
        {-1, "Unknown error"},
        {INT_MIN, "Unknown error"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(errorText(c.code), c.text) << c.code;
}

} // namespace
