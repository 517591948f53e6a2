#include "image.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "kit/driver.h"

namespace fuzzing {
namespace {

// Copies that AddressSanitizer does not check: the driver's globals are
// surrounded by poisoned red zones, which belong to the image all the same.
// Word by word through volatile pointers, so that the compiler does not turn
// the loop into a call of the (checked) memcpy.
__attribute__((no_sanitize("address"))) void RawCopy(uint8_t* dst, const uint8_t* src, size_t n)
{
    size_t i = 0;
    if ((reinterpret_cast<uintptr_t>(dst) | reinterpret_cast<uintptr_t>(src)) % sizeof(uint64_t) == 0) {
        volatile uint64_t* d = reinterpret_cast<volatile uint64_t*>(dst);
        const volatile uint64_t* s = reinterpret_cast<const volatile uint64_t*>(src);
        for (; i + sizeof(uint64_t) <= n; i += sizeof(uint64_t))
            d[i / sizeof(uint64_t)] = s[i / sizeof(uint64_t)];
    }
    volatile uint8_t* d = dst;
    for (; i < n; ++i)
        d[i] = src[i];
}

}  // namespace

bool DriverImage::Capture(const void* symbolInLibrary, std::string* error)
{
    Dl_info info{};
    if (dladdr(symbolInLibrary, &info) == 0 || info.dli_fname == nullptr) {
        *error = "dladdr found no library for the symbol";
        return false;
    }
    std::ifstream file(info.dli_fname, std::ios::binary);
    std::vector<char> elf((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (elf.size() < sizeof(ElfW(Ehdr))) {
        *error = std::string("cannot read ") + info.dli_fname;
        return false;
    }
    const auto* eh = reinterpret_cast<const ElfW(Ehdr)*>(elf.data());
    if (eh->e_shoff == 0 || eh->e_shoff + eh->e_shnum * sizeof(ElfW(Shdr)) > elf.size()) {
        *error = "no section table";
        return false;
    }
    const auto* sh = reinterpret_cast<const ElfW(Shdr)*>(elf.data() + eh->e_shoff);
    const char* names = elf.data() + sh[eh->e_shstrndx].sh_offset;
    auto* base = static_cast<uint8_t*>(info.dli_fbase);
    regions_.clear();
    for (unsigned i = 0; i < eh->e_shnum; ++i) {
        std::string name = names + sh[i].sh_name;
        if ((name != ".data" && name != ".bss") || sh[i].sh_size == 0)
            continue;
        Region r;
        r.address = base + sh[i].sh_addr;
        r.saved.resize(sh[i].sh_size);
        RawCopy(r.saved.data(), r.address, r.saved.size());
        regions_.push_back(std::move(r));
    }
    if (regions_.empty()) {
        *error = "no .data or .bss section";
        return false;
    }
    return true;
}

void DriverImage::Restore() const
{
    for (const Region& r : regions_)
        RawCopy(r.address, r.saved.data(), r.saved.size());
}

size_t DriverImage::Bytes() const
{
    size_t n = 0;
    for (const Region& r : regions_)
        n += r.saved.size();
    return n;
}

std::unique_ptr<host::DriverModule> LoadDriverWithImage(const char* target, const char* path, DriverImage* image)
{
    std::string error;
    std::unique_ptr<host::DriverModule> driver = kit::LoadDriver(path, &error);
    if (!driver) {
        std::fprintf(stderr, "%s: %s\n", target, error.c_str());
        std::exit(2);
    }
    if (!image->Capture(driver->Symbol("g_StreamContext"), &error)) {
        std::fprintf(stderr, "%s: the driver's image: %s\n", target, error.c_str());
        std::exit(2);
    }
    return driver;
}

bool TraceRequested()
{
    const char* trace = std::getenv("BTWAV_FUZZ_TRACE");
    return trace != nullptr && trace[0] == '1';
}

}  // namespace fuzzing
