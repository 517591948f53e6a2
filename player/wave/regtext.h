// The registry as .reg text: each key's lines with each value's type in a
// comment, the roots' keys in order, so that the text loads back to the same
// keys and values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/registry.h"

namespace player {

// The registry as .reg text that loads back to the same keys and values,
// each value with its type in a comment, the roots' keys in order.
std::string FormatRegistry(const std::vector<host::RegistryKeyView>& keys);
// The .reg lines of one key; nothing for a root with no values, or for a
// key the device manager makes at boot.
std::string FormatRegistryKey(host::RegRoot root, const std::string& path,
                              const std::vector<host::RegistryValueView>& values);
// The roots in the order the text lists them.
extern const host::RegRoot kRegistryRootOrder[4];
// The keys the device manager makes as it loads drivers, which the text
// leaves out.
extern const char kBootKeys[];
// A value's type in words ("a string (REG_SZ)", "REG_DWORD").
std::string RegistryTypeName(uint32_t type);

}  // namespace player
