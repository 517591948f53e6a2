// The .reg preprocessor's @CESYSGEN filter and the lines boards write that
// the documented syntax does not show: what the image build's filter keeps,
// and how each board line is read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "regpreprocess.h"

using namespace regtest;

namespace {

// ---- @CESYSGEN: the image's components -----------------------------------------------------

const char kSysgen[] =
    "; @CESYSGEN IF CE_MODULES_WAVEAPI\n"                  // 1
    "wave\n"                                               // 2
    "; @CESYSGEN ELSE\n"                                   // 3
    "no wave\n"                                            // 4
    "; @CESYSGEN ENDIF CE_MODULES_WAVEAPI\n"               // 5
    "; @CESYSGEN IF !CE_MODULES_FW6 OR GWES_ACCESSIB\n"    // 6
    "no firewall, or accessibility\n"                      // 7
    "; @CESYSGEN ELSEIF CE_MODULES_PPP\n"                  // 8
    "ppp\n"                                                // 9
    "; @CESYSGEN ELSE IF CE_MODULES_X\n"                   // 10
    "x\n"                                                  // 11
    "; @CESYSGEN ENDIF\n"                                  // 12
    "   ; @CESYSGEN IF CE_MODULES_GONE && CE_MODULES_WAVEAPI\n"   // 13
    "both\n"                                               // 14
    "; @CESYSGEN ENDIF\n";                                 // 15

TEST(RegPreprocessorTest, CesysgenBlocksKeepWhatTheImagesComponentsNeed)
{
    // The image's lists, as the build's environment holds them.
    Result r = Preprocess(kSysgen, {{"CE_MODULES", "coredll device WaveApi fw6 ppp"}, {"GWES_COMPONENTS", "other"}});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.lines, (std::vector<std::string>{"t.reg:2: wave", "t.reg:9: ppp"}));
    EXPECT_EQ(r.warnings, std::vector<std::string>{});
    EXPECT_EQ(host::RegTexts(r.report.components), (std::vector<std::string>{
                                       "CE_MODULES_WAVEAPI: in the image (listed in CE_MODULES (given))",
                                       "CE_MODULES_FW6: in the image (listed in CE_MODULES (given))",
                                       "GWES_ACCESSIB: not in the image (not listed in GWES_COMPONENTS (given))",
                                       "CE_MODULES_PPP: in the image (listed in CE_MODULES (given))",
                                       "CE_MODULES_GONE: not in the image (not listed in CE_MODULES (given))",
                                   }));
    EXPECT_TRUE(Has(host::RegTexts(r.report.skipped), "t.reg:3-5 (@CESYSGEN ELSE of the @CESYSGEN IF at line 1 not taken)"));

    // A component given by name wins over its list; 0 takes it out.
    r = Preprocess(kSysgen, {{"CE_MODULES", "waveapi"}, {"CE_MODULES_WAVEAPI", "0"}, {"CE_MODULES_X", "1"}});
    EXPECT_EQ(r.lines, (std::vector<std::string>{"t.reg:4: no wave", "t.reg:7: no firewall, or accessibility"}));

    // Components nobody names are taken as in the image, and listed in one
    // warning (CE_MODULES_PPP's branch comes after one taken: not asked).
    r = Preprocess(kSysgen);
    EXPECT_EQ(r.lines, (std::vector<std::string>{"t.reg:2: wave", "t.reg:7: no firewall, or accessibility",
                                                 "t.reg:14: both"}));
    EXPECT_EQ(r.warnings, std::vector<std::string>{
                              "t.reg:1: @CESYSGEN: 4 components not given, taken as in the image: CE_MODULES_WAVEAPI, "
                              "CE_MODULES_FW6, GWES_ACCESSIB, CE_MODULES_GONE (NAME=0 as a variable takes one out; a "
                              "list such as CE_MODULES names the image's modules)"});
}

// The filter's statements are written after the file's one comment mark
// ("; @CESYSGEN IF OSSVCS_MODULES_BTHUTIL" on the page "Cesysgen
// Conditional Statements"; "// @CESYSGEN IF" in source files on
// "Preprocessing Using Cesysgen Conditionals"): a line commented out again
// with ";;" is a comment, and so is what it would have opened or closed.
TEST(RegPreprocessorTest, ADoubleSemicolonCommentsOutAFilterLine)
{
    const std::string text =
        ";; @CESYSGEN IF CE_MODULES_GONE\n"   // 1
        "kept\n"                              // 2
        ";;@CESYSGEN ENDIF\n"                 // 3
        "; @CESYSGEN IF CE_MODULES_GONE\n"    // 4
        "left out\n"                          // 5
        ";; @CESYSGEN ELSE\n"                 // 6
        "left out too\n"                      // 7
        "; @CESYSGEN ENDIF\n";                // 8
    Result r = Preprocess(text, {{"CE_MODULES", "coredll"}});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.lines, (std::vector<std::string>{"t.reg:1: ;", "t.reg:2: kept", "t.reg:3: ;"}));
    EXPECT_EQ(host::RegTexts(r.report.components),
              std::vector<std::string>{"CE_MODULES_GONE: not in the image (not listed in CE_MODULES (given))"});
}

// The page "Registry File" shows keys, values, @ and IF/ENDIF, and no line
// that starts with "-"; boards' files hold lines of dashes between sections
// in blocks their images were built with, so the build passed them over.
TEST(RegPreprocessorTest, ALineOfDashesIsPassedOverWithAWarning)
{
    const std::string text =
        "----HIVE BASE REGISTRY----\n"   // 1
        "[HKEY_LOCAL_MACHINE\\A]\n"      // 2
        "  -------------\n"              // 3
        "IF BSP_GONE\n"                  // 4
        "----not read----\n"             // 5
        "ENDIF\n";                       // 6
    Result r = Preprocess(text);
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.lines, std::vector<std::string>{"t.reg:2: [HKEY_LOCAL_MACHINE\\A]"});
    const std::string passed = ": a line of dashes is no key, value or comment: passed over, as the image build passes it over";
    EXPECT_EQ(r.warnings, (std::vector<std::string>{"t.reg:1" + passed, "t.reg:3" + passed}));
    // One dash may start a statement in a desktop file ([-KEY], "v"=-): it is
    // not passed over here but left to the parser, which refuses it.
    EXPECT_EQ(Preprocess("-x\n").lines, std::vector<std::string>{"t.reg:1: -x"});
}

TEST(RegPreprocessorTest, CesysgenFiltersBeforeTheMergeSeesTheLines)
{
    // The filter's blocks and the merge's blocks are apart: they may
    // overlap, and a #if does not hide the filter's lines.
    const std::string text =
        "; @CESYSGEN IF CE_MODULES_A\n"   // 1
        "IF BSP_X !\n"                    // 2
        "; @CESYSGEN ENDIF\n"             // 3
        "kept\n"                          // 4
        "ENDIF\n"                         // 5
        "#if 0\n"                         // 6
        "; @CESYSGEN IF CE_MODULES_B\n"   // 7
        "#endif\n"                        // 8
        "; @CESYSGEN ENDIF\n";            // 9
    Result r = Preprocess(text, {{"CE_MODULES", "a b"}});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.lines, std::vector<std::string>{"t.reg:4: kept"});

    // Without A the IF goes with its block, and the ENDIF left over says why.
    r = Preprocess(text, {{"CE_MODULES", "b"}});
    EXPECT_EQ(r.error, "t.reg:5: expected IF before ENDIF (the opener at line 2 went with a @CESYSGEN block left out "
                       "of the image)");
}

// Directives as boards write them: blanks after #, a // comment after a
// #define's value, a ! after a @CESYSGEN component.
TEST(RegPreprocessorTest, BoardDirectivesAreReadAsTheirAuthorsMeantThem)
{
    Result r = Preprocess("#define T 5 // five\n"
                          "#define URL \"http://x\"   // a // inside quotes stays\n"
                          "#  if 0\n"
                          "\"Off\"=dword:1\n"
                          "#  endif\n"
                          "\"T\"=dword:$(T)\n"
                          "\"U\"=$(URL)\n"
                          "; @CESYSGEN IF PM_PMSTUBS !\n"
                          "\"NoStubs\"=dword:1\n"
                          "; @CESYSGEN ENDIF\n"
                          "; @CESYSGEN IF CE_MODULES_WAVEAPI !\n"
                          "\"NoWave\"=dword:1\n"
                          "; @CESYSGEN ENDIF\n",
                          {{"PM_PMSTUBS", "0"}, {"CE_MODULES_WAVEAPI", "1"}});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.lines, (std::vector<std::string>{"t.reg:6: \"T\"=dword:5", "t.reg:7: \"U\"=\"http://x\"",
                                                 "t.reg:9: \"NoStubs\"=dword:1"}));
    EXPECT_TRUE(Has(r.warnings, "t.reg:8: @CESYSGEN IF PM_PMSTUBS !: the ! after PM_PMSTUBS is read as turning it "
                                "round, as IF NAME ! does (the build documents !PM_PMSTUBS)"));
    for (const std::string& w : r.warnings)
        EXPECT_EQ(w.find("unknown directive"), std::string::npos) << w;
}

}  // namespace
