// Progress: plain lines on a file, a bar on a terminal, and messages that
// never share the bar's line.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "audio_files.h"
#include "run/progress.h"

using namespace player;
using player_test::TempDir;

// ---- Progress and report ---------------------------------------------------------------

TEST(ProgressTest, PlainLinesAtEachTenthAndABarOnATerminal)
{
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    Progress p(f, false, 2.0);
    for (double s = 0; s <= 2.0; s += 0.05)
        p.Update(s);
    p.Finish(2.0);
    std::rewind(f);
    char line[128];
    int lines = 0;
    std::string last;
    while (std::fgets(line, sizeof line, f)) {
        ++lines;
        last = line;
    }
    std::fclose(f);
    EXPECT_EQ(lines, 11);
    EXPECT_EQ(last, "position 2.00 s of 2.00 s (100%)\n");
    Progress bar(nullptr, true, 4.0);
    EXPECT_EQ(bar.Bar(1.0), "[##########------------------------------]    1.00 / 4.00 s  25%");
}

TEST(ProgressTest, MessagesNeverShareTheBarsLine)
{
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    {
        Progress bar(f, true, 4.0);
        bar.Update(1.0);
        ConsoleLine(f, "a message");   // ends the bar's line first
        bar.Update(1.0);                // the same position is drawn again below it
        EndProgressLine();
        EndProgressLine();              // once only
        ConsoleLine(f, "btwav-play: interrupted");
    }
    std::rewind(f);
    std::string text;
    char buf[256];
    while (std::fgets(buf, sizeof buf, f))
        text += buf;
    std::fclose(f);
    const std::string bar = "[##########------------------------------]    1.00 / 4.00 s  25%";
    EXPECT_EQ(text, "\r" + bar + "\na message\n\r" + bar + "\nbtwav-play: interrupted\n");
}
