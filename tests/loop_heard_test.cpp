// A loop as the listener hears it, judged from what the application wrote:
// the wave API plays the headers from WHDR_BEGINLOOP to WHDR_ENDLOOP dwLoops
// times, then what follows.  Every buffer's bytes have values of their own,
// so each byte the driver posts tells which buffer it came from; the loop's
// bytes, taken in the order heard, must be its pass exactly dwLoops times,
// and the bytes behind it must be heard once, in order.  (A packet that ends
// a pass may run on into the buffers behind the loop before the next pass
// begins: the completion, not the packet, rewinds a pass.  That ordering is
// the driver's, and this judge leaves it open: it checks each stream on its
// own.)  A broken loop ends with its pass whole.
#include <algorithm>
#include <vector>

#include "driver/config.h"
#include "host/registry.h"
#include "support/stream_fixture.h"

using namespace testing_support;

namespace {

class LoopHeardTest : public StreamTest {
protected:
    // Bytes 1..63 for the loop's first buffer, 64..127 for its second,
    // 128..255 for the buffer behind it.
    static std::vector<uint8_t> Buffer(int which, size_t length)
    {
        std::vector<uint8_t> b(length);
        for (size_t k = 0; k < length; ++k)
            b[k] = static_cast<uint8_t>(which == 0 ? 1 + k % 63 : which == 1 ? 64 + k % 64 : 128 + k % 128);
        return b;
    }
    // Plays a two-buffer loop of `loops` passes and one buffer behind it to
    // the end; the audio posted, split into the loop's bytes and the rest.
    void Play(DWORD loops, std::vector<uint8_t>* loop, std::vector<uint8_t>* behind, uint64_t breakAfterMs = 0)
    {
        // No reserve: every packet is a tick's 20 ms, shorter than the
        // buffer behind the loop.
        host::RegistrySetDword(BTWAV_PARAMS_KEY, BTWAV_VALUE_CACHELEN, 0);
        WAVEFORMATEX format = MakeFormat();
        ASSERT_EQ(OpenRaw(client_, &format).result, 0u);
        HeaderPool pool(3);
        // Lengths that are not whole frames on their own, so that packets
        // cut across the buffers and across the passes.
        a_ = Buffer(0, 1002);
        b_ = Buffer(1, 1002);
        c_ = Buffer(2, 12000);
        ASSERT_EQ(Write(pool.PrepareWith(0, a_, WHDR_BEGINLOOP, loops)).result, 0u);
        ASSERT_EQ(Write(pool.PrepareWith(1, b_, WHDR_ENDLOOP)).result, 0u);
        ASSERT_EQ(Write(pool.PrepareWith(2, c_)).result, 0u);
        ASSERT_EQ(Para().dwCacheLen, 0u);
        if (breakAfterMs != 0) {
            host::AdvanceVirtualMs(breakAfterMs);
            ASSERT_TRUE(client_.Done().empty()) << "the loop has no end of its own";
            ASSERT_EQ(Message(WODM_BREAKLOOP).result, 0u);
        }
        host::AdvanceVirtualMs(1000);
        ASSERT_EQ(client_.Done().size(), 3u) << "every buffer back within a second";
        for (const btstandin::Packet& p : btstandin::Packets())
            for (uint8_t byte : p.audio)
                (byte < 128 ? loop : behind)->push_back(byte);
    }

    void Check(DWORD loops)
    {
        std::vector<uint8_t> loop, behind;
        Play(loops, &loop, &behind);
        if (HasFatalFailure())
            return;
        std::vector<uint8_t> pass = a_;
        pass.insert(pass.end(), b_.begin(), b_.end());
        std::vector<uint8_t> expected;
        for (DWORD n = 0; n < loops; ++n)
            expected.insert(expected.end(), pass.begin(), pass.end());
        EXPECT_EQ(loop.size(), expected.size()) << "passes heard: " << loop.size() / double(pass.size());
        EXPECT_TRUE(loop == expected) << "the loop's bytes are not its pass " << loops << " times over";
        EXPECT_TRUE(behind == c_) << behind.size() << " bytes heard behind the loop, " << c_.size() << " written";
    }

    Recorder client_;
    std::vector<uint8_t> a_, b_, c_;
};

TEST_F(LoopHeardTest, ALoopOfOnePassIsHeardOnce) { Check(1); }
TEST_F(LoopHeardTest, ALoopOfTwoPassesIsHeardTwiceThenWhatFollowsOnce) { Check(2); }
TEST_F(LoopHeardTest, ALoopOfThreePassesIsHeardThreeTimesThenWhatFollowsOnce) { Check(3); }
TEST_F(LoopHeardTest, ALoopOfFivePassesIsHeardFiveTimesThenWhatFollowsOnce) { Check(5); }

// waveOutBreakLoop: the pass under way is played to its end, then what
// follows the loop.  An endless loop broken at four instants (a tick apart
// and between ticks, so that the break finds the pass in each of its
// states): whole passes, in order, and the buffer behind it once.
class BrokenLoopTest : public LoopHeardTest {
protected:
    void CheckBreak(uint64_t afterMs)
    {
        std::vector<uint8_t> loop, behind;
        Play(0xFFFFFFFFu, &loop, &behind, afterMs);
        ASSERT_FALSE(HasFatalFailure());
        std::vector<uint8_t> pass = a_;
        pass.insert(pass.end(), b_.begin(), b_.end());
        ASSERT_GE(loop.size(), pass.size());
        EXPECT_EQ(loop.size() % pass.size(), 0u) << loop.size() << " loop bytes: a pass cut short";
        for (size_t at = 0; at + pass.size() <= loop.size(); at += pass.size())
            ASSERT_TRUE(std::equal(pass.begin(), pass.end(), loop.begin() + at)) << "pass " << at / pass.size();
        EXPECT_TRUE(behind == c_) << behind.size() << " bytes heard behind the loop, " << c_.size() << " written";
    }
};

TEST_F(BrokenLoopTest, BrokenAt300Ms) { CheckBreak(300); }
TEST_F(BrokenLoopTest, BrokenAt310Ms) { CheckBreak(310); }
TEST_F(BrokenLoopTest, BrokenAt320Ms) { CheckBreak(320); }
TEST_F(BrokenLoopTest, BrokenAt330Ms) { CheckBreak(330); }

}  // namespace
