// The .reg preprocessor on its own: what a board's image build does to its
// registry files before they are parsed (IF blocks, #if, #include, $(NAME)
// variables, LOC_ strings), and what it reports.  The @CESYSGEN filter and
// the boards' own lines: regsysgen_test.cpp.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "host/registry.h"
#include "regpreprocess.h"
#include "support/files.h"

using namespace regtest;

namespace {

// ---- The lines kept -----------------------------------------------------------------------

// A run of blank lines and plain comments tells the parser no more than one
// line does: it is kept as one, numbered as its first, ";" when it held a
// comment; a comment ending in \ (a value commented out) is kept whole.
TEST(RegPreprocessorTest, RunsOfBlankLinesAndCommentsAreKeptAsOne)
{
    const Result r = Preprocess("; head\n\n\n"           // 1-3
                                "[HKLM\\K]\n"              // 4
                                "; plain\n\n  ; more\n"    // 5-7
                                "\"A\"=hex:01,\\\n"        // 8
                                "; \"Old\"=hex:\\  \n"     // 9
                                "  02\n"                    // 10
                                "\n\t\n"                    // 11-12
                                "\"B\"=dword:1\n");          // 13
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.lines, (std::vector<std::string>{"t.reg:1: ;", "t.reg:4: [HKLM\\K]", "t.reg:5: ;",
                                                 "t.reg:8: \"A\"=hex:01,\\", "t.reg:9: ; \"Old\"=hex:\\  ",
                                                 "t.reg:10:   02", "t.reg:11: ", "t.reg:13: \"B\"=dword:1"}));
}

// ---- IF blocks: the build's variables ---------------------------------------------------

TEST(RegPreprocessorTest, IfBlocksFollowTheBuildVariables)
{
    const std::string text =
        "IF BSP_A\n"                   // 1
        "a\n"                          // 2
        "ELSE\n"                       // 3
        "not a\n"                      // 4
        "ENDIF BSP_A\n"                // 5
        "IF BSP_A !\n"                 // 6
        "not a either\n"               // 7
        "ENDIF\n"                      // 8
        "IF BSP_KIND = board\n"        // 9
        "kind is board\n"              // 10
        "ENDIF\n"                      // 11
        "if BSP_KIND == BOARD\n"       // 12 (keyword and value in any case)
        "kind is BOARD\n"              // 13
        "ENDIF\n"                      // 14
        "IF BSP_KIND != other\n"       // 15
        "kind is not other\n"          // 16
        "IF BSP_UNSET\n"               // 17
        "nested, unset\n"              // 18
        "ENDIF BSP_UNSET\n"            // 19
        "ENDIF ; BSP_KIND\n"           // 20
        "IF BSP_KIND=other !\n"        // 21
        "kind is not other, again\n"   // 22
        "ENDIF\n"                      // 23
        "IF BSP_NOPE!   ; no blank\n"  // 24
        "nope is not set\n"            // 25
        "ENDIF BSP_NOPE!\n";           // 26
    Result r = Preprocess(text, {{"BSP_A", "1"}, {"bsp_kind", "board"}});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.lines, (std::vector<std::string>{"t.reg:2: a", "t.reg:10: kind is board", "t.reg:13: kind is BOARD",
                                                 "t.reg:16: kind is not other", "t.reg:22: kind is not other, again",
                                                 "t.reg:25: nope is not set"}));
    EXPECT_EQ(r.warnings, std::vector<std::string>{});
    EXPECT_EQ(host::RegTexts(r.report.skipped), (std::vector<std::string>{"t.reg:3-5 (ELSE of the IF at line 1 not taken)",
                                                          "t.reg:6-8 (IF BSP_A ! not taken)",
                                                          "t.reg:17-19 (IF BSP_UNSET not taken)"}));

    // Unset, the other branches.
    r = Preprocess(text, {{"BSP_KIND", "other"}});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.lines, (std::vector<std::string>{"t.reg:4: not a", "t.reg:7: not a either", "t.reg:25: nope is not set"}));
}

TEST(RegPreprocessorTest, IfJoinedByOrIsReadAsWrittenWithAWarning)
{
    const std::string text = "IF BSP_A ! || BSP_B !\nkept\nENDIF BSP_A ! || BSP_B !\nIF BSP_A && BSP_B\nboth\nENDIF\n";
    Result r = Preprocess(text, {{"BSP_A", "1"}});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.lines, std::vector<std::string>{"t.reg:2: kept"});
    ASSERT_EQ(r.warnings.size(), 2u);
    EXPECT_EQ(r.warnings[0], "t.reg:1: IF BSP_A ! || BSP_B !: the image build documents one variable per IF "
                             "(#if defined A || defined B joins them); read here as written");
    r = Preprocess(text, {{"BSP_A", "1"}, {"BSP_B", "1"}});
    EXPECT_EQ(r.lines, std::vector<std::string>{"t.reg:5: both"});
}

TEST(RegPreprocessorTest, BlocksBalanceWithinEachKindAndEachFile)
{
    struct Case {
        std::string text;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"IF A\nx\n", "t.reg:1: expected ENDIF for this IF before the end of the file"},
        {"x\nENDIF\n", "t.reg:2: expected IF before ENDIF"},
        {"IF A\nELSE\nELSE\nENDIF\n", "t.reg:3: expected IF before ELSE"},
        {"IF A\nELSE IF B\nENDIF\n",
         "t.reg:2: expected ELSE or ENDIF (an IF block has no ELSE IF; put an IF inside the ELSE)"},
        {"IF\nENDIF\n", "t.reg:1: expected a variable after IF"},
        {"IF A B\nENDIF\n", "t.reg:1: expected IF NAME, IF NAME = VALUE or either followed by !"},
        {"IF A =\nENDIF\n", "t.reg:1: expected a value after IF A ="},
        {"#if 1\nIF A\n#endif\nENDIF\n", "t.reg:3: expected ENDIF for the IF at line 2 before #endif"},
        {"IF A\n#else\nENDIF\n", "t.reg:2: expected ENDIF for the IF at line 1 before #else"},
        {"; @CESYSGEN IF CE_MODULES_A\n", "t.reg:1: expected @CESYSGEN ENDIF for this @CESYSGEN IF before the end of the file"},
        {"; @CESYSGEN ENDIF\n", "t.reg:1: expected @CESYSGEN IF before @CESYSGEN ENDIF"},
        {"; @CESYSGEN IFDEF X\n", "t.reg:1: expected IF, ELSE, ELSEIF or ENDIF after @CESYSGEN"},
        {"; @CESYSGEN IF\n; @CESYSGEN ENDIF\n", "t.reg:1: expected a component after @CESYSGEN IF"},
        {"; @CESYSGEN IF A B\n; @CESYSGEN ENDIF\n", "t.reg:1: expected @CESYSGEN IF COMPONENT, joined by || or &&"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Preprocess(c.text).error, c.error) << c.text;

    // A block does not run on into the next file of the merge.
    Result r = Preprocess(Files{{"a.reg", "IF A\n"}, {"b.reg", "ENDIF\n"}});
    EXPECT_EQ(r.error, "a.reg:1: expected ENDIF for this IF before the end of the file");
}

// ---- $(NAME) variables and the merge -----------------------------------------------------

TEST(RegPreprocessorTest, VariablesExpandEverywhereButCommentsAndDefines)
{
    const std::string text =
        "#define ROOT HKEY_LOCAL_MACHINE\\Drivers\n"                // 1
        "#define KEY $(ROOT)\\$(NAME)\n"                            // 2: NAME is defined only later
        "#define NAME Board\n"                                      // 3
        "[$(KEY)]\n"                                                // 4
        "\"Path\"=\"$(OUTSIDE)\\\\x\"   ; $(NOT_EXPANDED) here\n"   // 5
        "\"Missing\"=\"$(NOWHERE)\"\n"                              // 6
        "\"Twice\"=\"$(NOWHERE)$(NOWHERE)\"\n"                      // 7
        "\"Cost\"=\"$5 (a dollar)\"\n";                             // 8
    Result r = Preprocess(text, {{"OUTSIDE", "C:"}});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.lines, (std::vector<std::string>{
                           "t.reg:4: [HKEY_LOCAL_MACHINE\\Drivers\\Board]",
                           "t.reg:5: \"Path\"=\"C:\\\\x\"   ; $(NOT_EXPANDED) here",
                           "t.reg:6: \"Missing\"=\"$(NOWHERE)\"",
                           "t.reg:7: \"Twice\"=\"$(NOWHERE)$(NOWHERE)\"",
                           "t.reg:8: \"Cost\"=\"$5 (a dollar)\"",
                       }));
    // Not set is never a silent empty string.
    EXPECT_EQ(r.warnings, (std::vector<std::string>{
                              "t.reg:6: $(NOWHERE) is not set (no #define, variable given or environment variable "
                              "NOWHERE): left as written",
                              "t.reg:7: $(NOWHERE) is not set (no #define, variable given or environment variable "
                              "NOWHERE): left as written",
                          }));
    EXPECT_TRUE(Has(host::RegTexts(r.report.variables), "OUTSIDE=C: (given)"));
    EXPECT_TRUE(Has(host::RegTexts(r.report.variables), "ROOT=HKEY_LOCAL_MACHINE\\Drivers (#define at t.reg:1)"));
    EXPECT_TRUE(Has(host::RegTexts(r.report.variables), "NOWHERE (not set; first asked at t.reg:6)"));

    // A value that refers to itself stops the load, and says through which
    // names.
    EXPECT_EQ(Preprocess("#define A x$(A)\n\"v\"=\"$(A)\"\n").error,
              "t.reg:2: expected $(A) to stop expanding (its value refers to itself: A -> A)");
    EXPECT_EQ(Preprocess("#define A $(b)\n#define B $(A)\n\"v\"=\"$(A)\"\n").error,
              "t.reg:3: expected $(A) to stop expanding (its value refers to itself: A -> B -> A)");
}

// Values inside values are expanded 16 deep, as the documented limit says: a
// chain of 16 names loads, one of 17 names the depth, not a loop.
TEST(RegPreprocessorTest, AChainOfValuesDeeperThanTheLimitSaysSo)
{
    auto chain = [](int n) {
        std::string text;
        for (int i = 1; i < n; ++i)
            text += "#define V" + std::to_string(i) + " $(V" + std::to_string(i + 1) + ")\n";
        return text + "#define V" + std::to_string(n) + " end\n\"v\"=\"$(V1)\"\n";
    };
    Result r = Preprocess(chain(16));
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.lines, std::vector<std::string>{"t.reg:17: \"v\"=\"end\""});
    std::string names;
    for (int i = 1; i <= 16; ++i)
        names += "V" + std::to_string(i) + " -> ";
    EXPECT_EQ(Preprocess(chain(17)).error,
              "t.reg:18: $(V17) is a value inside values more than 16 deep (" + names + "V17; limit 16)");
}

TEST(RegPreprocessorTest, VariablesComeFromTheFilesThenTheGivenThenTheEnvironment)
{
    ASSERT_EQ(setenv("BTWAV_REGTEST_VAR", "environment", 1), 0);
    ASSERT_EQ(setenv("BTWAV_REGTEST_EMPTY", "", 1), 0);
    const std::string text =
        "\"1\"=\"$(BTWAV_REGTEST_VAR)\"\n"
        "#define BTWAV_REGTEST_VAR file\n"
        "\"2\"=\"$(btwav_regtest_var)\"\n"   // names ignore case, as the build's environment does
        "#undef BTWAV_REGTEST_VAR\n"         // back to the value from outside
        "\"3\"=\"$(BTWAV_REGTEST_VAR)\"\n"
        "IF BTWAV_REGTEST_EMPTY\n"
        "\"empty is set\"=\"\"\n"
        "ENDIF\n";
    host::RegLoadOptions options;
    options.environment = true;
    Result r = Preprocess(Files{{"t.reg", text}}, options);
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.lines, (std::vector<std::string>{"t.reg:1: \"1\"=\"environment\"", "t.reg:3: \"2\"=\"file\"",
                                                 "t.reg:5: \"3\"=\"environment\""}));
    EXPECT_TRUE(Has(host::RegTexts(r.report.variables), "BTWAV_REGTEST_VAR=environment (environment)"));

    options.defines = {{"BTWAV_REGTEST_VAR", "given"}};
    options.definesLabel = "--define";
    r = Preprocess(Files{{"t.reg", text}}, options);
    EXPECT_EQ(r.lines[0], "t.reg:1: \"1\"=\"given\"");
    EXPECT_EQ(r.lines[2], "t.reg:5: \"3\"=\"given\"");

    // Without the environment it is not set.
    r = Preprocess(text);
    EXPECT_EQ(r.lines[0], "t.reg:1: \"1\"=\"$(BTWAV_REGTEST_VAR)\"");
    unsetenv("BTWAV_REGTEST_VAR");
    unsetenv("BTWAV_REGTEST_EMPTY");
}

TEST(RegPreprocessorTest, DefinesCarryAcrossTheMergedFiles)
{
    Result r = Preprocess(Files{{"platform.reg", "#define KEY HKEY_LOCAL_MACHINE\\Board\n#define FAST\n"},
                                {"project.reg", "#ifdef FAST\n[$(KEY)]\n#endif\n"}});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.lines, std::vector<std::string>{"project.reg:2: [HKEY_LOCAL_MACHINE\\Board]"});
    EXPECT_EQ(host::RegTexts(r.report.files), (std::vector<std::string>{"platform.reg", "project.reg"}));
}

// ---- #if ------------------------------------------------------------------------------------

TEST(RegPreprocessorTest, IfComparesLanguageIdentifiersAsTheBuildWritesThem)
{
    const std::string text =
        "#if $(LOCALE)==0409\n"                       // 1
        "us\n"                                        // 2
        "#endif\n"                                    // 3
        "#if $(LOCALE) == 409 && LOCALE == 0x0409\n"  // 4: no leading zero, and as a name
        "same number\n"                               // 5
        "#endif\n"                                    // 6
        "#if $(LOCALE)==0411 || $(LOCALE)==0C0A\n"    // 7
        "other\n"                                     // 8
        "#elif $(LOCALE)!=1033\n"                     // 9: 1033 is 0x1033, not 0x409
        "hex, not decimal\n"                          // 10
        "#endif\n"                                    // 11
        "#if $(KITL)==SERIAL\n"                       // 12: words compare as text
        "serial\n"                                    // 13
        "#elif $(KITL)==serial_uart0\n"               // 14
        "uart, ignoring case\n"                       // 15
        "#endif\n"                                    // 16
        "#if ! defined NOPE && defined LOCALE\n"      // 17
        "defined\n"                                   // 18
        "#endif\n";                                   // 19
    Result r = Preprocess(text, {{"LOCALE", "0409"}, {"KITL", "SERIAL_UART0"}});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.lines, (std::vector<std::string>{"t.reg:2: us", "t.reg:5: same number", "t.reg:10: hex, not decimal",
                                                 "t.reg:15: uart, ignoring case", "t.reg:18: defined"}));
    EXPECT_EQ(r.warnings, std::vector<std::string>{});

    r = Preprocess(text, {{"LOCALE", "0c0a"}, {"KITL", "SERIAL"}});
    EXPECT_EQ(r.lines, (std::vector<std::string>{"t.reg:8: other", "t.reg:13: serial", "t.reg:18: defined"}));

    // Without LOCALE the comparison cannot be made: false, and said so.
    r = Preprocess("#if $(LOCALE)==0409\nus\n#endif\n");
    EXPECT_EQ(r.lines, std::vector<std::string>{});
    EXPECT_EQ(r.warnings, std::vector<std::string>{"t.reg:1: #if $(LOCALE)==0409: $(LOCALE) not set; taken as false"});
}

TEST(RegPreprocessorTest, ErrorStopsTheLoadAndMessageIsReported)
{
    Result r = Preprocess("#message building for $(LOCALE)\n#if $(LOCALE)!=0409\n#error LOCALE $(LOCALE) is not "
                          "supported\n#endif\nkept\n",
                          {{"LOCALE", "0409"}});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.report.messages, std::vector<std::string>{"t.reg:1: building for 0409"});
    r = Preprocess("#if $(LOCALE)!=0409\n#error LOCALE $(LOCALE) is not supported\n#endif\n", {{"LOCALE", "0999"}});
    EXPECT_EQ(r.error, "t.reg:2: #error LOCALE 0999 is not supported");
}

// ---- #include ---------------------------------------------------------------------------------

TEST(RegPreprocessorTest, IncludesTakeBuildPathsAndMatchNamesIgnoringCase)
{
    const std::string dir = FreshDir("regpreprocessor");
    ASSERT_EQ(mkdir((dir + "/SRC").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir + "/SRC/DRIVERS").c_str(), 0755), 0);
    WriteFile(dir + "/SRC/DRIVERS/wave.reg", "[HKEY_LOCAL_MACHINE\\Wave]\n#include \"sub\\inner.reg\"\n");
    ASSERT_EQ(mkdir((dir + "/SRC/DRIVERS/sub").c_str(), 0755), 0);
    WriteFile(dir + "/SRC/DRIVERS/sub/inner.reg", "inner line\n");
    const std::string top = dir + "/platform.reg";
    const std::string text =
        "#include \"$(_TARGETPLATROOT)\\Src\\Drivers\\WAVE.reg\"\n"
        "#include \"$(_NOT_SET)\\x.reg\"   ; a comment\n"
        "after\n";
    host::RegLoadOptions options;
    options.defines = {{"_TARGETPLATROOT", dir}};
    Result r = Preprocess(Files{{top, text}}, options);
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.lines, (std::vector<std::string>{dir + "/SRC/DRIVERS/wave.reg:1: [HKEY_LOCAL_MACHINE\\Wave]",
                                                 dir + "/SRC/DRIVERS/sub/inner.reg:1: inner line", top + ":3: after"}));
    EXPECT_EQ(host::RegTexts(r.report.files), (std::vector<std::string>{
                                  top, dir + "/SRC/DRIVERS/wave.reg (included at " + top + ":1)",
                                  dir + "/SRC/DRIVERS/sub/inner.reg (included at " + dir + "/SRC/DRIVERS/wave.reg:2)"}));
    // A path whose variable is not set is not read, and said so.
    EXPECT_EQ(r.warnings, std::vector<std::string>{top + ":2: #include \"$(_NOT_SET)\\x.reg\" not read: $(_NOT_SET) not set"});

    // A root given as a relative folder is taken from the current folder.
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    options.defines = {{"_TARGETPLATROOT", "."}};
    r = Preprocess(Files{{"/elsewhere/platform.reg", "#include \"$(_TARGETPLATROOT)\\src\\drivers\\sub\\inner.reg\"\n"}},
                   options);
    EXPECT_EQ(chdir(here), 0);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.lines, std::vector<std::string>{"./SRC/DRIVERS/sub/inner.reg:1: inner line"});
    options.defines = {{"_TARGETPLATROOT", dir}};

    // A path that names no file stops the load.
    r = Preprocess(Files{{top, "#include \"$(_TARGETPLATROOT)\\SRC\\absent.reg\"\n"}}, options);
    EXPECT_EQ(r.error, top + ":1: expected a file to include: " + dir + "/SRC/absent.reg cannot be read");
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}

// ---- LOC_ strings ---------------------------------------------------------------------------

TEST(RegPreprocessorTest, LocPlaceholdersTakeTheStringsOfTheStringFiles)
{
    const std::string dir = FreshDir("regpreprocessor");
    WriteFile(dir + "/board.str",
          "// [HKEY_LOCAL_MACHINE\\Platform]\r\n"
          "#define LOC_NAME        \"Test \\\"Board\\\"\"\r\n"
          "\r\n"
          "#define LOC_OTHER\t\"Other\"\r\n");
    const std::string text =
        "\"Name\"=LOC_NAME   ; LOC_NAME in a comment stays\n"
        "\"Quoted\"=\"LOC_NAME\"\n"
        "\"List\"=multi_sz:LOC_OTHER,\"b\"\n"
        "\"Given\"=LOC_GIVEN\n"
        "\"Missing\"=LOC_MISSING\n"
        "\"Again\"=LOC_MISSING\n"
        "[HKEY_LOCAL_MACHINE\\LOC_NAME]\n";
    host::RegLoadOptions options;
    options.stringFiles = {dir + "/board.str"};
    options.defines = {{"LOC_GIVEN", "with \"quotes\""}};
    Result r = Preprocess(Files{{"t.reg", text}}, options);
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.lines, (std::vector<std::string>{
                           "t.reg:1: \"Name\"=\"Test \\\"Board\\\"\"   ; LOC_NAME in a comment stays",
                           "t.reg:2: \"Quoted\"=\"LOC_NAME\"",
                           "t.reg:3: \"List\"=multi_sz:\"Other\",\"b\"",
                           "t.reg:4: \"Given\"=\"with \\\"quotes\\\"\"",
                           "t.reg:5: \"Missing\"=\"LOC_MISSING\"",
                           "t.reg:6: \"Again\"=\"LOC_MISSING\"",
                           "t.reg:7: [HKEY_LOCAL_MACHINE\\LOC_NAME]",
                       }));
    EXPECT_EQ(r.warnings, std::vector<std::string>{"t.reg:5: LOC_MISSING has no string (no string file or variable "
                                                   "gives it): stored as the text LOC_MISSING; the image build would "
                                                   "stop here"});
    EXPECT_EQ(r.report.strings, (std::vector<std::string>{"LOC_NAME from " + dir + "/board.str",
                                                          "LOC_OTHER from " + dir + "/board.str",
                                                          "LOC_GIVEN from given"}));
    EXPECT_EQ(r.report.stringFiles, std::vector<std::string>{dir + "/board.str"});

    // A string file holds #define lines and comments only.
    WriteFile(dir + "/bad.str", "// strings\n#define LOC_A \"a\"\nLOC_B \"b\"\n");
    options.stringFiles = {dir + "/bad.str"};
    EXPECT_EQ(Preprocess(Files{{"t.reg", text}}, options).error,
              dir + "/bad.str:3: expected #define LOC_NAME \"text\" or a // comment");
    options.stringFiles = {dir + "/absent.str"};
    EXPECT_EQ(Preprocess(Files{{"t.reg", text}}, options).error, dir + "/absent.str: cannot be read");
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}

}  // namespace
