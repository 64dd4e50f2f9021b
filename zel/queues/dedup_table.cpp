// dedup_table.cpp - the text-keyed table from a waiting item's key to the item.
//
// One per update queue, guarded by that queue's lock (update_queue.h). It is on the hot
// path of every keyed update, so it never allocates per lookup or insert: slots hold the
// key's hash and the item, and the key text is the item's own. Linear probing keeps a
// lookup within one or two cache lines; backward-shift deletion keeps probe runs short
// without tombstones, however many keys come and go.
#include <cstdlib>
#include <cstring>

#include "zel/queues/update_queue.h"

namespace {

inline uint64_t load64(const char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline uint64_t mix(uint64_t v) {
    v ^= v >> 33;
    v *= 0xff51afd7ed558ccdULL;
    v ^= v >> 33;
    v *= 0xc4ceb9fe1a85ec53ULL;
    v ^= v >> 33;
    return v;
}

size_t capacity_for(size_t entries) {
    size_t wanted = entries + entries / 2 + 1;  // stays below the 0.7 load bound
    size_t capacity = 16;
    while (capacity < wanted)
        capacity <<= 1;
    return capacity;
}

}  // namespace

uint64_t DedupTable::hash(std::string_view key) {
    const char* p = key.data();
    size_t n = key.size();
    uint64_t h = 0x9e3779b97f4a7c15ULL ^ (n * 0x100000001b3ULL);
    while (n >= 8) {
        h = (h ^ mix(load64(p))) * 0x9e3779b97f4a7c15ULL;
        p += 8;
        n -= 8;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, p, n);
    h = (h ^ mix(tail)) * 0x9e3779b97f4a7c15ULL;
    return mix(h);
}

DedupTable::~DedupTable() {
    destroy();
}

int DedupTable::create(uint32_t size_hint) {
    destroy();
    size_t capacity = capacity_for(size_hint);
    auto* slots = static_cast<Slot*>(std::calloc(capacity, sizeof(Slot)));
    if (!slots) return 0;
    slots_ = slots;
    capacity_ = capacity;
    mask_ = capacity - 1;
    count_ = 0;
    return 1;
}

void DedupTable::destroy() {
    std::free(slots_);
    slots_ = nullptr;
    capacity_ = mask_ = count_ = 0;
}

size_t DedupTable::find_slot(std::string_view key, uint64_t h) const {
    size_t i = h & mask_;
    for (;;) {
        const Slot& slot = slots_[i];
        if (!slot.item) return i;
        if (slot.hash == h) {
            // strncmp stops at the end of the stored key, so a shorter one is never read
            // past; the terminator check rules out a longer one.
            const char* k = slot.item->key;
            if (std::strncmp(k, key.data(), key.size()) == 0 && k[key.size()] == '\0') return i;
        }
        i = (i + 1) & mask_;
    }
}

QueueItem* DedupTable::lookup(std::string_view key) const {
    if (!slots_) return nullptr;
    return slots_[find_slot(key, hash(key))].item;
}

void DedupTable::grow() {
    Slot* old = slots_;
    size_t old_capacity = capacity_;
    size_t capacity = old_capacity ? old_capacity * 2 : 16;
    auto* slots = static_cast<Slot*>(std::calloc(capacity, sizeof(Slot)));
    if (!slots) {
        // Keep working in the full table: probing still terminates while one slot is free.
        return;
    }
    slots_ = slots;
    capacity_ = capacity;
    mask_ = capacity - 1;
    for (size_t i = 0; i < old_capacity; ++i) {
        if (!old[i].item) continue;
        size_t j = old[i].hash & mask_;
        while (slots_[j].item)
            j = (j + 1) & mask_;
        slots_[j] = old[i];
    }
    std::free(old);
}

void DedupTable::insert(QueueItem* item) {
    if (!slots_ || (count_ + 1) * 10 > capacity_ * 7) grow();
    if (!slots_ || count_ + 1 >= capacity_) std::abort();  // no memory and no free slot left
    std::string_view key(item->key);
    uint64_t h = hash(key);
    size_t i = find_slot(key, h);
    if (!slots_[i].item) ++count_;
    slots_[i].hash = h;
    slots_[i].item = item;
}

QueueItem* DedupTable::remove(std::string_view key, const QueueItem* only) {
    if (!slots_) return nullptr;
    size_t i = find_slot(key, hash(key));
    QueueItem* found = slots_[i].item;
    if (!found || (only && found != only)) return nullptr;
    // Backward shift: pull later entries of the probe run into the hole when their home
    // slot lies at or before it, so every remaining key stays reachable from its home.
    size_t j = i;
    for (;;) {
        j = (j + 1) & mask_;
        if (!slots_[j].item) break;
        size_t home = slots_[j].hash & mask_;
        bool movable = (i <= j) ? (home <= i || home > j) : (home <= i && home > j);
        if (movable) {
            slots_[i] = slots_[j];
            i = j;
        }
    }
    slots_[i].item = nullptr;
    slots_[i].hash = 0;
    --count_;
    return found;
}
