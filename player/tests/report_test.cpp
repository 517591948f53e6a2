// The report of a run whose audio differs from what was written and whose
// buffers ran dry: as text and as JSON.
#include <gtest/gtest.h>

#include <string>

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
    std::string json = FormatJson(r);
    EXPECT_NE(json.find("\"source\": \"a \\\"quoted\\\"\\tname\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"bit_exact\": false"), std::string::npos);
    EXPECT_NE(json.find("\"first_difference\": 2"), std::string::npos);
    EXPECT_EQ(JsonEscape(std::string("\x01", 1)), "\\u0001");
}
