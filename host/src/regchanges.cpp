// The staged changes of a load, packed: RegChangeList (regparser.h).
#include <cstring>
#include <utility>

#include "host/platform.h"
#include "regparser.h"

namespace host {

namespace {

// Lengths and types as 7 bits a byte, low bits first, the top bit set on
// all but the last.
size_t CountSize(uint64_t n)
{
    size_t bytes = 1;
    for (; n >= 0x80; n >>= 7)
        ++bytes;
    return bytes;
}

uint8_t* PutCount(uint8_t* at, uint64_t n)
{
    for (; n >= 0x80; n >>= 7)
        *at++ = static_cast<uint8_t>(n | 0x80);
    *at++ = static_cast<uint8_t>(n);
    return at;
}

uint64_t GetCount(const uint8_t*& at)
{
    uint64_t n = 0;
    for (unsigned shift = 0;; shift += 7) {
        const uint8_t b = *at++;
        n |= static_cast<uint64_t>(b & 0x7f) << shift;
        if (!(b & 0x80))
            return n;
    }
}

// Marks, in a record's kind byte, a value whose data is its block's vector.
const uint8_t kAside = 0x80;

bool IsKeyChange(RegChange::Kind kind)
{
    return kind == RegChange::CreateKey;
}

}  // namespace

// A record: its kind; then for a key, its root and its path's length and
// bytes; for a value, its name's length and bytes, and for SetValue its
// type and its data's length and bytes, or (kAside) nothing more when the
// data is the block's own vector.
void RegChangeList::Push(RegChange c)
{
    const bool key = IsKeyChange(c.kind);
    const bool aside = c.kind == RegChange::SetValue && c.data.size() >= kBlockBytes;
    size_t size = 1;
    if (key) {
        size += 1 + CountSize(c.key.size()) + c.key.size();
    } else {
        size += CountSize(c.name.size()) + c.name.size();
        if (c.kind == RegChange::SetValue)
            size += CountSize(c.type) + (aside ? 0 : CountSize(c.data.size()) + c.data.size());
    }
    if (aside || blocks_.empty() || blocks_.back().size - blocks_.back().used < size) {
        Block b;
        b.size = aside ? size : std::max(size, kBlockBytes);
        b.bytes.reset(new uint8_t[b.size]);
        blocks_.push_back(std::move(b));
    }
    Block& b = blocks_.back();
    lastAt_ = b.used;
    uint8_t* at = b.bytes.get() + b.used;
    *at++ = static_cast<uint8_t>(c.kind | (aside ? kAside : 0));
    if (key) {
        *at++ = static_cast<uint8_t>(c.root);
        at = PutCount(at, c.key.size());
        std::memcpy(at, c.key.data(), c.key.size());
        at += c.key.size();
    } else {
        at = PutCount(at, c.name.size());
        std::memcpy(at, c.name.data(), c.name.size());
        at += c.name.size();
        if (c.kind == RegChange::SetValue) {
            at = PutCount(at, c.type);
            if (aside) {
                b.data = std::move(c.data);
            } else {
                at = PutCount(at, c.data.size());
                if (!c.data.empty())
                    std::memcpy(at, c.data.data(), c.data.size());
                at += c.data.size();
            }
        }
    }
    b.used = static_cast<size_t>(at - b.bytes.get());
    lastCreates_ = c.kind == RegChange::CreateKey;
    ++count_;
}

void RegChangeList::Back(const Mark& mark)
{
    blocks_.resize(mark.blocks);
    if (!blocks_.empty())
        blocks_.back().used = mark.used;
    count_ = mark.count;
    lastAt_ = mark.lastAt;
    lastCreates_ = mark.lastCreates;
}

bool RegChangeList::LastCreates(RegRoot root, const std::string& key) const
{
    if (!lastCreates_ || blocks_.empty())
        return false;
    const uint8_t* at = blocks_.back().bytes.get() + lastAt_ + 1;
    if (static_cast<RegRoot>(*at++) != root)
        return false;
    const uint64_t length = GetCount(at);
    return length == key.size() && std::memcmp(at, key.data(), key.size()) == 0;
}

bool RegChangeList::Pop(RegChange& out)
{
    if (empty())
        return false;
    while (readAt_ == blocks_.front().used) {
        blocks_.pop_front();
        readAt_ = 0;
    }
    const uint8_t* at = blocks_.front().bytes.get() + readAt_;
    const bool aside = (*at & kAside) != 0;
    out.kind = static_cast<RegChange::Kind>(*at++ & ~kAside);
    out.type = REG_NONE;
    out.name.clear();
    out.data.clear();
    if (IsKeyChange(out.kind)) {
        root_ = static_cast<RegRoot>(*at++);
        const size_t length = static_cast<size_t>(GetCount(at));
        key_.assign(reinterpret_cast<const char*>(at), length);
        at += length;
    } else {
        const size_t length = static_cast<size_t>(GetCount(at));
        out.name.assign(reinterpret_cast<const char*>(at), length);
        at += length;
        if (out.kind == RegChange::SetValue) {
            out.type = static_cast<uint32_t>(GetCount(at));
            if (aside) {
                out.data = std::move(blocks_.front().data);
            } else {
                const size_t size = static_cast<size_t>(GetCount(at));
                out.data.assign(at, at + size);
                at += size;
            }
        }
    }
    out.root = root_;
    out.key = key_;
    readAt_ = static_cast<size_t>(at - blocks_.front().bytes.get());
    ++popped_;
    // A block read to its end goes before the change is applied.
    if (readAt_ == blocks_.front().used) {
        blocks_.pop_front();
        readAt_ = 0;
    }
    return true;
}

}  // namespace host
