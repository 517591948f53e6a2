// The .reg loader: reads the files, has the preprocessor merge them into the
// lines that count and the parser turn those into changes, and applies the
// changes only when every line of every file parsed, so a broken file
// changes nothing.
#include <string>
#include <vector>

#include "host/registry.h"
#include "regparser.h"
#include "regpreprocessor.h"
#include "regtext.h"

namespace host {
namespace {

struct Source {
    std::string text;
    std::string name;
};

bool Load(const std::vector<Source>& sources, std::string* error, const RegLoadOptions& options)
{
    std::vector<RegChange> changes;
    try {
        RegPreprocessor pre(options);
        pre.ReadStringFiles();
        for (const Source& s : sources)
            pre.Add(s.text, s.name);
        pre.Finish();
        changes = ParseRegLines(pre.TakeLines());
    } catch (const RegError& e) {
        if (error)
            *error = e.Text();
        return false;
    }
    for (const RegChange& c : changes) {
        switch (c.kind) {
        case RegChange::CreateKey: RegistryCreateKey(c.root, c.key); break;
        case RegChange::DeleteKey: RegistryDeleteKey(c.root, c.key); break;
        case RegChange::SetValue: RegistrySetValue(c.root, c.key, c.name, c.type, c.data); break;
        case RegChange::DeleteValue: RegistryDeleteValue(c.root, c.key, c.name); break;
        }
    }
    return true;
}

}  // namespace

bool RegistryLoadFiles(const std::vector<std::string>& paths, std::string* error, const RegLoadOptions& options)
{
    std::vector<Source> sources;
    for (const std::string& path : paths) {
        Source s{std::string(), path};
        std::string why;
        if (!ReadRegText(path, &s.text, &why)) {
            if (error)
                *error = path + ": " + why;
            return false;
        }
        sources.push_back(std::move(s));
    }
    return Load(sources, error, options);
}

bool RegistryLoadFile(const std::string& path, std::string* error, const RegLoadOptions& options)
{
    return RegistryLoadFiles({path}, error, options);
}

bool RegistryLoadText(const std::string& text, const std::string& sourceName, std::string* error,
                      const RegLoadOptions& options)
{
    return Load({Source{text, sourceName}}, error, options);
}

}  // namespace host
