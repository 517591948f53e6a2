#include "kit/queue_model.h"

#include "kit/header_pool.h"

namespace kit {

DWORD QueueModel::Write(int i)
{
    ModelHeader& m = h[i];
    if (m.flags & WHDR_INQUEUE)
        return MMSYSERR_INVALPARAM;
    if (!(m.flags & WHDR_PREPARED))
        return WAVERR_UNPREPARED;
    m.written = true;
    m.flags &= ~(WHDR_DONE | WHDR_LOOPMEMBER);
    m.consumed = 0;
    m.next = kModelNull;
    if (!queue.empty())
        h[queue.back()].next = i;
    else
        head = 0;
    queue.push_back(i);
    bool begin = (m.flags & WHDR_BEGINLOOP) != 0;
    bool end = (m.flags & WHDR_ENDLOOP) != 0;
    if (begin || inLoop)
        m.flags |= WHDR_LOOPMEMBER;
    if (begin)
        inLoop = !end;
    else if (inLoop && end)
        inLoop = false;
    m.flags |= WHDR_INQUEUE;
    return MMSYSERR_NOERROR;
}

bool QueueModel::Post(DWORD requested, bool running, bool allocFails, bool refused, ModelPacket* out)
{
    if (!running || queue.empty())
        return false;
    DWORD pending = 0;
    for (size_t k = head; k < queue.size(); ++k) {
        const ModelHeader& m = h[queue[k]];
        if (m.consumed < m.length)
            pending += m.length - m.consumed;
    }
    // Whole 4-byte frames: the request rounded down; a part frame at the
    // end of what is queued waits, unless it is all that is queued, when it
    // goes out completed with zero bytes.
    requested -= requested % 4;
    DWORD n = requested < pending ? requested : pending;
    if (n == 0 || allocFails)
        return false;
    DWORD frames = n - n % 4;
    if (frames != 0)
        n = frames;
    out->audio.clear();
    out->audio.reserve(n + 3);
    out->refused = refused;
    ModelHeader* last = nullptr;
    DWORD lastTake = 0;
    for (size_t k = head; k < queue.size() && n > 0; ++k) {
        ModelHeader& m = h[queue[k]];
        if (m.unreadable || m.consumed >= m.length)
            continue;
        const std::vector<uint8_t>& buf = pool->Buffer(queue[k]);
        DWORD take = m.length - m.consumed < n ? m.length - m.consumed : n;
        out->audio.insert(out->audio.end(), buf.begin() + m.consumed, buf.begin() + m.consumed + take);
        m.consumed += take;
        n -= take;
        last = &m;
        lastTake = take;
    }
    // Unreadable headers skipped can leave a part frame: it goes back to the
    // header it came from when that header gave at least that much.
    DWORD part = static_cast<DWORD>(out->audio.size() % 4);
    if (frames != 0 && part != 0 && lastTake >= part) {
        last->consumed -= part;
        out->audio.resize(out->audio.size() - part);
        part = 0;
    }
    if (out->audio.empty())
        return false;
    if (part != 0)
        out->audio.resize(out->audio.size() + 4 - part, 0);
    return true;
}

void QueueModel::MarkConsumed()
{
    for (size_t k = head; k < queue.size(); ++k)
        if (h[queue[k]].consumed >= h[queue[k]].length)
            h[queue[k]].flags |= WHDR_DONE;
}

void QueueModel::MarkAll()
{
    for (size_t k = head; k < queue.size(); ++k)
        h[queue[k]].flags |= WHDR_DONE;
}

void QueueModel::ClearMarks()
{
    for (size_t k = head; k < queue.size(); ++k)
        h[queue[k]].flags &= ~WHDR_LOOPMEMBER;
}

void QueueModel::ReturnDone()
{
    int id;
    while (ReturnNext(&id)) {
    }
}

bool QueueModel::ReturnNext(int* id)
{
    if (queue.empty())
        return false;
    int cur = queue[head];
    ModelHeader& m = h[cur];
    if (!(m.flags & WHDR_DONE))
        return false;
    if ((m.flags & WHDR_LOOPMEMBER) && (m.flags & WHDR_BEGINLOOP)) {
        if (m.loops == 1) {
            for (size_t k = head; k < queue.size(); ++k)
                h[queue[k]].flags &= ~WHDR_LOOPMEMBER;
        } else if (m.loops != 0xFFFFFFFFu) {
            --m.loops;
        }
    }
    if (!(m.flags & WHDR_LOOPMEMBER)) {
        // Members of a pass cut short go back first, one per round.
        *id = queue.front();
        GiveBackFront();
        return true;
    }
    bool wraps = (m.flags & WHDR_ENDLOOP) || head + 1 == queue.size();
    if (wraps) {
        head = 0;
    } else {
        bytesDone += m.consumed;
        ++head;
    }
    m.flags &= ~WHDR_DONE;
    m.consumed = 0;
    return false;
}

void QueueModel::Drop()
{
    queue.clear();
    head = 0;
    inLoop = false;
    bytesDone = 0;
}

DWORD QueueModel::Position() const
{
    return queue.empty() ? bytesDone : bytesDone + h[queue[head]].consumed;
}

void QueueModel::GiveBackFront()
{
    int id = queue.front();
    queue.pop_front();
    if (head > 0)
        --head;
    ModelHeader& m = h[id];
    bytesDone += m.consumed;
    m.flags = (m.flags & ~(WHDR_INQUEUE | WHDR_LOOPMEMBER)) | WHDR_DONE;
    returned.push_back(id);
    if (m.rewrites > 0) {
        --m.rewrites;
        Write(id);
    }
}
}  // namespace kit
