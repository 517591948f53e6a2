#include "world/listener.h"

#include "world/device.h"

namespace player {

Listener::Listener(const WorldOptions& o, Output* heardFile, std::vector<std::string>* warnings)
{
    config_.capacityFrames = o.headsetBufferFrames;
    config_.startFrames = o.headsetStartFrames;
    config_.ppm = o.headsetPpm;
    config_.catchUpPpm = o.headsetCatchUpPpm;
    if (heardFile)
        heard_.Add(heardFile);
    if (o.playOut) {
        std::string error;
        soundOut_.reset(new SoundOut);
        if (soundOut_->Open(o.playDevice, &error)) {
            heard_.Add(soundOut_.get());
        } else {
            warnings->push_back(error + "; played without sound");
            soundOut_.reset();
        }
    }
    Headset::Heard heard;
    if (!heard_.Empty())
        heard = [this](const uint8_t* data, size_t size) { heard_.Take(data, size); };
    if (o.headset)
        headset_.reset(new Headset(config_, 0, heard));
    // The decoder's delay is part of the delay the sink reports, heard or
    // not; a codec without a coder is heard as its packets carry it.
    const btstandin::CodecInfo& codec = btstandin::CodecOf(o.codec);
    if (headset_ && codec.Coded())
        codecDelayFrames_ = codec.parts->decoderDelayFrames();
    if (headset_ && heard) {
        if (codec.Coded())
            decoder_ = codec.parts->makeDecoder();
        quality_.reset(new HeardQuality(codecDelayFrames_));
    }
}

void Listener::SetOrigin(uint64_t clockNs)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (headset_)
        headset_->SetOrigin(clockNs);
}

void Listener::Receive(const btstandin::MediaPacket& p)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (!headset_ || done_)
        return;
    if (p.lost || p.flushed) {
        // The headset plays silence for the lost stretch in its place in
        // the stream, by the packets' timestamps: the stretch is heard once,
        // as long as it was, and what follows keeps its timing however long
        // the loss (a sink scheduling by timestamp, not by arrival).
        const size_t bytes = static_cast<size_t>(p.samples) * 4;
        silence_.assign(heard_.Empty() ? 0 : bytes, 0);
        if (quality_ && p.pcm.size() == bytes)
            quality_->Add(reinterpret_cast<const int16_t*>(p.pcm.data()),
                          reinterpret_cast<const int16_t*>(silence_.data()), p.samples);
        headset_->Receive(p.firstPostNs, p.arrivalNs, silence_.empty() ? nullptr : silence_.data(), bytes);
        concealedFrames_ += p.samples;
        return;
    }
    const uint8_t* data = nullptr;
    size_t size = static_cast<size_t>(p.samples) * 4;
    if (decoder_ && !p.payload.empty()) {
        decoded_.clear();
        decoder_->Decode(p.payload, &decoded_);
        // A packet that decodes short (a damaged frame) is heard as far as it goes.
        decoded_.resize(size, 0);
        data = decoded_.data();
    } else if (!p.pcm.empty()) {
        data = p.pcm.data();
        size = p.pcm.size();
    }
    if (quality_ && data && p.pcm.size() == size)
        quality_->Add(reinterpret_cast<const int16_t*>(p.pcm.data()), reinterpret_cast<const int16_t*>(data), size / 4);
    headset_->Receive(p.firstPostNs, p.arrivalNs, data, size);
}

void Listener::Finish(Report* r)
{
    if (!headset_)
        return;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!done_) {
            result_ = headset_->Finish();
            result_.concealedFrames = concealedFrames_;
            // What a sink's delay report gives: the audio it holds before
            // playing (its buffer's target) and its decoder's delay.
            result_.sinkDelay = (config_.startFrames + codecDelayFrames_) / static_cast<double>(kDeviceRate);
            if (quality_) {
                r->quality = quality_->Finish();
                CountGaps(&r->quality, result_.gapSeconds());
            }
            done_ = true;
        }
    }
    if (soundOut_) {
        std::string error;
        if (soundOut_->Finish(&error))
            r->notes.push_back("played what the listener heard on sound device '" + soundOut_->Device() + "'");
        else
            r->warnings.push_back(error);
        soundOut_.reset();
    }
    r->listener = result_;
}

}  // namespace player
