// The driver's debug output and the wave-message trace, with time, thread
// and names.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "audio_files.h"
#include "wave/diagnostics.h"

using namespace player;
using player_test::TempDir;

TEST(DiagnosticsTest, DebugAndTraceLinesCarryTimeThreadAndNames)
{
    EXPECT_EQ(diagnostics::FormatDebug(1.5, "timer", "InitBtAudioPara: Sample 176400, Timer 20, CacheLen 6144"),
              "[   1.500000 s timer   ] debug: InitBtAudioPara: Sample 176400, Timer 20, CacheLen 6144");
    host::WaveMessageRecord write{1, 0, 9, 0x1000, 48, true, 0};
    EXPECT_EQ(diagnostics::FormatTrace(0.02, "main", write),
              "[   0.020000 s main    ] wave: WODM_WRITE device 0 (0x1000, 0x30) -> MMSYSERR_NOERROR");
    host::WaveMessageRecord count{1, 0, 3, 0, 0, true, 1};
    EXPECT_NE(diagnostics::FormatTrace(0, "main", count).find("WODM_GETNUMDEVS device 0 (0x0, 0x0) -> 1 device"),
              std::string::npos);
    host::WaveMessageRecord faulted{1, 0, 13, 0, 12, false, 0};
    EXPECT_NE(diagnostics::FormatTrace(0, "main", faulted).find("WODM_GETPOS device 0 (0x0, 0xc) -> no result"),
              std::string::npos);
    EXPECT_EQ(diagnostics::ResultName(33), "WAVERR_STILLPLAYING");
    EXPECT_EQ(diagnostics::ResultName(99), "99");
    EXPECT_EQ(diagnostics::MessageName(12), "WODM_RESET");
    EXPECT_EQ(diagnostics::MessageName(200), "message 200");
}
