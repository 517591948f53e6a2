// The player end to end, as a new user meets it: registry files as
// platforms have them, failures that leave a report, and signals.  Every run
// is a child process on the virtual clock.  Where outputs go and the debug
// output are player_output_test.cpp's.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <thread>

#include "audio_files.h"
#include "host/faults.h"
#include "run/options.h"
#include "kit/child.h"
#include "kit/watchdog.h"

using namespace player_test;

// ---- Registry files ---------------------------------------------------------------------------

TEST(PlayerRegistryTest, PlatformFilesMergeInOrderAndTheReportNamesWhatShapedThem)
{
    TempDir dir;
    WriteText(dir.File("platform.reg"),
              "REGEDIT4\n"
              "[HKEY_CURRENT_USER\\ControlPanel\\Sounds]\n"                   // 2
              "\"Events\"=multi_sz:\"a\",\"b\"\n"                              // 3
              "#if BSP_BT_AUDIO\n"                                             // 4
              "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\WAVKELVO\\Params]\n"      // 5
              "\"Timer\"=dword:00000005\n"                                     // 6
              "#endif\n"                                                       // 7
              "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\WAVKELVO\\Params]\n"      // 8
              "\"Timer\"=dword:0000000a\n"                                     // 9
              "\"CacheLen\"=dword:00001000\n");                                // 10
    WriteText(dir.File("second.reg"),
              "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\WAVKELVO\\Params]\n"
              "\"CacheLen\"=dword:00000800\n"
              "\"Sample\"=\"176400\"\n");
    const std::string reg1 = dir.File("platform.reg"), reg2 = dir.File("second.reg");

    RunResult r = RunPlayer({"--fast", "--quiet", "--reg", reg1, "--reg", reg2, "--report", dir.File("r.json")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::string json = ReadText(dir.File("r.json"));
    // The second file's CacheLen wins over the first's; the first's Timer stays.
    EXPECT_EQ(JsonAt(json, "/config_line"), "\"InitBtAudioPara: Sample 176400, Timer 10, CacheLen 2048\"");
    // A branch not taken is no warning: the report and the dump list it.
    EXPECT_EQ(r.err.find("skipped"), std::string::npos) << r.err;
    const nlohmann::ordered_json registry = ParseReport(json)["registry"];
    EXPECT_EQ(registry["skipped"], nlohmann::ordered_json::array({reg1 + ":4-7 (#if BSP_BT_AUDIO not taken)"})) << json;
    EXPECT_EQ(registry["files"], nlohmann::ordered_json::array({reg1, reg2})) << json;
    EXPECT_NE(r.err.find("warning: registry value Drivers\\BuiltIn\\WAVKELVO\\Params\\Sample is a string (REG_SZ), "
                         "not REG_DWORD, of 14 bytes: the driver used 176400 bytes per second"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(Count(json, "(#if BSP_BT_AUDIO not taken)"), 1u);

    // Defined, the branch is taken.
    r = RunPlayer({"--fast", "--quiet", "--reg", reg1, "--define", "BSP_BT_AUDIO", "--report", dir.File("r.json")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(JsonAt(ReadText(dir.File("r.json")), "/config_line"),
              "\"InitBtAudioPara: Sample 176400, Timer 10, CacheLen 4096\"");   // line 9 comes after line 6

    // A 4-byte string is read as a number: said, so the surprise is explained.
    WriteText(dir.File("short.reg"), "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\WAVKELVO\\Params]\n\"Timer\"=\"5\"\n");
    r = RunPlayer({"--fast", "--quiet", "--reg", dir.File("short.reg"), "--report", dir.File("r.json")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("Params\\Timer is a string (REG_SZ), not REG_DWORD, of 4 bytes: the driver used 53 ms"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(JsonAt(ReadText(dir.File("r.json")), "/config_line"),
              "\"InitBtAudioPara: Sample 176400, Timer 53, CacheLen 6144\"");
}

// The board-shaped tree under tests/data/board, read as its image build would.
class PlayerBoardTest : public ::testing::Test {
protected:
    const std::string board_ = std::string(BTWAV_SOURCE_DIR) + "/tests/data/board";
    std::vector<std::string> Args(std::vector<std::string> extra) const
    {
        std::vector<std::string> args = {"--fast",
                                         "--quiet",
                                         "--reg",
                                         board_ + "/FILES/platform.reg",
                                         "--reg",
                                         board_ + "/FILES/project.reg",
                                         "--define",
                                         "_TARGETPLATROOT=" + board_,
                                         "--define",
                                         "CE_MODULES=coredll device waveapi keybd serial",
                                         "--strings",
                                         board_ + "/FILES/INTLTRNS/0409/board.str"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
};

TEST_F(PlayerBoardTest, ParamsSetThroughMacrosReachTheDumpAndTheDriver)
{
    RunResult r = RunPlayer(Args({"--define", "LOCALE=0409", "--registry-dump"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");   // nothing assumed: every component, variable and string was given
    EXPECT_NE(r.out.find("\n[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\WAVKELVO\\Params]\n"
                         "\"CacheLen\"=dword:00001000   ; REG_DWORD 4096\n"
                         "\"Sample\"=dword:0002b110   ; REG_DWORD 176400\n"
                         "\"Timer\"=dword:0000000a   ; REG_DWORD 10\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"FriendlyName\"=\"Bluetooth A2DP Output\"   ; REG_SZ\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(";   " + board_ + "/SRC/DRIVERS/BTWAV/btwav.reg (included at " + board_ +
                         "/FILES/platform.reg:27)\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(";   LOCALE=0409 (--define)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(";   Drivers\\BuiltIn\\WAVKELVO  btwav.dll  no Order  (this driver): WAV2:\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("; the driver printed as it started\n;   InitBtAudioPara: Sample 176400, Timer 10, CacheLen 4096\n"),
              std::string::npos)
        << r.out;
    // The board's components are named in the header, and the device
    // manager's keys left out: the dump loads back to the same registry.
    EXPECT_NE(r.out.find("; components (@CESYSGEN)\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("[HKEY_LOCAL_MACHINE\\Drivers\\Active"), std::string::npos) << r.out;
    ExpectDumpLoadsBack(r.out);

    // The run: the driver's own configuration line says the same, and the
    // report names what shaped the registry.
    TempDir dir;
    r = RunPlayer(Args({"--define", "LOCALE=0409", "--report", dir.File("r.json")}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string json = ReadText(dir.File("r.json"));
    EXPECT_EQ(JsonAt(json, "/config_line"), "\"InitBtAudioPara: Sample 176400, Timer 10, CacheLen 4096\"");
    EXPECT_NE(json.find("\"LOCALE=0409 (--define)\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"LOC_BTWAV_NAME from " + board_ + "/FILES/INTLTRNS/0409/board.str\""), std::string::npos)
        << json;

    // Another language, and the project's cache length through its macro.
    r = RunPlayer(Args({"--define", "LOCALE=0411", "--report", dir.File("r.json")}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(JsonAt(ReadText(dir.File("r.json")), "/config_line"),
              "\"InitBtAudioPara: Sample 176400, Timer 10, CacheLen 6144\"");
    r = RunPlayer(Args({"--define", "LOCALE=0409", "--define", "BTWAV_SHORT_CACHE", "--define", "BTWAV_CACHE=800",
                        "--report", dir.File("r.json")}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(JsonAt(ReadText(dir.File("r.json")), "/config_line"),
              "\"InitBtAudioPara: Sample 176400, Timer 10, CacheLen 2048\"");
}

TEST_F(PlayerBoardTest, ABoardWaveDriverWithTheSameNameIsRefusedAsTheDeviceManagerRefusesIt)
{
    // The board's own driver loads first (Order 10) and takes WAV1:; ours,
    // asking for WAV1: too, is refused.
    TempDir dir;
    RunResult r = RunPlayer(Args({"--define", "LOCALE=0409", "--define", "BSP_BOARD_WAVEDEV", "--define",
                                  "BTWAV_INDEX=1", "--report", dir.File("r.json")}));
    EXPECT_EQ(r.exitCode, 6) << r.err;
    EXPECT_NE(r.err.find("btwav-play: cannot start the driver: Drivers\\BuiltIn\\WAVKELVO: the device name WAV1: "
                         "is taken by Drivers\\BuiltIn\\Audio\n"),
              std::string::npos)
        << r.err;
    r = RunPlayer(Args({"--define", "LOCALE=0409", "--define", "BSP_BOARD_WAVEDEV", "--define", "BTWAV_INDEX=1",
                        "--registry-dump"}));
    EXPECT_NE(r.out.find(";   Drivers\\BuiltIn\\Audio  boardwave.dll  Order 16: WAV1:\n;   "
                         "Drivers\\BuiltIn\\WAVKELVO  btwav.dll  no Order  (this driver): refused, the device name "
                         "WAV1: is taken by Drivers\\BuiltIn\\Audio\n"),
              std::string::npos)
        << r.out;
    ExpectDumpLoadsBack(r.out);

    // With an Order before the board's, ours takes the name and the board's
    // driver is the one refused; the run goes on and says so.
    WriteText(dir.File("first.reg"), "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\WAVKELVO]\n\"Order\"=dword:2\n");
    std::vector<std::string> args = Args({"--define", "LOCALE=0409", "--define", "BSP_BOARD_WAVEDEV", "--define",
                                          "BTWAV_INDEX=1", "--reg", dir.File("first.reg")});
    r = RunPlayer(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("  the device manager refuses Drivers\\BuiltIn\\Audio (boardwave.dll): the device name "
                         "WAV1: is taken by Drivers\\BuiltIn\\WAVKELVO\n"),
              std::string::npos)
        << r.out;
}

TEST(PlayerRegistryTest, FolderAndBrokenFilesAreRegistryErrors)
{
    TempDir dir;
    RunResult r = RunPlayer({"--fast", "--quiet", "--reg", dir.Path()});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_NE(r.err.find("btwav-play: " + dir.Path() + ": is a directory, not a .reg file"), std::string::npos)
        << r.err;

    // A broken second file: the error names it and its line.
    WriteText(dir.File("good.reg"), "[HKEY_LOCAL_MACHINE\\A]\n");
    WriteText(dir.File("bad.reg"), "[HKEY_LOCAL_MACHINE\\A]\n#ifdef X\n\"B\"=dword:1\n");
    r = RunPlayer({"--fast", "--quiet", "--reg", dir.File("good.reg"), "--reg", dir.File("bad.reg")});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_NE(r.err.find(dir.File("bad.reg") + ":2: expected #endif for this #if before the end of the file"),
              std::string::npos)
        << r.err;

    // A string file that is not there, with or without .reg files.
    r = RunPlayer({"--fast", "--quiet", "--strings", dir.File("absent.str")});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_NE(r.err.find("btwav-play: " + dir.File("absent.str") + ": cannot be read"), std::string::npos) << r.err;
}

// A board's French string file in its build machine's code page, found by its
// locale folder: the dump holds the letters, in UTF-8, and names how each
// file was read; --codepage reads a file as the user says.
TEST(PlayerRegistryTest, StringFilesInTheirLocalesCodePageDumpAsUtf8)
{
    TempDir dir;
    ASSERT_EQ(mkdir(dir.File("040C").c_str(), 0755), 0);
    WriteText(dir.File("040C/board.str"), "#define LOC_LPT \"C\xE2" "ble parall\xE8le sur LPT1:\"\r\n");
    WriteText(dir.File("lpt.reg"), "[HKEY_LOCAL_MACHINE\\Drivers\\LPT]\r\n\"FriendlyName\"=LOC_LPT\r\n");
    RunResult r = RunPlayer({"--registry-dump", "--reg", dir.File("lpt.reg"), "--strings", dir.File("040C/board.str")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind("; The registry as the device boots with it (this text is UTF-8), from:\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\"FriendlyName\"=\"Câble parallèle sur LPT1:\"   ; REG_SZ\n"), std::string::npos) << r.out;
    ExpectDumpLoadsBack(r.out);
    EXPECT_NE(r.out.find("; encodings\n;   " + dir.File("040C/board.str") +
                         ": Windows-1252 (not UTF-8; the code page of the locale folder 040C)\n;   " +
                         dir.File("lpt.reg") + ": ASCII\n"),
              std::string::npos)
        << r.out;

    // --codepage wins over the folder; the dump says which was used (1252
    // text read as 932 is valid 932: only the user can tell).
    r = RunPlayer({"--registry-dump", "--codepage", "932", "--reg", dir.File("lpt.reg"), "--strings",
                   dir.File("040C/board.str")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find(";   " + dir.File("040C/board.str") + ": 932 (Shift_JIS) (not UTF-8; the code page of --codepage)\n"),
              std::string::npos)
        << r.out;
    ExpectDumpLoadsBack(r.out);
    r = RunPlayer({"--registry-dump", "--codepage", "1251"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("option --codepage expects 1252, 932 or 65001, not '1251'"), std::string::npos) << r.err;
}

// ---- Failures leave a report -------------------------------------------------------------

TEST(PlayerFailureTest, StalledRunWritesWhatHappenedUpToTheFailure)
{
    // A 10 s timer period: nothing reaches the headset for the stall limit.
    TempDir dir;
    RunResult r = RunPlayer({"--fast", "--quiet", "--set", "Timer=10000", "--report", dir.File("r.json"), "--wav",
                             dir.File("out.wav")});
    EXPECT_EQ(r.exitCode, 6);
    EXPECT_NE(r.err.find("playback stalled"), std::string::npos) << r.err;
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"r.json"});   // the audio output is dropped
    std::string json = ReadText(dir.File("r.json"));
    EXPECT_EQ(JsonAt(json, "/result"), "\"failed\"");
    EXPECT_EQ(JsonAt(json, "/exit_code"), "6");
    EXPECT_EQ(JsonAt(json, "/error").compare(0, 18, "\"playback stalled:"), 0) << json;
    EXPECT_EQ(JsonAt(json, "/bytes_written"), "32768");   // the four buffers
    EXPECT_NE(json.find("opened WAVE_MAPPER"), std::string::npos);
    EXPECT_NE(r.out.find("Stopped playing built-in sound"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("failure         playback stalled"), std::string::npos) << r.out;
}

TEST(PlayerFailureTest, EarlierFailuresAndOutOfBoundsBuffers)
{
    TempDir dir;
    RunResult r = RunPlayer({"--fast", "--report", dir.File("r.json"), dir.File("absent.wav")});
    EXPECT_EQ(r.exitCode, 3);
    std::string json = ReadText(dir.File("r.json"));
    EXPECT_EQ(JsonAt(json, "/result"), "\"failed\"");
    EXPECT_EQ(JsonAt(json, "/exit_code"), "3");
    EXPECT_NE(JsonAt(json, "/error").find("cannot open"), std::string::npos) << json;

    // A command-line error is refused before anything happens: no report.
    r = RunPlayer({"--fast", "--buffers", "64", "--buffer-size", "64M", "--report", dir.File("r2.json")});
    EXPECT_EQ(r.exitCode, 2);
    r = RunPlayer({"--fast", "--buffers", "64", "--buffer-size", "67108864", "--report", dir.File("r2.json")});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("options --buffers 64 and --buffer-size 67108864 ask for 4294967296 bytes of buffers; "
                         "at most 268435456 (256 MiB) in all"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"r.json"});
}

TEST(PlayerFailureTest, AnOutputThatFailsAtTheEndLeavesOneReportAndNoOtherOutput)
{
    // The special file takes its copy at the end and fails there: the report
    // is one JSON document, lists nothing twice, and the regular file that
    // would have been renamed into place is not.
    TempDir dir;
    RunResult r = RunPlayer({"--fast", "--length", "1s", "--wav", "/dev/full", "--heard", dir.File("heard.wav"),
                             "--report", dir.File("r.json")});
    EXPECT_EQ(r.exitCode, 5) << r.err;
    std::string json = ReadText(dir.File("r.json"));
    EXPECT_EQ(Count(json, "\"result\""), 1u) << json;
    EXPECT_EQ(JsonAt(json, "/result"), "\"failed\"");
    EXPECT_EQ(Count(r.out, "wrote"), 1u) << r.out;
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"r.json"});

    // The same with the failing output last in the table and a good one first.
    TempDir dir2;
    r = RunPlayer({"--fast", "--length", "1s", "--heard", "/dev/full", "--wav", dir2.File("good.wav")});
    EXPECT_EQ(r.exitCode, 5) << r.err;
    EXPECT_TRUE(dir2.Entries().empty());
}

TEST(PlayerFailureTest, ATimerFaultOutsideAnyHandlerEndsTheRunWithItsReport)
{
    // The tick's timeKillEvent faults on the timer thread, where no handler
    // is: on the device the process ends.  Here the run ends with its
    // report, and no output or hidden temporary is left.  The callback's
    // refill stops the timer from inside the tick; the event's refill leaves
    // it to the close on the main thread, inside the driver's guard.
    TempDir dir;
    RunResult r = RunPlayer({"--fast", "--quiet", "--refill", "callback", "--length", "1s", "--fault",
                             "timeraccess@1", "--wav", dir.File("out.wav"), "--packets", dir.File("p.csv"), "--report",
                             dir.File("r.json")});
    EXPECT_EQ(r.exitCode, 6) << r.err;
    EXPECT_NE(r.err.find("the timer thread met an access violation outside any handler"), std::string::npos) << r.err;
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"r.json"});
    std::string json = ReadText(dir.File("r.json"));
    EXPECT_EQ(JsonAt(json, "/result"), "\"failed\"");
    EXPECT_EQ(JsonAt(json, "/exit_code"), "6");
    EXPECT_NE(r.out.find("Stopped playing built-in sound"), std::string::npos) << r.out;
}

namespace {

// The help's fault list, from "Faults:" to the next section's title.
std::string FaultSection(const std::string& help)
{
    size_t from = help.find("\nFaults:\n");
    if (from == std::string::npos)
        return std::string();
    // `to` is at the end of a line; a section's title starts its line,
    // without the options' indent.
    size_t to = from + 8;
    while (to + 1 < help.size() && help[to + 1] == ' ') {
        size_t eol = help.find('\n', to + 1);
        to = eol == std::string::npos ? help.size() : eol;
    }
    return help.substr(from, to - from);
}

// `name` as a word of its own in `text`: not inside another word
// (timeraccess, --late-ticks), nor a part of an option's name.
bool HasWord(const std::string& text, const std::string& name)
{
    auto isWordChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'; };
    for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
        bool startOk = at == 0 || !isWordChar(text[at - 1]);
        bool endOk = at + name.size() == text.size() || !isWordChar(text[at + name.size()]);
        if (startOk && endOk)
            return true;
    }
    return false;
}

// `text` with each run of spaces and line breaks as one space.
std::string Flat(const std::string& text)
{
    std::string out;
    for (char c : text)
        if (!(c == ' ' || c == '\n') || (!out.empty() && out.back() != ' '))
            out += c == '\n' ? ' ' : c;
    return out;
}

// What the help's exit status list says of `code`: "1 played but not
// bit-exact"; "" when the table has no such code.
std::string DocumentedExit(int code)
{
    for (const player::ExitCodeInfo& e : player::kExitCodes)
        if (e.code == code)
            return std::to_string(code) + " " + e.meaning;
    return "";
}

}  // namespace

TEST(PlayerFailureTest, EveryFaultIsInTheHelpAndSurvivable)
{
    const std::string help = RunPlayer({"--help"}).out;
    const std::string section = FaultSection(help);
    ASSERT_FALSE(section.empty());
    EXPECT_FALSE(HasWord("timeraccess", "timer"));   // the matcher itself
    EXPECT_FALSE(HasWord("--late-ticks", "late"));
    for (unsigned i = 0; i < host::kFaultCount; ++i) {
        const host::FaultInfo& info = host::Describe(static_cast<host::Fault>(i));
        const std::string name = info.spelling;
        EXPECT_TRUE(HasWord(section, name)) << name << " is not in the help's fault list:\n" << section;
        ASSERT_NE(std::string(info.help), "") << name;
        EXPECT_NE(Flat(section).find(Flat(info.help)), std::string::npos) << name << ": its help is not in\n" << section;
        // Every fault is survived: the run ends with its report and no file
        // left behind.  A refused post and a lost packet are the faults
        // whose audio never reaches the headset: posts refused or lost.
        TempDir dir;
        RunResult r = RunPlayer({"--fast", "--quiet", "--length", "1s", "--fault", name + "@2", "--wav",
                                 dir.File("out.wav"), "--report", dir.File("r.json")});
        const bool missing = info.fault == host::Fault::RefusePost || info.fault == host::Fault::LosePacket;
        const int expected = missing ? player::kExitPostsLost : player::kExitOk;
        // The help documents that outcome under its exact code.
        ASSERT_FALSE(DocumentedExit(expected).empty());
        EXPECT_NE(Flat(help).find(DocumentedExit(expected) + ","), std::string::npos) << DocumentedExit(expected);
        EXPECT_EQ(r.exitCode, expected) << name << ": " << r.err;
        EXPECT_FALSE(HasHiddenFile(dir)) << name;
        std::string json = ReadText(dir.File("r.json"));
        EXPECT_EQ(Count(json, "\"result\""), 1u) << name;
        EXPECT_EQ(JsonAt(json, "/exit_code"), std::to_string(expected)) << name;
    }
}

TEST(PlayerFailureTest, InputAndOptionMistakesSayWhatIsWrong)
{
    TempDir dir;
    RunResult r = RunPlayer({"--fast", dir.Path()});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("is a directory"), std::string::npos) << r.err;

    r = RunPlayer({"--fast", "--quiet", "--no-headset", "--length", "2m", "--report", dir.File("r.json")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(JsonAt(ReadText(dir.File("r.json")), "/audio_seconds"), "120");
    r = RunPlayer({"--fast", "--length", "10 minutes"});
    EXPECT_EQ(r.exitCode, 2);
    for (const char* unit : {"ms", "s", "m (or min)", "h"})
        EXPECT_NE(r.err.find(unit), std::string::npos) << r.err;

    // Amounts past what the fault stands for are refused.
    for (const char* fault : {"slowpost:100000", "late:-5", "drift:2000000"}) {
        r = RunPlayer({"--fast", "--fault", fault});
        EXPECT_EQ(r.exitCode, 2) << fault;
        EXPECT_NE(r.err.find("the amount of"), std::string::npos) << r.err;
    }
}

class PlayerSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(PlayerSignalTest, StopsCleanlyWithAReport)
{
    // A long pause on the real clock keeps the run going (in fast mode the
    // virtual clock would step over it); the signal comes once it began.
    TempDir dir, io;
    Background player(io, {"--quiet", "--trace", "--pause", "100ms:20000s", "--wav", dir.File("out.wav"),
                           "--sbc", dir.File("out.sbc"), "--report", dir.File("r.json")});
    ASSERT_TRUE(player.WaitForError("WODM_PAUSE")) << player.Errors();
    int code = player.Stop(GetParam());
    EXPECT_EQ(code, 128 + GetParam()) << player.Errors();
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"r.json"});   // no partial output, hidden or not
    std::string json = ReadText(dir.File("r.json"));
    EXPECT_EQ(JsonAt(json, "/exit_code"), std::to_string(128 + GetParam()));
    EXPECT_NE(json.find("pause for 20000000 ms"), std::string::npos) << json;
    EXPECT_GT(std::stoul(JsonAt(json, "/bytes_received")), 0u);
    const char* expected = GetParam() == SIGINT    ? "btwav-play: interrupted\n"
                           : GetParam() == SIGTERM ? "btwav-play: stopped by SIGTERM\n"
                                                   : "btwav-play: stopped by SIGHUP\n";
    std::string err = player.Errors();
    EXPECT_EQ(err.substr(err.size() - std::strlen(expected)), expected);
}

INSTANTIATE_TEST_SUITE_P(Signals, PlayerSignalTest, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& i) {
                             return i.param == SIGINT ? "Int" : i.param == SIGTERM ? "Term" : "Hup";
                         });

TEST(PlayerSignalTest, AKilledRunLeavesNoFileBehind)
{
    // SIGKILL gives the player no chance to clean up: its outputs are staged
    // in unnamed files, which vanish with the process.
    TempDir dir, io;
    Background player(io, {"--quiet", "--trace", "--pause", "100ms:20000s", "--wav", dir.File("out.wav"),
                           "--sbc", dir.File("out.sbc"), "--heard", dir.File("heard.wav"), "--packets",
                           dir.File("p.csv"), "--report", dir.File("r.json")});
    ASSERT_TRUE(player.WaitForError("WODM_PAUSE")) << player.Errors();
    EXPECT_EQ(player.Stop(SIGKILL), 128 + SIGKILL);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{});
}
