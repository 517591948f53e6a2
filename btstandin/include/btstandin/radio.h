// The radio: a budget in kbit/s that sends queued media packets in order,
// and interference over a stretch of time that takes a share of it (the
// airtime lost to baseband retries).  A unit with no thread and no clock of
// its own: times and sizes in, queue lengths and arrival times out.  Times
// are the host clock's nanoseconds; one thread at a time calls it.
#pragma once

#include <cstdint>
#include <deque>

namespace btstandin {

struct Interference {
    uint64_t startNs = 0;    // clock time it begins
    uint64_t lengthNs = 0;   // how long it lasts (0: none)
    double share = 0;        // share of the budget lost meanwhile, 0 .. 1
};

class Radio {
public:
    // kbps: the budget the link gives the stream; queuePackets: the send
    // queue's depth in media packets (the one on air included).
    Radio(uint32_t kbps, uint32_t queuePackets);
    void SetInterference(const Interference& i) { interference_ = i; }

    // Packets queued or on air at nowNs.  Calls come with times that never
    // go back.
    uint32_t Queued(uint64_t nowNs);
    // Audio bytes queued at nowNs (whole packets, the one on air included).
    uint64_t QueuedBytes(uint64_t nowNs);
    // Room for `packets` more at nowNs: the depth holds per media packet.
    bool HasRoom(uint64_t nowNs, uint32_t packets = 1) { return Queued(nowNs) + packets <= queuePackets_; }
    // The earliest clock time from nowNs at which one more packet fits.
    uint64_t RoomAtNs(uint64_t nowNs);
    // The backlog at nowNs in time: how long the radio needs to send what
    // is queued.  A radio that keeps up has sent the last post's packets
    // when the next post comes, whatever their size.
    uint64_t BacklogNs(uint64_t nowNs) const { return freeNs_ > nowNs ? freeNs_ - nowNs : 0; }
    uint32_t Depth() const { return queuePackets_; }
    // Queues a packet of `bytes` at nowNs (room or not: the caller asked);
    // returns the clock time its last bit is sent.
    uint64_t Send(uint64_t nowNs, uint32_t bytes);
    // The rate the budget leaves at clock time ns, bit/s.
    double RateAt(uint64_t ns) const;

private:
    uint64_t FinishOf(uint64_t startNs, uint64_t bits) const;
    void Drop(uint64_t nowNs);

    double bitsPerNs_;
    uint32_t queuePackets_;
    Interference interference_;
    uint64_t freeNs_ = 0;   // when everything queued has been sent
    struct Queued_ {
        uint64_t doneNs;
        uint32_t bytes;
    };
    std::deque<Queued_> queue_;   // packets not yet sent, in order
};

}  // namespace btstandin
