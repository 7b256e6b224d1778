// The ALSA output: one PCM in interleaved 16-bit stereo, a short queue of small
// periods, written without blocking so that a stop is seen within WAIT_MS.

#include "platform/sound/output.hpp"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sound {
namespace {

constexpr int WAIT_MS = 50; // longest wait for room at the device before looking at a stop

// ALSA's messages would land in the middle of the console dialogue.
void ignoreAlsaMessage(const char*, int, const char*, int, const char*, ...) {}

// A string that ALSA's name hints hand over to be freed.
struct HintText {
    explicit HintText(void* hint, const char* id) : text(snd_device_name_get_hint(hint, id)) {}
    ~HintText() { std::free(text); }
    HintText(const HintText&) = delete;
    HintText& operator=(const HintText&) = delete;
    char* text;
};

class AlsaOutput final : public Output {
  public:
    AlsaOutput() { snd_lib_error_set_handler(ignoreAlsaMessage); }
    ~AlsaOutput() override { closePcm(); }

    bool check(int driver, int rate) override {
        closePcm();
        if (driver < 0 || driver >= int(drivers().size())) return false;
        pcmName_ = pcmNames_[driver];
        const bool usable = openPcm() && configure(rate, PERIOD_FRAMES, PERIODS);
        closePcm();
        return usable;
    }

    bool start(int rate, int maxQueueFrames) override {
        rate_ = rate;
        maxQueueFrames_ = maxQueueFrames;
        underruns = 0;
        if (openPcm() && configure(rate, PERIOD_FRAMES, PERIODS)) return true;
        closePcm();
        return false;
    }

    bool waitForRoom(int frames, const Shared<int>& stopping) override {
        while (!stopping) {
            const snd_pcm_sframes_t room = snd_pcm_avail_update(pcm_);
            if (room >= frames) return true;
            const int result = room < 0 ? int(room) : snd_pcm_wait(pcm_, WAIT_MS);
            if (result < 0 && !recover(result)) return false;
        }
        return true;
    }

    bool write(const int16_t* samples, int frames, const Shared<int>& stopping) override {
        while (frames > 0 && !stopping) {
            const snd_pcm_sframes_t written =
                snd_pcm_writei(pcm_, samples, snd_pcm_uframes_t(frames));
            if (written >= 0) {
                samples += 2 * written;
                frames -= int(written);
            } else if (written == -EAGAIN) {
                const int ready = snd_pcm_wait(pcm_, WAIT_MS);
                if (ready < 0 && !recover(ready)) return false;
            } else if (!recover(int(written))) {
                return false;
            }
        }
        return true;
    }

    void stop() override { closePcm(); }

  protected:
    // "default" first, then every playback PCM of ALSA's name hints in their order,
    // each with the first line of its description.
    std::vector<std::string> listDrivers() override {
        pcmNames_ = {"default"};
        std::vector<std::string> shown = {"default"};
        bool defaultDescribed = false;
        void** hints = nullptr;
        if (snd_device_name_hint(-1, "pcm", &hints) < 0) return shown;
        for (void** hint = hints; *hint != nullptr; ++hint) {
            const HintText name(*hint, "NAME");
            const HintText description(*hint, "DESC");
            const HintText direction(*hint, "IOID");
            if (name.text == nullptr) continue;
            if (direction.text != nullptr && *direction.text != '\0' &&
                std::strcmp(direction.text, "Output") != 0)
                continue;
            std::string label = name.text;
            const char* text = description.text != nullptr ? description.text : "";
            const std::string firstLine(text, std::strcspn(text, "\n"));
            if (!firstLine.empty()) label += " (" + firstLine + ")";
            if (std::strcmp(name.text, "default") == 0) {
                // Already listed first; its hint only describes it.
                if (!defaultDescribed) shown[0] = label;
                defaultDescribed = true;
                continue;
            }
            pcmNames_.push_back(name.text);
            shown.push_back(label);
        }
        snd_device_name_free_hint(hints);
        return shown;
    }

  private:
    bool openPcm() {
        if (snd_pcm_open(&pcm_, pcmName_.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) == 0)
            return true;
        pcm_ = nullptr;
        return false;
    }

    void closePcm() {
        if (pcm_ != nullptr) snd_pcm_close(pcm_);
        pcm_ = nullptr;
    }

    // Asks for `period` frames per period and `periods` periods at `rate`, taking the
    // nearest the device grants; playback starts once one period is queued.
    bool configure(int rate, int period, int periods) {
        snd_pcm_drop(pcm_);
        snd_pcm_hw_params_t* hw = nullptr;
        snd_pcm_hw_params_alloca(&hw);
        snd_pcm_uframes_t periodSize = snd_pcm_uframes_t(period);
        unsigned int periodCount = unsigned(periods);
        int dir = 0;
        if (snd_pcm_hw_params_any(pcm_, hw) < 0 ||
            snd_pcm_hw_params_set_access(pcm_, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
            snd_pcm_hw_params_set_format(pcm_, hw, SND_PCM_FORMAT_S16_LE) < 0 ||
            snd_pcm_hw_params_set_channels(pcm_, hw, 2) < 0 ||
            snd_pcm_hw_params_set_rate(pcm_, hw, unsigned(rate), 0) < 0 ||
            snd_pcm_hw_params_set_period_size_near(pcm_, hw, &periodSize, &dir) < 0 ||
            snd_pcm_hw_params_set_periods_near(pcm_, hw, &periodCount, &dir) < 0 ||
            snd_pcm_hw_params(pcm_, hw) < 0)
            return false;
        snd_pcm_uframes_t bufferSize = 0;
        snd_pcm_hw_params_get_period_size(hw, &periodSize, &dir);
        snd_pcm_hw_params_get_buffer_size(hw, &bufferSize);

        snd_pcm_sw_params_t* sw = nullptr;
        snd_pcm_sw_params_alloca(&sw);
        if (snd_pcm_sw_params_current(pcm_, sw) < 0 ||
            snd_pcm_sw_params_set_start_threshold(pcm_, sw, periodSize) < 0 ||
            snd_pcm_sw_params_set_avail_min(pcm_, sw, periodSize) < 0 ||
            snd_pcm_sw_params(pcm_, sw) < 0)
            return false;
        periods_ = int(bufferSize / periodSize);
        setLayout(int(periodSize), int(bufferSize));
        return true;
    }

    // Mixer thread: brings the device back after `error`; an underrun is counted, and
    // when it repeats the queue grows by one period. False when the device is lost.
    bool recover(int error) {
        if (error == -EPIPE && noteUnderrun() && grow()) return true;
        return snd_pcm_recover(pcm_, error, 1) >= 0;
    }

    // Mixer thread, after repeated underruns: one period more at the device, as long as
    // the queue stays within the stream's length. True when the device is ready again.
    bool grow() {
        const int queue = latencyFrames;
        if (queue + periodFrames > maxQueueFrames_) return false;
        if (!configure(rate_, periodFrames, periods_ + 1)) {
            // The device takes no more: go back to the layout that worked.
            maxQueueFrames_ = 0;
            return configure(rate_, periodFrames, periods_);
        }
        if (latencyFrames <= queue) maxQueueFrames_ = 0;
        return true;
    }

    std::vector<std::string> pcmNames_;
    std::string pcmName_;
    snd_pcm_t* pcm_ = nullptr;
    int rate_ = 0;
    int maxQueueFrames_ = 0;
    int periods_ = PERIODS;
};

} // namespace

std::unique_ptr<Output> makeAlsaOutput() {
    return std::make_unique<AlsaOutput>();
}

} // namespace sound
