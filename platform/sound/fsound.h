#pragma once

// The sound library: a pull stream of 16-bit signed stereo frames, mixed on a thread
// of its own that calls the stream's callback for every buffer it needs. On Linux it
// plays through ALSA (which also reaches PulseAudio and PipeWire); the NoSound output
// paces the same thread by the clock without a device.

// Output types.
enum {
    FSOUND_OUTPUT_NOSOUND = 0,
    FSOUND_OUTPUT_WINMM = 1,  // not on this platform
    FSOUND_OUTPUT_DSOUND = 2, // not on this platform
    FSOUND_OUTPUT_OSS = 4,
    FSOUND_OUTPUT_ESD = 5, // not on this platform
    FSOUND_OUTPUT_ALSA = 6,
    FSOUND_OUTPUT_ASIO = 7, // not on this platform
};

// Error codes, as FSOUND_GetError reports the last failure.
enum {
    FSOUND_ERR_NONE = 0,
    FSOUND_ERR_BUSY = 1, // command not allowed after FSOUND_Init
    FSOUND_ERR_UNINITIALIZED = 2,
    FSOUND_ERR_INIT = 3, // the output device cannot be opened or configured
    FSOUND_ERR_ALLOCATED = 4,
    FSOUND_ERR_PLAY = 5,
    FSOUND_ERR_OUTPUT_FORMAT = 6,
    FSOUND_ERR_COOPERATIVELEVEL = 7,
    FSOUND_ERR_CREATEBUFFER = 8,
    FSOUND_ERR_FILE_NOTFOUND = 9,
    FSOUND_ERR_FILE_FORMAT = 10,
    FSOUND_ERR_FILE_BAD = 11,
    FSOUND_ERR_MEMORY = 12,
    FSOUND_ERR_VERSION = 13,
    FSOUND_ERR_INVALID_PARAM = 14,
    FSOUND_ERR_NO_EAX = 15,
    FSOUND_ERR_CHANNEL_ALLOC = 16,
    FSOUND_ERR_RECORD = 17,
    FSOUND_ERR_MEDIAPLAYER = 18,
};

// Stream mode bits: 16-bit samples, signed, stereo (interleaved).
enum : unsigned int {
    FSOUND_16BITS = 0x00000010,
    FSOUND_STEREO = 0x00000040,
    FSOUND_SIGNED = 0x00000100,
};

struct FSOUND_STREAM;

// Fills `buffer` with `length` bytes of frames. Runs on the mixer thread.
using FSOUND_STREAMCALLBACK = signed char (*)(FSOUND_STREAM* stream, void* buffer, int length,
                                              void* userData);

// Main-thread calls. Truth values are 1 for success, 0 for failure; every failure
// leaves its code for FSOUND_GetError, and a success leaves the last code alone.
float FSOUND_GetVersion(); // 3.74
// ALSA (in force at start) or NoSound; any other type: 0, FSOUND_ERR_INVALID_PARAM, and
// the output stays. After FSOUND_Init: FSOUND_ERR_BUSY.
signed char FSOUND_SetOutput(int outputType);
int FSOUND_GetOutput();
// The output's drivers, listed once and then kept; ALSA's "default" comes first.
int FSOUND_GetNumDrivers();
const char* FSOUND_GetDriverName(int driver); // null for an index out of range
signed char FSOUND_SetDriver(int driver);
// Checks that the driver's device opens at `mixRate` (8000 to 192000 Hz); fails with
// FSOUND_ERR_INIT when it does not.
signed char FSOUND_Init(int mixRate, int maxSoftwareChannels, unsigned int flags);
int FSOUND_GetError();
// `length` bytes (a multiple of 4, up to 16 MiB) of 16-bit signed stereo frames,
// `mode` holding FSOUND_16BITS | FSOUND_STEREO | FSOUND_SIGNED. The callback is asked
// for blocks of the device's period, never longer than `length`.
FSOUND_STREAM* FSOUND_Stream_Create(FSOUND_STREAMCALLBACK callback, int length, unsigned int mode,
                                    int sampleRate, void* userData);
// Starts the mixer thread on `channel` (-1: any) and returns the channel, or -1. One
// stream plays at a time: another fails with FSOUND_ERR_ALLOCATED.
int FSOUND_Stream_Play(int channel, FSOUND_STREAM* stream);
// Stops the mixer thread, closes the device and frees the stream; an unknown or
// already closed stream fails with FSOUND_ERR_INVALID_PARAM. The library does the same
// by itself when the process exits while a stream plays.
signed char FSOUND_Stream_Close(FSOUND_STREAM* stream);
// Closes every stream and the library.
void FSOUND_Close();
