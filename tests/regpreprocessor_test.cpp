// The .reg preprocessor on its own: what a board's image build does to its
// registry files before they are parsed (@CESYSGEN filtering, IF blocks,
// #if, #include, $(NAME) variables, LOC_ strings), and what it reports.
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
#include "regpreprocessor.h"
#include "support/files.h"

namespace {

struct Result {
    std::vector<std::string> lines;      // "file:line: text" of the lines kept
    std::vector<std::string> warnings;
    host::RegLoadReport report;
    std::string error;                   // "file:line: ..." when the load stopped
};

using Files = std::vector<std::pair<std::string, std::string>>;   // name, text

Result Preprocess(const Files& files, host::RegLoadOptions options = host::RegLoadOptions())
{
    Result r;
    options.warnings = &r.warnings;
    options.report = &r.report;
    try {
        host::RegPreprocessor pre(options);
        pre.ReadStringFiles();
        for (const auto& f : files)
            pre.Add(f.second, f.first);
        pre.Finish();
        for (const host::RegLine& l : pre.TakeLines())
            r.lines.push_back(*l.file + ":" + std::to_string(l.line) + ": " + l.text);
    } catch (const host::RegError& e) {
        r.error = e.Text();
    }
    return r;
}

Result Preprocess(const std::string& text, const std::map<std::string, std::string>& defines = {})
{
    host::RegLoadOptions options;
    options.defines = defines;
    return Preprocess(Files{{"t.reg", text}}, options);
}

bool Has(const std::vector<std::string>& list, const std::string& item)
{
    for (const std::string& s : list)
        if (s == item)
            return true;
    return false;
}

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
