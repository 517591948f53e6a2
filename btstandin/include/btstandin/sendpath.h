// The library's send path: the carrier (codec.h) makes media packets of the
// posted PCM, the radio (radio.h) sends them, and the bitpool rule
// (bitpool.h) watches the radio's queue and sets the carrier's bitpool.  A
// unit with no thread and no clock of its own: the post's time, its PCM and
// the link's configuration in; verdicts, media packets with their arrival
// times and the figures out.  The stand-in calls it with its lock held.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "btstandin/bitpool.h"
#include "btstandin/codec.h"
#include "btstandin/queuerecord.h"
#include "btstandin/radio.h"

namespace btstandin {

// The radio's default budget for a codec whose table line gives none (SBC's):
// half the link's slots, what an EDR link gives an A2DP stream in practice
// (the rest to retries, the sink's other traffic, scans and Wi-Fi
// coexistence), 724 kbit/s with 2-DH5s: room for bitpool 53 at MTU 895 (10
// slots each 7 frames, 62% of it).
constexpr double kDefaultLinkShare = 0.5;
constexpr uint32_t kDefaultMtu = 895;

struct SendPathConfig {
    Codec codec = kDefaultCodec;
    BitpoolRange bitpool;          // 2 .. 53, starting at 53
    uint32_t mtu = kDefaultMtu;    // bytes a media packet may take
    uint32_t radioKbps = 0;        // 0: the codec's default above
    uint32_t queuePackets = kDefaultQueuePackets;   // send queue depth, media packets
    uint32_t aclTypes = kAclEdr2;  // the baseband packet types the link allows
    uint32_t flushMs = 0;          // flush timeout (0: none, the peers' default)
    Interference interference;
    bool keepPcm = false;          // packets carry their samples (someone will hear them)
    uint32_t Kbps() const
    {
        return radioKbps                      ? radioKbps
               : CodecOf(codec).defaultKbps ? CodecOf(codec).defaultKbps
                                            : static_cast<uint32_t>(LinkKbps(aclTypes) * kDefaultLinkShare + 0.5);
    }
};

struct BitpoolChange {
    uint64_t ns;        // clock time
    uint32_t bitpool;   // the bitpool from then on
};

struct SendStats {
    uint64_t packets = 0, frames = 0, samples = 0;   // media packets sent to the radio, their codec frames and audio frames
    uint64_t bytes = 0;                              // their size on the radio
    uint64_t firstSentNs = 0, lastArrivalNs = 0;     // the stream's span on the radio
    uint64_t airSlots = 0;                           // baseband slots the delivered packets took, return slots included
    uint64_t flushed = 0, flushedFrames = 0, flushedSamples = 0;   // media packets the flush timeout dropped
    uint32_t peakQueuedPackets = 0;                  // the fullest the send queue was after a packet joined it
    QueueRecord queue;                               // the send queue's depth over time (its Series())
    uint64_t packWaitSumNs = 0, packWaitMaxNs = 0;   // from a packet's first sample posted to the packet sent
    uint32_t lowestBitpool = 0, highestBitpool = 0;  // of the packets sent (0: none yet)
    uint64_t bitpoolChanges = 0;                     // all changes
    std::vector<BitpoolChange> bitpoolLog;           // the first kMaxBitpoolLog changes
};
constexpr size_t kMaxBitpoolLog = 4096;

class SendPath {
public:
    explicit SendPath(const SendPathConfig& config);
    // A post of `bytes` comes at nowNs: the bitpool rule sees the radio's
    // backlog, and the answer is whether the queue has room for every media
    // packet the post completes (a post is taken or refused whole).
    bool Admits(uint64_t nowNs, uint32_t bytes);
    // An admitted post's PCM at nowNs (pcm may be null when no samples are
    // kept): appends the media packets it completes, sent, with their
    // arrival times.
    void Take(uint64_t nowNs, const uint8_t* pcm, uint32_t bytes, std::vector<MediaPacket>* out);
    // Sends what the carrier holds (the stream's end).
    void SendHeld(uint64_t nowNs, std::vector<MediaPacket>* out);
    // Clock time of the last post taken (0: none).
    uint64_t LastPostNs() const { return lastPostNs_; }
    void SetInterference(const Interference& i)
    {
        config_.interference = i;
        radio_.SetInterference(i);
    }
    uint32_t Bitpool() const { return rule_.Bitpool(); }
    const SendStats& Stats() const { return stats_; }

private:
    void Send(uint64_t nowNs, size_t from, std::vector<MediaPacket>* out);
    void Observe(uint64_t nowNs);

    SendPathConfig config_;
    std::unique_ptr<Carrier> carrier_;
    Radio radio_;
    BitpoolRule rule_;
    SendStats stats_;
    uint64_t lastPostNs_ = 0;
};

}  // namespace btstandin
