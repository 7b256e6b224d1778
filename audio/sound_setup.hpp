#pragma once

#include "platform/sound/fsound.h"

inline constexpr int STREAM_BYTES = 32768;              // 8192 frames, about 186 ms
inline constexpr unsigned int STREAM_MODE = 0x01000150; // 16-bit signed stereo
inline constexpr float REQUIRED_VERSION = 3.74f;        // lowest library version accepted

extern FSOUND_STREAM* gStream; // the started stream, null until startStream

// Version check, output-type and driver menus on the console, library set-up.
// 1 when the library is ready, 0 otherwise; ESC at a menu ends the process with 0.
int initSound();
// Creates and plays the stream; on failure reports it and ends the process with 1.
void startStream();
// Closes the stream, then the library.
void closeSound();
// The fixed text of a library error code.
const char* errorText(int code);
// Prints "Error!" and the text of the library's last error.
void reportSoundError();
