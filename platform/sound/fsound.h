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

float FSOUND_GetVersion();
signed char FSOUND_SetOutput(int outputType);
int FSOUND_GetOutput();
int FSOUND_GetNumDrivers();
const char* FSOUND_GetDriverName(int driver);
signed char FSOUND_SetDriver(int driver);
signed char FSOUND_Init(int mixRate, int maxSoftwareChannels, unsigned int flags);
int FSOUND_GetError();
FSOUND_STREAM* FSOUND_Stream_Create(FSOUND_STREAMCALLBACK callback, int length, unsigned int mode,
                                    int sampleRate, void* userData);
int FSOUND_Stream_Play(int channel, FSOUND_STREAM* stream);
signed char FSOUND_Stream_Close(FSOUND_STREAM* stream);
void FSOUND_Close();
