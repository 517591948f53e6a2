#include "wave/refill.h"

#include <algorithm>

#include "run/failure.h"
#include "run/options.h"
#include "wave/playclock.h"

namespace player {

namespace {

// The application's poll of a header it gave away: one read of the flags
// word, which the device may be writing at the same moment (it does so under
// its own lock, byte by byte; WHDR_DONE and WHDR_INQUEUE share the low byte,
// so the two bits are never seen half-changed).  This is the one access the
// platform lets an application make without synchronisation, so the thread
// checker is told to leave it alone; everything after it is ordered by the
// Sync hook.
__attribute__((no_sanitize("thread"), noinline)) DWORD PollFlags(const WAVEHDR* h)
{
    return *static_cast<volatile const DWORD*>(&h->dwFlags);
}

// Refill in the order the buffers were played.
template <typename Container>
void SortBySound(Container* c)
{
    std::sort(c->begin(), c->end(), [](const auto* a, const auto* b) { return a->srcOffset < b->srcOffset; });
}
}  // namespace

RefillEngine::RefillEngine(uint32_t bufferBytes, uint32_t loops, Source source, Writer writer, Sync sync)
    : bufferBytes_(bufferBytes), loops_(loops), source_(std::move(source)), writer_(std::move(writer)),
      sync_(std::move(sync))
{
}

void RefillEngine::CreateBuffers(size_t count, uint64_t soundLength)
{
    if (loops_) {
        // A loop needs the whole sound queued at once: its buffers are
        // rewound, not handed back, until the last pass.
        std::lock_guard<std::mutex> lock(mu_);
        soundEnded_ = true;
        soundEnd_ = loopEnd_ = soundLength;
    }
    for (size_t i = 0; i < count; ++i) {
        std::unique_ptr<Slot> s(new Slot);
        s->data.resize(bufferBytes_);
        s->hdr.lpData = s->data.data();
        s->hdr.dwBufferLength = bufferBytes_;
        s->hdr.dwUser = i;
        slots_.push_back(std::move(s));
    }
}

// Fills a buffer with the next bytes of the sound, decoding them as needed.
// False when the sound has ended (nothing taken) or decoding failed (*error
// set).
bool RefillEngine::TakeChunkLocked(Slot* s, std::string* error)
{
    if (!MoreLocked())
        return false;
    size_t n = 0;
    if (!source_(cursor_, reinterpret_cast<uint8_t*>(s->data.data()), bufferBytes_, &n, error))
        return false;
    if (n < bufferBytes_) {
        soundEnded_ = true;
        soundEnd_ = cursor_ + n;
    }
    if (n == 0)
        return false;
    s->srcOffset = cursor_;
    s->length = static_cast<uint32_t>(n);
    s->recorded = 0;
    s->queued = true;
    cursor_ += n;
    ++outstanding_;
    return true;
}

bool RefillEngine::WriteSlot(Slot* s, std::string* error)
{
    // The header is the application's until the write: the device gave it
    // back (WHDR_DONE), or has never had it.
    WAVEHDR& h = s->hdr;
    h.dwBufferLength = s->length;
    h.dwFlags &= ~static_cast<DWORD>(WHDR_DONE | WHDR_BEGINLOOP | WHDR_ENDLOOP);
    h.dwLoops = 0;
    int64_t plays = 1;
    if (loops_) {
        plays = loops_;
        if (s->srcOffset == 0) {
            h.dwFlags |= WHDR_BEGINLOOP;
            h.dwLoops = loops_;
        }
        if (s->srcOffset + s->length == loopEnd_)
            h.dwFlags |= WHDR_ENDLOOP;
    }
    MMRESULT r = writer_(&h, plays * s->length);
    if (r != MMSYSERR_NOERROR) {
        std::lock_guard<std::mutex> lock(mu_);
        s->queued = false;
        --outstanding_;
        *error = "waveOutWrite failed with result " + std::to_string(r);
        return false;
    }
    bytesWritten_ += s->length;
    return true;
}

void RefillEngine::ReturnedLocked(Slot* s, DWORD recorded)
{
    s->queued = false;
    s->recorded = recorded;
    --outstanding_;
    ++returned_;
}

void RefillEngine::NoteDoneLocked()
{
    doneSeen_ = true;
    doneCounter_ = Counter();
    doneWall_ = std::chrono::steady_clock::now();
}

void RefillEngine::OnDone(WAVEHDR* h)
{
    Slot* s = slots_[h->dwUser].get();
    bool write = false;
    std::string error;
    {
        std::lock_guard<std::mutex> lock(mu_);
        ReturnedLocked(s, h->dwBytesRecorded);
        if (resetting_)
            resetReturned_.push_back(s);
        else if (closing_ || !MoreLocked())
            ;   // nothing more to play with it
        else if (mainBusy_)
            deferred_.push_back(s);
        else if (TakeChunkLocked(s, &error))
            write = true;
        else if (!error.empty())
            callbackError_ = error;
        if (!doneSeen_ && DoneLocked() && !resetting_)
            NoteDoneLocked();
    }
    if (write && !WriteSlot(s, &error)) {
        std::lock_guard<std::mutex> lock(mu_);
        callbackError_ = error;
    }
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mu_);
        wake = DoneLocked() || !callbackError_.empty();
    }
    if (wake)
        cv_.notify_all();
}

// CALLBACK_EVENT: the buffers that came back since the last look.  As an
// application does, a buffer is back when the device has set its WHDR_DONE
// bit and cleared WHDR_INQUEUE.
std::deque<RefillEngine::Slot*> RefillEngine::ScanReturned()
{
    std::vector<Slot*> seen;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto& up : slots_) {
            Slot* s = up.get();
            if (!s->queued)
                continue;
            DWORD flags = PollFlags(&s->hdr);
            if ((flags & WHDR_DONE) && !(flags & WHDR_INQUEUE))
                seen.push_back(s);
        }
    }
    std::deque<Slot*> back;
    if (seen.empty())
        return back;
    // The device finished with these headers under its lock; taking that
    // lock orders its writes to them before the reads and writes below.
    if (sync_)
        sync_();
    std::lock_guard<std::mutex> lock(mu_);
    for (Slot* s : seen) {
        ReturnedLocked(s, s->hdr.dwBytesRecorded);
        if (resetting_)
            resetReturned_.push_back(s);
        else
            back.push_back(s);
    }
    // With the event, the end is when the main thread finds the last buffer back.
    if (!doneSeen_ && DoneLocked() && !resetting_)
        NoteDoneLocked();
    SortBySound(&back);
    return back;
}

// Fills and writes buffers from the main thread, then any that came back
// meanwhile.
void RefillEngine::MainWrite(std::deque<Slot*> todo)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        mainBusy_ = true;
    }
    for (;;) {
        Slot* s = nullptr;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (todo.empty())
                todo.swap(deferred_);
            if (todo.empty() || closing_) {
                mainBusy_ = false;
                return;
            }
            s = todo.front();
            todo.pop_front();
            std::string error;
            if (!TakeChunkLocked(s, &error)) {
                if (error.empty())
                    continue;
                mainBusy_ = false;
                throw Failure{kExitInput, error};
            }
        }
        std::string error;
        if (!WriteSlot(s, &error)) {
            std::lock_guard<std::mutex> lock(mu_);
            mainBusy_ = false;
            throw Failure{kExitPlayback, error};
        }
    }
}

void RefillEngine::WriteAll()
{
    std::deque<Slot*> all;
    for (auto& s : slots_)
        all.push_back(s.get());
    MainWrite(std::move(all));
}

void RefillEngine::RefillReturned()
{
    MainWrite(ScanReturned());
}

void RefillEngine::BeginReset()
{
    std::lock_guard<std::mutex> lock(mu_);
    resetting_ = true;
    mainBusy_ = true;
    resetReturned_.clear();
}

// Every buffer is back, each with the bytes the device had taken from it:
// the sound stands at the first one that was not taken whole.
void RefillEngine::EndReset(bool scan, uint64_t* resume, int64_t* withdrawn, int64_t played)
{
    if (scan)
        ScanReturned();
    std::lock_guard<std::mutex> lock(mu_);
    uint64_t at = cursor_;
    int64_t lost = 0;
    if (played >= 0) {
        at = std::min<uint64_t>(at, static_cast<uint64_t>(played));
        lost = static_cast<int64_t>(cursor_ - at);
    }
    for (Slot* s : resetReturned_) {
        if (played >= 0)
            break;
        if (s->recorded < s->length)
            at = std::min<uint64_t>(at, s->srcOffset + s->recorded);
        lost += static_cast<int64_t>(s->length) - std::min<int64_t>(s->recorded, s->length);
    }
    cursor_ = at;
    resetting_ = false;
    resumeTodo_.assign(resetReturned_.begin(), resetReturned_.end());
    resumeTodo_.insert(resumeTodo_.end(), deferred_.begin(), deferred_.end());
    deferred_.clear();
    SortBySound(&resumeTodo_);
    *resume = at;
    *withdrawn = lost;
}

void RefillEngine::Resume()
{
    std::deque<Slot*> todo;
    {
        std::lock_guard<std::mutex> lock(mu_);
        todo.swap(resumeTodo_);
    }
    MainWrite(std::move(todo));
}

void RefillEngine::Close()
{
    std::lock_guard<std::mutex> lock(mu_);
    closing_ = true;
}

bool RefillEngine::Done()
{
    std::lock_guard<std::mutex> lock(mu_);
    return DoneLocked();
}

std::string RefillEngine::Error()
{
    std::lock_guard<std::mutex> lock(mu_);
    return callbackError_;
}

uint64_t RefillEngine::Returned()
{
    std::lock_guard<std::mutex> lock(mu_);
    return returned_;
}

void RefillEngine::WaitDoneOrError(double seconds)
{
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::duration<double>(seconds),
                 [&] { return DoneLocked() || !callbackError_.empty(); });
}

void RefillEngine::DoneTime(uint64_t* counter, std::chrono::steady_clock::time_point* wall)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (!doneSeen_)
        NoteDoneLocked();
    *counter = doneCounter_;
    *wall = doneWall_;
}

}  // namespace player
