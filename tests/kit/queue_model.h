// A reference model of the header queue's rules: the queue as a list of
// header numbers with the current header as an index into it, and the rules
// of the wave API's looping as written for the driver: loop marks decided
// when a header is written, passes counted on the loop's first header (0
// meaning endless), rewinds with the position falling back at a loop's wrap,
// break-loop and flush, and members of a pass cut short handed back before
// the header that moves the queue's front past them.  What a packet carries
// is judged apart from those rules, from the bytes the application wrote
// (Post).  A test or a fuzz target applies each operation to both the model
// and the driver and compares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "host/platform.h"
#include "queue/queue.h"   // WHDR_LOOPMEMBER

namespace kit {

class HeaderPool;

constexpr int kModelHeaders = 8;
constexpr int kModelNull = -1;      // lpNext null
constexpr int kModelForeign = -2;   // lpNext as the application left it (0x1234)

struct ModelHeader {
    bool written = false;    // ever queued since it was prepared
    DWORD length = 0;
    DWORD consumed = 0;
    DWORD flags = 0;
    DWORD loops = 0;
    int next = kModelForeign;
    int rewrites = 0;        // times its callback writes it again
    bool unreadable = false; // its buffer cannot be read (see Post)
};

struct ModelPacket {
    std::vector<uint8_t> audio;
    bool refused = false;
};

class QueueModel {
public:
    ModelHeader h[kModelHeaders];
    std::deque<int> queue;   // from the queue's front (pLoopStart)
    size_t head = 0;         // index of the current header in `queue`
    bool inLoop = false;
    DWORD bytesDone = 0;
    std::vector<int> returned;
    const HeaderPool* pool = nullptr;   // the headers' buffers

    bool Queued(int i) const { return (h[i].flags & WHDR_INQUEUE) != 0; }

    // QueueWaveHeader's answer and effect.
    DWORD Write(int i);
    // What one packet takes when a tick asks for `requested` bytes: the
    // next bytes of the stream the application wrote, as queue_model.cpp
    // states; false and nothing taken when nothing is due, nothing readable,
    // or the allocation fails.  Buffers that cannot be read and that the
    // stream reaches are lost whole (their cursor at their length).
    bool Post(DWORD requested, bool running, bool allocFails, bool refused, ModelPacket* out);
    // MarkConsumedHeadersDone, MarkAllHeadersDone, ClearLoopMarks and
    // ReturnDoneHeaders.
    void MarkConsumed();
    void MarkAll();
    void ClearMarks();
    void ReturnDone();
    // One round of ReturnDone: true with the header's number when a header
    // was handed back (a client may react before the next round), false when
    // the round ended the walk (nothing done, or a loop member rewound).
    bool ReturnNext(int* id);
    // ResetStreamContext: the queue forgotten without handing anything back,
    // the loop closed and the position 0; the headers keep their flags.
    void Drop();
    // The byte position: bytes handed back or rewound, plus the current
    // header's cursor.
    DWORD Position() const;

private:
    struct Heard {
        int id;          // the header
        DWORD from;      // where in its buffer the run starts
        DWORD n;         // bytes heard (0 for a lost buffer)
        bool lost;       // a whole buffer that cannot be read
    };
    DWORD Queued() const;
    DWORD Unheard(DWORD limit, std::vector<Heard>* stream) const;
    void GiveBackFront();
};

}  // namespace kit
