// Application-side wave headers for queue and pump tests: headers placed at
// odd addresses (the driver must read them byte by byte), each with its own
// buffer of distinct bytes, and a callback that records MM_WOM_DONE.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "driver/record.h"
#include "host/platform.h"

namespace testing_support {

// Field access on a header the way the driver must do it.
inline DWORD HFlags(const WAVEHDR* h) { return REC_GET32(h, WAVEHDR, dwFlags); }
inline void HSetFlags(WAVEHDR* h, DWORD v) { REC_SET32(h, WAVEHDR, dwFlags, v); }
inline DWORD HLength(const WAVEHDR* h) { return REC_GET32(h, WAVEHDR, dwBufferLength); }
inline DWORD HConsumed(const WAVEHDR* h) { return REC_GET32(h, WAVEHDR, dwBytesRecorded); }
inline void HSetConsumed(WAVEHDR* h, DWORD v) { REC_SET32(h, WAVEHDR, dwBytesRecorded, v); }
inline DWORD HLoops(const WAVEHDR* h) { return REC_GET32(h, WAVEHDR, dwLoops); }
inline void HSetLoops(WAVEHDR* h, DWORD v) { REC_SET32(h, WAVEHDR, dwLoops, v); }
inline WAVEHDR* HNext(const WAVEHDR* h) { return reinterpret_cast<WAVEHDR*>(REC_GETPTR(h, WAVEHDR, lpNext)); }
inline void HSetNext(WAVEHDR* h, const WAVEHDR* n) { REC_SETPTR(h, WAVEHDR, lpNext, reinterpret_cast<DWORD_PTR>(n)); }
inline DWORD_PTR HReserved(const WAVEHDR* h) { return REC_GETPTR(h, WAVEHDR, reserved); }
inline DWORD_PTR HUser(const WAVEHDR* h) { return REC_GETPTR(h, WAVEHDR, dwUser); }

class HeaderPool {
public:
    // `count` headers, each misaligned by a different odd amount.
    explicit HeaderPool(size_t count) : storage_(count * (sizeof(WAVEHDR) + 8) + 8, 0xCD)
    {
        for (size_t i = 0; i < count; ++i)
            headers_.push_back(reinterpret_cast<WAVEHDR*>(storage_.data() + i * (sizeof(WAVEHDR) + 8) + 1 + (i % 4) * 2));
        buffers_.resize(count);
    }

    size_t Size() const { return headers_.size(); }
    WAVEHDR* operator[](size_t i) const { return headers_[i]; }
    int IndexOf(const void* h) const
    {
        for (size_t i = 0; i < headers_.size(); ++i)
            if (headers_[i] == h)
                return static_cast<int>(i);
        return -1;
    }

    // Gives header i a fresh buffer of `length` bytes, byte k being
    // (seed + 7k) mod 251, and prepares it with the given flags.
    WAVEHDR* Prepare(size_t i, DWORD length, DWORD flags = 0, DWORD loops = 0, uint8_t seed = 0)
    {
        buffers_[i].assign(length, 0);
        for (DWORD k = 0; k < length; ++k)
            buffers_[i][k] = static_cast<uint8_t>((seed + 7u * k + 13u * i) % 251u);
        WAVEHDR* h = headers_[i];
        REC_SETPTR(h, WAVEHDR, lpData, reinterpret_cast<DWORD_PTR>(buffers_[i].data()));
        REC_SET32(h, WAVEHDR, dwBufferLength, length);
        REC_SET32(h, WAVEHDR, dwBytesRecorded, 0xEEEEEEEEu);
        REC_SETPTR(h, WAVEHDR, dwUser, 0x5500u + i);
        REC_SET32(h, WAVEHDR, dwFlags, flags | WHDR_PREPARED);
        REC_SET32(h, WAVEHDR, dwLoops, loops);
        REC_SETPTR(h, WAVEHDR, lpNext, 0x1234u);
        REC_SETPTR(h, WAVEHDR, reserved, 0x99u);
        return h;
    }

    // The same with the buffer's bytes given.
    WAVEHDR* PrepareWith(size_t i, const std::vector<uint8_t>& bytes, DWORD flags = 0, DWORD loops = 0)
    {
        WAVEHDR* h = Prepare(i, 0, flags, loops);
        buffers_[i] = bytes;
        REC_SETPTR(h, WAVEHDR, lpData, reinterpret_cast<DWORD_PTR>(buffers_[i].data()));
        REC_SET32(h, WAVEHDR, dwBufferLength, static_cast<DWORD>(bytes.size()));
        return h;
    }

    const std::vector<uint8_t>& Buffer(size_t i) const { return buffers_[i]; }

private:
    std::vector<uint8_t> storage_;
    std::vector<WAVEHDR*> headers_;
    std::vector<std::vector<uint8_t>> buffers_;
};

// The client's callback: records every message.  The instance word points
// at the recorder.
struct CallbackRecord {
    HDRVR handle;
    UINT msg;
    DWORD_PTR instance;
    DWORD_PTR p1;
    DWORD_PTR p2;
};

struct CallbackRecorder {
    std::vector<CallbackRecord> calls;
    // Run after recording, still inside the callback (for re-entrant cases).
    void (*onCall)(CallbackRecorder* self, WAVEHDR* h) = nullptr;
    void* user = nullptr;

    static void CALLBACK Callback(HDRVR h, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2)
    {
        auto* self = reinterpret_cast<CallbackRecorder*>(instance);
        self->calls.push_back({h, msg, instance, p1, p2});
        if (self->onCall)
            self->onCall(self, reinterpret_cast<WAVEHDR*>(p1));
    }
};

}  // namespace testing_support
