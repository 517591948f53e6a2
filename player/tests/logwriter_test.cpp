// The log writer: every piece of text handed over is written, in the order
// it was handed over (each writing thread's own order kept), by the time
// Finish returns; a failing write is reported once, with what the file
// system said, and does not stop the writer from taking the rest.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <string>
#include <thread>
#include <vector>

#include "audio_files.h"
#include "kit/watchdog.h"
#include "report/logwriter.h"
#include "report/stagedfile.h"

using namespace player;
using player_test::ReadText;
using player_test::TempDir;

namespace {

std::string Line(int thread, int i)
{
    return std::to_string(thread) + "," + std::to_string(i) + "\n";
}

TEST(LogWriterTest, EveryLineIsWrittenInOrderByTheTimeFinishReturns)
{
    kit::Watchdog watchdog(std::chrono::seconds(120), "the log writer");
    TempDir dir;
    StagedFile file;
    std::string error;
    ASSERT_TRUE(file.Create(dir.File("log.csv"), &error)) << error;
    std::string expected;
    {
        LogWriter writer(&file);
        for (int i = 0; i < 20000; ++i) {
            std::string text = Line(0, i);
            expected += text;
            writer.Write(&text);
            EXPECT_TRUE(text.empty());   // taken, not copied
        }
        std::string nothing;
        writer.Write(&nothing);   // nothing to write: ignored
        ASSERT_TRUE(writer.Finish(&error)) << error;
    }
    ASSERT_TRUE(file.Commit(&error)) << error;
    EXPECT_EQ(ReadText(dir.File("log.csv")), expected);
}

TEST(LogWriterTest, WritersOnSeveralThreadsEachKeepTheirOrder)
{
    kit::Watchdog watchdog(std::chrono::seconds(120), "the log writer");
    TempDir dir;
    StagedFile file;
    std::string error;
    ASSERT_TRUE(file.Create(dir.File("log.csv"), &error)) << error;
    const int kThreads = 4, kLines = 5000;
    {
        LogWriter writer(&file);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&writer, t] {
                for (int i = 0; i < kLines; ++i) {
                    std::string text = Line(t, i);
                    writer.Write(&text);
                }
            });
        for (std::thread& t : threads)
            t.join();
        ASSERT_TRUE(writer.Finish(&error)) << error;
    }
    ASSERT_TRUE(file.Commit(&error)) << error;
    std::string text = ReadText(dir.File("log.csv"));
    std::vector<int> next(kThreads, 0);
    size_t lines = 0;
    for (size_t at = 0; at < text.size(); ++lines) {
        size_t comma = text.find(',', at), end = text.find('\n', at);
        ASSERT_NE(end, std::string::npos);
        int t = std::stoi(text.substr(at, comma - at)), i = std::stoi(text.substr(comma + 1, end - comma - 1));
        ASSERT_TRUE(t >= 0 && t < kThreads) << text.substr(at, end - at);
        ASSERT_EQ(i, next[t]) << "thread " << t;
        ++next[t];
        at = end + 1;
    }
    EXPECT_EQ(lines, size_t(kThreads) * kLines);
}

TEST(LogWriterTest, AFailingWriteIsReportedAndTheRestIsStillTaken)
{
    kit::Watchdog watchdog(std::chrono::seconds(120), "the log writer");
    TempDir dir;
    StagedFile file;
    std::string error;
    ASSERT_TRUE(file.Create(dir.File("log.csv"), &error)) << error;
    // A file size limit stands for a full disk: writes past it fail with
    // EFBIG instead of raising SIGXFSZ, which is ignored for the test.
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct sigaction ignore {}, was {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &was), 0);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool finished;
    {
        LogWriter writer(&file);
        for (int i = 0; i < 2000; ++i) {
            std::string text = Line(0, i);
            writer.Write(&text);
        }
        finished = writer.Finish(&error);
    }
    setrlimit(RLIMIT_FSIZE, &old);
    sigaction(SIGXFSZ, &was, nullptr);
    EXPECT_FALSE(finished);
    EXPECT_NE(error.find("too large"), std::string::npos) << error;
    file.Abort();
}

}  // namespace
