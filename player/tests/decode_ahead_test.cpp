// Decoding ahead on a thread of its own: the same bytes whatever the read
// sizes, errors passed on, and no more decoded than the ring holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "audio_files.h"
#include "input/decode_ahead.h"
#include "kit/watchdog.h"

using namespace player;
using player_test::SoundByte;

// ---- Decoding ahead -------------------------------------------------------------------

namespace {
// A source of `length` bytes handed out in pieces of at most `piece`, that
// fails at its end when told to; counts its reads.
struct CountingSource : SoundSource {
    CountingSource(uint64_t length, size_t piece) : length(length), piece(piece) {}
    size_t Read(uint8_t* out, size_t max) override
    {
        reads.fetch_add(1);
        size_t n = static_cast<size_t>(std::min<uint64_t>({max, piece, length - at}));
        for (size_t i = 0; i < n; ++i)
            out[i] = SoundByte(at + i);
        at += n;
        if (n == 0 && failAtEnd)
            error = "the file is damaged";
        return n;
    }
    const std::string& Error() const override { return error; }
    uint64_t length, at = 0;
    size_t piece;
    bool failAtEnd = false;
    std::string error;
    std::atomic<int> reads{0};
};
}  // namespace

TEST(DecodeAheadTest, GivesTheSameBytesWhateverTheReadSizesAndPassesTheErrorOn)
{
    kit::Watchdog watchdog(std::chrono::seconds(120), "the decoding thread");
    for (bool fail : {false, true}) {
        CountingSource inner(100003, 4000);
        inner.failAtEnd = fail;
        DecodeAhead ahead(&inner, 4096, 3);
        std::vector<uint8_t> got;
        const size_t sizes[] = {1, 4096, 333, 9000, 65536};
        std::vector<uint8_t> buf(65536);
        for (size_t i = 0;; ++i) {
            size_t n = ahead.Read(buf.data(), sizes[i % 5]);
            if (n == 0)
                break;
            EXPECT_LE(n, sizes[i % 5]);
            got.insert(got.end(), buf.begin(), buf.begin() + static_cast<long>(n));
        }
        ASSERT_EQ(got.size(), 100003u);
        for (size_t i = 0; i < got.size(); ++i)
            ASSERT_EQ(got[i], SoundByte(i)) << "byte " << i;
        EXPECT_EQ(ahead.Error(), fail ? "the file is damaged" : "");
        EXPECT_EQ(ahead.Read(buf.data(), 10), 0u);
    }
}

// Memory stays bounded: with nobody reading, the thread decodes as many
// blocks as the ring holds and waits; a stop then frees a waiting reader.
TEST(DecodeAheadTest, DecodesNoMoreThanTheRingHoldsAndStopsCleanly)
{
    kit::Watchdog watchdog(std::chrono::seconds(120), "the decoding thread");
    CountingSource inner(1 << 30, 1000);
    DecodeAhead ahead(&inner, 1000, 4);
    while (inner.reads.load() < 4)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(inner.reads.load(), 4);
    std::vector<uint8_t> buf(1000);
    EXPECT_EQ(ahead.Read(buf.data(), buf.size()), 1000u);
    ahead.Stop();
    EXPECT_LE(inner.reads.load(), 5);
    // What was decoded is still given, then the end.
    size_t rest = 0, n;
    while ((n = ahead.Read(buf.data(), buf.size())) > 0)
        rest += n;
    EXPECT_EQ(rest, static_cast<size_t>(inner.reads.load() - 1) * 1000);
}
