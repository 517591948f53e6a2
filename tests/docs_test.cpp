// The documentation against the code it describes: the fault lists of
// docs/world.md and docs/testing.md against the host's fault table, and
// docs/architecture.md against the source tree (every source file named).
// A failure names what is missing or extra, so the line to add is plain.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/faults.h"

namespace {

namespace fs = std::filesystem;

std::string ReadDoc(const std::string& relative)
{
    std::ifstream in(std::string(BTWAV_SOURCE_DIR) + "/" + relative);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The paragraph or list item of `doc` that begins with `start`, up to the
// next blank line or list item.
std::string Block(const std::string& doc, const std::string& start)
{
    const size_t at = doc.find(start);
    if (at == std::string::npos)
        return "";
    size_t end = doc.find("\n\n", at);
    const size_t item = doc.find("\n- ", at + 1);
    if (item != std::string::npos && (end == std::string::npos || item < end))
        end = item;
    return doc.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// Each fault as a document writes it: its spelling, with ":MS" or ":PPM"
// when it takes an amount.
std::set<std::string> TableFaults()
{
    std::set<std::string> out;
    for (unsigned i = 0; i < host::kFaultCount; ++i) {
        const host::FaultInfo& f = host::Describe(static_cast<host::Fault>(i));
        std::string unit = f.unit;
        for (char& c : unit)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        out.insert(unit.empty() ? std::string(f.spelling) : std::string(f.spelling) + ":" + unit);
    }
    return out;
}

// Code spans shaped as a fault: a lowercase word, with an amount's unit.
std::set<std::string> NamedFaults(const std::string& block)
{
    std::set<std::string> out;
    static const std::regex kSpan("`([a-z]+(:[A-Z]+)?)`");
    for (std::sregex_iterator it(block.begin(), block.end(), kSpan), end; it != end; ++it)
        out.insert((*it)[1]);
    return out;
}

void ExpectSameFaults(const std::string& doc, const std::string& start)
{
    const std::string block = Block(ReadDoc(doc), start);
    ASSERT_FALSE(block.empty()) << doc << " has no block starting \"" << start << "\"";
    const std::set<std::string> table = TableFaults(), named = NamedFaults(block);
    for (const std::string& f : table)
        EXPECT_TRUE(named.count(f)) << doc << " does not list the fault `" << f << "` of host/include/host/faults.h";
    for (const std::string& f : named)
        EXPECT_TRUE(table.count(f)) << doc << " lists `" << f << "`, which the fault table does not have (or "
                                    << "not with that amount)";
}

TEST(DocsTest, TheFaultListsAreTheFaultTable)
{
    ExpectSameFaults("docs/world.md", "**Faults on demand.**");
    ExpectSameFaults("docs/testing.md", "- one fault table");
}

// The names docs/architecture.md gives in code spans outside code blocks:
// each word of a span, its last path part, and that part without its
// extension.
std::set<std::string> ArchitectureNames()
{
    std::string doc = ReadDoc("docs/architecture.md");
    doc = std::regex_replace(doc, std::regex("```[^`]*```"), "");
    std::set<std::string> out;
    static const std::regex kSpan("`([^`\n]+)`");
    for (std::sregex_iterator it(doc.begin(), doc.end(), kSpan), end; it != end; ++it) {
        std::istringstream words(std::regex_replace((*it)[1].str(), std::regex("[,()]"), " "));
        std::string w;
        while (words >> w) {
            out.insert(w);
            const std::string last = fs::path(w).filename().string();
            out.insert(last);
            out.insert(last.substr(0, last.find('.')));
        }
    }
    return out;
}

TEST(DocsTest, ArchitectureNamesEverySourceFile)
{
    // Every test suite is a *_test file named after what it tests, which
    // the page says once; every other source file is named on the page.
    const char* kParts[] = {"driver", "stream", "queue",    "pump", "btlink", "platform", "host",     "btstandin",
                            "world",  "player", "runner",   "tests", "fuzz",  "bench",    "examples", "device"};
    const std::set<std::string> names = ArchitectureNames();
    const std::regex kSource(".*\\.(c|cpp|h)"), kSuite(".*_test\\.(c|cpp)");
    std::vector<std::string> missing;
    size_t seen = 0;
    for (const char* part : kParts) {
        const fs::path root = fs::path(BTWAV_SOURCE_DIR) / part;
        ASSERT_TRUE(fs::is_directory(root)) << root;
        for (const fs::directory_entry& e : fs::recursive_directory_iterator(root)) {
            const std::string file = e.path().filename().string();
            if (!e.is_regular_file() || !std::regex_match(file, kSource) || std::regex_match(file, kSuite))
                continue;
            ++seen;
            if (!names.count(file) && !names.count(file.substr(0, file.find('.'))))
                missing.push_back(fs::relative(e.path(), BTWAV_SOURCE_DIR).string());
        }
    }
    EXPECT_GT(seen, 200u) << "the walk found too few source files to be the tree";
    for (const std::string& m : missing)
        ADD_FAILURE() << "docs/architecture.md does not name " << m << " (add it to its folder's list)";
}

}  // namespace
