// The registry's settings from the environment (appsettings.h).
#include "appsettings.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "driver/config.h"

namespace cehostapp {

namespace {

const char* const kNames[] = {BTWAV_VALUE_SAMPLE, BTWAV_VALUE_TIMER, BTWAV_VALUE_CACHELEN};

// Decimal or 0x hex, at most 32 bits, nothing after the digits.
bool ParseDword(const std::string& text, uint32_t* value)
{
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || n > 0xFFFFFFFFull)
        return false;
    *value = static_cast<uint32_t>(n);
    return true;
}

std::vector<std::string> Words(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

}  // namespace

bool ParseSetWord(const std::string& word, RegistrySets* sets, std::string* error)
{
    const size_t e = word.find('=');
    if (e == std::string::npos) {
        *error = "--set expects NAME=VALUE, not '" + word + "'";
        return false;
    }
    const std::string key = word.substr(0, e);
    const char* canonical = nullptr;
    for (const char* n : kNames)
        if (strcasecmp(n, key.c_str()) == 0)
            canonical = n;
    if (canonical == nullptr) {
        *error = "--set: unknown value '" + key + "' (expected Sample, Timer or CacheLen)";
        return false;
    }
    uint32_t value = 0;
    if (!ParseDword(word.substr(e + 1), &value)) {
        *error = "--set " + key + ": '" + word.substr(e + 1) + "' is not a 32-bit unsigned number";
        return false;
    }
    sets->emplace_back(canonical, value);
    return true;
}

bool ParseDefineWord(const std::string& word, std::map<std::string, std::string>* defines, std::string* error)
{
    const size_t e = word.find('=');
    const std::string key = word.substr(0, e);
    bool valid = !key.empty() && !std::isdigit(static_cast<unsigned char>(key[0]));
    for (char c : key)
        valid = valid && (std::isalnum(static_cast<unsigned char>(c)) || c == '_');
    if (!valid) {
        *error = "--define expects NAME or NAME=VALUE with a name of letters, digits and _, not '" + word + "'";
        return false;
    }
    (*defines)[key] = e == std::string::npos ? "1" : word.substr(e + 1);
    return true;
}

bool ParseSets(const std::string& text, RegistrySets* sets, std::string* error)
{
    for (const std::string& w : Words(text))
        if (!ParseSetWord(w, sets, error))
            return false;
    return true;
}

bool ParseDefines(const std::string& text, std::map<std::string, std::string>* defines, std::string* error)
{
    for (const std::string& w : Words(text))
        if (!ParseDefineWord(w, defines, error))
            return false;
    return true;
}

std::vector<std::string> SplitStrings(const std::string& text)
{
    std::vector<std::string> files;
    std::istringstream in(text);
    for (std::string f; std::getline(in, f, ':');)
        if (!f.empty())
            files.push_back(f);
    return files;
}

}  // namespace cehostapp
