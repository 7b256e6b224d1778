#pragma once

#include "engine/shared.hpp"

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace sound {

// A fresh device's layout: a short queue, so that a key is heard within a few ms.
inline constexpr int PERIOD_FRAMES = 256; // frames per period, a power of two
inline constexpr int PERIODS = 2;         // periods queued; a device may insist on more
// An underrun this soon after the previous one makes the queue grow by one period.
inline constexpr int64_t UNDERRUN_REPEAT_NS = 5'000'000'000;

// Nanoseconds of CLOCK_MONOTONIC.
inline int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// One kind of sound output behind the library's functions: its drivers, and a device
// that takes 16-bit signed stereo interleaved frames. The library calls drivers(),
// check() and, once the mixer thread has ended, stop() on its main thread; start(),
// waitForRoom() and write() on the mixer thread.
class Output {
  public:
    virtual ~Output() = default;

    // Display names of the drivers, asked of the system once and then kept.
    const std::vector<std::string>& drivers() {
        if (!listed_) drivers_ = listDrivers();
        listed_ = true;
        return drivers_;
    }

    // Chooses driver `driver` and checks that it opens and takes 16-bit stereo at
    // `rate` (Hz). False when the device cannot be opened or configured. Leaves it closed.
    virtual bool check(int driver, int rate) = 0;
    // Opens the device for a stream at `rate` (Hz) whose queue may grow up to
    // `maxQueueFrames`. On the mixer thread, so that a thread which ALSA's plugin starts
    // for the device (PulseAudio's client) inherits its priority. False on failure.
    virtual bool start(int rate, int maxQueueFrames) = 0;
    // Mixer thread: waits until the device takes `frames` frames at once, recovering
    // underruns silently, so that a block is written as soon as it is computed.
    // Returns early once `stopping` is set; false when the device has failed for good.
    // Like write(), it takes no lock and allocates nothing of its own.
    virtual bool waitForRoom(int frames, const Shared<int>& stopping) = 0;
    // Mixer thread: queues `frames` frames, waiting while the queue is full.
    virtual bool write(const int16_t* samples, int frames, const Shared<int>& stopping) = 0;
    // Discards the queue and closes the device.
    virtual void stop() = 0;

    // Figures of the stream, written by the backend, readable from any thread.
    Shared<int> underruns;     // underruns recovered since start()
    Shared<int> latencyFrames; // frames the device queues: period times periods
    Shared<int> periodFrames;  // frames per period; the mixer asks the callback for as many

  protected:
    virtual std::vector<std::string> listDrivers() = 0;

    // Mixer thread: counts one underrun; true when it follows the previous one within
    // UNDERRUN_REPEAT_NS, so that the queue should grow by one step.
    bool noteUnderrun() {
        const int64_t now = monotonicNs();
        const bool repeated = underruns > 0 && now - lastUnderrunNs_ < UNDERRUN_REPEAT_NS;
        underruns = underruns + 1;
        lastUnderrunNs_ = now;
        return repeated;
    }
    // Publishes the device layout in force: frames per period and frames queued.
    void setLayout(int period, int queue) {
        periodFrames = period;
        latencyFrames = queue;
    }

  private:
    std::vector<std::string> drivers_;
    bool listed_ = false;
    int64_t lastUnderrunNs_ = 0;
};

std::unique_ptr<Output> makeAlsaOutput();
std::unique_ptr<Output> makeNoSoundOutput();

} // namespace sound
