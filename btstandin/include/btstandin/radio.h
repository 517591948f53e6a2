// The radio: the stream's share of an EDR link's baseband slots, which
// sends queued media packets in order, each fragmented into the ACL packet
// types the link allows, and interference over a stretch of time that takes
// a share of it (the airtime lost to baseband retries).  A flush timeout,
// when set, drops a media packet still not through that long after it
// joined the queue.  A unit with no thread and no clock of its own: times
// and sizes in, queue lengths and arrival times out.  Times are the host
// clock's nanoseconds; one thread at a time calls it.
#pragma once

#include <cstdint>
#include <deque>

namespace btstandin {

// The send queue's depth in media packets unless the link says otherwise:
// about 200 ms at 20 ms a packet.
constexpr uint32_t kDefaultQueuePackets = 10;

struct Interference {
    uint64_t startNs = 0;    // clock time it begins
    uint64_t lengthNs = 0;   // how long it lasts (0: none)
    double share = 0;        // share of the budget lost meanwhile, 0 .. 1
};

// The EDR ACL packet types, as a set of bits, with their largest payloads
// and slots (the Bluetooth Core specification's ACL packet summary table).
enum AclType : uint32_t {
    kAcl2DH1 = 1u << 0, kAcl2DH3 = 1u << 1, kAcl2DH5 = 1u << 2,
    kAcl3DH1 = 1u << 3, kAcl3DH3 = 1u << 4, kAcl3DH5 = 1u << 5,
};
constexpr uint32_t kAclEdr2 = kAcl2DH1 | kAcl2DH3 | kAcl2DH5;   // what most headsets allow
constexpr uint32_t kAclEdr3 = kAcl3DH1 | kAcl3DH3 | kAcl3DH5;
constexpr uint32_t kAclAllTypes = kAclEdr2 | kAclEdr3;
struct AclTypeInfo {
    const char* name;
    uint32_t bit;
    uint32_t payload;   // largest payload, bytes
    uint32_t slots;     // slots it occupies (its return slot not included)
};
// The six types, in the table's order; *count gets how many.
const AclTypeInfo* AclTypes(uint32_t* count);
// The type named `name` ("2-DH5"), or null.
const AclTypeInfo* AclTypeNamed(const char* name);

constexpr uint32_t kL2capHeaderBytes = 4;   // length and channel id before each media packet
constexpr uint64_t kSlotNs = 625000;        // one baseband slot

// What a media packet of `bytes` (its L2CAP payload) costs on air with the
// allowed `types`: baseband packets and slots, each with its return slot.
struct AirCost {
    uint32_t fragments = 0;
    uint32_t slots = 0;
};
AirCost AirCostOf(uint32_t bytes, uint32_t types);
// The link's one-way rate in its largest allowed type, return slots
// included, kbit/s: what a budget is a share of.
double LinkKbps(uint32_t types);

struct RadioConfig {
    uint32_t kbps = 512;           // the stream's budget: its share of LinkKbps(types)
    uint32_t queuePackets = kDefaultQueuePackets;   // the send queue's depth in media packets (the one on air included)
    uint32_t types = kAclEdr2;     // the ACL packet types the link allows
    uint64_t flushNs = 0;          // flush timeout (0: none, the peers' default)
};

// A media packet the radio took: when it is through, or flushed.
struct RadioSend {
    uint64_t doneNs = 0;   // its last bit sent, or the time it was flushed
    bool flushed = false;
    uint32_t slots = 0;    // slots it took on air (0 when flushed)
};

class Radio {
public:
    explicit Radio(const RadioConfig& config);
    Radio(uint32_t kbps, uint32_t queuePackets) : Radio(RadioConfig{kbps, queuePackets, kAclEdr2, 0}) {}
    void SetInterference(const Interference& i) { interference_ = i; }

    // Packets queued or on air at nowNs.  Calls come with times that never
    // go back.
    uint32_t Queued(uint64_t nowNs);
    // Room for `packets` more at nowNs: the depth holds per media packet.
    bool HasRoom(uint64_t nowNs, uint32_t packets = 1) { return Queued(nowNs) + packets <= config_.queuePackets; }
    // The earliest clock time from nowNs at which one more packet fits.
    uint64_t RoomAtNs(uint64_t nowNs);
    // The backlog at nowNs in time: how long the radio needs to send what
    // is queued.  A radio that keeps up has sent the last post's packets
    // when the next post comes, whatever their size.
    uint64_t BacklogNs(uint64_t nowNs) const { return freeNs_ > nowNs ? freeNs_ - nowNs : 0; }
    uint32_t Depth() const { return config_.queuePackets; }
    // Queues a media packet of `bytes` at nowNs (room or not: the caller
    // asked): when it is through, or flushed.
    RadioSend Send(uint64_t nowNs, uint32_t bytes);
    // The budget left at clock time ns, bit/s.
    double RateAt(uint64_t ns) const;

private:
    uint64_t FinishOf(uint64_t startNs, double bits) const;
    void Drop(uint64_t nowNs);

    RadioConfig config_;
    double bitsPerSlot_;   // budget bits a slot of air costs: the link's full rate
    Interference interference_;
    uint64_t freeNs_ = 0;   // when everything queued has been sent
    std::deque<uint64_t> queue_;   // when each packet not yet through will be, in order
};

}  // namespace btstandin
