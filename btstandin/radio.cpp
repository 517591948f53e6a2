#include "btstandin/radio.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace btstandin {

namespace {

const AclTypeInfo kTypes[] = {
    {"2-DH1", kAcl2DH1, 54, 1},  {"2-DH3", kAcl2DH3, 367, 3}, {"2-DH5", kAcl2DH5, 679, 5},
    {"3-DH1", kAcl3DH1, 83, 1},  {"3-DH3", kAcl3DH3, 552, 3}, {"3-DH5", kAcl3DH5, 1021, 5},
};
constexpr uint32_t kTypeCount = sizeof kTypes / sizeof kTypes[0];

uint32_t Allowed(uint32_t types)
{
    return types & kAclAllTypes ? types & kAclAllTypes : kAclEdr2;
}

// The allowed type with the largest payload.
const AclTypeInfo& Largest(uint32_t types)
{
    const AclTypeInfo* best = nullptr;
    for (const AclTypeInfo& t : kTypes)
        if ((Allowed(types) & t.bit) && (!best || t.payload > best->payload))
            best = &t;
    return *best;
}

}  // namespace

const AclTypeInfo* AclTypes(uint32_t* count)
{
    *count = kTypeCount;
    return kTypes;
}

const AclTypeInfo* AclTypeNamed(const char* name)
{
    for (const AclTypeInfo& t : kTypes)
        if (std::strcmp(t.name, name) == 0)
            return &t;
    return nullptr;
}

// The L2CAP frame (payload and header) goes out in the largest allowed type
// while more than it carries remains; the rest in the allowed type of the
// fewest slots that holds it.  Each baseband packet is followed by the
// sink's one-slot return packet.
AirCost AirCostOf(uint32_t bytes, uint32_t types)
{
    AirCost cost;
    const AclTypeInfo& largest = Largest(types);
    uint32_t left = bytes + kL2capHeaderBytes;
    while (left > largest.payload) {
        ++cost.fragments;
        cost.slots += largest.slots + 1;
        left -= largest.payload;
    }
    const AclTypeInfo* last = &largest;
    for (const AclTypeInfo& t : kTypes)
        if ((Allowed(types) & t.bit) && t.payload >= left && t.slots < last->slots)
            last = &t;
    ++cost.fragments;
    cost.slots += last->slots + 1;
    return cost;
}

double LinkKbps(uint32_t types)
{
    const AclTypeInfo& t = Largest(types);
    return t.payload * 8.0 / ((t.slots + 1) * kSlotNs / 1e9) / 1000.0;
}

Radio::Radio(const RadioConfig& config) : config_(config)
{
    config_.kbps = std::max<uint32_t>(config_.kbps, 1);
    config_.queuePackets = std::max<uint32_t>(config_.queuePackets, 1);
    config_.types = Allowed(config_.types);
    // A slot of air costs the budget what the link moves in a slot at its
    // full rate: the budget's share of the link is its share of the slots.
    bitsPerSlot_ = LinkKbps(config_.types) * 1000.0 * kSlotNs / 1e9;
}

double Radio::RateAt(uint64_t ns) const
{
    const Interference& i = interference_;
    const bool inside = i.lengthNs > 0 && ns >= i.startNs && ns - i.startNs < i.lengthNs;
    return config_.kbps * 1000.0 * (inside ? 1.0 - i.share : 1.0);
}

// When `bits` sent from startNs are through, the budget changing at the
// interference's two edges.
uint64_t Radio::FinishOf(uint64_t startNs, double bits) const
{
    const Interference& i = interference_;
    double left = bits;
    double t = static_cast<double>(startNs);
    const double edges[2] = {static_cast<double>(i.startNs), static_cast<double>(i.startNs + i.lengthNs)};
    for (int k = 0; k < 3; ++k) {
        const double rate = RateAt(static_cast<uint64_t>(t)) / 1e9;   // bits per ns here
        double until = HUGE_VAL;
        if (i.lengthNs > 0)
            for (double e : edges)
                if (e > t)
                    until = std::min(until, e);
        if (rate <= 0) {   // the whole budget lost: nothing moves until the edge
            if (until == HUGE_VAL)
                return UINT64_MAX;
            t = until;
            continue;
        }
        const double need = left / rate;
        if (t + need <= until)
            return static_cast<uint64_t>(std::ceil(t + need));
        left -= (until - t) * rate;
        t = until;
    }
    return static_cast<uint64_t>(std::ceil(t + left / (config_.kbps * 1000.0 / 1e9)));
}

void Radio::Drop(uint64_t nowNs)
{
    while (!queue_.empty() && queue_.front() <= nowNs)
        queue_.pop_front();
}

uint32_t Radio::Queued(uint64_t nowNs)
{
    Drop(nowNs);
    return static_cast<uint32_t>(queue_.size());
}

uint64_t Radio::RoomAtNs(uint64_t nowNs)
{
    Drop(nowNs);
    if (queue_.size() < config_.queuePackets)
        return nowNs;
    return queue_[queue_.size() - config_.queuePackets];
}

// With a flush timeout, a packet not through by then is dropped: on air,
// when the timeout ends (the slots spent are lost); still waiting, when its
// turn comes after the packet before it (it takes no air).
RadioSend Radio::Send(uint64_t nowNs, uint32_t bytes)
{
    Drop(nowNs);
    RadioSend r;
    const uint64_t start = std::max(freeNs_, nowNs);
    const uint32_t slots = AirCostOf(bytes, config_.types).slots;
    const uint64_t finish = FinishOf(start, slots * bitsPerSlot_);
    const uint64_t deadline = nowNs + config_.flushNs;
    if (config_.flushNs && finish > deadline) {
        r.flushed = true;
        if (start < deadline)
            freeNs_ = deadline;
        r.doneNs = std::max(deadline, start);
    } else {
        freeNs_ = finish;
        r.doneNs = finish;
        r.slots = slots;
    }
    queue_.push_back(r.doneNs);
    return r;
}

}  // namespace btstandin
