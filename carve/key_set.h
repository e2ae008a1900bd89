// A set of 64-bit keys in one flat open-addressing table: filled, then asked
// many times (a few hundred thousand live rows each ask once). A lookup is
// one multiply and, mostly, one cache line; there is no node per key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrel::carving {

class KeySet {
public:
    // True when the key was not there yet.
    bool insert(uint64_t key) {
        if (key == 0) {
            const bool added = !hasZero_;
            hasZero_ = true;
            return added;
        }
        if (2 * (count_ + 1) > slots_.size()) grow();
        if (!place(slots_, key)) return false;
        ++count_;
        return true;
    }

    // Makes room for `n` keys in all, so that inserting them grows the
    // table at most once (a set whose size is known ahead is not rebuilt at
    // each doubling).
    void reserve(size_t n) {
        size_t size = slots_.empty() ? 64 : slots_.size();
        while (size < 2 * n) size *= 2;
        if (size > slots_.size()) resize(size);
    }

    bool contains(uint64_t key) const {
        if (key == 0) return hasZero_;
        if (slots_.empty()) return false;
        const size_t mask = slots_.size() - 1;
        for (size_t i = slotOf(key); ; i = (i + 1) & mask) {
            if (slots_[i] == key) return true;
            if (slots_[i] == 0) return false;
        }
    }

    size_t size() const { return count_ + (hasZero_ ? 1 : 0); }
    bool empty() const { return size() == 0; }

private:
    // Fibonacci hashing: the high bits of the product pick the slot, so keys
    // that differ only in their high or low bits still spread.
    size_t slotOf(uint64_t key) const { return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_); }

    // False when the key was there already.
    bool place(std::vector<uint64_t>& slots, uint64_t key) const {
        const size_t mask = slots.size() - 1;
        for (size_t i = slotOf(key); ; i = (i + 1) & mask) {
            if (slots[i] == key) return false;
            if (slots[i] == 0) {
                slots[i] = key;
                return true;
            }
        }
    }

    void grow() { resize(slots_.empty() ? 64 : 2 * slots_.size()); }

    void resize(size_t size) {
        int bits = 0;
        while ((size_t{1} << bits) < size) ++bits;
        shift_ = 64 - bits;
        std::vector<uint64_t> slots(size, 0);
        for (uint64_t key : slots_)
            if (key != 0) place(slots, key);
        slots_.swap(slots);
    }

    std::vector<uint64_t> slots_;
    int shift_ = 64;
    size_t count_ = 0;
    bool hasZero_ = false;
};

}  // namespace kestrel::carving
