#include "audio/sound_setup.hpp"

#include "audio/fill_stream.hpp"
#include "audio/globals.hpp"
#include "engine/mix_rate.hpp"
#include "platform/console/console.hpp"

#include <cstdio>
#include <cstdlib>
#include <iterator>

FSOUND_STREAM* gStream = nullptr;

namespace {

constexpr char SEPARATOR[] = "---------------------------------------------------------\n";
constexpr char PROMPT[] = "Press a corresponding number or ESC to quit\n";
constexpr int KEY_ESC = 27;
constexpr int SOFTWARE_CHANNELS = 32;
constexpr unsigned int INIT_FLAGS = 0;
constexpr int PLAY_CHANNEL = 0;

// The name of an output-type code in the driver-list header; empty for codes without one.
const char* outputName(int code) {
    switch (code) {
    case 0: return "NoSound";
    case 1: return "Windows Multimedia Waveout";
    case 2: return "Direct Sound";
    case 4: return "Open Sound System";
    case 5: return "Enlightment Sound Daemon";
    case 6: return "Alsa";
    case 7: return "ASIO";
    default: return "";
    }
}

// Waits for ESC (ends the process) or a menu digit; returns the output code the digit selects.
int chooseOutput() {
    for (;;) {
        switch (readKey()) {
        case KEY_ESC: std::exit(0);
        case '1': return 2;
        case '2': return 1;
        case '3': return 7;
        case '4': return 0;
        default: break;
        }
    }
}

// Waits for ESC (ends the process) or a key naming a listed driver; returns its index.
// The key is a signed character, so bytes of 128 or more are negative and never a driver.
int chooseDriver() {
    for (;;) {
        const int key = static_cast<signed char>(readKey());
        if (key == KEY_ESC) std::exit(0);
        const int index = key - '1';
        if (index >= 0 && index < FSOUND_GetNumDrivers()) return index;
    }
}

} // namespace

int initSound() {
    if (FSOUND_GetVersion() < REQUIRED_VERSION) {
        std::printf(
            "Error : You are using the wrong DLL version!  You should be using FMOD %.02f\n",
            double(REQUIRED_VERSION));
        return 0;
    }

    std::printf("%s", SEPARATOR);
    std::printf("Output Type\n");
    std::printf("%s", SEPARATOR);
    std::printf("1 - Direct Sound\n");
    std::printf("2 - Windows Multimedia Waveout\n");
    std::printf("3 - ASIO\n");
    std::printf("4 - NoSound\n");
    std::printf("%s", SEPARATOR);
    std::printf("%s", PROMPT);
    std::fflush(stdout); // the menu must show before the key is waited for
    FSOUND_SetOutput(chooseOutput());

    std::printf("%s", SEPARATOR);
    std::printf("%s", outputName(FSOUND_GetOutput()));
    std::printf(" Driver list\n");
    std::printf("%s", SEPARATOR);
    // The count is asked anew for every line: the library may change it.
    for (int i = 0; i < FSOUND_GetNumDrivers(); ++i) {
        const char* name = FSOUND_GetDriverName(i);
        std::printf("%d - %s\n", i + 1, name != nullptr ? name : ""); // a driver without a name
    }
    std::printf("%s", SEPARATOR);
    std::printf("%s", PROMPT);
    std::fflush(stdout);
    FSOUND_SetDriver(chooseDriver());

    if (FSOUND_Init(MIX_RATE, SOFTWARE_CHANNELS, INIT_FLAGS) != 0) return 1;
    reportSoundError();
    return 0;
}

void startStream() {
    FSOUND_STREAM* stream =
        FSOUND_Stream_Create(fillStream, STREAM_BYTES, STREAM_MODE, MIX_RATE, gOsc1);
    if (stream == nullptr) {
        reportSoundError();
        std::exit(1);
    }
    if (FSOUND_Stream_Play(PLAY_CHANNEL, stream) == -1) {
        reportSoundError();
        std::exit(1);
    }
    gStream = stream;
}

void closeSound() {
    FSOUND_Stream_Close(gStream);
    FSOUND_Close();
}

const char* errorText(int code) {
    static const char* const texts[] = {
        "No errors",
        "Cannot call this command after FSOUND_Init.  Call FSOUND_Close first.",
        "This command failed because FSOUND_Init was not called",
        "Error initializing output device.",
        "The output device is already in use and cannot be reused.",
        "Playing the sound failed.",
        "Soundcard does not support the features needed for this soundsystem (16bit stereo output)",
        "Error setting cooperative level for hardware.",
        "Error creating hardware sound buffer.",
        "File not found",
        "Unknown file format",
        "Error loading file",
        "Not enough memory ",
        "The version number of this file format is not supported",
        "An invalid parameter was passed to this function",
        "Tried to use an EAX command on a non EAX enabled channel or output.",
        "Failed to allocate a new channel",
        "Recording not supported on this device",
        "Required Mediaplayer codec is not installed",
    };
    // Taken unsigned, so every negative code is unknown.
    const unsigned int index = static_cast<unsigned int>(code);
    return index < std::size(texts) ? texts[index] : "Unknown error";
}

void reportSoundError() {
    std::printf("Error!\n");
    std::printf("%s\n", errorText(FSOUND_GetError()));
}
