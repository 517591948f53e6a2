// The timeline: happenings timed from the first write, and the packet log
// of a finished run.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "audio_files.h"
#include "kit/watchdog.h"
#include "report/timeline.h"

using namespace player;
using player_test::TempDir;

// ---- Timeline -----------------------------------------------------------------------

TEST(TimelineTest, HappeningsAreTimedFromTheFirstWriteAndRestartsCounted)
{
    kit::Watchdog watchdog(std::chrono::seconds(120), "the timeline");
    Timeline t(1000, false, false, nullptr);
    t.SetStart(5000);
    t.Happen("link down", 6500);
    t.OnPacing("InitBtAudioPara: Sample 176400, Timer 20, CacheLen 6144\r\n", {true, 176400, 20, 6144}, 5000);
    // A later start from idle counts, but the report keeps the first values.
    t.OnPacing("InitBtAudioPara: Sample 176400, Timer 10, CacheLen 6144\r\n", {true, 176400, 10, 6144}, 7000);
    Report r;
    std::string error;
    ASSERT_TRUE(t.Fill(&r, false, &error));
    ASSERT_EQ(r.happenings.size(), 1u);
    EXPECT_DOUBLE_EQ(r.happenings[0].t, 1.5);
    EXPECT_EQ(r.configLine, "InitBtAudioPara: Sample 176400, Timer 20, CacheLen 6144");
    EXPECT_EQ(r.config.timer, 20u);
    ASSERT_EQ(r.notes.size(), 1u);
    EXPECT_NE(r.notes[0].find("2 times"), std::string::npos);
}

TEST(TimelineTest, PacketLogIsWrittenForAFinishedRunOnly)
{
    kit::Watchdog watchdog(std::chrono::seconds(120), "the packet log's writer");
    player_test::TempDir dir;
    for (bool failed : {false, true}) {
        SCOPED_TRACE(failed ? "failed" : "finished");
        StagedFile log;
        std::string error;
        std::string path = dir.File(failed ? "failed.csv" : "done.csv");
        ASSERT_TRUE(log.Create(path, &error)) << error;
        Timeline t(1000, false, false, &log);
        t.SetStart(1000);
        t.OnPacing("InitBtAudioPara: Sample 176400, Timer 20, CacheLen 6144\r\n", {true, 176400, 20, 6144}, 1000);
        t.Log(PlayEvent::Queued, 1000, 7056);
        for (uint64_t tick = 0; tick < 3; ++tick) {
            t.Log(PlayEvent::Tick, 1020 + 20 * tick);
            t.OnPost(1020 + 20 * tick, 3528, false);
        }
        Report r;
        ASSERT_TRUE(t.Fill(&r, failed, &error)) << error;
        ASSERT_TRUE(log.Commit(&error)) << error;
        std::ifstream in(path);
        std::stringstream buffer;
        buffer << in.rdbuf();
        std::string text = buffer.str();
        size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
        EXPECT_EQ(lines, failed ? 0u : 3u) << text;
    }
}
