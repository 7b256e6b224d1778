// The output without a device: frames are dropped at the pace a sound card would
// take them, so the program runs as it would with one.

#include "platform/sound/output.hpp"

#include <algorithm>
#include <cerrno>

namespace sound {
namespace {

// Longest single sleep (ns), so that a stop is seen soon at any rate.
constexpr int64_t MAX_SLEEP_NS = 20'000'000;

class NoSoundOutput final : public Output {
  public:
    bool check(int, int rate) override { return rate > 0; }

    bool start(int rate, int maxQueueFrames) override {
        rate_ = rate;
        maxQueueFrames_ = maxQueueFrames;
        periods_ = PERIODS;
        setLayout(PERIOD_FRAMES, PERIOD_FRAMES * periods_);
        underruns = 0;
        running_ = false;
        return rate > 0;
    }

    // The virtual device starts playing on the first write; from then on it has played
    // (now - epoch) * rate of the frames queued since the epoch.
    bool waitForRoom(int frames, const Shared<int>& stopping) override {
        if (!running_) return true;
        const int64_t deadline = timeOfFrame(queuedSinceEpoch_ + frames - latencyFrames);
        for (int64_t now = monotonicNs(); !stopping && now < deadline; now = monotonicNs()) {
            const int64_t wake = std::min(deadline, now + MAX_SLEEP_NS);
            const timespec at{time_t(wake / 1'000'000'000), long(wake % 1'000'000'000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
            }
        }
        return true;
    }

    bool write(const int16_t*, int frames, const Shared<int>&) override {
        const int64_t now = monotonicNs();
        if (!running_ || now > timeOfFrame(queuedSinceEpoch_)) {
            // Everything queued has played: the device ran dry.
            if (running_ && noteUnderrun() && latencyFrames + periodFrames <= maxQueueFrames_)
                setLayout(periodFrames, periodFrames * ++periods_);
            running_ = true;
            epochNs_ = now;
            queuedSinceEpoch_ = 0;
        }
        queuedSinceEpoch_ += frames;
        return true;
    }

    void stop() override { running_ = false; }

  protected:
    std::vector<std::string> listDrivers() override { return {"NoSound"}; }

  private:
    // Monotonic ns at which frame `frame` since the epoch starts playing.
    int64_t timeOfFrame(int64_t frame) const {
        return epochNs_ + int64_t(double(frame) * 1e9 / rate_);
    }

    int rate_ = 0;
    int maxQueueFrames_ = 0;
    int periods_ = PERIODS;
    bool running_ = false;
    int64_t epochNs_ = 0;
    int64_t queuedSinceEpoch_ = 0;
};

} // namespace

std::unique_ptr<Output> makeNoSoundOutput() {
    return std::make_unique<NoSoundOutput>();
}

} // namespace sound
