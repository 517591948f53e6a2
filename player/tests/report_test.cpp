// The report of a run whose audio differs from what was written and whose
// buffers ran dry: as text and as JSON.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio_files.h"
#include "report/report.h"

using namespace player;
TEST(ReportTest, TextAndJsonSayWhatWentWrong)
{
    Report r;
    r.source = "a \"quoted\"\tname";
    r.sourceFormat = "WAV";
    r.clock = "virtual";
    r.comparison = CompareStreams({1, 2, 3}, {1, 2});
    r.pacing.underruns = 2;
    r.pacing.underrunBytes = 100;
    std::string text = FormatText(r);
    EXPECT_NE(text.find("bit-exact       NO, first difference at byte 2"), std::string::npos) << text;
    EXPECT_NE(text.find("underruns       2 ticks (100 bytes short)"), std::string::npos) << text;
    r.notes = {std::string("a control \x01 character")};
    const std::string json = FormatJson(r);
    const nlohmann::ordered_json parsed = player_test::ParseReport(json);
    // Quotes, tabs and control characters come back as they went in.
    EXPECT_EQ(parsed["source"], r.source);
    EXPECT_EQ(parsed["notes"][0], r.notes[0]);
    EXPECT_NE(json.find("\\u0001"), std::string::npos) << json;
    EXPECT_EQ(parsed["bit_exact"], false);
    EXPECT_EQ(parsed["first_difference"], 2);
    // The keys in the order the report documents, each once.
    std::vector<std::string> keys;
    for (const auto& member : parsed.items())
        keys.push_back(member.key());
    const std::vector<std::string> head = {"verdict", "result", "exit_code", "error", "source", "source_format"};
    ASSERT_GE(keys.size(), head.size());
    EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.begin() + head.size()), head);
    EXPECT_EQ(keys.back(), "timeline");
}
