// The registry's store: every key and value of the four roots, in memory
// that grows with what it holds and nothing else.
//
// - A key is a node: its own name part as first written, its parent, its
//   first child and its siblings, its first value.  Nodes sit in a deque
//   and are named by index; the four roots are nodes 0 to 3 and always
//   exist.  A key's path is never stored.
// - A chain of keys made together, each but the last with one subkey and
//   nothing else, is one node whose name holds their parts joined by
//   backslashes (as first written); the node stands for the chain's last
//   key.  A lookup or change that ends or forks inside a chain splits it
//   there, a node more, paid for by the call that asked.  So a key line of
//   many parts costs one node and its bytes.  Chains are never joined
//   again: a node index handed out stays the key it was.
// - A value is a record of 20 bytes: its key, its siblings in the key's
//   list, its entry in the arena (its type, the sizes of its name and data
//   7 bits a byte, its name as first written, its data) and its next in
//   its index bucket.
// - Names and entries are bytes in an arena of 4 KiB blocks; those of 1 KiB
//   or more have a block of their own, freed with them.  Bytes let go of in
//   the small blocks are taken back by copying what is live into new blocks
//   once they pass what is live (and 64 KiB).
// - One index of buckets (4 bytes each, 2 to 4 entries a bucket on
//   average, chained through the records) finds a key by (parent, first
//   part of its name) and a value by (key, name), names compared ignoring
//   the case of ASCII letters as the platform's registry compares them.
//   It doubles with the old and new buckets held at once: 3 bytes an entry.
// So a new key costs 32 bytes and its name, a new value 20 and an entry of
// its name and data and 3 or more bytes, and 3 bytes each for the index,
// however deep they are.  Lists are unordered; Children() and Values()
// sort them.
//
// Not thread-safe: registry.cpp holds its lock around every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace host {

class RegStore {
public:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;
    static constexpr uint32_t kRoots = 4;

    RegStore();

    // Every key and value gone but the roots (empty).
    void Clear();

    // The key under `root` (any key) at `path` (parts separated by
    // backslashes, empty parts ignored, any case), or kNone.  A key inside
    // a chain is split out of it, so that it has a node of its own.
    uint32_t FindPath(uint32_t root, std::string_view path);
    // The same, making every missing part with the spelling `path` gives it
    // (one node for them all).
    uint32_t CreatePath(uint32_t root, std::string_view path);
    // False for a key deleted since its index was handed out (or never made).
    bool Live(uint32_t key) const;
    // Deletes the key with its values and subkeys; a root keeps itself and
    // loses everything else.
    void DeleteKey(uint32_t key);

    struct Value {
        uint32_t type;
        const uint8_t* data;   // valid until the store next changes
        size_t size;
    };
    bool GetValue(uint32_t key, std::string_view name, Value* value) const;
    // A new value takes `name`'s spelling; one that exists keeps its own.
    void SetValue(uint32_t key, std::string_view name, uint32_t type, const uint8_t* data, size_t size);
    void DeleteValue(uint32_t key, std::string_view name);

    // For a listing: a node's name as first written (one part, or a chain's
    // parts joined by backslashes, the keys before its last holding nothing
    // but the next), its subkeys and its values (by name, compared with
    // ASCII letters in lower case).
    std::string Name(uint32_t key) const;
    std::vector<uint32_t> Children(uint32_t key) const;
    struct ValueView {
        std::string name;
        uint32_t type;
        std::vector<uint8_t> data;
    };
    std::vector<ValueView> Values(uint32_t key) const;

    struct Counts {
        size_t keys = 0;        // roots included, every key of a chain
        size_t nodes = 0;       // roots included, a chain one
        size_t values = 0;
        size_t dataBytes = 0;   // of every value's data
        size_t heapBytes = 0;   // what the store holds on the heap (its deque blocks, arena, table)
    };
    Counts Count() const;

private:
    struct Bytes {
        uint32_t at = 0;     // block index << kShift | offset in the block
        uint32_t size = 0;
    };
    struct KeyNode {
        uint32_t parent, firstChild, next, prev, firstValue;   // parent kFree: a free slot (next: the next free)
        uint32_t chain;                                        // the next entry of its bucket
        Bytes name;
    };
    struct ValueNode {
        uint32_t key, next, prev;   // key kFree: a free slot
        uint32_t at;                // its entry in the arena: type, name and data
        uint32_t chain;             // the next entry of its bucket
    };
    struct Entry {
        uint32_t type;
        std::string_view name;
        const uint8_t* data;
        size_t dataSize;
        size_t size;   // the whole entry's
    };
    static constexpr uint32_t kFree = 0xFFFFFFFEu;
    // The longest name or data the store keeps (its sizes are 32-bit).
    static constexpr size_t kMaxEntry = size_t(1) << 31;
    // The order of a listing: names compared byte by byte with ASCII
    // letters in lower case.
    static bool NameBefore(std::string_view a, std::string_view b);
    static constexpr uint32_t kValueBit = 0x80000000u;   // in the table: a value's index, else a key's

    // The arena.
    static constexpr uint32_t kShift = 12;
    static constexpr size_t kBlock = size_t(1) << kShift;
    static constexpr size_t kOwnBlock = kBlock / 4;
    struct Arena {
        std::vector<std::unique_ptr<uint8_t[]>> blocks;
        std::vector<size_t> sizes;         // of each block (kBlock, or an entry's own size; 0 when freed)
        std::vector<uint32_t> freeBlocks;  // indices of own blocks let go of
        uint32_t current = kNone;          // the block small entries go to
        size_t used = 0;                   // of the current block
        size_t live = 0, garbage = 0;      // bytes of small entries held and let go of
        size_t heap = 0;                   // every block's size
    };
    Bytes Reserve(Arena& arena, size_t n);
    Bytes Add(Arena& arena, const uint8_t* p, size_t n);
    Entry Decode(uint32_t at) const;
    uint32_t NewEntry(uint32_t type, std::string_view name, const uint8_t* data, size_t size);
    void ReleaseEntry(uint32_t at);   // and its data from the count
    void Release(Bytes b);
    Bytes Move(Arena& to, Bytes b);   // into another arena (compaction)
    const uint8_t* At(Bytes b) const { return arena_.blocks[b.at >> kShift].get() + (b.at & (kBlock - 1)); }
    std::string_view View(Bytes b) const
    {
        return b.size ? std::string_view(reinterpret_cast<const char*>(At(b)), b.size) : std::string_view();
    }
    void CompactIfWasteful();

    // The index: buckets of entries chained through their records, at most
    // kLoad entries a bucket on average.
    static constexpr size_t kLoad = 4;
    uint32_t& ChainOf(uint32_t entry);
    uint32_t Hash(uint32_t owner, bool value, std::string_view name) const;
    uint32_t HashOf(uint32_t entry) const;
    bool Matches(uint32_t entry, uint32_t owner, bool value, std::string_view name) const;
    uint32_t Find(uint32_t owner, bool value, std::string_view name) const;
    void Insert(uint32_t entry);
    void Erase(uint32_t entry);
    void Grow();

    // Where a path leads from `key`: the node its parts last matched whole
    // and where in the path the rest begins; or, when the path ends or
    // forks inside a chain, the chain's node and how many of its parts
    // matched (`matched` > 0 then).
    struct Place {
        uint32_t node;
        size_t matched;
        size_t rest;
    };
    Place Walk(uint32_t key, std::string_view path) const;
    uint32_t FindChild(uint32_t key, std::string_view part) const;
    // Cuts a chain node after its first `parts` parts: a new node takes
    // them, in the chain's place; the node keeps the rest and its index.
    // Returns the new node.
    uint32_t Split(uint32_t node, size_t parts);
    uint32_t TakeKeySlot();
    uint32_t NewKey(uint32_t parent, std::string_view name);
    void FreeKey(uint32_t key);
    void FreeSubtree(uint32_t node);
    void FreeValue(uint32_t value);

    std::deque<KeyNode> keys_;
    std::deque<ValueNode> values_;
    uint32_t freeKeys_ = kNone, freeValues_ = kNone;
    size_t liveKeys_ = 0, liveNodes_ = 0, liveValues_ = 0, liveData_ = 0;
    Arena arena_;
    std::vector<uint32_t> buckets_;   // each an entry or kNone; a power of two long
    size_t used_ = 0;                 // entries
};

}  // namespace host
