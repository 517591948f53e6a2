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
    Start(origin, compressed || converted, loops);
    return note;
}

std::string SoundChain::OpenFor(const FormatDecision& d, std::unique_ptr<Decoder> decoder, uint32_t loops,
                                uint32_t buffers, uint32_t bufferBytes)
{
    written_ = d.written;
    // Through the mapper's conversion buffers hold whole frames: it
    // converts whole blocks only.  The driver itself takes any length.
    const uint32_t block = d.by == ConvertedBy::Mapper ? std::max<uint32_t>(d.written.nBlockAlign, 1) : 1;
    bufferBytes_ = std::max(block, bufferBytes / block * block);
    if (d.by == ConvertedBy::Mapper) {
        // A reset takes the player back to the device's position: at most
        // the buffers and a second of sound (what the driver and the
        // mapper's resampler still hold) behind the last byte written.
        const uint64_t keep = uint64_t(buffers) * bufferBytes_ + d.written.nAvgBytesPerSec;
        return OpenAsDecoded(std::move(decoder), loops, keep);
    }
    const WAVEFORMATEX decoded = DecodedFormat(decoder->Info());
    std::string note = Open(std::move(decoder), d.converted, loops);
    if (d.by == ConvertedBy::Player)
        note += " (the wave mapper does not take " + DescribeFormat(decoded) + ")";
    return note;
}

Comparison SoundChain::Result(uint32_t loops, bool* judged) const
{
    Comparison c = window_->Result();
    *judged = !window_->Counting();
    if (!*judged) {
        // What arrives is the mapper's conversion, not what was written.
        const int64_t expected = ExpectedBytes(audio_.Info(), loops);
        c.expected = expected > 0 ? static_cast<uint64_t>(expected) : 0;
    }
    return c;
}

int64_t SoundChain::AsDeviceBytes(int64_t written) const
{
    if (written_.nBlockAlign == 0 || written_.nSamplesPerSec == 0)
        return written;
    const int64_t frames = written / written_.nBlockAlign;
    return frames * kDeviceRate / written_.nSamplesPerSec * kDeviceFrameBytes;
}

std::string SoundChain::OpenAsDecoded(std::unique_ptr<Decoder> decoder, uint32_t loops, uint64_t keepBehind)
{
    const bool compressed = decoder->Info().compressed;
    const std::string origin = decoder->Info().origin;
    std::string note;
    audio_.OpenAsDecoded(std::move(decoder), &note);
    // The conversion is the mapper's, on the writing thread: only decoding
    // costs here.
    Start(origin, compressed, loops);
    window_->CountOnly(keepBehind);
    return note;
}

void SoundChain::Start(const std::string& origin, bool ahead, uint32_t loops)
{
    std::string error;
    SoundSource* source = &audio_;
    if (ahead) {
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
}

double SoundChain::ExpectedSeconds(uint32_t loops) const
{
    int64_t length = window_ ? window_->Length() : -1;
    double seconds = length >= 0 ? static_cast<double>(length) / audio_.BytesPerSecond()
                                 : static_cast<double>(std::max<int64_t>(audio_.ExpectedFrames(), 0)) / kDeviceRate;
    return seconds * (loops ? loops : 1);
}

const std::vector<std::string>& SoundChain::StopAndNotes()
{
    if (ahead_)
        ahead_->Stop();
    return audio_.Info().notes;
}

}  // namespace player
