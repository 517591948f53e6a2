// The run's output files as a set: none appears before the run ends well,
// then all of them, whole, and the report last, listing them; a failed run
// leaves its report alone; a name given twice, or over the input, is refused
// before any file is made; a killed run's leftovers are removed and named.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "audio_files.h"
#include "report/outputset.h"
#include "report/report.h"
#include "run/failure.h"
#include "run/options.h"

using namespace player;
using player_test::ReadAudio;
using player_test::ReadText;
using player_test::TempDir;

namespace {

// The names the options give, none of them visible in the folder.
void ExpectNoneVisible(const TempDir& dir)
{
    for (const std::string& e : dir.Entries())
        EXPECT_EQ(e[0], '.') << e;
}

Options FourOutputs(const TempDir& dir)
{
    Options o;
    o.wavOut = dir.File("out.wav");
    o.csvOut = dir.File("p.csv");
    o.plotOut = dir.File("plot.svg");
    o.jsonOut = dir.File("r.json");
    return o;
}

// 1,000 frames of 16-bit stereo, each sample its own index.
std::vector<int16_t> Frames()
{
    std::vector<int16_t> s(2000);
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<int16_t>(i);
    return s;
}

// The Failure that Create throws; code -1 when it throws none.
Failure CreateFails(OutputSet* set, const Options& o)
{
    std::vector<std::string> warnings;
    try {
        set->Create(o, &warnings);
    } catch (const Failure& f) {
        return f;
    }
    return Failure{-1, ""};
}

TEST(OutputSetTest, NothingAppearsUntilCommitThenEveryFileWholeAndTheReportLast)
{
    TempDir dir;
    Options o = FourOutputs(dir);
    OutputSet set;
    std::vector<std::string> warnings;
    set.Create(o, &warnings);
    EXPECT_TRUE(warnings.empty());
    const std::vector<int16_t> audio = Frames();
    // Split in the middle of a frame, as packets may be.
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(audio.data());
    set.Received()->Take(bytes, 1001);
    set.Received()->Take(bytes + 1001, audio.size() * 2 - 1001);
    ExpectNoneVisible(dir);

    Report r;
    set.Commit(&r);
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"out.wav", "p.csv", "plot.svg", "r.json"}));
    EXPECT_EQ(r.outputs, (std::vector<std::string>{o.wavOut, o.csvOut, o.plotOut, o.jsonOut}));
    EXPECT_EQ(ReadAudio(o.wavOut).samples, audio);
    EXPECT_EQ(ReadText(o.csvOut), kPacketLogHeader);   // no packet was logged
    EXPECT_NE(ReadText(o.plotOut).find("<svg"), std::string::npos);
    // The report names every output, itself included.
    const std::string json = ReadText(o.jsonOut);
    for (const std::string& path : r.outputs)
        EXPECT_NE(json.find("\"" + path + "\""), std::string::npos) << path;
}

TEST(OutputSetTest, AFailedRunLeavesItsReportAndNothingElse)
{
    TempDir dir;
    Options o = FourOutputs(dir);
    {
        OutputSet set;
        std::vector<std::string> warnings;
        set.Create(o, &warnings);
        const std::vector<int16_t> audio = Frames();
        set.Received()->Take(reinterpret_cast<const uint8_t*>(audio.data()), audio.size() * 2);
        Report r;
        set.Drop(&r, o.jsonOut);
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"r.json"});
        EXPECT_EQ(r.outputs, std::vector<std::string>{o.jsonOut});
    }
    // Without a report named (or none to write), nothing at all is left.
    TempDir other;
    Options p = FourOutputs(other);
    OutputSet set;
    std::vector<std::string> warnings;
    set.Create(p, &warnings);
    set.Drop(nullptr, p.jsonOut);
    EXPECT_TRUE(other.Entries().empty());
}

TEST(OutputSetTest, ANameGivenTwiceOrOverTheInputIsRefusedBeforeAnyFileIsMade)
{
    TempDir dir;
    Options twice = FourOutputs(dir);
    twice.heardOut = twice.csvOut;
    OutputSet a;
    Failure f = CreateFails(&a, twice);
    EXPECT_EQ(f.code, kExitUsage);
    EXPECT_EQ(f.message, "'" + twice.csvOut + "' is named for two outputs (--packets and --heard)");

    Options overInput = FourOutputs(dir);
    overInput.input = overInput.wavOut;
    OutputSet b;
    f = CreateFails(&b, overInput);
    EXPECT_EQ(f.code, kExitUsage);
    EXPECT_EQ(f.message, "output '" + overInput.wavOut + "' (--wav) would overwrite the input file");
    EXPECT_TRUE(dir.Entries().empty());

    // A folder that is not there: the output's own failure.
    Options nowhere;
    nowhere.wavOut = dir.File("missing/out.wav");
    OutputSet c;
    f = CreateFails(&c, nowhere);
    EXPECT_EQ(f.code, kExitOutput);
    EXPECT_NE(f.message.find(nowhere.wavOut), std::string::npos) << f.message;
}

TEST(OutputSetTest, AKilledRunsLeftoversAreRemovedAndNamed)
{
    TempDir dir;
    // A staged file of the form that names no writer: no run owns it.
    const std::string stale = dir.File(".out.wav.partial-Qw3rTy");
    player_test::WriteText(stale, "stale");
    Options o;
    o.wavOut = dir.File("out.wav");
    OutputSet set;
    std::vector<std::string> warnings;
    set.Create(o, &warnings);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "removed '" + stale + "', left by a run of '" + o.wavOut + "' that was killed");
    ExpectNoneVisible(dir);
    for (const std::string& e : dir.Entries())
        EXPECT_NE(dir.File(e), stale);
    set.Drop(nullptr, "");
}

}  // namespace
