#include "world/soundout.h"

#include "world/device.h"

#include <alsa/asoundlib.h>

#include <algorithm>

namespace player {
namespace {

const size_t kMaxQueuedBytes = 2 * kDeviceByteRate;   // two seconds
const unsigned kLatencyUs = 200000;          // the device's buffer

// libasound's own messages go to standard error; the player says what went
// wrong in one line of its own instead.
void Quiet(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

SoundOut::~SoundOut()
{
    std::string ignored;
    Finish(&ignored);
}

bool SoundOut::Open(const std::string& device, std::string* error)
{
    device_ = device.empty() ? "default" : device;
    snd_lib_error_set_handler(Quiet);
    // Non-blocking open, so that a busy device answers at once instead of
    // waiting for its owner; writes block again afterwards.
    int r = snd_pcm_open(&pcm_, device_.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (r < 0) {
        pcm_ = nullptr;
        *error = "cannot open sound device '" + device_ + "': " + snd_strerror(r) +
                 (r == -EBUSY ? " (another program is using it)" : "");
        return false;
    }
    r = snd_pcm_nonblock(pcm_, 0);
    if (r >= 0)
        r = snd_pcm_set_params(pcm_, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, kDeviceChannels, kDeviceRate, 1,
                               kLatencyUs);
    if (r < 0) {
        *error = "sound device '" + device_ + "' cannot play 16-bit stereo " + std::to_string(kDeviceRate) + " Hz: " + snd_strerror(r);
        snd_pcm_close(pcm_);
        pcm_ = nullptr;
        return false;
    }
    thread_ = std::thread([this] { Writer(); });
    return true;
}

void SoundOut::Take(const uint8_t* data, size_t size)
{
    std::unique_lock<std::mutex> lock(mu_);
    if (!pcm_ || !error_.empty())
        return;
    cv_.wait(lock, [&] { return queue_.size() < kMaxQueuedBytes || !error_.empty(); });
    queue_.insert(queue_.end(), data, data + size);
    cv_.notify_all();
}

void SoundOut::Writer()
{
    std::vector<uint8_t> chunk;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mu_);
            cv_.wait(lock, [&] { return queue_.size() >= 4 || closing_; });
            size_t n = std::min<size_t>(queue_.size() / 4 * 4, 16384);
            if (n == 0 && closing_)
                return;
            chunk.assign(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
            queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
            cv_.notify_all();
        }
        size_t frames = chunk.size() / 4, done = 0;
        while (done < frames) {
            snd_pcm_sframes_t w = snd_pcm_writei(pcm_, chunk.data() + done * 4, frames - done);
            if (w < 0)
                w = snd_pcm_recover(pcm_, static_cast<int>(w), 1);   // an underrun of the device: go on
            if (w < 0) {
                std::lock_guard<std::mutex> lock(mu_);
                error_ = "sound device '" + device_ + "': " + snd_strerror(static_cast<int>(w));
                queue_.clear();
                cv_.notify_all();
                return;
            }
            done += static_cast<size_t>(w);
        }
    }
}

bool SoundOut::Finish(std::string* error)
{
    if (!pcm_)
        return true;
    {
        std::lock_guard<std::mutex> lock(mu_);
        closing_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable())
        thread_.join();
    if (error_.empty())
        snd_pcm_drain(pcm_);
    snd_pcm_close(pcm_);
    pcm_ = nullptr;
    *error = error_;
    return error_.empty();
}

}  // namespace player
