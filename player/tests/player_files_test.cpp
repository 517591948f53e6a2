// The player's files as a careless or hostile user names them, end to end:
// an output that reaches the input or another output however it is named, a
// file the user may not write, WAV outputs past what a WAV file holds,
// signals while a FIFO input waits for its writer and while the outputs are
// put in place, and inputs that are pipes.  Every run is a child process on
// the virtual clock.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "audio_files.h"
#include "kit/watchdog.h"

using namespace player_test;

namespace {

const int64_t kBuiltInFrames = 132300;   // the built-in sound: 3 s at 44.1 kHz

// Runs the player from `dir` with the shell, so that names are relative.
RunResult RunIn(const TempDir& dir, const std::string& args)
{
    return RunProgram("/bin/sh", {"-c", "cd \"$1\" && exec \"$2\" " + args, "sh", dir.Path(), BTWAV_PLAYER_PATH});
}

// Stereo noise with a tone, in [-1, 1]: every bit of every sample varies.
std::vector<double> Music(size_t frames)
{
    std::vector<double> s(frames * 2);
    uint32_t x = 12345;
    for (size_t i = 0; i < s.size(); ++i) {
        x = x * 1664525u + 1013904223u;
        s[i] = 0.4 * std::sin(0.03 * static_cast<double>(i / 2)) + 0.1 * (static_cast<double>(x >> 8) / (1u << 24) - 0.5);
    }
    return s;
}

// An MP3 file as many encoders write one: an ID3v2 tag (here 20 KB of it, as
// cover art makes), then constant-rate frames with no Xing or Info frame to
// count them, so libsndfile's frame count is its estimate from the file's
// size, tag included.
void WriteTaggedMp3(const std::string& path, size_t frames)
{
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    int mode = SF_BITRATE_MODE_CONSTANT;
    sf_command(f, SFC_SET_BITRATE_MODE, &mode, sizeof mode);   // the Info frame below shows it took
    const std::vector<double> music = Music(frames);
    const sf_count_t written = sf_writef_double(f, music.data(), static_cast<sf_count_t>(frames));
    sf_close(f);
    ASSERT_EQ(written, static_cast<sf_count_t>(frames));
    std::string mp3 = ReadText(path);
    // The first frame is the encoder's Info frame: its length from its
    // header (MPEG-1 layer III: 144 x bit rate / sample rate, plus padding).
    ASSERT_GE(mp3.size(), 40u);
    ASSERT_EQ(mp3.substr(36, 4), "Info");
    static const int kKbps[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    static const int kRates[] = {44100, 48000, 32000};
    const uint8_t b2 = static_cast<uint8_t>(mp3[2]);
    const size_t frame = 144 * kKbps[b2 >> 4] * 1000 / kRates[(b2 >> 2) & 3] + ((b2 >> 1) & 1);
    std::string body = "TIT2" + std::string("\0\0\0\6\0\0\0Title", 12) + std::string(20000, '\0');
    std::string tag = std::string("ID3\3\0\0", 6);
    for (int shift : {21, 14, 7, 0})
        tag += static_cast<char>((body.size() >> shift) & 0x7F);
    WriteText(path, tag + body + mp3.substr(frame));
}

}  // namespace

// ---- Outputs judged by the file they reach --------------------------------------------------

TEST(PlayerFilesTest, AnOutputThatReachesTheInputOrAnotherOutputIsRefusedBeforeAnythingIsWritten)
{
    TempDir dir;
    WriteWav(dir.File("song.wav"), Sine(4410, 44100, 2, 440, 0.5));
    const std::string song = ReadText(dir.File("song.wav"));
    ASSERT_EQ(symlink("song.wav", dir.File("link.wav").c_str()), 0);
    ASSERT_EQ(link(dir.File("song.wav").c_str(), dir.File("hard.wav").c_str()), 0);
    ASSERT_EQ(symlink("new.wav", dir.File("dangling.wav").c_str()), 0);   // a file not there yet
    const std::vector<std::string> entries = dir.Entries();

    struct Case {
        std::string args, message;
    } cases[] = {
        {"--wav ./song.wav song.wav", "output './song.wav' (--wav) would overwrite the input file 'song.wav'"},
        {"--heard link.wav song.wav", "output 'link.wav' (--heard) would overwrite the input file 'song.wav'"},
        {"--report hard.wav ./song.wav", "output 'hard.wav' (--report) would overwrite the input file './song.wav'"},
        {"--wav o.wav --heard ./o.wav", "'o.wav' (--wav) and './o.wav' (--heard) are the same file; each output "
                                        "needs its own"},
        {"--sbc dangling.wav --plot new.wav", "'dangling.wav' (--sbc) and 'new.wav' (--plot) are the same file"},
        {"--packets x.csv --plot x.csv", "'x.csv' is named for two outputs (--packets and --plot)"},
    };
    for (const Case& c : cases) {
        RunResult r = RunIn(dir, "--fast --quiet " + c.args);
        EXPECT_EQ(r.exitCode, 2) << c.args << ": " << r.err;
        EXPECT_NE(r.err.find("btwav-play: " + c.message), std::string::npos) << c.args << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.args;   // refused before the run: no report
        EXPECT_EQ(dir.Entries(), entries) << c.args;
        EXPECT_EQ(ReadText(dir.File("song.wav")), song) << c.args;
    }

    // A special file is written in place, never replaced: it may be named twice.
    RunResult r = RunPlayer({"--fast", "--quiet", "--wav", "/dev/null", "--heard", "/dev/null"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

TEST(PlayerFilesTest, AFileTheUserMayNotWriteIsRefusedAsOpeningItWould)
{
    // The folder lets anyone make and rename files in it, so only the file's
    // own permission protects it: a rename would replace it all the same.
    TempDir dir;
    ASSERT_EQ(chmod(dir.Path().c_str(), 0777), 0);
    const std::string theirs = dir.File("theirs.wav");
    WriteText(theirs, "not yours");
    ASSERT_EQ(chmod(theirs.c_str(), 0444), 0);
    RunResult r;
    if (geteuid() == 0) {
        // Root may write any file: the player runs as nobody, to whom the
        // file is another owner's and read-only.
        if (access("/usr/bin/setpriv", X_OK) != 0)
            GTEST_SKIP() << "running as root without setpriv, the player cannot run as another user";
        const std::vector<std::string> asNobody = {"--reuid=65534", "--regid=65534", "--clear-groups",
                                                   BTWAV_PLAYER_PATH};
        std::vector<std::string> help = asNobody;
        help.push_back("--help");
        if (RunProgram("/usr/bin/setpriv", help).exitCode != 0)
            GTEST_SKIP() << "nobody cannot run the player where it was built (a folder closed to other users)";
        std::vector<std::string> args = asNobody;
        args.insert(args.end(), {"--fast", "--quiet", "--wav", theirs});
        r = RunProgram("/usr/bin/setpriv", args);
    } else {
        // Not root: the file is the user's own, made read-only (another
        // owner's file cannot be made without root); an open is refused the same.
        r = RunPlayer({"--fast", "--quiet", "--wav", theirs});
    }
    EXPECT_EQ(r.exitCode, 5) << r.err;
    EXPECT_NE(r.err.find("btwav-play: cannot write '" + theirs + "': Permission denied"), std::string::npos) << r.err;
    EXPECT_EQ(ReadText(theirs), "not yours");
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"theirs.wav"});
}

// ---- WAV files past 4 GiB ----------------------------------------------------------------------

TEST(PlayerFilesTest, AWavOutputPastTheLimitIsRf64ThatLibsndfileAndSoxReadWhole)
{
    TempDir dir;
    // BTWAV_WAV_LIMIT lowers the 4 GiB a WAV file holds to 400,000 bytes,
    // less than the built-in sound's 529,200.
    RunResult r = RunProgram("/usr/bin/env", {"BTWAV_WAV_LIMIT=400000", BTWAV_PLAYER_PATH, "--fast", "--quiet",
                                              "--wav", dir.File("big.wav"), "--report", dir.File("r.json")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadText(dir.File("big.wav")).substr(0, 4), "RF64");
    EXPECT_NE(JsonAt(ReadText(dir.File("r.json")), "/notes/0").find("'" + dir.File("big.wav") + "' is an RF64 file"),
              std::string::npos);

    SF_INFO info{};
    SNDFILE* f = sf_open(dir.File("big.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    sf_close(f);
    EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_RF64);
    EXPECT_EQ(info.frames, kBuiltInFrames);
    // The same audio as a WAV file of a run under the limit holds.
    r = RunPlayer({"--fast", "--quiet", "--wav", dir.File("plain.wav")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadText(dir.File("plain.wav")).substr(0, 16), std::string("RIFF\x54\x13\x08\0WAVEfmt ", 16));
    EXPECT_EQ(ReadAudio(dir.File("big.wav")).samples, ReadAudio(dir.File("plain.wav")).samples);

    if (std::string(SOX_PATH).empty())
        GTEST_SKIP() << "sox is not installed (scripts/setup installs it)";
    RunResult sox = RunProgram(SOX_PATH, {"--i", "-s", dir.File("big.wav")});
    EXPECT_EQ(sox.exitCode, 0) << sox.err;
    EXPECT_EQ(sox.out, std::to_string(kBuiltInFrames) + "\n");
    sox = RunProgram(SOX_PATH, {dir.File("big.wav"), "-t", "raw", dir.File("big.raw")});
    EXPECT_EQ(sox.exitCode, 0) << sox.err;
    const std::string plain = ReadText(dir.File("plain.wav"));
    EXPECT_EQ(ReadText(dir.File("big.raw")), plain.substr(44)) << "sox's samples differ";
}

// ---- Signals at the start and at the end -----------------------------------------------------

TEST(PlayerFilesTest, ASignalWhileAFifoInputWaitsForItsWriterEndsTheRun)
{
    TempDir dir, io;
    ASSERT_EQ(mkfifo(dir.File("in.wav").c_str(), 0600), 0);
    Background player(io, {"--fast", "--report", dir.File("r.json"), dir.File("in.wav")});
    ASSERT_TRUE(player.WaitForError("btwav-play: waiting for '" + dir.File("in.wav") + "' to be written"))
        << player.Errors();
    EXPECT_EQ(player.Stop(SIGTERM), 128 + SIGTERM) << player.Errors();
    const std::string json = ReadText(dir.File("r.json"));
    EXPECT_EQ(JsonAt(json, "/exit_code"), std::to_string(128 + SIGTERM));
    EXPECT_EQ(JsonAt(json, "/error"), "\"stopped by SIGTERM\"");
}

TEST(PlayerFilesTest, ASignalWhileTheOutputsArePutInPlaceLeavesNone)
{
    // A FIFO gets its data only when the outputs are put in place; the WAV
    // file is more than the pipe holds, so the player waits there for this
    // reader, which reads only once the signal is sent.
    kit::Watchdog watchdog(std::chrono::seconds(600), "the commit's FIFO");
    TempDir dir, io;
    ASSERT_EQ(mkfifo(dir.File("out.wav").c_str(), 0600), 0);
    int fd = open(dir.File("out.wav").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    Background player(io, {"--fast", "--quiet", "--wav", dir.File("out.wav"), "--heard", dir.File("heard.wav"),
                           "--report", dir.File("r.json")});
    struct pollfd p = {fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 300000), 1) << player.Errors();
    player.Signal(SIGTERM);
    // A player that went on would now finish its commit.
    fcntl(fd, F_SETFL, 0);
    std::thread drain([fd] {
        char block[65536];
        while (read(fd, block, sizeof block) > 0) {
        }
    });
    const int code = player.Wait();
    drain.join();
    close(fd);
    EXPECT_EQ(code, 128 + SIGTERM) << player.Errors();
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"out.wav", "r.json"}));   // heard.wav not put in place
    const std::string json = ReadText(dir.File("r.json"));
    EXPECT_EQ(JsonAt(json, "/result"), "\"failed\"");
    EXPECT_EQ(JsonAt(json, "/exit_code"), std::to_string(128 + SIGTERM));
}

// ---- Inputs that are pipes -------------------------------------------------------------------

TEST(PlayerFilesTest, FlacAndMp3ThroughAFifoPlayAsTheFileItselfDoes)
{
    kit::Watchdog watchdog(std::chrono::seconds(600), "the input FIFO's writer");
    const struct {
        const char* name;
        int format;
        const char* bitExact;   // MP3 decodes to float, which the wave mapper converts: not judged
    } kinds[] = {{"in.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, "null"},
                 {"in.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, "true"}};
    for (const auto& k : kinds) {
        TempDir dir;
        WriteSound(dir.File(k.name), k.format, 44100, 2, Music(66150));
        Played direct = Play(dir, dir.File(k.name));
        ASSERT_EQ(mkfifo(dir.File("pipe").c_str(), 0600), 0);
        FifoWriter writer(dir.File("pipe"), ReadText(dir.File(k.name)));
        RunResult r = RunPlayer({"--fast", "--quiet", "--wav", dir.File("piped.wav"), "--report",
                                 dir.File("piped.json"), dir.File("pipe")});
        writer.Finish();
        EXPECT_EQ(r.exitCode, 0) << k.name << ": " << r.err;
        if (r.exitCode != 0)
            continue;
        EXPECT_EQ(JsonAt(ReadText(dir.File("piped.json")), "/bit_exact"), k.bitExact) << k.name;
        EXPECT_EQ(ReadAudio(dir.File("piped.wav")).samples, direct.wav.samples) << k.name;
        EXPECT_EQ(direct.wav.Frames(), 66150u) << k.name;
    }
}

TEST(PlayerFilesTest, AnMp3FilesEstimatedLengthIsNoTruncation)
{
    TempDir dir;
    WriteTaggedMp3(dir.File("tagged.mp3"), 44100);
    Played p = Play(dir, dir.File("tagged.mp3"));
    EXPECT_EQ(p.run.err.find("truncated"), std::string::npos) << p.run.err;
    EXPECT_EQ(JsonAt(p.json, "/notes"), "[]");
    EXPECT_EQ(JsonAt(p.json, "/bit_exact"), "null");   // decoded to float, converted by the mapper
    EXPECT_EQ(p.run.exitCode, 0);
    EXPECT_GT(p.wav.Frames(), 44100u);
}
