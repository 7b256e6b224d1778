// The sound library's functions and state. Everything here runs on the caller's
// (main) thread except mix(), the mixer thread's loop.

#include "platform/sound/fsound.h"

#include "platform/sound/output.hpp"
#include "platform/sound/sound_stats.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <future>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

struct FSOUND_STREAM {
    FSOUND_STREAMCALLBACK callback;
    int frames; // length of the stream's buffer, in frames
    int rate;   // frames per second
    void* userData;
    std::unique_ptr<int16_t[]> buffer; // frames * 2 samples: the block the callback fills
};

namespace {

constexpr float VERSION = 3.74f;
constexpr int FRAME_BYTES = 4; // 16-bit left and right
constexpr unsigned int REQUIRED_MODE = FSOUND_16BITS | FSOUND_STEREO | FSOUND_SIGNED;
constexpr int MAX_STREAM_BYTES = 1 << 24; // 16 MiB, over a minute and a half at 44100 Hz
constexpr int MIN_RATE = 8000;            // Hz
constexpr int MAX_RATE = 192000;          // Hz
constexpr int MIXER_PRIORITY = 10;        // SCHED_FIFO: above every ordinary thread

struct Library {
    int outputType = FSOUND_OUTPUT_ALSA;
    int driver = 0;
    bool initialised = false;
    int channels = 0; // software channels asked for at init
    Shared<int> lastError = FSOUND_ERR_NONE;
    std::unique_ptr<sound::Output> alsa;
    std::unique_ptr<sound::Output> noSound;
    sound::Output* device = nullptr; // the output FSOUND_Init checked; streams play on it
    std::vector<std::unique_ptr<FSOUND_STREAM>> streams;
    FSOUND_STREAM* playing = nullptr;
    std::thread mixer;
    Shared<int> stopping = 0;
    bool exitHandlerSet = false;

    // The output in force, made on first use; each keeps its driver list.
    sound::Output& output() {
        if (outputType == FSOUND_OUTPUT_NOSOUND) {
            if (!noSound) noSound = sound::makeNoSoundOutput();
            return *noSound;
        }
        if (!alsa) alsa = sound::makeAlsaOutput();
        return *alsa;
    }

    FSOUND_STREAM* find(const FSOUND_STREAM* stream) const {
        for (const auto& known : streams)
            if (known.get() == stream) return known.get();
        return nullptr;
    }
};

// Never destroyed: the mixer thread may still run while the process exits.
Library& lib() {
    static Library* const library = new Library;
    return *library;
}

// Records `code` as the last failure and hands back `result`.
template <typename T> T fail(int code, T result) {
    lib().lastError = code;
    return result;
}

// The mixer thread: opens the device at its own priority and tells `started` whether
// it could, then hands one block of the device's period at a time, never longer than
// the stream, from the callback to the device until told to stop. It asks for a block
// only once the device has room for it, so that what a key changes is queued at once.
void mix(FSOUND_STREAM* stream, sound::Output* output, const Shared<int>* stopping,
         std::promise<bool> started) {
    pthread_setname_np(pthread_self(), "sound mixer"); // as ps and /proc show it
    sched_param param{};
    param.sched_priority = MIXER_PRIORITY;
    // Refused without the privilege; the thread then runs at normal priority.
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    const bool ready = output->start(stream->rate, stream->frames);
    started.set_value(ready);
    if (!ready) return;
    for (;;) {
        const int frames = std::min<int>(output->periodFrames, stream->frames);
        if (!output->waitForRoom(frames, *stopping)) break;
        if (*stopping) return;
        stream->callback(stream, stream->buffer.get(), frames * FRAME_BYTES, stream->userData);
        if (!output->write(stream->buffer.get(), frames, *stopping)) break;
    }
    lib().lastError = FSOUND_ERR_PLAY; // the device failed for good
}

// Stops and joins the mixer thread and closes its device. False on the mixer thread
// itself, which cannot wait for its own end.
bool stopMixer(Library& library) {
    if (!library.mixer.joinable()) return true;
    library.stopping = 1;
    if (library.mixer.get_id() == std::this_thread::get_id()) return false;
    library.mixer.join();
    library.device->stop();
    library.playing = nullptr;
    return true;
}

// Registered when a stream first plays, after SDL's own exit handler, so it runs first:
// the callback clears the window's surface, which SDL_Quit frees.
void stopAtExit() {
    stopMixer(lib());
}

} // namespace

float FSOUND_GetVersion() {
    return VERSION;
}

signed char FSOUND_SetOutput(int outputType) {
    Library& library = lib();
    if (library.initialised) return fail(FSOUND_ERR_BUSY, 0);
    if (outputType != FSOUND_OUTPUT_ALSA && outputType != FSOUND_OUTPUT_NOSOUND)
        return fail(FSOUND_ERR_INVALID_PARAM, 0);
    if (outputType != library.outputType) library.driver = 0;
    library.outputType = outputType;
    return 1;
}

int FSOUND_GetOutput() {
    return lib().outputType;
}

int FSOUND_GetNumDrivers() {
    return int(lib().output().drivers().size());
}

const char* FSOUND_GetDriverName(int driver) {
    const auto& names = lib().output().drivers();
    if (driver < 0 || driver >= int(names.size()))
        return fail<const char*>(FSOUND_ERR_INVALID_PARAM, nullptr);
    return names[driver].c_str();
}

signed char FSOUND_SetDriver(int driver) {
    Library& library = lib();
    if (library.initialised) return fail(FSOUND_ERR_BUSY, 0);
    if (driver < 0 || driver >= FSOUND_GetNumDrivers()) return fail(FSOUND_ERR_INVALID_PARAM, 0);
    library.driver = driver;
    return 1;
}

signed char FSOUND_Init(int mixRate, int maxSoftwareChannels, unsigned int) {
    Library& library = lib();
    if (library.initialised) return fail(FSOUND_ERR_BUSY, 0);
    if (mixRate < MIN_RATE || mixRate > MAX_RATE || maxSoftwareChannels < 0)
        return fail(FSOUND_ERR_INVALID_PARAM, 0);
    sound::Output& output = library.output();
    if (!output.check(library.driver, mixRate)) return fail(FSOUND_ERR_INIT, 0);
    library.device = &output;
    library.channels = maxSoftwareChannels;
    library.initialised = true;
    return 1;
}

int FSOUND_GetError() {
    return lib().lastError;
}

FSOUND_STREAM* FSOUND_Stream_Create(FSOUND_STREAMCALLBACK callback, int length, unsigned int mode,
                                    int sampleRate, void* userData) {
    Library& library = lib();
    if (!library.initialised) return fail<FSOUND_STREAM*>(FSOUND_ERR_UNINITIALIZED, nullptr);
    if (callback == nullptr || length < FRAME_BYTES || length > MAX_STREAM_BYTES ||
        length % FRAME_BYTES != 0 || (mode & REQUIRED_MODE) != REQUIRED_MODE ||
        sampleRate < MIN_RATE || sampleRate > MAX_RATE)
        return fail<FSOUND_STREAM*>(FSOUND_ERR_INVALID_PARAM, nullptr);
    const int frames = length / FRAME_BYTES;
    std::unique_ptr<FSOUND_STREAM> stream(new (std::nothrow) FSOUND_STREAM{
        callback, frames, sampleRate, userData, std::unique_ptr<int16_t[]>()});
    if (stream) stream->buffer.reset(new (std::nothrow) int16_t[size_t(frames) * 2]());
    if (!stream || !stream->buffer) return fail<FSOUND_STREAM*>(FSOUND_ERR_MEMORY, nullptr);
    try {
        library.streams.push_back(std::move(stream));
    } catch (const std::bad_alloc&) {
        return fail<FSOUND_STREAM*>(FSOUND_ERR_MEMORY, nullptr);
    }
    return library.streams.back().get();
}

int FSOUND_Stream_Play(int channel, FSOUND_STREAM* stream) {
    Library& library = lib();
    if (!library.initialised) return fail(FSOUND_ERR_UNINITIALIZED, -1);
    // -1 lets the library choose the channel.
    if (library.find(stream) == nullptr || channel < -1 || channel >= library.channels)
        return fail(FSOUND_ERR_INVALID_PARAM, -1);
    if (library.playing != nullptr) return fail(FSOUND_ERR_ALLOCATED, -1);
    if (!library.exitHandlerSet) library.exitHandlerSet = std::atexit(stopAtExit) == 0;
    library.stopping = 0;
    try {
        std::promise<bool> started;
        std::future<bool> ready = started.get_future();
        library.mixer =
            std::thread(mix, stream, library.device, &library.stopping, std::move(started));
        if (!ready.get()) {
            library.mixer.join();
            return fail(FSOUND_ERR_PLAY, -1);
        }
    } catch (const std::system_error&) {
        return fail(FSOUND_ERR_PLAY, -1);
    }
    library.playing = stream;
    return channel < 0 ? 0 : channel;
}

signed char FSOUND_Stream_Close(FSOUND_STREAM* stream) {
    Library& library = lib();
    FSOUND_STREAM* known = library.find(stream);
    if (known == nullptr) return fail(FSOUND_ERR_INVALID_PARAM, 0);
    if (known == library.playing && !stopMixer(library)) return fail(FSOUND_ERR_INVALID_PARAM, 0);
    std::erase_if(library.streams, [known](const auto& each) { return each.get() == known; });
    return 1;
}

void FSOUND_Close() {
    Library& library = lib();
    if (!library.initialised) return void(fail(FSOUND_ERR_UNINITIALIZED, 0));
    if (!stopMixer(library)) return void(fail(FSOUND_ERR_INVALID_PARAM, 0));
    library.streams.clear();
    library.device = nullptr;
    library.initialised = false;
}

SoundStats FSOUND_GetStats() {
    Library& library = lib();
    const sound::Output* output = library.device;
    if (output == nullptr)
        output = library.outputType == FSOUND_OUTPUT_NOSOUND ? library.noSound.get()
                                                             : library.alsa.get();
    if (output == nullptr) return SoundStats{0, 0, 0};
    return SoundStats{output->underruns, output->latencyFrames, output->periodFrames};
}
