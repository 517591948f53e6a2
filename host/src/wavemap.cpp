#include "wavemap.h"

#include <algorithm>
#include <cstring>

namespace host {

MappedStream::MappedStream(const PcmFormat& client, const PcmFormat& device,
                           std::unique_ptr<SampleConverter> converter)
    : client_(client), device_(device), converter_(std::move(converter))
{
}

void MappedStream::Prepare(WAVEHDR* client)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::unique_ptr<Shadow>& s = byClient_[client];
    if (!s) {
        s = std::make_unique<Shadow>();
        clientOf_[&s->header] = client;
    }
}

void MappedStream::Unprepare(WAVEHDR* client)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = byClient_.find(client);
    if (it == byClient_.end())
        return;
    clientOf_.erase(&it->second->header);
    byClient_.erase(it);
}

WAVEHDR* MappedStream::BeginWrite(WAVEHDR* client)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = byClient_.find(client);
    if (it == byClient_.end())
        return nullptr;
    Shadow& s = *it->second;
    const DWORD flags = HeaderFlags(client);
    const DWORD length = HeaderLength(client);
    const auto* data = HeaderData(client);
    const size_t whole = length / client_.FrameBytes() * client_.FrameBytes();
    s.data.resize(std::max<size_t>(converter_->MaxOutputBytes(whole), 1));
    size_t produced = data ? converter_->Convert(data, whole, reinterpret_cast<uint8_t*>(s.data.data()), s.data.size())
                           : 0;

    std::memset(&s.header, 0, sizeof s.header);
    s.header.lpData = s.data.data();
    s.header.dwBufferLength = static_cast<DWORD>(produced);
    s.header.dwFlags = WHDR_PREPARED | (flags & (WHDR_BEGINLOOP | WHDR_ENDLOOP));
    s.header.dwLoops = HeaderLoops(client);
    SetHeaderFlags(client, (flags & ~static_cast<DWORD>(WHDR_DONE)) | WHDR_INQUEUE);
    ++queued_;
    return &s.header;
}

void MappedStream::UndoWrite(WAVEHDR* client, DWORD flagsBefore)
{
    std::lock_guard<std::mutex> lock(mutex_);
    SetHeaderFlags(client, flagsBefore);
    if (queued_ > 0)
        --queued_;
}

namespace {
void MarkDone(WAVEHDR* client)
{
    SetHeaderConsumed(client, HeaderLength(client));
    SetHeaderFlags(client, (HeaderFlags(client) & ~static_cast<DWORD>(WHDR_INQUEUE)) | WHDR_DONE);
}
}  // namespace

MappedStream::Step MappedStream::Complete(WAVEHDR* shadow)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Step step;
    if (shadow == &tail_.header) {
        step.client = tailClient_;
        tailClient_ = nullptr;
        if (step.client)
            MarkDone(step.client);
        return step;
    }
    auto it = clientOf_.find(shadow);
    if (it == clientOf_.end())
        return step;
    WAVEHDR* client = it->second;
    if (queued_ > 0)
        --queued_;
    if (queued_ == 0 && !resetting_ && tailClient_ == nullptr) {
        // The frames the resampler holds, so that the last frame written is
        // heard; the conversion goes on unchanged if more comes.
        tail_.data.resize(std::max<size_t>(converter_->MaxTailBytes(), 1));
        const size_t produced =
            converter_->Tail(reinterpret_cast<uint8_t*>(tail_.data.data()), tail_.data.size());
        if (produced > 0) {
            std::memset(&tail_.header, 0, sizeof tail_.header);
            tail_.header.lpData = tail_.data.data();
            tail_.header.dwBufferLength = static_cast<DWORD>(produced);
            tail_.header.dwFlags = WHDR_PREPARED;
            tailClient_ = client;
            step.tail = &tail_.header;
            return step;
        }
    }
    MarkDone(client);
    step.client = client;
    return step;
}

WAVEHDR* MappedStream::TailRefused()
{
    std::lock_guard<std::mutex> lock(mutex_);
    WAVEHDR* client = tailClient_;
    tailClient_ = nullptr;
    if (client)
        MarkDone(client);
    return client;
}

void MappedStream::BeginReset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    resetting_ = true;
}

void MappedStream::ResetConversion()
{
    std::lock_guard<std::mutex> lock(mutex_);
    converter_->Reset();
    queued_ = 0;
    resetting_ = false;
}

void MappedStream::AnswerPosition(DWORD deviceBytes, BYTE* mmt) const
{
    const uint64_t frames = uint64_t(deviceBytes / device_.FrameBytes()) * client_.rate / device_.rate;
    const DWORD bytes = static_cast<DWORD>(frames * client_.FrameBytes());
    switch (TimeType(mmt)) {
    case TIME_BYTES:
        SetTimeValue(mmt, bytes);
        break;
    case TIME_SAMPLES:
        SetTimeValue(mmt, static_cast<DWORD>(frames));
        break;
    case TIME_MS:
        SetTimeValue(mmt, static_cast<DWORD>(frames * 1000 / client_.rate));
        break;
    case TIME_SMPTE:
    case TIME_MIDI:
    case TIME_TICKS:
        SetTimeType(mmt, TIME_BYTES);
        SetTimeValue(mmt, bytes);
        break;
    default:
        break;
    }
}

}  // namespace host
