#include "btstandin/sendpath.h"

#include <algorithm>

namespace btstandin {

SendPath::SendPath(const SendPathConfig& config)
    : config_(config), radio_(RadioConfig{config.Kbps(), config.queuePackets, config.aclTypes, config.flushMs * 1000000ull}), rule_(config.bitpool)
{
    if (config_.bitpool.fixed)
        config_.bitpool.min = config_.bitpool.max;
    carrier_ = CodecOf(config_.codec).make(config_);
    radio_.SetInterference(config_.interference);
}

void SendPath::Send(uint64_t nowNs, size_t from, std::vector<MediaPacket>* out)
{
    for (size_t i = from; i < out->size(); ++i) {
        MediaPacket& p = (*out)[i];
        // Packets join the queue only with room (a post is admitted whole);
        // what the stream's end sends waits for a place, as a write would.
        const uint64_t at = radio_.RoomAtNs(nowNs);
        const RadioSend sent = radio_.Send(at, p.bytes);
        p.arrivalNs = sent.doneNs;
        p.flushed = sent.flushed;
        stats_.airSlots += sent.slots;
        if (sent.flushed) {
            ++stats_.flushed;
            stats_.flushedFrames += p.frames;
            stats_.flushedSamples += p.samples;
        }
        if (stats_.packets == 0)
            stats_.firstSentNs = p.sentNs;
        ++stats_.packets;
        stats_.frames += p.frames;
        stats_.samples += p.samples;
        stats_.bytes += p.bytes;
        stats_.lastArrivalNs = std::max(stats_.lastArrivalNs, p.arrivalNs);
        const uint64_t wait = p.sentNs - std::min(p.sentNs, p.firstPostNs);
        stats_.packWaitSumNs += wait;
        stats_.packWaitMaxNs = std::max(stats_.packWaitMaxNs, wait);
        if (p.bitpool) {
            stats_.lowestBitpool = stats_.lowestBitpool ? std::min(stats_.lowestBitpool, p.bitpool) : p.bitpool;
            stats_.highestBitpool = std::max(stats_.highestBitpool, p.bitpool);
        }
        stats_.peakQueuedPackets = std::max(stats_.peakQueuedPackets, radio_.Queued(at));
        stats_.queue.Add(at, sent.doneNs);
    }
}

void SendPath::Observe(uint64_t nowNs)
{
    if (!CodecOf(config_.codec).adaptive)
        return;
    const uint32_t before = rule_.Bitpool();
    const uint32_t after = rule_.Observe(nowNs, radio_.BacklogNs(nowNs));
    if (after == before)
        return;
    carrier_->SetBitpool(after);
    ++stats_.bitpoolChanges;
    if (stats_.bitpoolLog.size() < kMaxBitpoolLog)
        stats_.bitpoolLog.push_back({nowNs, after});
}

void SendPath::Take(uint64_t nowNs, const uint8_t* pcm, uint32_t bytes, std::vector<MediaPacket>* out)
{
    const size_t from = out->size();
    lastPostNs_ = nowNs;
    carrier_->Take(pcm, bytes, nowNs, out);
    Send(nowNs, from, out);
}

bool SendPath::Admits(uint64_t nowNs, uint32_t bytes)
{
    // The rule sees the backlog each post finds, refused or not, before the
    // post's own packets join it.
    Observe(nowNs);
    if (radio_.HasRoom(nowNs, carrier_->PacketsFor(bytes)))
        return true;
    rule_.Refused();
    return false;
}

void SendPath::SendHeld(uint64_t nowNs, std::vector<MediaPacket>* out)
{
    const size_t from = out->size();
    carrier_->SendHeld(nowNs, out);
    Send(nowNs, from, out);
}

}  // namespace btstandin
