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
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
    RegRoot root;
    std::string key;
    std::string name;
    uint32_t type = 0;   // REG_NONE
    std::vector<uint8_t> data;
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
    std::deque<RegChange> Take();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// All the lines at once.  Throws RegError ("expected ...") at the first line that does not parse.
// Lines read other than as written ("file:line: ...: read as ...") are
// appended to *warnings when it is set.
// The lines' texts are released as they are parsed.
std::vector<RegChange> ParseRegLines(std::vector<RegLine>&& lines, std::vector<std::string>* warnings = nullptr);

// The value type of mui_sz: (a string naming a resource: "dll,#id").
const uint32_t kRegMuiSz = 21;

// A string as a REG_SZ value holds it: UTF-16LE with its terminating zero.
std::vector<uint8_t> RegStringData(const std::string& utf8);

}  // namespace host
