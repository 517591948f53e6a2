// The registry's store (regstore.h).
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

// The order of a listing: names compared byte by byte with ASCII letters
// in lower case.
bool NameBefore(std::string_view a, std::string_view b)
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

// The longest name or data the store keeps (its sizes are 32-bit).
const size_t kMaxEntry = size_t(1) << 31;

// Bytes let go of in the small blocks are copied out once they pass this
// and what is live.
const size_t kGarbageAllowance = size_t(64) << 10;

}  // namespace

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

// ---- The arena ---------------------------------------------------------------------

RegStore::Bytes RegStore::Reserve(Arena& arena, size_t n)
{
    if (n == 0)
        return Bytes();
    if (n > kMaxEntry)
        throw std::bad_alloc();
    auto newBlock = [&](size_t size) {
        uint32_t index;
        if (!arena.freeBlocks.empty()) {
            index = arena.freeBlocks.back();
            arena.freeBlocks.pop_back();
        } else {
            if (arena.blocks.size() >= (size_t(1) << (32 - kShift)))
                throw std::bad_alloc();
            index = static_cast<uint32_t>(arena.blocks.size());
            arena.blocks.emplace_back();
            arena.sizes.push_back(0);
        }
        arena.blocks[index].reset(new uint8_t[size]);
        arena.sizes[index] = size;
        arena.heap += size;
        return index;
    };
    Bytes b;
    b.size = static_cast<uint32_t>(n);
    if (n >= kOwnBlock) {
        b.at = newBlock(n) << kShift;
    } else {
        if (arena.current == kNone || arena.used + n > kBlock) {
            arena.current = newBlock(kBlock);
            arena.used = 0;
        }
        b.at = static_cast<uint32_t>(arena.current << kShift | arena.used);
        arena.used += n;
        arena.live += n;
    }
    return b;
}

RegStore::Bytes RegStore::Add(Arena& arena, const uint8_t* p, size_t n)
{
    const Bytes b = Reserve(arena, n);
    if (n)
        std::memcpy(arena.blocks[b.at >> kShift].get() + (b.at & (kBlock - 1)), p, n);
    return b;
}

void RegStore::Release(Bytes b)
{
    if (b.size == 0)
        return;
    if (b.size >= kOwnBlock) {
        const uint32_t index = b.at >> kShift;
        arena_.blocks[index].reset();
        arena_.heap -= arena_.sizes[index];
        arena_.sizes[index] = 0;
        arena_.freeBlocks.push_back(index);
    } else {
        arena_.live -= b.size;
        arena_.garbage += b.size;
    }
}

RegStore::Bytes RegStore::Move(Arena& to, Bytes b)
{
    if (b.size == 0)
        return Bytes();
    if (b.size < kOwnBlock)
        return Add(to, At(b), b.size);
    // An own block changes hands, uncopied.
    const uint32_t from = b.at >> kShift;
    const uint32_t index = static_cast<uint32_t>(to.blocks.size());
    to.blocks.push_back(std::move(arena_.blocks[from]));
    to.sizes.push_back(arena_.sizes[from]);
    to.heap += arena_.sizes[from];
    return Bytes{index << kShift, b.size};
}

void RegStore::CompactIfWasteful()
{
    if (arena_.garbage <= kGarbageAllowance || arena_.garbage <= arena_.live)
        return;
    Arena fresh;
    for (KeyNode& k : keys_)
        if (k.parent != kFree)
            k.name = Move(fresh, k.name);
    for (ValueNode& v : values_)
        if (v.key != kFree)
            v.at = Move(fresh, Bytes{v.at, static_cast<uint32_t>(Decode(v.at).size)}).at;
    arena_ = std::move(fresh);
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

// ---- Values ------------------------------------------------------------------------

// A value's entry: its type, the sizes of its name and data (7 bits a
// byte, the high bit set on all but the last), its name, its data.
namespace {

size_t PutNumber(uint8_t* out, size_t n)
{
    size_t i = 0;
    for (; n >= 0x80; n >>= 7)
        out[i++] = static_cast<uint8_t>(n | 0x80);
    out[i++] = static_cast<uint8_t>(n);
    return i;
}

size_t GetNumber(const uint8_t* in, size_t* n)
{
    size_t i = 0, shift = 0;
    *n = 0;
    do {
        *n |= size_t(in[i] & 0x7F) << shift;
        shift += 7;
    } while (in[i++] & 0x80);
    return i;
}

}  // namespace

RegStore::Entry RegStore::Decode(uint32_t at) const
{
    const uint8_t* p = arena_.blocks[at >> kShift].get() + (at & (kBlock - 1));
    size_t type, nameSize, dataSize;
    size_t i = GetNumber(p, &type);
    i += GetNumber(p + i, &nameSize);
    i += GetNumber(p + i, &dataSize);
    Entry e;
    e.type = static_cast<uint32_t>(type);
    e.name = std::string_view(reinterpret_cast<const char*>(p + i), nameSize);
    e.data = p + i + nameSize;
    e.dataSize = dataSize;
    e.size = i + nameSize + dataSize;
    return e;
}

uint32_t RegStore::NewEntry(uint32_t type, std::string_view name, const uint8_t* data, size_t size)
{
    if (name.size() > kMaxEntry || size > kMaxEntry - name.size())
        throw std::bad_alloc();
    uint8_t header[15];
    size_t h = PutNumber(header, type);
    h += PutNumber(header + h, name.size());
    h += PutNumber(header + h, size);
    const Bytes b = Reserve(arena_, h + name.size() + size);
    uint8_t* p = arena_.blocks[b.at >> kShift].get() + (b.at & (kBlock - 1));
    std::memcpy(p, header, h);
    if (!name.empty())
        std::memcpy(p + h, name.data(), name.size());
    if (size)
        std::memcpy(p + h + name.size(), data, size);
    return b.at;
}

void RegStore::ReleaseEntry(uint32_t at)
{
    const Entry e = Decode(at);
    liveData_ -= e.dataSize;
    Release(Bytes{at, static_cast<uint32_t>(e.size)});
}

bool RegStore::GetValue(uint32_t key, std::string_view name, Value* value) const
{
    const uint32_t v = Find(key, true, name);
    if (v == kNone)
        return false;
    const Entry e = Decode(values_[v].at);
    value->type = e.type;
    value->data = e.dataSize ? e.data : nullptr;
    value->size = e.dataSize;
    return true;
}

void RegStore::SetValue(uint32_t key, std::string_view name, uint32_t type, const uint8_t* data, size_t size)
{
    uint32_t v = Find(key, true, name);
    if (v != kNone) {
        // The name keeps its first spelling: the new entry takes it from the old.
        const uint32_t old = values_[v].at;
        const Entry e = Decode(old);
        const uint32_t at = NewEntry(type, e.name, data, size);   // the old entry stays put until released
        liveData_ += size;
        ReleaseEntry(old);
        values_[v].at = at;
        CompactIfWasteful();
        return;
    }
    const uint32_t at = NewEntry(type, name, data, size);
    liveData_ += size;
    if (freeValues_ != kNone) {
        v = freeValues_;
        freeValues_ = values_[v].next;
    } else {
        if (values_.size() >= kValueBit)
            throw std::bad_alloc();
        v = static_cast<uint32_t>(values_.size());
        values_.emplace_back();
    }
    KeyNode& k = keys_[key];
    values_[v] = ValueNode{key, k.firstValue, kNone, at, kNone};
    if (k.firstValue != kNone)
        values_[k.firstValue].prev = v;
    k.firstValue = v;
    Insert(v | kValueBit);
    ++liveValues_;
}

void RegStore::FreeValue(uint32_t value)
{
    ValueNode& v = values_[value];
    if (v.prev != kNone)
        values_[v.prev].next = v.next;
    else
        keys_[v.key].firstValue = v.next;
    if (v.next != kNone)
        values_[v.next].prev = v.prev;
    Erase(value | kValueBit);
    ReleaseEntry(v.at);
    v = ValueNode{kFree, freeValues_, kNone, kNone, kNone};
    freeValues_ = value;
    --liveValues_;
}

void RegStore::DeleteValue(uint32_t key, std::string_view name)
{
    const uint32_t v = Find(key, true, name);
    if (v == kNone)
        return;
    FreeValue(v);
    CompactIfWasteful();
}

std::vector<RegStore::ValueView> RegStore::Values(uint32_t key) const
{
    std::vector<uint32_t> order;
    for (uint32_t v = keys_[key].firstValue; v != kNone; v = values_[v].next)
        order.push_back(v);
    std::sort(order.begin(), order.end(), [this](uint32_t a, uint32_t b) {
        return NameBefore(Decode(values_[a].at).name, Decode(values_[b].at).name);
    });
    std::vector<ValueView> out;
    out.reserve(order.size());
    for (uint32_t v : order) {
        const Entry e = Decode(values_[v].at);
        out.push_back(ValueView{std::string(e.name), e.type, std::vector<uint8_t>(e.data, e.data + e.dataSize)});
    }
    return out;
}

RegStore::Counts RegStore::Count() const
{
    Counts c;
    c.keys = liveKeys_;
    c.nodes = liveNodes_;
    c.values = liveValues_;
    c.dataBytes = liveData_;
    // A deque holds its elements in blocks of 512 bytes, and a map of them.
    auto deque = [](size_t bytes) { return (bytes + 511) / 512 * (512 + sizeof(void*)) + 64 * sizeof(void*); };
    c.heapBytes = deque(keys_.size() * sizeof(KeyNode)) + deque(values_.size() * sizeof(ValueNode)) +
                  arena_.heap + arena_.blocks.capacity() * sizeof(arena_.blocks[0]) +
                  arena_.sizes.capacity() * sizeof(size_t) + arena_.freeBlocks.capacity() * sizeof(uint32_t) +
                  buckets_.capacity() * sizeof(uint32_t);
    return c;
}

}  // namespace host
