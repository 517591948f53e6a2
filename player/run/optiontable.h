// The player's options as one table: each option's names, argument, help and
// the parser of its value.  Parsing walks it (options.cpp) and the usage is
// printed from it (usage.cpp).
#pragma once

#include <string>
#include <vector>

#include "run/options.h"

namespace player {

// One option being parsed: its name as given, its value when given inline
// (--name=value), the rest of the command line, and where errors go.
struct Arg {
    std::string name;
    std::string value;
    bool hasInlineValue = false;
    int argc = 0;
    char** argv = nullptr;
    int* i = nullptr;   // the argument being parsed; a value taken from the next one moves it on
    Options* o = nullptr;
    std::string* error = nullptr;

    bool Fail(const std::string& message);
    // The value, inline or the next argument.
    bool Take(std::string* v);
    // A flag: no inline value.
    bool None();
    bool Time(uint64_t* ms);
    // A whole number from 1 to `max` into *field.
    template <typename T>
    bool Count(uint64_t max, const std::string& what, T* field)
    {
        uint64_t n = 0;
        if (!WholeNumber(max, what, &n))
            return false;
        *field = static_cast<T>(n);
        return true;
    }
    bool WholeNumber(uint64_t max, const std::string& what, uint64_t* n);
    bool File(std::string* path);
    bool Files(std::vector<std::string>* paths);
    bool Flag(bool* flag, bool set);
    bool Action(TimedAction::Kind kind);
    bool HeadsetTime(uint32_t* frames);
};

// Every option once: the heading it opens (or a note before it), its names,
// its argument as the usage shows it, its help, its default as the usage
// shows it, and its parser.  In the help, "{}" stands for the default; the
// usage fills it into lines of its width.
struct OptionEntry {
    const char* before;   // a heading or note printed before it, or nullptr
    const char* names;    // "--name", or "-h, --help"
    const char* arg;      // "" without a value; "[=X]" joins the name
    const char* help;
    std::string (*shown)(const Options& defaults);   // the default; nullptr when the help has no "{}"
    bool (*parse)(Arg& a);
};

// The table, in the usage's order.
const std::vector<OptionEntry>& OptionTable();

// The entry one of whose names is `name`; nullptr when there is none.
const OptionEntry* FindOption(const std::string& name);

// "250ms", "3s", "1.5s": a time as the options take it, for defaults.
std::string ShowMilliseconds(uint64_t ms);

// A whole number from 0 to `max`, unsigned and whole (strtoull's bases).
bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value);
// The link's options' parsers (linkoptions.cpp).
bool ParseCodec(Arg& a);
bool ParseBitpool(Arg& a);
bool ParseAclTypes(Arg& a);
bool ParseFlushTimeout(Arg& a);
bool ParseInterference(Arg& a);

}  // namespace player
