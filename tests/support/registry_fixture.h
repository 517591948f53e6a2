// The registry's tests: a fixture that starts and ends with a fresh host,
// opens keys under HKEY_LOCAL_MACHINE and queries values into a buffer
// filled with a marker, so that what the call wrote and what it left can be
// told apart.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/platform.h"

inline std::u16string W(const std::string& s) { return host::Widen(s); }
inline LPCWSTR P(const std::u16string& s) { return reinterpret_cast<LPCWSTR>(s.c_str()); }

class RegistryFixture : public ::testing::Test {
protected:
    void SetUp() override { host::ResetAll(); }
    void TearDown() override { host::ResetAll(); }

    HKEY Open(const std::string& path)
    {
        HKEY k = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, P(W(path)), 0, 0, &k), ERROR_SUCCESS) << path;
        return k;
    }

    // Queries into a buffer of `size` bytes filled with 0xEE.
    struct Answer {
        LONG result;
        DWORD type;
        DWORD size;
        std::vector<uint8_t> buffer;
    };
    Answer Query(HKEY k, const std::string& name, DWORD size)
    {
        Answer a{0, 0xDEAD, size, std::vector<uint8_t>(size + 4, 0xEE)};
        a.result = RegQueryValueExW(k, P(W(name)), nullptr, &a.type, a.buffer.data(), &a.size);
        return a;
    }
};
