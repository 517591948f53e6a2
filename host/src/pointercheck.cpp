// IsBadWritePtr: whether a range can be written, answered from the process's
// own list of mappings.  Every byte of [p, p + n) must lie in mappings that
// allow writing and follow one another without a gap.  The list is read
// afresh on each call (a few dozen microseconds), so a page unmapped or
// protected a moment ago counts at once; nothing is written or probed.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

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

}  // namespace

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
