// The driver's pacing values reach the report from the arguments of its
// debug record: whatever words the line has around them, the values the
// report holds are the ones the driver passed.
#include <gtest/gtest.h>

#include "host/host.h"
#include "report/pacing.h"
#include "report/report.h"
#include "world/world.h"

namespace player {
namespace {

LPCWSTR W(const char16_t* s)
{
    return reinterpret_cast<LPCWSTR>(s);
}

class PacingRecordTest : public ::testing::Test {
protected:
    void SetUp() override { host::ResetAll(); }
    void TearDown() override { host::ResetAll(); }
};

// A line worded nothing like the driver's own, its values in another order:
// the world's report still has each value where it belongs.
TEST_F(PacingRecordTest, TheReportHasTheValuesWhateverTheLineSaysAroundThem)
{
    std::vector<std::string> warnings;
    World::Setup setup;
    World world(WorldOptions(), setup, &warnings);
    World::Hooks hooks;
    std::vector<PacingConfig> seen;
    hooks.pacing = [&](const std::string&, const PacingConfig& c) { seen.push_back(c); };
    world.Attach(hooks);
    NKDbgPrintfW(W(u"opening: 3 buffers of %d bytes\r\n"), 6144);
    NKDbgPrintfW(W(u"Pacing set up - CacheLen=%u bytes, Timer: %d ms, rate Sample %d B/s\r\n"), 4096u, 10, 88200);
    world.Detach();

    Report r;
    std::string error;
    ASSERT_TRUE(world.FillTimeline(&r, false, &error)) << error;
    EXPECT_TRUE(r.config.known);
    EXPECT_EQ(r.config.sample, 88200u);
    EXPECT_EQ(r.config.timer, 10u);
    EXPECT_EQ(r.config.cacheLen, 4096u);
    EXPECT_EQ(r.configLine, "Pacing set up - CacheLen=4096 bytes, Timer: 10 ms, rate Sample 88200 B/s");
    ASSERT_EQ(seen.size(), 1u);   // the line of buffers is no configuration
    EXPECT_EQ(seen[0].timer, 10u);
}

TEST_F(PacingRecordTest, OnlyARecordWithEveryValueAsANumberIsTheConfiguration)
{
    std::vector<host::DebugRecord> records;
    host::SetDebugRecordObserver([&](const host::DebugRecord& r) { records.push_back(r); });
    NKDbgPrintfW(W(u"Sample %d, Timer %d\r\n"), 176400, 20);                       // one missing
    NKDbgPrintfW(W(u"Sample %d, Timer %d, CacheLen %s\r\n"), 176400, 20, W(u"6144"));   // one a string
    NKDbgPrintfW(W(u"BadSample %d Timer %d CacheLen %d\r\n"), 1, 2, 3);           // another word
    NKDbgPrintfW(W(u"Sample %d, Timer %d, CacheLen %d, Sample %d\r\n"), 1, 2, 3, 4);   // one twice
    OutputDebugStringW(W(u"Sample 176400, Timer 20, CacheLen 6144\r\n"));          // text, no arguments
    NKDbgPrintfW(W(u"Timer=%d Sample=%u CacheLen=%d\r\n"), 5, 1000u, 0);
    host::SetDebugRecordObserver(nullptr);

    ASSERT_EQ(records.size(), 6u);
    PacingConfig c;
    for (size_t i = 0; i < 5; ++i)
        EXPECT_FALSE(PacingFromRecord(records[i], &c)) << records[i].line;
    EXPECT_FALSE(c.known);
    ASSERT_TRUE(PacingFromRecord(records[5], &c));
    EXPECT_EQ(c.timer, 5u);
    EXPECT_EQ(c.sample, 1000u);
    EXPECT_EQ(c.cacheLen, 0u);
    EXPECT_EQ(FormatPacing(c), "Sample 1000, Timer 5, CacheLen 0");
}

}  // namespace
}  // namespace player
