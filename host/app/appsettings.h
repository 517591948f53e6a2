// The registry's settings an application's environment may give, in the
// player's own syntax (its --define, --strings and --set), read by the start
// library and checked by the runner before the program runs:
//
//   CEHOST_DEFINE="NAME[=VALUE] ..."  build variables of the .reg file
//                                     (CEHOST_REG); before the environment's
//   CEHOST_STRINGS="FILE.str[:FILE.str...]"  the strings of LOC_ placeholders
//   CEHOST_SET="NAME=VALUE ..."       Sample, Timer or CacheLen of the
//                                     driver's key (decimal or 0x hex), set
//                                     after the .reg file is applied
#ifndef CEHOSTAPP_APPSETTINGS_H
#define CEHOSTAPP_APPSETTINGS_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace cehostapp {

using RegistrySets = std::vector<std::pair<std::string, uint32_t>>;   // canonical name, value

// One --set word, NAME=VALUE: false with *error as the player words it.
bool ParseSetWord(const std::string& word, RegistrySets* sets, std::string* error);
// One --define word, NAME or NAME=VALUE (VALUE 1 when left out).
bool ParseDefineWord(const std::string& word, std::map<std::string, std::string>* defines, std::string* error);

// The variables' values: words separated by blanks (CEHOST_SET,
// CEHOST_DEFINE) or file names separated by ':' (CEHOST_STRINGS).
bool ParseSets(const std::string& text, RegistrySets* sets, std::string* error);
bool ParseDefines(const std::string& text, std::map<std::string, std::string>* defines, std::string* error);
std::vector<std::string> SplitStrings(const std::string& text);

}  // namespace cehostapp

#endif
