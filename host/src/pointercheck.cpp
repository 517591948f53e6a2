// IsBadWritePtr: whether a range can be written, answered by the kernel from
// the process's mappings.  Every byte of [p, p + n) must lie in mappings that
// allow writing and follow one another without a gap.  The answer is taken
// afresh on each call, so a page unmapped or protected a moment ago counts at
// once; nothing is written.
//
// The quick way asks the kernel to make the range's pages ready for writing
// (madvise MADV_POPULATE_WRITE, Linux 5.14): it succeeds only when every page
// is mapped and writable, and it touches no byte, so concurrent writers lose
// nothing.  Like the platform's own probe it commits the pages it checks.  It
// costs about a microsecond where reading /proc/self/maps costs tens: an
// application polling waveOutGetPosition makes this call on every poll.
// Where the kernel or an emulator does not give that answer truthfully (a
// self-test at first use: a writable page must pass, a read-only and an
// unmapped one must fail), the list of mappings is read instead.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "host/host.h"
#include "host/platform.h"

namespace {

// Reads /proc/self/maps line by line into a fixed buffer, without the heap,
// and calls fn(start, end, writable) for each mapping in address order until
// fn returns false.
template <class Fn>
bool ForEachMapping(Fn fn)
{
    int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[8192];
    size_t have = 0;   // bytes in buf
    size_t pos = 0;    // start of the first line not yet parsed
    size_t chunk = 1024;
    bool more = true;
    bool going = true;
    while (going && (more || pos < have)) {
        char* nl = static_cast<char*>(std::memchr(buf + pos, '\n', have - pos));
        if (nl == nullptr && more && (pos > 0 || have < sizeof buf)) {
            // Move the partial line to the front once and read behind it.
            std::memmove(buf, buf + pos, have - pos);
            have -= pos;
            pos = 0;
            // The kernel writes out as many lines as a read asks for room for:
            // small reads first, since most answers come from the first lines.
            size_t ask = sizeof buf - have < chunk ? sizeof buf - have : chunk;
            chunk = chunk < sizeof buf ? chunk * 2 : chunk;
            ssize_t n = read(fd, buf + have, ask);
            if (n <= 0)
                more = false;
            else
                have += static_cast<size_t>(n);
            continue;
        }
        if (nl == nullptr)
            nl = buf + have;   // the last line without a newline, or an overlong one
        // "start-end perms ...": parse the two hex numbers and the 'w'.
        const char* c = buf + pos;
        const char* lineEnd = nl;
        auto hex = [&](uintptr_t* out) {
            uintptr_t v = 0;
            bool any = false;
            for (; c < lineEnd; ++c) {
                int d = (*c >= '0' && *c <= '9') ? *c - '0' : (*c >= 'a' && *c <= 'f') ? *c - 'a' + 10 : -1;
                if (d < 0)
                    break;
                v = (v << 4) | static_cast<uintptr_t>(d);
                any = true;
            }
            *out = v;
            return any;
        };
        uintptr_t start = 0, end = 0;
        if (hex(&start) && c < lineEnd && *c++ == '-' && hex(&end) && c + 2 < lineEnd && *c == ' ')
            going = fn(start, end, c[2] == 'w');
        pos = static_cast<size_t>(nl - buf) + (nl < buf + have ? 1 : 0);
    }
    close(fd);
    return true;
}

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23   // <linux/mman.h>; older C libraries lack it
#endif

enum class Populate { kUnknown, kTruthful, kUnusable };
std::atomic<Populate> g_populate{Populate::kUnknown};
std::atomic<bool> g_mappingListAsked{false};

// Asks whether every page of [from, to) is mapped writable; to == 0 is the
// top of the address space.  0: yes; 1: no; -1: no usable answer.
int PopulateAnswer(uintptr_t from, uintptr_t to)
{
    uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t start = from & ~(page - 1);
    uintptr_t last = (to - 1) & ~(page - 1);   // the range's last page
    size_t length = static_cast<size_t>(last - start) + page;   // may wrap to 0 at the top
    if (length == 0)
        return 1;
    if (madvise(reinterpret_cast<void*>(start), length, MADV_POPULATE_WRITE) == 0)
        return 0;
    // ENOMEM: a gap in the range; EINVAL: a page without write access (or a
    // mapping that cannot be populated, such as device memory: not writable
    // memory an application hands over); EFAULT: a write there would fault.
    return (errno == ENOMEM || errno == EINVAL || errno == EFAULT) ? 1 : -1;
}

// The self-test: true when madvise tells a writable page from a read-only and
// an unmapped one.  qemu's user-mode emulation, for one, may answer success
// to every advice.
bool PopulateIsTruthful()
{
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* m = mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED)
        return false;
    auto* p = static_cast<char*>(m);
    bool ok = mprotect(p + page, page, PROT_READ) == 0 && munmap(p + 2 * page, page) == 0;
    uintptr_t base = reinterpret_cast<uintptr_t>(p);
    ok = ok && PopulateAnswer(base, base + page) == 0 && PopulateAnswer(base + page, base + 2 * page) == 1 &&
         PopulateAnswer(base + 2 * page, base + 3 * page) == 1 && PopulateAnswer(base, base + 2 * page) == 1;
    munmap(p, 2 * page);
    return ok;
}

}  // namespace

namespace host {

PointerCheck CurrentPointerCheck()
{
    if (g_mappingListAsked.load(std::memory_order_relaxed))
        return PointerCheck::MappingList;
    Populate how = g_populate.load(std::memory_order_relaxed);
    if (how == Populate::kUnknown) {
        // Two threads may both run the self-test; they reach the same answer.
        how = PopulateIsTruthful() ? Populate::kTruthful : Populate::kUnusable;
        g_populate.store(how, std::memory_order_relaxed);
    }
    return how == Populate::kTruthful ? PointerCheck::Quick : PointerCheck::MappingList;
}

PointerCheck UseMappingListForPointerChecks(bool on)
{
    g_mappingListAsked.store(on, std::memory_order_relaxed);
    return CurrentPointerCheck();
}

}  // namespace host

extern "C" BOOL IsBadWritePtr(LPVOID lp, UINT_PTR ucb)
{
    if (lp == nullptr)
        return TRUE;
    if (ucb == 0)
        return FALSE;
    uintptr_t from = reinterpret_cast<uintptr_t>(lp);
    if (ucb - 1 > UINTPTR_MAX - from)
        return TRUE;   // the range wraps around the address space
    uintptr_t to = from + ucb;   // may be 0 when the range ends at the very top

    if (host::CurrentPointerCheck() == host::PointerCheck::Quick) {
        int answer = PopulateAnswer(from, to);
        if (answer >= 0)
            return answer == 0 ? FALSE : TRUE;
    }
    uintptr_t covered = from;    // writable up to here
    bool done = false;
    bool readable = ForEachMapping([&](uintptr_t start, uintptr_t end, bool writable) {
        if (end <= covered)
            return true;              // wholly below what is still needed
        if (start > covered || !writable)
            return false;             // a gap or a read-only mapping
        covered = end;
        if (to != 0 && covered >= to)
            done = true;
        return !done;
    });
    return (readable && done) ? FALSE : TRUE;
}
