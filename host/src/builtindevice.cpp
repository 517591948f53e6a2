// The built-in device 0: the output every system has besides the driver.  A
// wave device of its own: it plays 16-bit PCM (one or two channels, any
// rate) at its format's byte rate, measured on the host's clock, with a
// periodic multimedia timer of 10 ms as a wave driver has one; it queues
// headers, loops, pauses, resets and reports positions, and completes each
// header with MM_WOM_DONE once its bytes have played.  The audio goes
// nowhere, or into a record that tests read (KeepAudio).
//
// Threads and locks: messages arrive on the application's thread (or a
// callback's, re-entering the API); the ticks run on the timer service's
// thread.  The device's mutex guards its state and is never held while the
// client's callback runs, so a client may write from inside MM_WOM_DONE.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "host/clock.h"
#include "host_internal.h"
#include "wavedevice.h"

namespace host {
namespace {

const char16_t kBuiltinName[] = u"Built-in Audio Output";
// Every 16-bit format of the capability bits: 11, 22 and 44.1 kHz, mono and stereo.
constexpr DWORD kBuiltinFormats = WAVE_FORMAT_1M16 | WAVE_FORMAT_1S16 | WAVE_FORMAT_2M16 | WAVE_FORMAT_2S16 |
                                  WAVE_FORMAT_4M16 | WAVE_FORMAT_4S16;
constexpr UINT kPeriodMs = 10;

class PlayingOutput;

// Timer ids to their devices: a tick finds its device here, so a device
// that is gone (a reset replaced it) is never reached.
// Never destroyed: the timer thread may tick as the process ends.
std::mutex g_timersMutex;   // a leaf
std::map<UINT, std::weak_ptr<PlayingOutput>>& g_timers = *new std::map<UINT, std::weak_ptr<PlayingOutput>>;

class PlayingOutput final : public BuiltinDevice, public std::enable_shared_from_this<PlayingOutput> {
public:
    ~PlayingOutput() override
    {
        if (timer_ != 0) {
            timeKillEvent(timer_);
            std::lock_guard<std::mutex> lock(g_timersMutex);
            g_timers.erase(timer_);
        }
    }

    Answer Send(UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2, DWORD* result) override
    {
        *result = Handle(uMsg, dw1, dw2);
        return Answer::Given;
    }

    BuiltinOutputStats Stats() override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return stats_;
    }
    void KeepAudio(bool keep) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        keep_ = keep;
    }
    std::vector<uint8_t> Audio() override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return audio_;
    }

    static void CALLBACK Tick(UINT id, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)
    {
        std::shared_ptr<PlayingOutput> self;
        {
            std::lock_guard<std::mutex> lock(g_timersMutex);
            auto it = g_timers.find(id);
            if (it != g_timers.end())
                self = it->second.lock();
        }
        if (self)
            self->Play(id);
    }

private:
    struct Client {
        LPDRVCALLBACK callback = nullptr;
        HWAVE hWave = nullptr;
        DWORD_PTR instance = 0;
    };

    // The frame size and byte rate must be the format's own (the platform's
    // WAVEFORMATEX page: nBlockAlign is nChannels x wBitsPerSample / 8 and
    // nAvgBytesPerSec is nSamplesPerSec x nBlockAlign for PCM): the device
    // cuts and paces the stream by them, as the driver's device does.
    static bool FormatOk(const WAVEFORMATEX* f)
    {
        if (f == nullptr)
            return false;
        const DWORD channels = FormatChannels(f);
        if (FormatTag(f) != WAVE_FORMAT_PCM || FormatBits(f) != 16 || (channels != 1 && channels != 2) ||
            FormatRate(f) == 0)
            return false;
        const DWORD align = channels * 2;
        return FormatBlockAlign(f) == align && uint64_t{FormatByteRate(f)} == uint64_t{FormatRate(f)} * align;
    }

    static void Notify(const Client& c, UINT msg, DWORD_PTR p1)
    {
        if (c.callback)
            c.callback(static_cast<HDRVR>(c.hWave), msg, c.instance, p1, 0);
    }
    void NotifyDone(const Client& c, const std::vector<WAVEHDR*>& done)
    {
        for (WAVEHDR* h : done)
            Notify(c, MM_WOM_DONE, reinterpret_cast<DWORD_PTR>(h));
    }

    DWORD Handle(UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2)
    {
        switch (uMsg) {
        case WODM_GETNUMDEVS:
            return 1;
        case WODM_GETDEVCAPS: {
            if (dw1 == 0)
                return MMSYSERR_INVALPARAM;
            WAVEOUTCAPS caps{};
            caps.wMid = 1;
            caps.wPid = 1;
            caps.vDriverVersion = 0x0100;
            std::memcpy(caps.szPname, kBuiltinName, sizeof kBuiltinName);
            caps.dwFormats = kBuiltinFormats;
            caps.wChannels = 2;
            std::memcpy(reinterpret_cast<void*>(dw1), &caps, std::min<size_t>(dw2, sizeof caps));
            return MMSYSERR_NOERROR;
        }
        case WODM_OPEN:
            return Open(reinterpret_cast<const WAVEOPENDESC*>(dw1), static_cast<DWORD>(dw2));
        case WODM_CLOSE:
            return Close();
        case WODM_PREPARE:
        case WODM_UNPREPARE:
            return MMSYSERR_NOTSUPPORTED;   // the API's own preparation suffices
        case WODM_WRITE:
            return Write(reinterpret_cast<WAVEHDR*>(dw1));
        case WODM_GETPOS:
            return Position(reinterpret_cast<BYTE*>(dw1));
        case WODM_PAUSE: {
            std::lock_guard<std::mutex> lock(mutex_);
            paused_ = true;
            StopTimerLocked();
            return MMSYSERR_NOERROR;
        }
        case WODM_RESTART: {
            std::lock_guard<std::mutex> lock(mutex_);
            paused_ = false;
            StartTimerLocked();
            return MMSYSERR_NOERROR;
        }
        case WODM_BREAKLOOP: {
            std::lock_guard<std::mutex> lock(mutex_);
            if (loopStart_ >= 0)
                loopsLeft_ = 1;
            return MMSYSERR_NOERROR;
        }
        case WODM_RESET:
            return Reset();
        default:
            return MMSYSERR_NOTSUPPORTED;
        }
    }

    DWORD Open(const WAVEOPENDESC* desc, DWORD flags)
    {
        if (desc == nullptr)
            return MMSYSERR_INVALPARAM;
        if (!FormatOk(desc->lpFormat))
            return WAVERR_BADFORMAT;
        if (flags & WAVE_FORMAT_QUERY)
            return MMSYSERR_NOERROR;
        Client c;
        c.callback = reinterpret_cast<LPDRVCALLBACK>(desc->dwCallback);
        c.hWave = desc->hWave;
        c.instance = desc->dwInstance;
        {
            // One client at a time: a second one is told the device is in
            // use, so that no client's headers ever complete to another.
            // The device counts as taken before its MM_WOM_OPEN, so an open
            // from inside that callback is refused too.
            std::lock_guard<std::mutex> lock(mutex_);
            if (open_)
                return MMSYSERR_ALLOCATED;
            open_ = true;
            client_ = c;
            blockAlign_ = FormatChannels(desc->lpFormat) * 2u;
            byteRate_ = FormatRate(desc->lpFormat) * blockAlign_;
            position_ = 0;
            paused_ = false;
            ++stats_.opens;
        }
        Notify(c, MM_WOM_OPEN, 0);
        return MMSYSERR_NOERROR;
    }

    DWORD Close()
    {
        Client c;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!queue_.empty())
                return WAVERR_STILLPLAYING;
            StopTimerLocked();
            c = client_;
            client_ = Client{};
            open_ = false;
            position_ = 0;
        }
        Notify(c, MM_WOM_CLOSE, 0);
        return MMSYSERR_NOERROR;
    }

    DWORD Write(WAVEHDR* h)
    {
        if (h == nullptr)
            return MMSYSERR_INVALPARAM;
        const DWORD flags = HeaderFlags(h);
        if (flags & WHDR_INQUEUE)
            return MMSYSERR_INVALPARAM;
        if (!(flags & WHDR_PREPARED))
            return WAVERR_UNPREPARED;
        std::lock_guard<std::mutex> lock(mutex_);
        SetHeaderFlags(h, (flags & ~static_cast<DWORD>(WHDR_DONE)) | WHDR_INQUEUE);
        SetHeaderConsumed(h, 0);
        queue_.push_back(h);
        if (!paused_)
            StartTimerLocked();
        return MMSYSERR_NOERROR;
    }

    DWORD Reset()
    {
        Client c;
        std::vector<WAVEHDR*> done;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            StopTimerLocked();
            for (WAVEHDR* h : queue_) {
                SetHeaderFlags(h, (HeaderFlags(h) & ~static_cast<DWORD>(WHDR_INQUEUE)) | WHDR_DONE);
                done.push_back(h);
            }
            queue_.clear();
            current_ = 0;
            loopStart_ = -1;
            position_ = 0;
            c = client_;
        }
        NotifyDone(c, done);
        return MMSYSERR_NOERROR;
    }

    // The position in the unit asked for, as a wave driver answers it.
    DWORD Position(BYTE* mmt)
    {
        if (mmt == nullptr)
            return MMSYSERR_INVALPARAM;
        uint64_t bytes, rate, align;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            bytes = position_;
            rate = byteRate_;
            align = blockAlign_;
        }
        switch (TimeType(mmt)) {
        case TIME_MS:
            if (rate != 0) {
                SetTimeValue(mmt, static_cast<DWORD>(bytes * 1000 / rate));
                return MMSYSERR_NOERROR;
            }
            break;
        case TIME_SAMPLES:
            if (align != 0) {
                SetTimeValue(mmt, static_cast<DWORD>(bytes / align));
                return MMSYSERR_NOERROR;
            }
            break;
        default:
            break;
        }
        SetTimeType(mmt, TIME_BYTES);
        SetTimeValue(mmt, static_cast<DWORD>(bytes));
        return MMSYSERR_NOERROR;
    }

    // Caller holds mutex_.  Starts playing from now, unless already playing.
    void StartTimerLocked()
    {
        if (timer_ != 0 || queue_.empty())
            return;
        startNs_ = ClockNowNs();
        playedSinceStart_ = 0;
        const UINT id = timeSetEvent(kPeriodMs, 1, &PlayingOutput::Tick, 0, TIME_PERIODIC);
        if (id == 0)
            return;   // the timer service refused: nothing plays until the next write
        timer_ = id;
        std::lock_guard<std::mutex> lock(g_timersMutex);
        g_timers[id] = weak_from_this();
    }

    // Caller holds mutex_.
    void StopTimerLocked()
    {
        if (timer_ == 0)
            return;
        timeKillEvent(timer_);
        {
            std::lock_guard<std::mutex> lock(g_timersMutex);
            g_timers.erase(timer_);
        }
        timer_ = 0;
    }

    // One tick: plays the bytes the time since the start is worth and hands
    // back the headers that finished.
    void Play(UINT id)
    {
        Client c;
        std::vector<WAVEHDR*> done;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (id != timer_)
                return;
            const uint64_t elapsed = ClockNowNs() - startNs_;
            uint64_t due = elapsed * byteRate_ / 1000000000ull;
            due -= due % blockAlign_;
            uint64_t budget = due > playedSinceStart_ ? due - playedSinceStart_ : 0;
            playedSinceStart_ += Consume(budget, &done);
            if (queue_.empty())
                StopTimerLocked();
            c = client_;
        }
        NotifyDone(c, done);
    }

    // Caller holds mutex_.  Takes up to budget bytes from the queue; returns
    // the bytes taken.  Finished headers outside a repeating loop go to done.
    uint64_t Consume(uint64_t budget, std::vector<WAVEHDR*>* done)
    {
        uint64_t taken = 0;
        uint64_t takenAtPassStart = 0;   // what this call had taken when the loop's pass began
        while (budget > 0 && current_ < queue_.size()) {
            WAVEHDR* h = queue_[current_];
            const DWORD flags = HeaderFlags(h);
            if ((flags & WHDR_BEGINLOOP) && loopStart_ < 0 && HeaderConsumed(h) == 0) {
                loopStart_ = static_cast<long>(current_);
                loopsLeft_ = HeaderLoops(h);
                takenAtPassStart = taken;
            }
            const DWORD length = HeaderLength(h);
            const DWORD offset = HeaderConsumed(h);
            const uint64_t n = std::min<uint64_t>(budget, length - std::min(offset, length));
            if (keep_ && n > 0) {
                const BYTE* data = HeaderData(h);
                audio_.insert(audio_.end(), data + offset, data + offset + n);
            }
            SetHeaderConsumed(h, static_cast<DWORD>(offset + n));
            budget -= n;
            taken += n;
            position_ += n;
            stats_.bytes += n;
            if (offset + n < length)
                break;
            // The header has played.
            if (loopStart_ >= 0 && (flags & WHDR_ENDLOOP) && loopsLeft_ > 1) {
                if (loopsLeft_ != 0xFFFFFFFFu)
                    --loopsLeft_;
                for (size_t i = static_cast<size_t>(loopStart_); i <= current_; ++i)
                    SetHeaderConsumed(queue_[i], 0);
                current_ = static_cast<size_t>(loopStart_);
                // A pass that gave no bytes (a loop of empty buffers) would
                // repeat without end inside this tick, with the mutex held:
                // one pass a tick, as the driver's device plays it, until the
                // client breaks the loop or resets.
                if (taken == takenAtPassStart)
                    break;
                takenAtPassStart = taken;
                continue;
            }
            if (flags & WHDR_ENDLOOP)
                loopStart_ = -1;
            ++current_;
            if (loopStart_ < 0) {
                // Everything before the current header is finished.
                for (size_t i = 0; i < current_; ++i) {
                    WAVEHDR* f = queue_[i];
                    SetHeaderFlags(f, (HeaderFlags(f) & ~static_cast<DWORD>(WHDR_INQUEUE)) | WHDR_DONE);
                    done->push_back(f);
                    ++stats_.headersDone;
                }
                queue_.erase(queue_.begin(), queue_.begin() + static_cast<long>(current_));
                current_ = 0;
            }
        }
        return taken;
    }

    std::mutex mutex_;   // guards everything below; never held while the client's callback runs
    Client client_;
    bool open_ = false;                   // a client has the device open
    DWORD blockAlign_ = 4;                // bytes per frame
    uint64_t byteRate_ = 176400;          // bytes per second
    std::vector<WAVEHDR*> queue_;         // written, not yet handed back
    size_t current_ = 0;                  // the header playing now
    long loopStart_ = -1;                 // the first header of the loop playing, or -1
    DWORD loopsLeft_ = 0;                 // passes of that loop still to play, this one included
    bool paused_ = false;
    UINT timer_ = 0;                      // the tick's timer while playing
    uint64_t startNs_ = 0;                // clock time playing (re)started
    uint64_t playedSinceStart_ = 0;       // bytes played since then
    uint64_t position_ = 0;               // bytes played since the open or the last reset
    BuiltinOutputStats stats_;
    bool keep_ = false;
    std::vector<uint8_t> audio_;
};

}  // namespace

std::shared_ptr<BuiltinDevice> MakeBuiltinDevice()
{
    return std::make_shared<PlayingOutput>();
}

}  // namespace host
