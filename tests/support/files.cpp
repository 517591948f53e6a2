#include "support/files.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <fstream>
#include <vector>

std::string FreshDir(const std::string& name)
{
    std::string pattern = ::testing::TempDir() + name + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed for " << pattern;
        return std::string();
    }
    return buf.data();
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out)
        ADD_FAILURE() << "cannot write " << path;
}
