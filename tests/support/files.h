// Files for the tests: a fresh folder of a test's own, and a file written
// byte for byte.
#pragma once

#include <string>

// A new folder named `name`-XXXXXX under the test's temporary directory, so
// runs of several builds at once do not meet; empty (with a test failure
// recorded) when none can be made.
std::string FreshDir(const std::string& name);

// Writes `bytes` to `path` as they are, replacing the file.
void WriteFile(const std::string& path, const std::string& bytes);
