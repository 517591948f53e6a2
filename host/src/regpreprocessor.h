// The .reg preprocessor: what a board's image build does to its registry
// files before they are parsed, in the build's order.  The @CESYSGEN filter
// keeps the blocks for the components in the image (the build does this to
// each file when the components are chosen); then the files are merged in
// order, expanding #include, #define, #if and IF blocks and $(NAME)
// variables; last, LOC_ placeholders get their strings.  The result is the
// list of lines that count, for the parser (regparser.h).  The syntax and
// its meaning are listed with RegistryLoadFiles in host/registry.h.
//
// Host sources and their tests only; one instance per load, on one thread.
#pragma once

#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "host/registry.h"
#include "reglines.h"

namespace host {


class RegPreprocessor {
public:
    // A conditional block being read: #if / IF (the merge's) or @CESYSGEN IF
    // (the filter's, which the other kinds do not see).
    struct Block {
        enum Kind { Hash, Build, Sysgen } kind = Hash;
        int line = 0;               // of the opening directive
        bool outerActive = false;   // lines around the block count
        bool taken = false;         // a branch of the block was taken already
        bool active = false;        // lines of the current branch count
        bool sawElse = false;
        int skipFrom = 0;           // first line of the branch being skipped, or 0
        std::string why;            // the directive that started the skipped branch
    };

    // `options` (variables, environment, string files) and what it points
    // to must outlive the preprocessor.
    explicit RegPreprocessor(const RegLoadOptions& options);

    // Reads the string files the options name.  Throws RegError.
    void ReadStringFiles();
    // One file of the merge, in order, read from `path`.  Throws RegError.
    void AddPath(const std::string& path);
    // One file of the merge given as its bytes, decoded as a file's are;
    // `name` names it in messages and places its #includes.  Throws RegError.
    void Add(const std::string& bytes, const std::string& name);
    // After the last file: the warnings that sum up what was assumed.
    void Finish();

    // Where the lines that count go as they are made: `sink` is handed the
    // lines kept so far and takes what it can of them (the lines left in
    // the vector wait for more).  Without one, the lines are kept for
    // TakeLines.
    void SetSink(std::function<void(std::vector<RegLine>&)> sink) { sink_ = std::move(sink); }
    // The load's warnings, for the parser too.
    RegWarnings& Warnings() { return warnings_; }
    // The lines that count not yet handed to the sink; they point at file
    // names this object keeps.
    std::vector<RegLine> TakeLines() { return std::move(out_); }

private:
    struct Variable {
        bool set = false;
        std::string value;
        std::string source;   // "#define at file:line", the options' label, "environment"
        RegVariableUse::Source kind = RegVariableUse::NotSet;
        std::string label;    // RegVariableUse::label
    };

    void AddFile(std::string text, const std::string& name, int depth, const std::string& includedAt);
    // A file's bytes (within what is left of the load's limit) as text,
    // decoded as DecodeRegText says, with the code page chosen here.
    std::string ReadText(const std::string& path, bool stringFile, const std::string& includedAt);
    std::string Decode(std::string bytes, const std::string& path, bool stringFile);
    bool SysgenLine(const std::string& raw, const std::string& file, int line, std::vector<Block>& blocks);
    void HashLine(const std::string& raw, size_t pos, const std::string& file, int line, int depth,
                  std::vector<Block>& blocks);
    bool BuildLine(const std::string& raw, size_t pos, const std::string& file, int line, std::vector<Block>& blocks);
    void Include(const std::string& arg, const std::string& file, int line, int depth);

    Variable Lookup(const std::string& name, const std::string& where);
    Variable LookupOutside(const std::string& name) const;
    bool InImage(const std::string& component, const std::string& where);
    bool HashCondition(const std::string& directive, const std::string& arg, const std::string& file, int line);
    bool BuildCondition(const std::string& text, const std::string& file, int line);
    bool SysgenCondition(const std::string& text, const std::string& where);

    // $(NAME) replaced outside comments; names not set are left as written
    // and listed in *unset.  What expansion adds counts against the load's
    // expansion limit (CheckExpansion).
    std::string Expand(const std::string& text, const std::string& where, std::vector<std::string>* unset);
    // The same, appended to `out`; a value's own $(NAME)s one level deeper.
    void ExpandInto(const std::string& text, std::string& out, const std::string& where,
                    std::vector<std::string>* unset, int depth);
    // Throws RegLimitError when what expansion added so far and `more`
    // bytes would pass kRegExpansionFactor times the bytes read and
    // kRegExpansionAllowance.
    void CheckExpansion(size_t more) const;
    size_t ExpansionLeft() const;
    std::string Chain(const std::string& name) const;
    std::string Localise(const std::string& text, const std::string& file, int line);

    void Warn(const std::string& where, const std::string& what);
    // A line that counts, to the lines kept (and the sink).
    void Keep(RegLine&& line);
    void Skipped(const std::string& file, int from, int to, const std::string& why);
    // The innermost block, of `kind`, at an else directive (`directive` as
    // written, `final` for a plain else) with the branch before it ended;
    // the caller starts the next one.
    Block& NextBranch(std::vector<Block>& blocks, Block::Kind kind, const std::string& directive, bool final,
                      const std::string& file, int line);
    // Ends the innermost block, of `kind`, at its end directive.
    void CloseBlock(std::vector<Block>& blocks, Block::Kind kind, const std::string& directive, const std::string& file,
                    int line);

    const RegLoadOptions& options_;
    RegWarnings warnings_;
    std::map<std::string, std::pair<std::string, std::string>> defines_;   // upper-case name -> value, "file:line"
    std::map<std::string, std::pair<std::string, std::string>> strings_;   // LOC_ name -> text, file
    std::map<std::string, size_t> variableAt_;                             // upper-case name -> its entry in the report
    std::map<std::string, bool> stringNoted_;                              // LOC_ names reported
    std::map<std::string, bool> components_;                               // upper-case name -> in the image
    std::vector<std::pair<std::string, std::string>> assumed_;             // component taken as in, where first met
    std::map<std::string, bool> missingStrings_;                           // LOC_ names warned about
    size_t bytesRead_ = 0;    // by all the files of the load, against options_.maxFileBytes
    size_t bytesOut_ = 0;     // of the lines that count, against the same limit
    size_t added_ = 0;        // bytes that expansion added to the lines, all of them together
    size_t expansions_ = 0;   // $(NAME) replaced in the current line
    std::vector<std::string> expanding_;   // the upper-case names being expanded, outermost first
    size_t lineStart_ = 0;    // where the line being expanded starts in its output
    size_t lineText_ = 0;     // and its length as written
    std::list<std::string> names_;   // file names the lines point to; a list keeps them in place
    std::vector<RegLine> out_;
    std::function<void(std::vector<RegLine>&)> sink_;
    size_t sinkAt_ = 256;   // lines in out_ at which the sink is called next
};

}  // namespace host
