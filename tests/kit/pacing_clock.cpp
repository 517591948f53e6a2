#include "kit/pacing_clock.h"

#include <vector>

#include "driver/config.h"
#include "host/registry.h"

namespace kit {

namespace {

constexpr uint32_t kFrame = 4;   // 16-bit stereo

// One value as a start reads it: exactly 4 bytes of data, whatever the type.
uint32_t RegistryNumber(const char* name, uint32_t fallback, bool zeroTaken)
{
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!host::RegistryGetValue(BTWAV_PARAMS_KEY, name, &type, &data) || data.size() != 4)
        return fallback;
    uint32_t v = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<uint32_t>(data[3]) << 24);
    return v == 0 && !zeroTaken ? fallback : v;
}

}  // namespace

uint32_t ReserveOf(uint32_t cacheLen)
{
    return cacheLen - cacheLen % kFrame;
}

PacingValues PacingFromRegistry()
{
    PacingValues v;
    v.sample = RegistryNumber(BTWAV_VALUE_SAMPLE, BT_AUDIO_DEFAULT_SAMPLE, false);
    v.cacheLen = ReserveOf(RegistryNumber(BTWAV_VALUE_CACHELEN, BT_AUDIO_DEFAULT_CACHELEN, true));
    return v;
}

void PacingClock::Configure(const PacingValues& v, uint64_t frequency, uint64_t now)
{
    v_ = v;
    frequency_ = frequency;
    last_ = now;
    carry_ = 0;
    reserveDue_ = true;
}

void PacingClock::Rebase(uint64_t now)
{
    last_ = now;
}

uint32_t PacingClock::Tick(uint64_t now, bool queued)
{
    if (frequency_ == 0)
        return 0;
    uint64_t elapsed = now > last_ ? now - last_ : 0;
    last_ = now;
    // Bytes in 1/frequency units: whole frames are due, the rest waits.
    uint64_t units = elapsed * v_.sample + carry_;
    uint64_t frames = units / (frequency_ * kFrame);
    carry_ = units - frames * frequency_ * kFrame;
    if (!queued)
        return 0;
    if (reserveDue_) {
        reserveDue_ = false;
        carry_ = 0;
        return v_.cacheLen;
    }
    return static_cast<uint32_t>(frames * kFrame);
}

}  // namespace kit
