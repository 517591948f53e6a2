// The player end to end, where its outputs go and what it says on the way:
// standard output for a report or a WAV file, links and FIFOs written
// through, scripts/play run from another folder, and the driver's debug
// output and the wave-message trace.  Every run is a child process on the
// virtual clock.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "audio_files.h"
#include "kit/watchdog.h"

using namespace player_test;

namespace {

const size_t kBuiltInBytes = 529200;   // the built-in sound: 3 s of 16-bit stereo at 44.1 kHz

}  // namespace

// ---- Where outputs go ----------------------------------------------------------------------

TEST(PlayerOutputTest, DashIsStandardOutputAndTheTextReportMovesToStandardError)
{
    RunResult r = RunPlayer({"--fast", "--quiet", "--report", "-"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.compare(0, 2, "{\n"), 0) << r.out.substr(0, 80);
    EXPECT_EQ(r.out.substr(r.out.size() - 2), "}\n");   // nothing but the JSON
    EXPECT_EQ(JsonAt(r.out, "/result"), "\"played\"");
    EXPECT_EQ(JsonAt(r.out, "/bytes_received"), std::to_string(kBuiltInBytes));
    EXPECT_NE(r.err.find("Played built-in sound"), std::string::npos) << r.err;

    // A WAV file through a pipe: its header is right although a pipe
    // cannot be rewound.
    TempDir dir;
    r = RunPlayer({"--fast", "--quiet", "--wav", "-"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    WriteText(dir.File("from-stdout.wav"), r.out);
    Audio a = ReadAudio(dir.File("from-stdout.wav"));
    EXPECT_EQ(a.rate, 44100);
    EXPECT_EQ(a.channels, 2);
    EXPECT_EQ(a.samples.size() * 2, kBuiltInBytes);
    EXPECT_NE(r.err.find("bit-exact       yes"), std::string::npos);
    EXPECT_TRUE(dir.Entries() == std::vector<std::string>{"from-stdout.wav"});

    r = RunPlayer({"--fast", "--wav", "-", "--report", "-"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("'-' is named for two outputs"), std::string::npos) << r.err;
}

TEST(PlayerOutputTest, LinksAndFifosAreWrittenThroughNotReplaced)
{
    kit::Watchdog watchdog(std::chrono::seconds(600), "the FIFO's reader");
    TempDir dir;
    ASSERT_EQ(mkdir(dir.File("real").c_str(), 0755), 0);
    WriteText(dir.File("real/report.json"), "old");
    ASSERT_EQ(symlink("real/report.json", dir.File("report.json").c_str()), 0);
    ASSERT_EQ(symlink("real/out.wav", dir.File("out.wav").c_str()), 0);   // dangling until the run
    ASSERT_EQ(mkfifo(dir.File("packets.csv").c_str(), 0600), 0);

    FifoReader reader(dir.File("packets.csv"));
    RunResult r = RunPlayer({"--fast", "--quiet", "--report", dir.File("report.json"), "--wav", dir.File("out.wav"),
                             "--packets", dir.File("packets.csv")});
    std::string packets = reader.Finish();
    ASSERT_EQ(r.exitCode, 0) << r.err;

    struct stat st;
    ASSERT_EQ(lstat(dir.File("report.json").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(lstat(dir.File("out.wav").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(lstat(dir.File("packets.csv").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(JsonAt(ReadText(dir.File("real/report.json")), "/bit_exact"), "true");
    EXPECT_EQ(ReadAudio(dir.File("real/out.wav")).samples.size() * 2, kBuiltInBytes);
    EXPECT_EQ(packets.compare(0, 34, "arrival_s,bytes,bytes_due,refused,"), 0) << packets.substr(0, 40);
    EXPECT_EQ(Count(packets, ",post,"), 150u);   // 150 posts of 20 ms, and the media packets beside them
    EXPECT_EQ(Count(packets, "\n"), 151u + Count(packets, ",media,"));
    EXPECT_FALSE(HasHiddenFile(dir));
}

// ---- scripts/play --------------------------------------------------------------------------

TEST(PlayScriptTest, PathsAreTheCallersFromAnotherFolder)
{
    TempDir dir;
    WriteWav(dir.File("tone.wav"), Sine(22050, 44100, 2, 440, 0.5));
    // Relative names, run from the folder that holds them.  The script runs
    // the player under test instead of building the release player.
    RunResult r = RunProgram("/bin/sh", {"-c", "cd \"$1\" && BTWAV_PLAYER=\"$2\" exec \"$3\" --fast --quiet "
                                               "--wav out.wav --report r.json tone.wav",
                                         "sh", dir.Path(), BTWAV_PLAYER_PATH,
                                         std::string(BTWAV_SOURCE_DIR) + "/scripts/play"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"out.wav", "r.json", "tone.wav"}));
    EXPECT_EQ(JsonAt(ReadText(dir.File("r.json")), "/source"), "\"tone.wav\"");
    EXPECT_EQ(ReadAudio(dir.File("out.wav")).samples, ReadAudio(dir.File("tone.wav")).samples);
}

// ---- Debug output and the trace ----------------------------------------------------------

// The platform's waveOutProc page forbids wave calls inside the callback:
// the default refill makes none; --refill callback is told in the report.
TEST(PlayerDiagnosticsTest, TheCallbackRefillIsReportedAsWhatThePlatformForbids)
{
    TempDir dir;
    RunResult byEvent = RunPlayer({"--fast", "--quiet", "--report", dir.File("event.json")});
    ASSERT_EQ(byEvent.exitCode, 0) << byEvent.err;
    const std::string event = ReadText(dir.File("event.json"));
    EXPECT_EQ(JsonAt(event, "/buffers/refill"), "\"event\"");
    EXPECT_EQ(JsonAt(event, "/buffers/wave_calls_from_callback"), "0");

    RunResult r = RunPlayer({"--fast", "--refill", "callback", "--report", dir.File("callback.json")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string callback = ReadText(dir.File("callback.json"));
    EXPECT_NE(JsonAt(callback, "/buffers/wave_calls_from_callback"), "0");
    EXPECT_NE(callback.find("wave calls from inside the wave callback (--refill callback)"), std::string::npos);
    EXPECT_NE(r.out.find("refilled from inside the callback, which the platform forbids"), std::string::npos) << r.out;
}

TEST(PlayerDiagnosticsTest, DebugLinesAndTheMessageTraceAreOffByDefault)
{
    RunResult plain = RunPlayer({"--fast", "--quiet"});
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    EXPECT_EQ(plain.err, "");

    RunResult r = RunPlayer({"--fast", "--quiet", "--debug", "--trace", "--pause", "1s:500ms"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // The debug line, with its time on the virtual clock since the first
    // write (which comes when the link is up, 100 ms after boot).
    EXPECT_NE(r.err.find("[   0.000000 s main    ] debug: InitBtAudioPara: Sample 176400, Timer 20, CacheLen 6144\n"),
              std::string::npos)
        << r.err;
    // Every message of the run, each answered, from the threads that sent them.
    // The player's own format query, the mapper's query before it opens, and the open.
    EXPECT_EQ(Count(r.err, "wave: WODM_OPEN device 0"), 3u);
    EXPECT_EQ(Count(r.err, "wave: WODM_PREPARE"), 4u);
    EXPECT_EQ(Count(r.err, "wave: WODM_UNPREPARE"), 4u);
    EXPECT_EQ(Count(r.err, "wave: WODM_PAUSE device 0 (0x0, 0x0) -> MMSYSERR_NOERROR"), 1u);
    EXPECT_EQ(Count(r.err, "wave: WODM_RESTART device 0 (0x0, 0x0) -> MMSYSERR_NOERROR"), 1u);
    EXPECT_EQ(Count(r.err, "wave: WODM_CLOSE device 0 (0x0, 0x0) -> MMSYSERR_NOERROR"), 1u);
    size_t writes = Count(r.err, "wave: WODM_WRITE");
    EXPECT_EQ(writes, (kBuiltInBytes + 8191) / 8192);
    EXPECT_EQ(Count(r.err, "main    ] wave: WODM_WRITE") + Count(r.err, "timer   ] wave: WODM_WRITE"), writes);
    // Refilled by the main thread, woken by the event: never from inside the
    // callback on the timer thread, which the platform forbids.
    EXPECT_EQ(Count(r.err, "timer   ] wave: WODM_WRITE"), 0u);
    EXPECT_EQ(Count(r.err, "inside the application's wave callback"), 0u);
    EXPECT_NE(r.err.find("s main    ] wave: WODM_PAUSE"), std::string::npos);
    // --pause 1s: one second after the first write, as the option means it.
    EXPECT_NE(r.err.find("[   1.000000 s main    ] wave: WODM_PAUSE"), std::string::npos) << r.err;
    EXPECT_EQ(Count(r.err, "-> no result"), 0u);
}
