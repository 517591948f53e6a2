#include "report/outputs.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "btstandin/sendpath.h"
#include "world/device.h"

namespace player {

// ---- A list of outputs -------------------------------------------------------------

void OutputList::Take(const uint8_t* data, size_t size)
{
    for (Output* o : outputs_)
        o->Take(data, size);
}

bool OutputList::Finish(std::string* error)
{
    bool ok = true;
    for (Output* o : outputs_) {
        std::string e;
        if (!o->Finish(&e) && ok) {
            ok = false;
            *error = e;
        }
    }
    return ok;
}

// ---- WAV --------------------------------------------------------------------------

WavOutput::~WavOutput()
{
    if (sf_)
        sf_close(sf_);
}

uint64_t WavLimitBytes()
{
    const uint64_t kPlainWavBytes = 0xFFFFFFFFull - 36;   // the RIFF size counts the header's 36 bytes
    const char* env = std::getenv("BTWAV_WAV_LIMIT");
    if (!env || !*env)
        return kPlainWavBytes;
    char* end = nullptr;
    unsigned long long v = std::strtoull(env, &end, 10);
    return *end == '\0' && v < kPlainWavBytes ? v : kPlainWavBytes;
}

bool WavOutput::Open(std::string* error, int64_t expectedBytes)
{
    const uint64_t limit = WavLimitBytes();
    const bool known = expectedBytes >= 0;
    // A margin for a resampler's rounding of the length.
    const uint64_t expected = known ? static_cast<uint64_t>(expectedBytes) : 0;
    const bool fits = known && expected + expected / 1000 + 65536 <= limit;
    SF_INFO info{};
    info.samplerate = kDeviceRate;
    info.channels = kDeviceChannels;
    info.format = (fits ? SF_FORMAT_WAV : SF_FORMAT_RF64) | SF_FORMAT_PCM_16;
    // libsndfile closes the descriptor with the file.
    sf_ = sf_open_fd(file_->ReleaseFd(), SFM_WRITE, &info, SF_TRUE);
    if (!sf_) {
        *error = "cannot write '" + file_->Path() + "': " + sf_strerror(nullptr);
        return false;
    }
    // Of unknown length: RF64 that becomes a WAV file if it ends under 4 GiB.
    if (!known)
        sf_command(sf_, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    if (fits)
        room_ = limit;
    block_.reset(new short[kBlockFrames * kDeviceChannels]);
    return true;
}

void WavOutput::Take(const uint8_t* data, size_t size)
{
    if (!sf_ || !error_.empty())
        return;
    // The packet bytes are little-endian samples, as are the host's.  They
    // gather in the block, a frame split across packets joined there, and
    // go to the file a block at a time: one write for some 370 ms of audio
    // rather than one a packet.
    uint8_t* bytes = reinterpret_cast<uint8_t*>(block_.get());
    const size_t capacity = kBlockFrames * kDeviceFrameBytes;
    while (size > 0) {
        const size_t n = std::min(size, capacity - fill_);
        std::memcpy(bytes + fill_, data, n);
        fill_ += n;
        data += n;
        size -= n;
        if (fill_ == capacity)
            WriteBlock();
    }
}

size_t WavOutput::TrailingBytes() const
{
    return fill_ % kDeviceFrameBytes;
}

void WavOutput::WriteBlock()
{
    const size_t frames = fill_ / kDeviceFrameBytes;
    // A plain WAV file chosen for a length known beforehand got more audio
    // than it holds: failed rather than written with a wrapped size.
    if (frames > 0 && error_.empty() && written_ + frames * kDeviceFrameBytes > room_)
        error_ = "cannot write '" + file_->Path() + "': more audio arrived than the " + std::to_string(room_) +
                 " bytes a WAV file holds";
    written_ += frames * kDeviceFrameBytes;
    if (frames > 0 && error_.empty() &&
        sf_writef_short(sf_, block_.get(), static_cast<sf_count_t>(frames)) != static_cast<sf_count_t>(frames))
        error_ = "cannot write '" + file_->Path() + "': " + sf_strerror(sf_);
    // A partial frame stays for the next packet to complete.
    uint8_t* bytes = reinterpret_cast<uint8_t*>(block_.get());
    const size_t rest = fill_ - frames * kDeviceFrameBytes;
    std::memmove(bytes, bytes + frames * kDeviceFrameBytes, rest);
    fill_ = rest;
}

bool WavOutput::Finish(std::string* error)
{
    if (!sf_) {
        *error = "cannot write '" + file_->Path() + "': not open";
        return false;
    }
    WriteBlock();
    int rc = sf_close(sf_);
    sf_ = nullptr;
    char magic[4] = {};
    rf64_ = pread(file_->Fd(), magic, sizeof magic, 0) == 4 && std::memcmp(magic, "RF64", 4) == 0;
    if (error_.empty() && rc != 0)
        error_ = "cannot write '" + file_->Path() + "': " + sf_error_number(rc);
    if (!error_.empty()) {
        *error = error_;
        return false;
    }
    return true;
}

// ---- A codec's stream ------------------------------------------------------------

EncodedOutput::EncodedOutput(StagedFile* file, btstandin::Codec codec) : file_(file), codec_(btstandin::CodecOf(codec)) {}

EncodedOutput::~EncodedOutput() = default;

bool EncodedOutput::Open(std::string* error)
{
    btstandin::SendPathConfig link;
    link.codec = codec_.id;
    link.bitpool.fixed = true;   // the top of the range throughout
    link.keepPcm = true;
    if (codec_.Coded())
        encoder_ = codec_.parts->makeEncoder(link);
    if (!encoder_) {
        *error = std::string("cannot start the ") + codec_.parts->title + " encoder";
        return false;
    }
    carrier_ = codec_.make(link);
    return true;
}

// The packets the carrier completed, encoded, their frames to the file.
void EncodedOutput::Write()
{
    const size_t headers = btstandin::kRtpHeaderBytes + codec_.parts->payloadHeaderBytes;
    for (btstandin::MediaPacket& p : packets_) {
        encoder_->Encode(&p);
        if (!error_.empty() || p.payload.size() <= headers)
            continue;
        if (file_->WriteAll(std::string(p.payload.begin() + headers, p.payload.end()), &error_))
            frames_ += p.frames;
    }
    packets_.clear();
}

void EncodedOutput::Take(const uint8_t* data, size_t size)
{
    if (!carrier_ || !error_.empty())
        return;
    carrier_->Take(data, static_cast<uint32_t>(size), 0, &packets_);
    Write();
}

bool EncodedOutput::Finish(std::string* error)
{
    if (carrier_ && error_.empty()) {
        carrier_->SendHeld(0, &packets_);
        Write();
    }
    if (!error_.empty()) {
        *error = error_;
        return false;
    }
    return true;
}

}  // namespace player
