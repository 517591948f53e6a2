#include "input/soundchain.h"

#include <algorithm>

#include "run/failure.h"
#include "run/options.h"

namespace player {
namespace {

// Decoded audio held ahead of the refill: 8 blocks of 256 KiB, about twelve
// seconds of sound, a bounded 2 MiB whatever the length.  Each block is one
// hand-off between the decoding thread and the refill (a system call each
// way when one side waits), so blocks are large.
const size_t kDecodeAheadBlockBytes = 256 * 1024;
const size_t kDecodeAheadBlocks = 8;

}  // namespace

std::string SoundChain::Open(std::unique_ptr<Decoder> decoder, bool converted, uint32_t loops)
{
    const bool compressed = decoder->Info().compressed;
    const std::string origin = decoder->Info().origin;
    std::string note, error;
    if (!audio_.Open(std::move(decoder), &note, &error))
        throw Failure{kExitInput, error};
    // A source that costs real work to decode or convert is decoded on a
    // thread of its own, so that on two cores it overlaps the pump.  Plain
    // PCM is only copied, which is cheaper than the hand-off.
    SoundSource* source = &audio_;
    if (compressed || converted) {
        ahead_.reset(new DecodeAhead(&audio_, kDecodeAheadBlockBytes, kDecodeAheadBlocks));
        source = ahead_.get();
    }
    window_.reset(new SoundWindow(source));
    if (loops && !window_->KeepWhole(loops, &error))
        throw Failure{kExitInput, error};
    uint8_t peek[kDeviceFrameBytes];
    size_t got = 0;
    if (!window_->Copy(0, peek, sizeof peek, &got, &error))
        throw Failure{kExitInput, error};
    if (got == 0)
        throw Failure{kExitInput, "'" + origin + "' holds no audio frames"};
    return note;
}

double SoundChain::ExpectedSeconds(uint32_t loops) const
{
    int64_t length = window_ ? window_->Length() : -1;
    double bytes = length >= 0 ? static_cast<double>(length)
                               : static_cast<double>(std::max<int64_t>(audio_.ExpectedFrames(), 0)) * kDeviceFrameBytes;
    return bytes * (loops ? loops : 1) / kDeviceBytesPerSecond;
}

const std::vector<std::string>& SoundChain::StopAndNotes()
{
    if (ahead_)
        ahead_->Stop();
    return audio_.Info().notes;
}

}  // namespace player
