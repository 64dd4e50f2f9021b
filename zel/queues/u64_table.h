// u64_table.h - a table keyed by 8-byte instrument references.
//
// The instrument table, the instrument type table and the stale set are all keyed by an
// instrument reference compared in full. Values are stored in the slots (a pointer or a
// small record), so a lookup is one hash and a short probe with no allocation. Open
// addressing with linear probing and backward-shift deletion. Not thread-safe: each user
// states the lock or the thread that guards its table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

template <typename V>
class U64Table {
  public:
    U64Table() = default;
    U64Table(const U64Table&) = delete;
    U64Table& operator=(const U64Table&) = delete;

    // Sizes the table for about `size_hint` entries and empties it. Returns 1, or 0 when
    // memory runs out.
    int create(size_t size_hint) {
        size_t capacity = 16;
        while (capacity < size_hint + size_hint / 2 + 1)
            capacity <<= 1;
        std::vector<Slot> slots;
        try {
            slots.resize(capacity);
        } catch (const std::bad_alloc&) {
            return 0;
        }
        slots_.swap(slots);
        count_ = 0;
        return 1;
    }
    void destroy() {
        std::vector<Slot>().swap(slots_);
        count_ = 0;
    }
    bool exists() const { return !slots_.empty(); }

    V* lookup(uint64_t key) {
        if (slots_.empty()) return nullptr;
        Slot& slot = slots_[find(key)];
        return slot.used ? &slot.value : nullptr;
    }
    // Inserts or replaces; returns the stored value, or null when memory runs out.
    V* insert(uint64_t key, const V& value) {
        if (slots_.empty() || (count_ + 1) * 10 > slots_.size() * 7) {
            if (!grow()) return nullptr;
        }
        Slot& slot = slots_[find(key)];
        if (!slot.used) {
            slot.used = true;
            slot.key = key;
            ++count_;
        }
        slot.value = value;
        return &slot.value;
    }
    // Removes the key; returns 1 when it was there.
    int remove(uint64_t key) {
        if (slots_.empty()) return 0;
        size_t mask = slots_.size() - 1;
        size_t i = find(key);
        if (!slots_[i].used) return 0;
        size_t j = i;
        for (;;) {
            j = (j + 1) & mask;
            if (!slots_[j].used) break;
            size_t home = hash(slots_[j].key) & mask;
            bool movable = (i <= j) ? (home <= i || home > j) : (home <= i && home > j);
            if (movable) {
                slots_[i] = slots_[j];
                i = j;
            }
        }
        slots_[i] = Slot{};
        --count_;
        return 1;
    }
    // Every key, in table order. Returns 0 when memory runs out.
    int keys(std::vector<uint64_t>& out) const {
        try {
            out.clear();
            out.reserve(count_);
            for (const Slot& slot : slots_) {
                if (slot.used) out.push_back(slot.key);
            }
        } catch (const std::bad_alloc&) {
            return 0;
        }
        return 1;
    }
    template <typename F>
    void for_each(F&& visit) {
        for (Slot& slot : slots_) {
            if (slot.used) visit(slot.key, slot.value);
        }
    }
    size_t count() const { return count_; }
    size_t tablesize() const { return slots_.size(); }

    static uint64_t hash(uint64_t key) {
        key ^= key >> 33;
        key *= 0xff51afd7ed558ccdULL;
        key ^= key >> 33;
        key *= 0xc4ceb9fe1a85ec53ULL;
        key ^= key >> 33;
        return key;
    }

  private:
    struct Slot {
        uint64_t key = 0;
        V value{};
        bool used = false;
    };

    size_t find(uint64_t key) const {
        size_t mask = slots_.size() - 1;
        size_t i = hash(key) & mask;
        while (slots_[i].used && slots_[i].key != key)
            i = (i + 1) & mask;
        return i;
    }
    bool grow() {
        std::vector<Slot> bigger;
        try {
            bigger.resize(slots_.empty() ? 16 : slots_.size() * 2);
        } catch (const std::bad_alloc&) {
            return false;
        }
        size_t mask = bigger.size() - 1;
        for (const Slot& slot : slots_) {
            if (!slot.used) continue;
            size_t i = hash(slot.key) & mask;
            while (bigger[i].used)
                i = (i + 1) & mask;
            bigger[i] = slot;
        }
        slots_.swap(bigger);
        return true;
    }

    std::vector<Slot> slots_;
    size_t count_ = 0;
};
