// The registry's store (regstore.h): the bytes of names and data, and the
// values.
#include "regstore.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace host {
namespace {

// Bytes let go of in the small blocks are copied out once they pass this
// and what is live.
const size_t kGarbageAllowance = size_t(64) << 10;

}  // namespace

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
