// The .reg loader: reads the files, has the preprocessor merge them into the
// lines that count and the parser turn those into changes, and applies the
// changes only when every line of every file parsed, so a broken file
// changes nothing.
#include <deque>
#include <string>
#include <vector>

#include "codepage.h"
#include "host/registry.h"
#include "regparser.h"
#include "regpreprocessor.h"
#include "regtext.h"

namespace host {
namespace {

// The files given by path, or one text given as its bytes.
struct Source {
    std::string path;
    const std::string* bytes;   // the text itself, or nullptr to read `path`
};

bool Load(const std::vector<Source>& sources, std::string* error, const RegLoadOptions& options)
{
    RegChangeList changes;
    RegPreprocessor pre(options);
    try {
        // The lines are parsed as they are made, not all held first.
        RegParser parser(&pre.Warnings());
        pre.SetSink([&](std::vector<RegLine>& lines) { parser.Parse(lines, false); });
        pre.ReadStringFiles();
        for (const Source& s : sources) {
            if (s.bytes)
                pre.Add(*s.bytes, s.path);
            else
                pre.AddPath(s.path);
        }
        pre.Finish();
        std::vector<RegLine> rest = pre.TakeLines();
        parser.Parse(rest, true);
        changes = parser.Take();
    } catch (const RegError& e) {
        pre.Warnings().Close();
        if (error)
            *error = e.Text();
        return false;
    }
    pre.Warnings().Close();
    // Each change is let go once applied, so that the list and the tree it
    // fills do not both hold the whole file at the end.
    for (RegChange c; changes.Pop(c);) {
        switch (c.kind) {
        case RegChange::CreateKey: RegistryCreateKey(c.root, c.key); break;
        case RegChange::SetValue: RegistrySetValue(c.root, c.key, c.name, c.type, std::move(c.data)); break;
        case RegChange::DeleteValue: RegistryDeleteValue(c.root, c.key, c.name); break;
        }
    }
    return true;
}

}  // namespace

std::string RegFileRead::Text() const
{
    return includedAt.empty() ? path : path + " (included at " + includedAt + ")";
}

std::string RegVariableUse::Text() const
{
    switch (source) {
    case NotSet: return name + " (not set; first asked at " + firstAskedAt + ")";
    case Given: return name + "=" + value + " (" + label + ")";
    case Environment: return name + "=" + value + " (environment)";
    case Defined: return name + "=" + value + " (#define at " + label + ")";
    }
    return name;
}

std::string RegComponentChoice::Text() const
{
    return name + (inImage ? ": in the image (" : ": not in the image (") + why + ")";
}

std::string RegSkippedBlock::Text() const
{
    return file + ":" + std::to_string(from) + "-" + std::to_string(to) + " (" + condition + " not taken)";
}

bool RegCodePageSupported(unsigned codePage)
{
    return CodePageSupported(codePage);
}

bool RegistryLoadFiles(const std::vector<std::string>& paths, std::string* error, const RegLoadOptions& options)
{
    std::vector<Source> sources;
    for (const std::string& path : paths)
        sources.push_back(Source{path, nullptr});
    return Load(sources, error, options);
}

bool RegistryLoadFile(const std::string& path, std::string* error, const RegLoadOptions& options)
{
    return RegistryLoadFiles({path}, error, options);
}

bool RegistryLoadText(const std::string& text, const std::string& sourceName, std::string* error,
                      const RegLoadOptions& options)
{
    return Load({Source{sourceName, &text}}, error, options);
}

}  // namespace host
