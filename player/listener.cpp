#include "listener.h"

#include "progress.h"

namespace player {

Listener::Listener(const Options& o, Output* heardFile, std::vector<std::string>* warnings)
{
    config_.capacityFrames = o.headsetBufferFrames;
    config_.startFrames = o.headsetStartFrames;
    config_.ppm = o.headsetPpm;
    if (heardFile)
        heard_.Add(heardFile);
    if (o.playOut) {
        std::string error;
        soundOut_.reset(new SoundOut);
        if (soundOut_->Open(o.playDevice, &error)) {
            heard_.Add(soundOut_.get());
        } else {
            ConsoleLine(stderr, "btwav-play: warning: " + error + "; playing on without sound");
            warnings->push_back(error + "; played without sound");
            soundOut_.reset();
        }
    }
    Headset::Heard heard;
    if (!heard_.Empty())
        heard = [this](const uint8_t* data, size_t size) { heard_.Take(data, size); };
    if (o.headset)
        headset_.reset(new Headset(config_, 0, heard));
}

void Listener::SetOrigin(uint64_t clockNs)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (headset_)
        headset_->SetOrigin(clockNs);
}

void Listener::Receive(const btstandin::PacketView& p)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (headset_ && !done_)
        headset_->Receive(p.postNs, p.arrivalNs, p.audio, p.size);
}

void Listener::Finish(Report* r)
{
    if (!headset_)
        return;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!done_) {
            result_ = headset_->Finish();
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
