// The .reg preprocessor: reading and decoding the files, their lines, the
// blocks of @CESYSGEN filtering, #include / #define / #if / IF and the lines
// kept (variables: regpreprocessor_variables.cpp; conditions:
// regpreprocessor_conditions.cpp).

#include "regpreprocessor.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <functional>
#include <sstream>

#include "codepage.h"
#include "host/host.h"
#include "regcondition.h"
#include "regtext.h"

namespace host {

using namespace regtext;

namespace {

const int kMaxIncludeDepth = 16;

// The text up to a // that is not inside quotes, trimmed.
std::string StripSlashComment(const std::string& s)
{
    bool quoted = false;
    for (size_t i = 0; i + 1 < s.size(); ++i) {
        if (s[i] == '"')
            quoted = !quoted;
        else if (!quoted && s[i] == '/' && s[i + 1] == '/')
            return Trim(s.substr(0, i));
    }
    return s;
}

}  // namespace

// ---- The preprocessor ----------------------------------------------------------------

namespace {

using Block = RegPreprocessor::Block;

const char* OpenerName(Block::Kind kind)
{
    return kind == Block::Hash ? "#if" : kind == Block::Build ? "IF" : "@CESYSGEN IF";
}

const char* CloserName(Block::Kind kind)
{
    return kind == Block::Hash ? "#endif" : kind == Block::Build ? "ENDIF" : "@CESYSGEN ENDIF";
}

// The block an else or end directive of `kind` closes; throws when the
// innermost block is of another kind or there is none.
Block& Innermost(std::vector<Block>& blocks, Block::Kind kind, const std::string& directive)
{
    if (blocks.empty())
        throw RegLineError{std::string(OpenerName(kind)) + " before " + directive};
    Block& b = blocks.back();
    if (b.kind != kind)
        throw RegLineError{std::string(CloserName(b.kind)) + " for the " + OpenerName(b.kind) + " at line " +
                           std::to_string(b.line) + " before " + directive};
    return b;
}

Block Open(Block::Kind kind, int line, bool outerActive)
{
    Block b;
    b.kind = kind;
    b.line = line;
    b.outerActive = outerActive;
    return b;
}

// Starts the next branch of b: taken when the lines around count, no branch
// was taken yet and the condition holds.
void StartBranch(Block& b, bool condition, int line, const std::string& why)
{
    b.active = b.outerActive && !b.taken && condition;
    b.taken = b.taken || b.active;
    if (!b.active && b.outerActive) {
        b.skipFrom = line;
        b.why = why;
    }
}

}  // namespace

RegPreprocessor::RegPreprocessor(const RegLoadOptions& options) : options_(options), warnings_(options.warnings) {}

Block& RegPreprocessor::NextBranch(std::vector<Block>& blocks, Block::Kind kind, const std::string& directive, bool final,
                                   const std::string& file, int line)
{
    Block& b = Innermost(blocks, kind, directive);
    if (b.sawElse)
        throw RegLineError{std::string(OpenerName(b.kind)) + " before " + directive};
    if (b.skipFrom && b.outerActive)
        Skipped(file, b.skipFrom, line, b.why);
    b.skipFrom = 0;
    b.sawElse = final;
    return b;
}

void RegPreprocessor::CloseBlock(std::vector<Block>& blocks, Block::Kind kind, const std::string& directive,
                                 const std::string& file, int line)
{
    Block& b = Innermost(blocks, kind, directive);
    if (b.skipFrom && b.outerActive)
        Skipped(file, b.skipFrom, line, b.why);
    blocks.pop_back();
}

void RegPreprocessor::Keep(RegLine&& line)
{
    // A run of blank lines and of comments that do not end in \ (which
    // may continue a value commented out) tells the parser no more than one
    // such line, kept as ";" when it holds a comment (a header after it is
    // not the file's first line).
    const size_t first = SkipSpace(line.text, 0);
    const bool comment = first < line.text.size() && line.text[first] == ';';
    if (first == line.text.size() || (comment && line.text.find_last_not_of(" \t") != std::string::npos &&
                                      line.text[line.text.find_last_not_of(" \t")] != '\\')) {
        const bool previousEmpty = !out_.empty() && out_.back().file == line.file &&
                                   (out_.back().text.empty() || out_.back().text == ";");
        line.text = comment ? ";" : "";
        if (previousEmpty) {
            if (comment)
                out_.back().text = ";";
            return;
        }
    }
    out_.push_back(std::move(line));
    // The lines go to the parser in batches that grow with what it leaves
    // (a statement longer than a batch is parsed again with more lines).
    if (sink_ && out_.size() >= sinkAt_) {
        sink_(out_);
        sinkAt_ = 2 * out_.size() + 256;
    }
}

void RegPreprocessor::Warn(const std::string& where, const std::string& what)
{
    warnings_.Add(where + ": " + what);
}

void RegPreprocessor::Skipped(const std::string& file, int from, int to, const std::string& why)
{
    if (options_.report)
        options_.report->skipped.push_back(RegSkippedBlock{file, from, to, why});
}

void RegPreprocessor::ReadStringFiles()
{
    for (const std::string& path : options_.stringFiles) {
        const std::string text = ReadText(path, true, std::string());
        names_.push_back(path);
        if (options_.report)
            options_.report->stringFiles.push_back(path);
        std::string raw;
        int number = 0;
        for (size_t start = 0; NextLine(text, start, raw);) {
            ++number;
            const std::string line = Trim(raw);
            if (line.empty() || line.compare(0, 2, "//") == 0 || line[0] == ';')
                continue;
            size_t end = 0;
            if (line[0] != '#' || Keyword(line, 1, &end) != "DEFINE" || end >= line.size() || !IsSpace(line[end]))
                throw RegError{path, number, "expected #define LOC_NAME \"text\" or a // comment"};
            std::string rest = Trim(line.substr(end));
            size_t nameEnd = 0;
            while (nameEnd < rest.size() && !IsSpace(rest[nameEnd]))
                ++nameEnd;
            strings_[Upper(rest.substr(0, nameEnd))] = {Trim(rest.substr(nameEnd)), path};
        }
    }
}

void RegPreprocessor::AddPath(const std::string& path)
{
    AddFile(ReadText(path, false, std::string()), path, 0, std::string());
}

void RegPreprocessor::Add(const std::string& bytes, const std::string& name)
{
    bytesRead_ += bytes.size();
    if (bytesRead_ > options_.maxFileBytes)
        throw RegError{name, 0, "larger than " + std::to_string(options_.maxFileBytes) +
                                    " bytes, the limit of a registry file"};
    AddFile(Decode(bytes, name, false), name, 0, std::string());
}

std::string RegPreprocessor::ReadText(const std::string& path, bool stringFile, const std::string& includedAt)
{
    const size_t limit = options_.maxFileBytes;
    const size_t left = limit - std::min(bytesRead_, limit);
    std::string bytes, why;
    const bool ok = options_.readFile ? options_.readFile(path, left, &bytes, &why)
                                      : ReadRegBytes(path, left, &bytes, &why);
    if (ok && bytes.size() > left) {   // a reader that does not keep to the limit
        bytes.clear();
        why = "larger than " + std::to_string(left) + " bytes";
    }
    if (!ok || !why.empty()) {
        if (why.compare(0, 12, "larger than ") == 0 && left < limit)
            why = "larger than the " + std::to_string(left) + " bytes left of the limit of one load (" +
                  std::to_string(limit) + " bytes for all its files together; " + std::to_string(bytesRead_) +
                  " read before this one)";
        if (!includedAt.empty() && why.compare(0, 12, "larger than ") != 0)
            throw RegLineError{"a file to include: " + path + " " + why};
        throw RegError{path, 0, why + (includedAt.empty() ? "" : " (included at " + includedAt + ")")};
    }
    bytesRead_ += bytes.size();
    return Decode(std::move(bytes), path, stringFile);
}

std::string RegPreprocessor::Decode(std::string bytes, const std::string& path, bool stringFile)
{
    // The code page of a file that is neither marked nor UTF-8: --codepage,
    // else a string file's locale folder (FILES\INTLTRNS\0411\x.str), else
    // the build's LOCALE, else 1252.
    unsigned cp = options_.codePage;
    std::string from = "--codepage";
    auto language = [&](const std::string& id, const std::string& what) {
        unsigned long long n = 0;
        if (id.size() > 4 || !ReadRegNumber(id, &n))
            return false;
        cp = AnsiCodePageOfLanguage(static_cast<unsigned>(n));
        from = what + " " + id + (cp ? "" : ", a language whose code page is not known here");
        return true;
    };
    if (!cp && stringFile) {
        std::string folder = DirectoryOf(path);
        if (!folder.empty())
            folder.pop_back();
        folder = folder.substr(folder.find_last_of('/') + 1);
        if (folder.size() != 4 || !language(folder, "the locale folder"))
            cp = 0;
    }
    if (!cp && from == "--codepage") {
        const Variable locale = LookupOutside("LOCALE");
        if (!locale.set || !language(Trim(locale.value), "LOCALE")) {
            cp = kCodePage1252;
            from = locale.set ? "LOCALE " + locale.value + " (not a language identifier), taken as 1252"
                              : "no locale (LOCALE not set), taken as 1252";
        }
    }
    std::string encoding;
    std::string text = DecodeRegText(std::move(bytes), path, cp, from, &encoding);
    if (options_.report)
        options_.report->encodings.push_back(path + ": " + encoding);
    return text;
}

void RegPreprocessor::AddFile(std::string text, const std::string& name, int depth, const std::string& includedAt)
{
    names_.push_back(name);
    const std::string& file = names_.back();
    if (options_.report)
        options_.report->files.push_back(RegFileRead{file, includedAt});
    std::vector<Block> sysgen;   // the filter's blocks
    std::vector<Block> blocks;   // the merge's #if and IF blocks
    auto active = [&] { return blocks.empty() || blocks.back().active; };
    int filteredOpener = 0;   // the last #if or IF the filter left out

    // One line at a time out of the text, in one buffer: a line that is
    // kept is moved out of it, and the text goes when the file is read.
    std::string raw;
    int line = 0;
    for (size_t start = 0; NextLine(text, start, raw);) {
        ++line;
        try {
            if (SysgenLine(raw, file, line, sysgen))
                continue;
            if (!sysgen.empty() && !sysgen.back().active) {
                // Filtered out before the merge sees it; an opener left out
                // here explains a closer left over later.
                size_t at = SkipSpace(raw, 0), end = 0;
                if (raw.compare(at, 3, "#if") == 0 || (Keyword(raw, at, &end) == "IF" && (end == raw.size() || IsSpace(raw[end]))))
                    filteredOpener = line;
                continue;
            }
            size_t pos = SkipSpace(raw, 0);
            if (pos < raw.size() && raw[pos] == '#') {
                HashLine(raw, pos, file, line, depth, blocks);
                continue;
            }
            if (BuildLine(raw, pos, file, line, blocks) || !active())
                continue;
            if (raw.compare(pos, 2, "--") == 0) {
                // A line of dashes between sections ("----HIVE BASE
                // REGISTRY----"): no statement starts with "-", and the
                // boards' image builds passed such lines over.
                Warn(file + ":" + std::to_string(line),
                     "a line of dashes is no key, value or comment: passed over, as the image build passes it over");
                continue;
            }
            std::string expanded;
            if (raw.find("$(") == std::string::npos) {
                expanded = std::move(raw);
            } else {
                const std::string where = file + ":" + std::to_string(line);
                std::vector<std::string> unset;
                expanded = Expand(raw, where, &unset);
                for (const std::string& n : unset)
                    Warn(where, "$(" + n + ") is not set (no #define, variable given or environment variable " + n +
                                    "): left as written");
            }
            if (expanded.find("LOC_") != std::string::npos) {
                const size_t before = expanded.size();
                expanded = Localise(expanded, file, line);
                added_ += expanded.size() - std::min(expanded.size(), before);
            }
            bytesOut_ += expanded.size() + 1;
            if (bytesOut_ > options_.maxFileBytes)
                throw RegLimitError{"the lines kept come to more than " + std::to_string(options_.maxFileBytes) +
                                    " bytes, the limit of a registry file"};
            CheckExpansion(0);
            expanded.shrink_to_fit();   // a line is held at its size until it is parsed
            Keep(RegLine{&file, line, std::move(expanded)});
        } catch (const RegLimitError& e) {
            throw RegError{file, line, e.message};
        } catch (const RegLineError& e) {
            std::string expected = e.expected;
            if (filteredOpener && (expected.compare(0, 10, "IF before ") == 0 || expected.compare(0, 11, "#if before ") == 0))
                expected += " (the opener at line " + std::to_string(filteredOpener) +
                            " went with a @CESYSGEN block left out of the image)";
            throw RegError{file, line, "expected " + expected};
        }
    }
    if (!blocks.empty())
        throw RegError{file, blocks.back().line, "expected " + std::string(CloserName(blocks.back().kind)) +
                                                     " for this " + OpenerName(blocks.back().kind) +
                                                     " before the end of the file"};
    if (!sysgen.empty())
        throw RegError{file, sysgen.back().line, "expected @CESYSGEN ENDIF for this @CESYSGEN IF before the end of the file"};
}

// "; @CESYSGEN IF ...", ELSE, ELSEIF / ELSE IF, ENDIF: true when the line is
// one (it is then used up).
bool RegPreprocessor::SysgenLine(const std::string& raw, const std::string& file, int line,
                                 std::vector<Block>& blocks)
{
    size_t pos = SkipSpace(raw, 0);
    // One ; then the keyword, as the filter's lines are written: a ;; line
    // is a comment, and a line commented out that way is dead.
    if (pos == raw.size() || raw[pos] != ';')
        return false;
    pos = SkipSpace(raw, pos + 1);
    if (raw.compare(pos, 9, "@CESYSGEN") != 0)
        return false;
    size_t end = 0;
    std::string keyword = Keyword(raw, SkipSpace(raw, pos + 9), &end);
    std::string rest = Trim(raw.substr(end));
    if (keyword == "ELSE") {
        size_t after = 0;
        if (Keyword(rest, 0, &after) == "IF") {
            keyword = "ELSEIF";
            rest = Trim(rest.substr(after));
        }
    }
    const std::string where = file + ":" + std::to_string(line);
    const bool outer = blocks.empty() || blocks.back().active;
    if (keyword == "IF") {
        Block b = Open(Block::Sysgen, line, outer);
        StartBranch(b, outer && SysgenCondition(rest, where), line, "@CESYSGEN IF " + rest);
        blocks.push_back(b);
    } else if (keyword == "ELSE" || keyword == "ELSEIF") {
        Block& b = NextBranch(blocks, Block::Sysgen, "@CESYSGEN " + keyword, keyword == "ELSE", file, line);
        bool condition = true;
        if (keyword == "ELSEIF" && b.outerActive && !b.taken)
            condition = SysgenCondition(rest, where);
        StartBranch(b, condition, line,
                    keyword == "ELSE" ? "@CESYSGEN ELSE of the @CESYSGEN IF at line " + std::to_string(b.line)
                                      : "@CESYSGEN ELSEIF " + rest);
    } else if (keyword == "ENDIF") {
        CloseBlock(blocks, Block::Sysgen, "@CESYSGEN ENDIF", file, line);
    } else {
        throw RegLineError{"IF, ELSE, ELSEIF or ENDIF after @CESYSGEN"};
    }
    return true;
}

void RegPreprocessor::HashLine(const std::string& raw, size_t pos, const std::string& file, int line, int depth,
                               std::vector<Block>& blocks)
{
    // Blanks may stand between # and the directive ("#  if 0"), as in the C
    // preprocessor the build's is.
    const size_t wordStart = SkipSpace(raw, pos + 1);
    size_t wordEnd = wordStart;
    while (wordEnd < raw.size() && std::isalpha(static_cast<unsigned char>(raw[wordEnd])))
        ++wordEnd;
    const std::string directive = raw.substr(wordStart, wordEnd - wordStart);
    // A #define keeps its value as written but for a // comment after it (C
    // preprocessor comments; a ; belongs to the value); other directives may
    // end in a ; comment.
    const std::string value = Trim(raw.substr(wordEnd));
    const std::string arg = directive == "define" ? StripSlashComment(value) : StripComment(value);
    const std::string shown = "#" + directive + (arg.empty() ? "" : " " + arg);
    const std::string where = file + ":" + std::to_string(line);
    const bool active = blocks.empty() || blocks.back().active;

    if (directive == "if" || directive == "ifdef" || directive == "ifndef") {
        Block b = Open(Block::Hash, line, active);
        StartBranch(b, active && HashCondition(directive, arg, file, line), line, shown);
        blocks.push_back(b);
    } else if (directive == "elif" || directive == "else") {
        Block& b = NextBranch(blocks, Block::Hash, "#" + directive, directive == "else", file, line);
        bool condition = true;
        if (directive == "elif" && b.outerActive && !b.taken)
            condition = HashCondition("if", arg, file, line);
        StartBranch(b, condition, line, b.sawElse ? "#else of the #if at line " + std::to_string(b.line) : shown);
    } else if (directive == "endif") {
        CloseBlock(blocks, Block::Hash, "#endif", file, line);
    } else if (!active) {
        // Not read in a branch not taken.
    } else if (directive == "define" || directive == "undef") {
        size_t nameEnd = 0;
        while (nameEnd < arg.size() && !IsSpace(arg[nameEnd]))
            ++nameEnd;
        if (nameEnd == 0)
            throw RegLineError{"a name after #" + directive};
        const std::string name = Upper(arg.substr(0, nameEnd));
        if (directive == "define")
            defines_[name] = {Trim(arg.substr(nameEnd)), where};
        else
            defines_.erase(name);
    } else if (directive == "include") {
        Include(arg, file, line, depth);
    } else if (directive == "error" || directive == "message") {
        std::vector<std::string> unset;
        std::string text = Expand(arg, where, &unset);
        if (directive == "error")
            throw RegError{file, line, "#error " + text};
        if (options_.report)
            options_.report->messages.push_back(where + ": " + text);
    } else {
        Warn(where, "unknown directive " + shown + " ignored");
    }
}

// IF NAME [= VALUE] [!], ELSE, ENDIF [anything]: true when the line is one.
bool RegPreprocessor::BuildLine(const std::string& raw, size_t pos, const std::string& file, int line,
                                std::vector<Block>& blocks)
{
    size_t end = 0;
    const std::string keyword = Keyword(raw, pos, &end);
    if ((keyword != "IF" && keyword != "ELSE" && keyword != "ENDIF") ||
        (end < raw.size() && !IsSpace(raw[end]) && raw[end] != ';'))
        return false;
    const std::string rest = StripComment(raw.substr(end));
    const bool active = blocks.empty() || blocks.back().active;
    if (keyword == "IF") {
        Block b = Open(Block::Build, line, active);
        StartBranch(b, active && BuildCondition(rest, file, line), line, "IF " + rest);
        blocks.push_back(b);
    } else if (keyword == "ELSE") {
        size_t after = 0;
        if (Keyword(rest, 0, &after) == "IF")
            throw RegLineError{"ELSE or ENDIF (an IF block has no ELSE IF; put an IF inside the ELSE)"};
        Block& b = NextBranch(blocks, Block::Build, "ELSE", true, file, line);
        StartBranch(b, true, line, "ELSE of the IF at line " + std::to_string(b.line));
    } else {
        CloseBlock(blocks, Block::Build, "ENDIF", file, line);
    }
    return true;
}

void RegPreprocessor::Include(const std::string& arg, const std::string& file, int line, int depth)
{
    const std::string where = file + ":" + std::to_string(line);
    std::vector<std::string> unset;
    const std::string expanded = Expand(arg, where, &unset);
    const size_t close = expanded.size() > 1 && expanded[0] == '"' ? expanded.find('"', 1) : std::string::npos;
    if (close == std::string::npos || close == 1 || !Trim(expanded.substr(close + 1)).empty())
        throw RegLineError{"#include \"file\""};
    if (!unset.empty()) {
        Warn(where, "#include " + arg + " not read: $(" + Join(unset, "), $(") + ") not set");
        return;
    }
    std::string path = expanded.substr(1, close - 1);
    for (char& c : path)
        if (c == '\\')
            c = '/';
    // Beside the including file, else (a root given as a relative folder)
    // from the current folder.
    if (path[0] != '/') {
        const std::string beside = MatchCase(DirectoryOf(file) + path);
        const std::string here = MatchCase(path);
        path = Exists(beside) || !Exists(here) ? beside : here;
    } else {
        path = MatchCase(path);
    }
    if (depth >= kMaxIncludeDepth)
        throw RegLineError{"at most " + std::to_string(kMaxIncludeDepth) + " nested #include (" + path +
                           " includes itself?)"};
    AddFile(ReadText(path, false, where), path, depth + 1, where);
}

}  // namespace host
