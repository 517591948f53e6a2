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

// The packet as the listener must hear it, decided from what the
// application wrote and not from how the driver walks its headers: the
// stream is every queued header's bytes not yet heard, from the current
// header on, in the order they were written.  The clock's request, capped
// by what is queued, sets the budget in whole frames; the packet is the
// budget's worth of the stream's readable bytes, a buffer that cannot be
// read being lost whole if the stream reaches it before the budget is
// spent.  When lost buffers leave the stream short of the budget and ending
// inside a frame, that part frame waits in its header if one header holds
// all of it, and is completed with zero bytes if it spans headers; fewer
// than 4 bytes that are all that is queued go out completed with zeros.
bool QueueModel::Post(DWORD requested, bool running, bool allocFails, bool refused, ModelPacket* out)
{
    if (!running || queue.empty())
        return false;
    DWORD queued = Queued();
    requested -= requested % 4;
    DWORD budget = requested < queued ? requested : queued;
    if (budget == 0 || allocFails)
        return false;
    const bool tail = budget < 4;
    if (!tail)
        budget -= budget % 4;
    std::vector<Heard> stream;
    DWORD readable = Unheard(budget, &stream);
    // Every lost buffer in the stream before the budget was spent was reached.
    for (const Heard& r : stream)
        if (r.lost)
            h[r.id].consumed = h[r.id].length;
    // A part frame left at the end: all from the last run's header, it
    // waits there; spanning headers, it is completed with zeros.
    DWORD part = readable % 4;
    Heard* last = nullptr;   // the last run of readable bytes
    for (Heard& r : stream)
        if (!r.lost)
            last = &r;
    if (!tail && part != 0 && last->n >= part) {
        last->n -= part;
        readable -= part;
        part = 0;
    }
    if (readable == 0)
        return false;
    out->audio.clear();
    out->refused = refused;
    for (const Heard& r : stream) {
        if (r.lost || r.n == 0)
            continue;
        const std::vector<uint8_t>& b = pool->Buffer(r.id);
        out->audio.insert(out->audio.end(), b.begin() + r.from, b.begin() + r.from + r.n);
        h[r.id].consumed = r.from + r.n;
    }
    if (part != 0)
        out->audio.resize(out->audio.size() + 4 - part, 0);
    return true;
}

// The bytes queued and not yet heard (lost or not), held at 0xFFFFFFFF.
DWORD QueueModel::Queued() const
{
    DWORD queued = 0;
    for (size_t k = head; k < queue.size(); ++k) {
        const ModelHeader& m = h[queue[k]];
        DWORD left = m.consumed < m.length ? m.length - m.consumed : 0;
        queued = left > 0xFFFFFFFFu - queued ? 0xFFFFFFFFu : queued + left;
    }
    return queued;
}

// The stream still to hear, up to `limit` readable bytes, as runs: a
// readable header's next bytes, or a header that cannot be read (`lost`);
// the readable bytes in it.
DWORD QueueModel::Unheard(DWORD limit, std::vector<Heard>* stream) const
{
    DWORD readable = 0;
    for (size_t k = head; k < queue.size() && readable < limit; ++k) {
        const ModelHeader& m = h[queue[k]];
        if (m.consumed >= m.length)
            continue;
        DWORD n = m.length - m.consumed < limit - readable ? m.length - m.consumed : limit - readable;
        stream->push_back(Heard{queue[k], m.consumed, m.unreadable ? 0 : n, m.unreadable});
        if (!m.unreadable)
            readable += n;
    }
    return readable;
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
