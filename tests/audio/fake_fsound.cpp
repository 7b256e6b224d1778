#include "fake_fsound.hpp"

#include "platform/console/console.hpp"
#include "platform/sound/sound_stats.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

SoundScript gScript;

namespace {

void called(std::string call) {
    gScript.calls.push_back(std::move(call));
}

std::string pointerText(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

} // namespace

float FSOUND_GetVersion() {
    called("GetVersion");
    return gScript.version;
}

signed char FSOUND_SetOutput(int outputType) {
    called("SetOutput(" + std::to_string(outputType) + ")");
    if (!gScript.outputFixed) gScript.output = outputType;
    return 1;
}

int FSOUND_GetOutput() {
    called("GetOutput");
    return gScript.output;
}

int FSOUND_GetNumDrivers() {
    called("GetNumDrivers");
    return int(gScript.drivers.size());
}

const char* FSOUND_GetDriverName(int driver) {
    called("GetDriverName(" + std::to_string(driver) + ")");
    if (driver < 0 || driver >= int(gScript.drivers.size()) || driver == gScript.unnamedDriver)
        return nullptr;
    return gScript.drivers[driver].c_str();
}

signed char FSOUND_SetDriver(int driver) {
    called("SetDriver(" + std::to_string(driver) + ")");
    return 1;
}

signed char FSOUND_Init(int mixRate, int maxSoftwareChannels, unsigned int flags) {
    called("Init(" + std::to_string(mixRate) + "," + std::to_string(maxSoftwareChannels) + "," +
           std::to_string(flags) + ")");
    return gScript.initResult;
}

int FSOUND_GetError() {
    called("GetError");
    return gScript.error;
}

FSOUND_STREAM* FSOUND_Stream_Create(FSOUND_STREAMCALLBACK callback, int length, unsigned int mode,
                                    int sampleRate, void* userData) {
    called("Stream_Create");
    gScript.callback = callback;
    gScript.length = length;
    gScript.mode = mode;
    gScript.sampleRate = sampleRate;
    gScript.userData = userData;
    return gScript.stream;
}

int FSOUND_Stream_Play(int channel, FSOUND_STREAM* stream) {
    called("Stream_Play(" + std::to_string(channel) + "," + pointerText(stream) + ")");
    return gScript.playResult;
}

signed char FSOUND_Stream_Close(FSOUND_STREAM* stream) {
    called("Stream_Close(" + pointerText(stream) + ")");
    return 1;
}

void FSOUND_Close() {
    called("Close");
}

SoundStats FSOUND_GetStats() {
    return {};
}

bool keyWaiting() {
    return !gScript.keys.empty();
}

int readKey() {
    if (gScript.keys.empty()) {
        std::fprintf(stderr, "readKey: no scripted key left\n");
        std::exit(OUT_OF_KEYS);
    }
    const int key = gScript.keys.front();
    gScript.keys.pop_front();
    called("readKey " + std::to_string(key));
    return key;
}
