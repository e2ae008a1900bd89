// Index of a record list for the duplicate rules: positions by a hash of the
// compared fields, in one flat open-addressing table. It is brought up to
// date only when a carved record has to be checked, so existing records cost
// nothing extra while they stream in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

// Hash of several texts; each text's length goes in too, so ("ab","c") and
// ("a","bc") differ.
class TextHash {
public:
    TextHash& add(std::string_view text) {
        uint64_t h = std::hash<std::string_view>{}(text) ^ (text.size() * 0x9E3779B97F4A7C15ULL);
        seed_ ^= h + 0x9E3779B97F4A7C15ULL + (seed_ << 6) + (seed_ >> 2);
        return *this;
    }
    uint64_t value() const { return seed_; }

private:
    uint64_t seed_ = 0;
};

class DuplicateIndex {
public:
    void clear() {
        hashes_.clear();
        slots_.clear();
        placed_ = 0;
    }

    // Adds the records of the list that are not indexed yet.
    template <typename List, typename KeyOf>
    void catchUp(const List& list, KeyOf keyOf) {
        if (hashes_.size() > list.size()) clear();
        hashes_.reserve(list.size());
        while (hashes_.size() < list.size()) hashes_.push_back(keyOf(*list[hashes_.size()]));
        placePending();
    }

    // Indexes one more position, the next after those indexed, by its hash.
    // It is placed in the table when the index is next looked in: positions
    // added in a row then fill a table sized once for all of them.
    void add(uint64_t h) { hashes_.push_back(h); }
    size_t size() const { return hashes_.size(); }

    // Whether `equal(position)` holds for some indexed position whose hash is h.
    template <typename Equal>
    bool contains(uint64_t h, Equal equal) {
        placePending();
        if (slots_.empty()) return false;
        const size_t mask = slots_.size() - 1;
        for (size_t i = h & mask;; i = (i + 1) & mask) {
            uint32_t slot = slots_[i];
            if (slot == 0) return false;
            if (hashes_[slot - 1] == h && equal(static_cast<size_t>(slot - 1))) return true;
        }
    }

private:
    void placePending() {
        if (placed_ == hashes_.size()) return;
        const size_t minimumSlots = 2 * hashes_.size() + 16;
        if (slots_.size() < minimumSlots) {
            size_t size = 64;
            while (size < minimumSlots) size *= 2;
            slots_.assign(size, 0);
            placed_ = 0;
        }
        // The table is larger than the caches: the slot of a hash a few
        // places ahead is fetched while this one is placed.
        constexpr size_t kAhead = 8;
        const size_t mask = slots_.size() - 1;
        for (size_t p = placed_; p < hashes_.size(); ++p) {
            if (p + kAhead < hashes_.size()) __builtin_prefetch(&slots_[hashes_[p + kAhead] & mask], 1);
            place(hashes_[p], static_cast<uint32_t>(p + 1));
        }
        placed_ = hashes_.size();
    }
    void place(uint64_t h, uint32_t slotValue) {
        const size_t mask = slots_.size() - 1;
        size_t i = h & mask;
        while (slots_[i] != 0) i = (i + 1) & mask;
        slots_[i] = slotValue;
    }

    std::vector<uint64_t> hashes_;  // per indexed position
    std::vector<uint32_t> slots_;   // 0 for empty, else position + 1; at most half full
    size_t placed_ = 0;             // positions placed in slots_
};

}  // namespace kestrel
