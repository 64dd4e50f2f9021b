// stale_set.cpp - the stale set and the stale-instrument pass (see stale_set.h).
//
// The set exists only between start-up and the first pass. Striking is on the path of
// every basic-data message, so the set is a slot table keyed by the reference itself.
#include "zel/feed/stale_set.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/queues/u64_table.h"
#include "zel/queues/update_queue.h"

namespace {

U64Table<char> g_stale;  // feed thread (start-up before the threads run)

}  // namespace

RequestedInstruments::RequestedInstruments(const std::string& insrefs) {
    const char* text = insrefs.c_str();
    while (*text == ' ' || *text == '\t') ++text;
    if (*text == '\0' || std::strcmp(text, "*") == 0) return;
    all_ = false;
    while (*text) {
        char* end = nullptr;
        unsigned long long insref = std::strtoull(text, &end, 10);
        if (end == text) {
            ++text;  // a separator, or a character that is no reference
            continue;
        }
        sorted_.push_back(insref);
        text = end;
    }
    std::sort(sorted_.begin(), sorted_.end());
}

bool RequestedInstruments::contains(uint64_t insref) const {
    return all_ || std::binary_search(sorted_.begin(), sorted_.end(), insref);
}

int staleSetCreate(size_t size_hint) {
    if (!g_stale.create(size_hint)) {
        log_message(LOG_LEVEL_ERROR, "Out of memory creating the stale instrument set");
        return 0;
    }
    return 1;
}

void staleSetAdd(uint64_t insref) {
    if (!g_stale.exists()) return;
    if (!g_stale.insert(insref, 1))
        log_message(LOG_LEVEL_ERROR, "Out of memory in the stale instrument set");
}

void staleSetStrike(uint64_t insref) {
    if (g_stale.exists()) g_stale.remove(insref);
}

bool staleSetExists() {
    return g_stale.exists();
}

size_t staleSetCount() {
    return g_stale.count();
}

void staleSetDestroy() {
    g_stale.destroy();
}

void deleteStaleInstruments(bool delete_flag) {
    if (!g_stale.exists()) return;
    std::vector<uint64_t> keys;
    if (!g_stale.keys(keys)) return;  // the set stays for a later pass
    if (delete_flag && keys.size() > g_config.maxdeletes) {
        delete_flag = false;
        log_message(LOG_LEVEL_INFO,
                    "Delete instrument safety limit hit, ignoring delete of %lu stale instruments.",
                    static_cast<unsigned long>(keys.size()));
    }
    unsigned long deleted = 0;
    UpdateTemplate removal;
    for (uint64_t insref : keys) {
        if (delete_flag) {
            removal.reset();
            removal.kind = KIND_INSTRUMENT_DELETE;
            removal.insref = insref;
            addQueueItem(nullptr, removal);
            ++deleted;
        }
    }
    g_stale.destroy();
    if (deleted) log_message(LOG_LEVEL_INFO, "Deleted %lu stale instruments.", deleted);
}
