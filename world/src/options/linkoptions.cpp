// The parsers of the link's and radio's options: the codec, the bitpool,
// the baseband packet types, the flush timeout and the interference.
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "btstandin/sendpath.h"
#include "world/options.h"

namespace player {

bool ParseCodec(Arg& a)
{
    std::string v;
    if (!a.Take(&v))
        return false;
    const btstandin::CodecInfo* codec = btstandin::CodecNamed(v);
    if (!codec)
        return a.Fail("option --codec expects " + btstandin::CodecNames(" or ") + ", not '" + v + "'");
    a.o->codec = codec->id;
    return true;
}

// N, or MIN-MAX, each from 2 to 250 (the frame header's bitpool; the
// largest a 44.1 kHz joint stereo frame can use is far lower, but the
// header is the limit the codec states).
bool ParseBitpool(Arg& a)
{
    std::string v;
    if (!a.Take(&v))
        return false;
    size_t dash = v.find('-');
    uint64_t lo = 0, hi = 0;
    bool ok = dash == std::string::npos ? ParseUnsigned(v, 250, &lo)
                                        : ParseUnsigned(v.substr(0, dash), 250, &lo) &&
                                              ParseUnsigned(v.substr(dash + 1), 250, &hi);
    if (dash == std::string::npos)
        hi = lo;
    if (!ok || lo < 2 || hi < lo)
        return a.Fail("option --bitpool expects a bitpool from 2 to 250, or a range MIN-MAX of them, not '" + v + "'");
    a.o->bitpoolMin = static_cast<uint32_t>(lo);
    a.o->bitpoolMax = static_cast<uint32_t>(hi);
    a.o->bitpoolFixed = dash == std::string::npos;
    return true;
}

// A list of EDR ACL packet types, such as 2-DH1,2-DH3,2-DH5; "2M" and "3M"
// name each rate's three.
bool ParseAclTypes(Arg& a)
{
    std::string v;
    if (!a.Take(&v))
        return false;
    uint32_t types = 0;
    size_t at = 0;
    while (at <= v.size()) {
        size_t comma = v.find(',', at);
        const std::string name = v.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        const btstandin::AclTypeInfo* t = btstandin::AclTypeNamed(name.c_str());
        if (t)
            types |= t->bit;
        else if (name == "2M" || name == "3M")
            types |= name == "2M" ? btstandin::kAclEdr2 : btstandin::kAclEdr3;
        else
            return a.Fail("option --radio-types expects EDR packet types such as 2-DH1,2-DH3,2-DH5 (or 2M, 3M), "
                          "not '" + v + "'");
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }
    a.o->aclTypes = types;
    return true;
}

bool ParseFlushTimeout(Arg& a)
{
    std::string v;
    if (!a.Take(&v))
        return false;
    uint64_t ms = 0;
    if (v == "off") {
        a.o->flushMs = 0;
        return true;
    }
    if (!ParseUnsigned(v, 1279, &ms) || ms == 0)
        return a.Fail("option --flush-timeout expects milliseconds from 1 to 1279, or off, not '" + v + "'");
    a.o->flushMs = static_cast<uint32_t>(ms);
    return true;
}

bool ParseInterference(Arg& a)
{
    std::string v;
    if (!a.Take(&v))
        return false;
    size_t c1 = v.find(':'), c2 = c1 == std::string::npos ? c1 : v.find(':', c1 + 1);
    auto fail = [&] {
        return a.Fail("option --interference expects START:LENGTH:SHARE (times such as 2s, a share such as 0.5 "
                      "or 50%), not '" + v + "'");
    };
    if (c2 == std::string::npos)
        return fail();
    uint64_t start = 0, length = 0;
    if (!ParseMilliseconds(v.substr(0, c1), &start) || !ParseMilliseconds(v.substr(c1 + 1, c2 - c1 - 1), &length) ||
        length == 0)
        return fail();
    std::string shareText = v.substr(c2 + 1);
    bool percent = !shareText.empty() && shareText.back() == '%';
    if (percent)
        shareText.pop_back();
    char* end = nullptr;
    errno = 0;
    double share = std::strtod(shareText.c_str(), &end);
    if (shareText.empty() || errno != 0 || *end != '\0')
        return fail();
    if (percent)
        share /= 100;
    if (!(share >= 0 && share <= 1))
        return fail();
    a.o->interference.on = true;
    a.o->interference.startMs = start;
    a.o->interference.lengthMs = length;
    a.o->interference.share = share;
    return true;
}

}  // namespace player
