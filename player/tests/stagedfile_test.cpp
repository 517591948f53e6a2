// Staged output files: they appear only on commit; links are followed, FIFOs and
// other special files are written in place.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/wait.h>

#include <algorithm>
#include <string>

#include "audio_files.h"
#include "kit/watchdog.h"
#include "report/stagedfile.h"

using namespace player;
using player_test::FifoReader;
using player_test::TempDir;

TEST(StagedFileTest, AppearsOnlyOnCommit)
{
    TempDir dir;
    std::string error;
    {
        StagedFile f;
        ASSERT_TRUE(f.Create(dir.File("a.txt"), &error)) << error;
        ASSERT_TRUE(f.WriteAll("hello", &error));
        // Nothing under the name yet: an unnamed file where the file system
        // has them (no entry at all), else a hidden partial of this process.
        for (const std::string& e : dir.Entries())
            EXPECT_EQ(e.rfind(".a.txt.partial-" + std::to_string(getpid()) + "-", 0), 0u) << e;
    }
    EXPECT_TRUE(dir.Entries().empty());   // dropped without commit
    StagedFile f;
    ASSERT_TRUE(f.Create(dir.File("a.txt"), &error));
    ASSERT_TRUE(f.WriteAll("hello", &error));
    ASSERT_TRUE(f.Commit(&error)) << error;
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(player_test::ReadText(dir.File("a.txt")), "hello");

    StagedFile g;
    EXPECT_FALSE(g.Create(dir.File("missing/b.txt"), &error));
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
}

namespace {

bool IsLink(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace

TEST(StagedFileTest, LinksAreFollowedToTheirTargetWhichIsReplaced)
{
    TempDir dir;
    std::string error;
    ASSERT_EQ(mkdir(dir.File("real").c_str(), 0755), 0);
    player_test::WriteText(dir.File("real/t.txt"), "old");
    ASSERT_EQ(chmod(dir.File("real/t.txt").c_str(), 0640), 0);
    // A chain: relative link to a relative link in another folder.
    ASSERT_EQ(symlink("real/hop", dir.File("link").c_str()), 0);
    ASSERT_EQ(symlink("t.txt", dir.File("real/hop").c_str()), 0);
    {
        StagedFile f;
        ASSERT_TRUE(f.Create(dir.File("link"), &error)) << error;
        ASSERT_TRUE(f.WriteAll("new", &error));
        EXPECT_EQ(player_test::ReadText(dir.File("real/t.txt")), "old");   // not before the commit
        ASSERT_TRUE(f.Commit(&error)) << error;
    }
    EXPECT_TRUE(IsLink(dir.File("link")));
    EXPECT_TRUE(IsLink(dir.File("real/hop")));
    EXPECT_EQ(player_test::ReadText(dir.File("real/t.txt")), "new");
    struct stat st;
    ASSERT_EQ(stat(dir.File("real/t.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);   // the replaced file keeps its permission bits
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"link", "real"}));

    // A dangling link: its target is created, the link stays.
    ASSERT_EQ(symlink(dir.File("real/new.txt").c_str(), dir.File("dangling").c_str()), 0);
    StagedFile g;
    ASSERT_TRUE(g.Create(dir.File("dangling"), &error)) << error;
    ASSERT_TRUE(g.WriteAll("created", &error));
    ASSERT_TRUE(g.Commit(&error)) << error;
    EXPECT_TRUE(IsLink(dir.File("dangling")));
    EXPECT_EQ(player_test::ReadText(dir.File("real/new.txt")), "created");

    // A link to a folder, and a loop of links, are refused.
    ASSERT_EQ(symlink("real", dir.File("folder").c_str()), 0);
    StagedFile h;
    EXPECT_FALSE(h.Create(dir.File("folder"), &error));
    EXPECT_EQ(error, "cannot write '" + dir.File("folder") + "': it is a directory");
    ASSERT_EQ(symlink("loop2", dir.File("loop1").c_str()), 0);
    ASSERT_EQ(symlink("loop1", dir.File("loop2").c_str()), 0);
    EXPECT_FALSE(h.Create(dir.File("loop1"), &error));
    EXPECT_NE(error.find("Too many levels of symbolic links"), std::string::npos) << error;
}

TEST(StagedFileTest, FifoIsWrittenInPlaceAndOnlyOnCommit)
{
    kit::Watchdog watchdog(std::chrono::seconds(120), "the FIFO's reader");
    TempDir dir;
    std::string fifo = dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string error;
    {
        FifoReader reader(fifo);
        StagedFile f;
        ASSERT_TRUE(f.Create(fifo, &error)) << error;   // waits for the reader
        ASSERT_TRUE(f.WriteAll("whole ", &error));
        // The staged data is shared with a duplicate, as libsndfile gets it.
        int dup = f.ReleaseFd();
        ASSERT_GE(dup, 0);
        ASSERT_EQ(write(dup, "output", 6), 6);
        close(dup);
        ASSERT_TRUE(f.Commit(&error)) << error;
        EXPECT_EQ(reader.Finish(), "whole output");
    }
    {
        // A failed run: the reader gets nothing, not a torn file.
        FifoReader reader(fifo);
        StagedFile f;
        ASSERT_TRUE(f.Create(fifo, &error)) << error;
        ASSERT_TRUE(f.WriteAll("partial", &error));
        f.Abort();
        EXPECT_EQ(reader.Finish(), "");
    }
    struct stat st;
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));   // still the FIFO, never replaced
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"fifo"});
}

TEST(StagedFileTest, StalePartialsOfDeadRunsAreRemovedAndNamedLiveOnesKept)
{
    TempDir dir;
    std::string error;
    // A process that has ended: its pid names nobody now.
    pid_t dead = fork();
    ASSERT_GE(dead, 0);
    if (dead == 0)
        _exit(0);
    ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
    const std::string deadPartial = ".a.wav.partial-" + std::to_string(dead) + "-Ab12Cd";
    const std::string livePartial = ".a.wav.partial-" + std::to_string(getpid()) + "-Zz9yX8";
    const std::string olderForm = ".a.wav.partial-Qw3rTy";
    const std::string otherName = ".b.wav.partial-" + std::to_string(dead) + "-Ab12Cd";
    for (const std::string& n : {deadPartial, livePartial, olderForm, otherName, std::string(".a.wav.partial-1-x")})
        player_test::WriteText(dir.File(n), "stale");

    StagedFile f;
    ASSERT_TRUE(f.Create(dir.File("a.wav"), &error)) << error;
    std::vector<std::string> removed = f.Removed();
    std::sort(removed.begin(), removed.end());
    std::vector<std::string> expected{dir.File(deadPartial), dir.File(olderForm)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(removed, expected);
    // The live writer's file, another name's and a name not of the form stay.
    std::vector<std::string> left = dir.Entries();
    std::vector<std::string> kept{".a.wav.partial-1-x", livePartial, otherName};
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(left, kept);
    ASSERT_TRUE(f.WriteAll("new", &error));
    ASSERT_TRUE(f.Commit(&error)) << error;
    EXPECT_EQ(player_test::ReadText(dir.File("a.wav")), "new");
    EXPECT_EQ(dir.Entries().size(), kept.size() + 1);
}
