// The .reg parser: the lines the preprocessor kept, turned into a list of
// changes to the registry.  Nothing is applied here, so a caller can refuse
// everything when one line is wrong.  Host sources and their tests only.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "host/registry.h"
#include "reglines.h"

namespace host {

struct RegChange {
    enum Kind { CreateKey, SetValue, DeleteValue } kind;
    RegRoot root;
    std::string key;
    std::string name;
    uint32_t type = 0;   // REG_NONE
    std::vector<uint8_t> data;
};

// Changes staged until a load ends, packed as records in blocks of bytes:
// a key's record holds its root and path, a value's its name, type and
// data (a value's data of a block or more stays in its own vector, beside
// its record in a block of its own), and takes its key from the key record
// before it (a value always
// belongs to the latest [key] line), so a short statement ("a=-") costs a
// few bytes more than its text.  The list grows a block at a time (never
// copied whole to grow) and lets each block go once Pop has read past it.
class RegChangeList {
public:
    // Where the list ends, to go back to.
    struct Mark {
        size_t blocks = 0, used = 0, count = 0, lastAt = 0;
        bool lastCreates = false;
    };

    void Push(RegChange change);
    size_t size() const { return count_ - popped_; }
    bool empty() const { return size() == 0; }
    Mark Here() const
    {
        return Mark{blocks_.size(), blocks_.empty() ? 0 : blocks_.back().used, count_, lastAt_, lastCreates_};
    }
    // Drops what was pushed since `mark` (nothing may have been popped since).
    void Back(const Mark& mark);
    // Whether the last record pushed creates this key (spelt as pushed).
    bool LastCreates(RegRoot root, const std::string& key) const;
    // The first change, read into `out` and let go; false when none is left.
    bool Pop(RegChange& out);

private:
    struct Block {
        std::unique_ptr<uint8_t[]> bytes;
        size_t size = 0, used = 0;
        std::vector<uint8_t> data;   // a large value's data, kept as it came rather than copied
    };
    static constexpr size_t kBlockBytes = 4096;

    std::deque<Block> blocks_;
    size_t count_ = 0, popped_ = 0;
    size_t readAt_ = 0;          // in the first block
    bool lastCreates_ = false;   // the last record pushed is a CreateKey
    size_t lastAt_ = 0;          // where it starts in the last block
    RegRoot root_ = RegRoot::LocalMachine;   // the reader's current key
    std::string key_;
};

// Parses lines as they come, so that a load does not hold all its lines at
// once: each call parses the statements that end within `lines` and lets
// their lines go; the start of a statement that goes on past the last line
// stays in `lines` until the next call, or fails on the `last` call.
// Throws RegError ("expected ...") at the first line that does not parse;
// lines read other than as written ("file:line: ...: read as ...") are
// added to *warnings (which must outlive the parser).
class RegParser {
public:
    explicit RegParser(RegWarnings* warnings);
    ~RegParser();
    void Parse(std::vector<RegLine>& lines, bool last);
    // The changes parsed so far, in order.
    RegChangeList Take();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// All the lines at once.  Throws RegError ("expected ...") at the first line that does not parse.
// Lines read other than as written ("file:line: ...: read as ...") are
// appended to *warnings when it is set.
// The lines' texts are released as they are parsed.
std::vector<RegChange> ParseRegLines(std::vector<RegLine>&& lines, std::vector<std::string>* warnings = nullptr);

// A string as a REG_SZ value holds it: UTF-16LE with its terminating zero.
std::vector<uint8_t> RegStringData(const std::string& utf8);

}  // namespace host
