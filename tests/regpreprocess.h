// What the preprocessor tests share: a load of given texts through the
// preprocessor alone, and what it kept, warned of, reported or stopped at.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "host/registry.h"
#include "regpreprocessor.h"

namespace regtest {

struct Result {
    std::vector<std::string> lines;      // "file:line: text" of the lines kept
    std::vector<std::string> warnings;
    host::RegLoadReport report;
    std::string error;                   // "file:line: ..." when the load stopped
};

using Files = std::vector<std::pair<std::string, std::string>>;   // name, text

inline Result Preprocess(const Files& files, host::RegLoadOptions options = host::RegLoadOptions())
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

inline Result Preprocess(const std::string& text, const std::map<std::string, std::string>& defines = {})
{
    host::RegLoadOptions options;
    options.defines = defines;
    return Preprocess(Files{{"t.reg", text}}, options);
}

inline bool Has(const std::vector<std::string>& list, const std::string& item)
{
    for (const std::string& s : list)
        if (s == item)
            return true;
    return false;
}

}  // namespace regtest
