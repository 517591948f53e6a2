// The fuzz target of the registry readers: one input is a small board tree
// (a .reg file, a file it may #include and a string file in a locale
// folder) read through the preprocessor, the conditions and the parser, as
// the player's --reg and --strings read real ones, from memory instead of
// the disk.  Crashes, hangs and sanitizer findings are libFuzzer's to
// report; the checks here abort on a broken promise:
// - a load that fails says where ("file:line: ..." or "file: ...");
// - every code page's decoder and encoder agree: what decodes encodes back
//   (to the same bytes for 1252 and UTF-8, to the same text for 932);
// - the files and all the lines kept stay within the load's limit;
// - the load never holds more heap than 6 times what it read and a fixed
//   allowance (the sanitizer's allocator hooks count every byte).
#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "codepage.h"
#include "host/registry.h"

namespace {

// The input's parts are separated by this line; the first byte chooses the
// code page option and the LOCALE variable.
const char kSeparator[] = "\n%%%\n";

const size_t kLimit = 256 << 10;   // the load's limit, low so that a run stays quick

// Heap in use, and its peak since the last Rearm, counted by the hooks.
std::atomic<long long> g_live{0};
std::atomic<long long> g_peak{0};

void OnMalloc(const volatile void*, size_t size)
{
    long long now = g_live += static_cast<long long>(size);
    long long peak = g_peak.load();
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
}

void OnFree(const volatile void* p)
{
    g_live -= static_cast<long long>(__sanitizer_get_allocated_size(const_cast<const void*>(p)));
}

// What a load may hold beyond 6 times its input: what the expansion
// allowance may cost (its bytes as a line, then as a UTF-16 value, with a
// line's spare room: 4 times, 64 KiB), and 32 KiB for what any load holds
// whatever its size: the empty registry's tables (its index, a 4 KiB block
// of names, the node lists' first blocks), the loader's (a 4 KiB block of
// staged changes, a batch of lines, a condition's tokens) and the warnings
// it lists (200 at most, about 100 bytes each when they quote a short
// name).  An empty load measures about 9.5 kB.
//
// Nothing is allowed per key or value: every statement that adds one pays
// for it in bytes read.  A key line of many parts is one node and its
// bytes, about 1 time the line.  Every other new key takes a line of its
// own, 8 bytes at least ("[HKU\x]" and its end): 48 bytes of budget
// against a node of 32 bytes, 3 for the index (its buckets while they
// double) and its name.  A line that forks a chain makes two nodes, one
// split off, but it and the chain's line spelled every part.  A new value
// takes a line too: `x=""` (an unquoted name, read with a warning) is 5
// bytes, 30 of budget, against a record of 20 bytes, 3 for the index and
// an entry of 6 (its type, the sizes of its name and data, the name, the
// empty string's terminator); only 39 names are that short under one key,
// so a key line every 39 values adds to the budget.  Measured at the
// worst: 39 one-letter values under each of 1,229 keys, 251,946 bytes,
// the index doubling at the end, peak 5.5 times.
const long long kHeapAllowance = 4 * static_cast<long long>(host::kRegExpansionAllowance) + (32 << 10);

[[noreturn]] void Broken(const std::string& what)
{
    std::fprintf(stderr, "reg_fuzz: %s\n", what.c_str());
    std::abort();
}

void CheckCodePages(const std::string& bytes)
{
    for (unsigned cp : {host::kCodePage1252, host::kCodePage932, host::kCodePageUtf8}) {
        std::u16string text;
        size_t bad = 0;
        if (!host::DecodeCodePage(cp, bytes.data(), bytes.size(), text, &bad)) {
            if (cp == host::kCodePage1252 || bad >= bytes.size())
                Broken("code page " + std::to_string(cp) + " refused at " + std::to_string(bad));
            continue;
        }
        std::string back;
        bool defaulted = false;
        if (!host::EncodeCodePage(cp, text.data(), text.size(), back, '?', &defaulted) || defaulted)
            Broken("code page " + std::to_string(cp) + " cannot write back what it read");
        if (cp != host::kCodePage932) {
            if (back != bytes)
                Broken("code page " + std::to_string(cp) + " writes back other bytes than it read");
            continue;
        }
        std::u16string again;
        if (!host::DecodeCodePage(cp, back.data(), back.size(), again, &bad) || again != text)
            Broken("code page 932 writes back bytes that read as another text");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const unsigned choice = data[0];
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    CheckCodePages(input);

    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        const size_t end = input.find(kSeparator, start);
        parts.push_back(input.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos || parts.size() == 3)
            break;
        start = end + sizeof kSeparator - 1;
    }
    std::map<std::string, std::string> files = {{"/board/platform.reg", parts[0]}};
    if (parts.size() > 1)
        files["/board/inc.reg"] = parts[1];
    if (parts.size() > 2)
        files["/board/0411/board.str"] = parts[2];

    std::vector<std::string> warnings;
    host::RegLoadReport report;
    host::RegLoadOptions options;
    options.warnings = &warnings;
    options.report = &report;
    options.maxFileBytes = kLimit;
    const unsigned codePages[] = {0, host::kCodePage1252, host::kCodePage932, host::kCodePageUtf8};
    options.codePage = codePages[choice & 3];
    if (choice & 4)
        options.defines["LOCALE"] = (choice & 8) ? "0411" : "0409";
    if (choice & 16)
        options.defines["CE_MODULES"] = "coredll device waveapi";
    if (files.count("/board/0411/board.str"))
        options.stringFiles = {"/board/0411/board.str"};
    // What the load reads: a file included twice, or into itself, is read
    // (and held) twice, as the image build reads it.
    size_t served = 0;
    options.readFile = [&](const std::string& path, size_t limit, std::string* bytes, std::string* why) {
        auto f = files.find(path);
        if (f == files.end()) {
            *why = "cannot be read";
            return false;
        }
        if (f->second.size() > limit) {
            *why = "larger than " + std::to_string(limit) + " bytes";
            return false;
        }
        *bytes = f->second;
        served += f->second.size();
        why->clear();
        return true;
    };

    host::RegistryClear();
    static const bool hooked = __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree) != 0;
    const long long base = g_live.load();
    g_peak = base;
    std::string error;
    const bool loaded = host::RegistryLoadFiles({"/board/platform.reg"}, &error, options);
    const long long heap = g_peak.load() - base;   // before the checks below allocate
    // REG_FUZZ_HEAP=1 prints each input's figures, for measuring seeds.
    static const bool show = std::getenv("REG_FUZZ_HEAP") != nullptr;
    const long long read = static_cast<long long>(std::max(size, served));
    if (show)
        std::fprintf(stderr, "reg_fuzz: input %lld bytes, heap peak %lld bytes (%.1f times), %s\n", read, heap,
                     static_cast<double>(heap) / static_cast<double>(read), loaded ? "loaded" : error.c_str());
    if (!loaded) {
        if (error.empty() || error[0] != '/' || error.find(": ") == std::string::npos)
            Broken("a failed load that does not say where: " + error);
    }
    // Counted, not listed: a listing names every key by its path, as long
    // as its depth, which for one deep key line is the square of its length.
    const host::RegistryCounts counts = host::RegistryCount();
    const size_t held = counts.dataBytes;
    // A string is stored as UTF-16 (up to twice its UTF-8 bytes and a
    // terminator), a hex list as a third of its text: never more than a few
    // times what was read.
    if (held > 4 * kLimit)
        Broken("the registry holds " + std::to_string(held) + " bytes of values from " + std::to_string(size) +
               " bytes of input");
    if (hooked && heap > 6 * read + kHeapAllowance)
        Broken("the load held " + std::to_string(heap) + " bytes of heap for " + std::to_string(read) +
               " bytes of input");
    host::RegistryClear();
    return 0;
}
