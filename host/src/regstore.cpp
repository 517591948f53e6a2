// The registry's store (regstore.h): keys, their chains, the index.
#include "regstore.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace host {
namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    return true;
}

// The next part of a path from `pos` on, skipping empty ones; false at its end.
bool NextPart(std::string_view path, size_t* pos, std::string_view* part)
{
    while (*pos < path.size()) {
        size_t end = path.find('\\', *pos);
        if (end == std::string_view::npos)
            end = path.size();
        const size_t start = *pos;
        *pos = end + 1;
        if (end > start) {
            *part = path.substr(start, end - start);
            return true;
        }
    }
    return false;
}

// A node's first part (a chain's name holds several).
std::string_view FirstPart(std::string_view name) { return name.substr(0, name.find('\\')); }

size_t PartCount(std::string_view name)
{
    return name.empty() ? 0 : 1 + static_cast<size_t>(std::count(name.begin(), name.end(), '\\'));
}

// The parts of `rest` joined by one backslash each: `rest` itself when it
// has no empty part, else built in `joined`.
std::string_view JoinParts(std::string_view rest, std::string* joined)
{
    while (!rest.empty() && rest.front() == '\\')
        rest.remove_prefix(1);
    while (!rest.empty() && rest.back() == '\\')
        rest.remove_suffix(1);
    if (rest.find("\\\\") == std::string_view::npos)
        return rest;
    joined->clear();
    std::string_view part;
    for (size_t pos = 0; NextPart(rest, &pos, &part);) {
        if (!joined->empty())
            *joined += '\\';
        joined->append(part.data(), part.size());
    }
    return *joined;
}

}  // namespace

// The order of a listing: names compared byte by byte with ASCII letters
// in lower case.
bool RegStore::NameBefore(std::string_view a, std::string_view b)
{
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const unsigned char x = static_cast<unsigned char>(LowerAscii(a[i]));
        const unsigned char y = static_cast<unsigned char>(LowerAscii(b[i]));
        if (x != y)
            return x < y;
    }
    return a.size() < b.size();
}

RegStore::RegStore() { Clear(); }

void RegStore::Clear()
{
    keys_.clear();
    values_.clear();
    freeKeys_ = freeValues_ = kNone;
    arena_ = Arena();
    buckets_.clear();
    buckets_.shrink_to_fit();
    used_ = 0;
    for (uint32_t r = 0; r < kRoots; ++r)
        keys_.push_back(KeyNode{kNone, kNone, kNone, kNone, kNone, kNone, Bytes()});
    liveKeys_ = liveNodes_ = kRoots;
    liveValues_ = 0;
    liveData_ = 0;
}

// ---- The table ---------------------------------------------------------------------

uint32_t RegStore::Hash(uint32_t owner, bool value, std::string_view name) const
{
    uint32_t h = 2166136261u;   // FNV-1a
    auto mix = [&h](unsigned char c) { h = (h ^ c) * 16777619u; };
    for (int i = 0; i < 4; ++i)
        mix(static_cast<unsigned char>(owner >> (8 * i)));
    mix(value ? 1 : 0);
    for (char c : name)
        mix(static_cast<unsigned char>(LowerAscii(c)));
    h ^= h >> 15;
    h *= 0x2c1b3c6du;
    h ^= h >> 12;
    return h;
}

uint32_t RegStore::HashOf(uint32_t entry) const
{
    if (entry & kValueBit) {
        const ValueNode& v = values_[entry & ~kValueBit];
        return Hash(v.key, true, Decode(v.at).name);
    }
    const KeyNode& k = keys_[entry];
    return Hash(k.parent, false, FirstPart(View(k.name)));
}

bool RegStore::Matches(uint32_t entry, uint32_t owner, bool value, std::string_view name) const
{
    if (((entry & kValueBit) != 0) != value)
        return false;
    if (value) {
        const ValueNode& v = values_[entry & ~kValueBit];
        return v.key == owner && SameName(Decode(v.at).name, name);
    }
    const KeyNode& k = keys_[entry];
    return k.parent == owner && SameName(FirstPart(View(k.name)), name);
}

uint32_t& RegStore::ChainOf(uint32_t entry)
{
    return entry & kValueBit ? values_[entry & ~kValueBit].chain : keys_[entry].chain;
}

uint32_t RegStore::Find(uint32_t owner, bool value, std::string_view name) const
{
    if (buckets_.empty())
        return kNone;
    for (uint32_t e = buckets_[Hash(owner, value, name) & (buckets_.size() - 1)]; e != kNone;
         e = e & kValueBit ? values_[e & ~kValueBit].chain : keys_[e].chain)
        if (Matches(e, owner, value, name))
            return e & ~kValueBit;
    return kNone;
}

void RegStore::Insert(uint32_t entry)
{
    if (used_ + 1 > kLoad * buckets_.size())
        Grow();
    uint32_t& head = buckets_[HashOf(entry) & (buckets_.size() - 1)];
    ChainOf(entry) = head;
    head = entry;
    ++used_;
}

// Twice the buckets, each entry moved to its new one: the old and the new
// arrays are held at once, 3 bytes an entry at most.
void RegStore::Grow()
{
    std::vector<uint32_t> old = std::move(buckets_);
    buckets_.assign(old.empty() ? 16 : old.size() * 2, kNone);
    const size_t mask = buckets_.size() - 1;
    for (uint32_t e : old) {
        while (e != kNone) {
            uint32_t& link = ChainOf(e);
            const uint32_t next = link;
            uint32_t& head = buckets_[HashOf(e) & mask];
            link = head;
            head = e;
            e = next;
        }
    }
}

void RegStore::Erase(uint32_t entry)
{
    uint32_t* link = &buckets_[HashOf(entry) & (buckets_.size() - 1)];
    while (*link != entry)
        link = &ChainOf(*link);
    *link = ChainOf(entry);
    --used_;
}

// ---- Keys --------------------------------------------------------------------------

// The node under `key` whose first part is `part` (any case), or kNone.
uint32_t RegStore::FindChild(uint32_t key, std::string_view part) const { return Find(key, false, part); }

RegStore::Place RegStore::Walk(uint32_t key, std::string_view path) const
{
    size_t pos = 0;
    for (;;) {
        const size_t before = pos;
        std::string_view part;
        if (!NextPart(path, &pos, &part))
            return Place{key, 0, pos};
        const uint32_t child = FindChild(key, part);
        if (child == kNone)
            return Place{key, 0, before};
        // The chain's further parts, one by one against the path's.
        const std::string_view name = View(keys_[child].name);
        size_t at = FirstPart(name).size();
        for (size_t matched = 1; at < name.size(); ++matched) {
            const size_t start = at + 1;
            at = std::min(name.find('\\', start), name.size());
            const size_t here = pos;
            if (!NextPart(path, &pos, &part) || !SameName(part, name.substr(start, at - start)))
                return Place{child, matched, here};
        }
        key = child;
    }
}

uint32_t RegStore::FindPath(uint32_t root, std::string_view path)
{
    const Place p = Walk(root, path);
    std::string_view part;
    size_t pos = p.rest;
    if (NextPart(path, &pos, &part))
        return kNone;   // a part that is not there
    return p.matched ? Split(p.node, p.matched) : p.node;
}

uint32_t RegStore::CreatePath(uint32_t root, std::string_view path)
{
    const Place p = Walk(root, path);
    const uint32_t at = p.matched ? Split(p.node, p.matched) : p.node;
    std::string joined;
    const std::string_view rest = JoinParts(path.substr(std::min(p.rest, path.size())), &joined);
    return rest.empty() ? at : NewKey(at, rest);
}

bool RegStore::Live(uint32_t key) const { return key < keys_.size() && keys_[key].parent != kFree; }

uint32_t RegStore::TakeKeySlot()
{
    if (freeKeys_ != kNone) {
        const uint32_t key = freeKeys_;
        freeKeys_ = keys_[key].next;
        return key;
    }
    if (keys_.size() >= kValueBit)
        throw std::bad_alloc();
    keys_.emplace_back();
    return static_cast<uint32_t>(keys_.size() - 1);
}

uint32_t RegStore::NewKey(uint32_t parent, std::string_view name)
{
    const Bytes stored = Add(arena_, reinterpret_cast<const uint8_t*>(name.data()), name.size());
    const uint32_t key = TakeKeySlot();
    KeyNode& k = keys_[key];
    KeyNode& p = keys_[parent];
    k = KeyNode{parent, kNone, p.firstChild, kNone, kNone, kNone, stored};
    if (p.firstChild != kNone)
        keys_[p.firstChild].prev = key;
    p.firstChild = key;
    Insert(key);
    liveKeys_ += PartCount(name);
    ++liveNodes_;
    return key;
}

uint32_t RegStore::Split(uint32_t node, size_t parts)
{
    const uint32_t up = TakeKeySlot();
    Erase(node);   // its entry is under its parent and first part, both changing
    const Bytes whole = keys_[node].name;
    const std::string_view name = View(whole);
    size_t cut = 0;
    for (size_t n = 0; n < parts; ++n)
        cut = name.find('\\', n ? cut + 1 : 0);
    Bytes head, tail;
    if (whole.size < kOwnBlock) {
        // Both halves stay where they are; the backslash between them is let go of.
        head = Bytes{whole.at, static_cast<uint32_t>(cut)};
        tail = Bytes{static_cast<uint32_t>(whole.at + cut + 1), static_cast<uint32_t>(whole.size - cut - 1)};
        arena_.live -= 1;
        arena_.garbage += 1;
    } else {
        // A block of its own is freed whole, so each half is copied out.
        const uint8_t* p = At(whole);
        head = Add(arena_, p, cut);
        tail = Add(arena_, p + cut + 1, whole.size - cut - 1);
        Release(whole);
    }
    KeyNode& n = keys_[node];
    keys_[up] = KeyNode{n.parent, node, n.next, n.prev, kNone, kNone, head};
    if (n.prev != kNone)
        keys_[n.prev].next = up;
    else
        keys_[n.parent].firstChild = up;
    if (n.next != kNone)
        keys_[n.next].prev = up;
    n.parent = up;
    n.next = n.prev = kNone;
    n.name = tail;
    Insert(up);
    Insert(node);
    ++liveNodes_;
    return up;
}

// A key without subkeys: its values, its place in its parent's list, its
// entry and its name go.
void RegStore::FreeKey(uint32_t key)
{
    while (keys_[key].firstValue != kNone)
        FreeValue(keys_[key].firstValue);
    KeyNode& k = keys_[key];
    if (k.prev != kNone)
        keys_[k.prev].next = k.next;
    else
        keys_[k.parent].firstChild = k.next;
    if (k.next != kNone)
        keys_[k.next].prev = k.prev;
    Erase(key);
    liveKeys_ -= PartCount(View(k.name));
    --liveNodes_;
    Release(k.name);
    k = KeyNode{kFree, kNone, freeKeys_, kNone, kNone, kNone, Bytes()};
    freeKeys_ = key;
}

// A node and everything under it, leaves first, without recursion: a key
// may be as deep as a line is long.
void RegStore::FreeSubtree(uint32_t node)
{
    for (uint32_t at = node;;) {
        while (keys_[at].firstChild != kNone)
            at = keys_[at].firstChild;
        const uint32_t up = keys_[at].parent;
        const bool last = at == node;
        FreeKey(at);
        if (last)
            break;
        at = up;
    }
}

void RegStore::DeleteKey(uint32_t key)
{
    if (!Live(key))
        return;
    if (keys_[key].parent == kNone) {
        while (keys_[key].firstValue != kNone)
            FreeValue(keys_[key].firstValue);
        while (keys_[key].firstChild != kNone)
            FreeSubtree(keys_[key].firstChild);
    } else {
        // A chain's keys before its last stay.
        const size_t parts = PartCount(View(keys_[key].name));
        if (parts > 1)
            Split(key, parts - 1);
        FreeSubtree(key);
    }
    CompactIfWasteful();
}

std::string RegStore::Name(uint32_t key) const { return std::string(View(keys_[key].name)); }

std::vector<uint32_t> RegStore::Children(uint32_t key) const
{
    std::vector<uint32_t> out;
    for (uint32_t c = keys_[key].firstChild; c != kNone; c = keys_[c].next)
        out.push_back(c);
    std::sort(out.begin(), out.end(), [this](uint32_t a, uint32_t b) {
        return NameBefore(FirstPart(View(keys_[a].name)), FirstPart(View(keys_[b].name)));
    });
    return out;
}

}  // namespace host
