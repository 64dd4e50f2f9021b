// queue_item.cpp - allocation and release of FieldValues and QueueItems.
//
// Called by the dispatcher (building field lists), by addQueueItem (merging) and by the
// database threads (freeing written items). Nothing here takes a lock: a field list or an
// item belongs to one thread at a time, or is guarded by the lock of the queue it waits in.
//
// A field node and the text it is created with are one allocation. Short texts (nearly all
// feed values) go into nodes of two sizes, and a thread that makes fields keeps the nodes it
// frees in a cache of its own: a keyed quote merging into its waiting item releases the
// nodes it replaces, and the next message takes them again, so the steady stream of merges
// needs no malloc at all. Threads that only free fields (the database threads) hand the
// nodes back to malloc. A value that outgrows its node (news text concatenation) gets an
// allocation of its own, told apart from the inline text by its address.
#include "zel/queues/queue_item.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/thread_exit.h"
#include "zel/base/log.h"

std::atomic<int64_t> g_queued_bytes{0};

namespace {

[[noreturn]] void out_of_memory() {
    log_message(LOG_LEVEL_ERROR, "Out of memory in the update queues");
    std::abort();
}

char* inline_text(FieldValue* field) {
    return reinterpret_cast<char*>(field + 1);
}

// Short texts go into nodes of two sizes: 8 bytes of text (prices, counts, flags; a 48-byte
// malloc chunk) and 24 bytes (dates, times, identifiers; a 64-byte chunk). Longer texts get
// a node of their own size.
constexpr uint32_t kClassCapacity[2] = {8, 24};
// At most this many free nodes per class and thread (about 5 MiB in all).
constexpr size_t kCacheLimit = 49152;

struct NodeCache {
    FieldValue* head[2] = {nullptr, nullptr};
    size_t count[2] = {0, 0};
    bool makes_fields = false;  // only threads that create fields keep freed nodes
    NodeCache() = default;
    NodeCache(const NodeCache&) = delete;
    NodeCache& operator=(const NodeCache&) = delete;
    ~NodeCache() {
        for (FieldValue* list : head) {
            while (list) {
                FieldValue* next = list->next;
                std::free(list);
                list = next;
            }
        }
    }
};
// The calling thread's cache, released when the thread ends (see platform/thread_exit.h
// for why it is not a thread_local object itself).
NodeCache& nodes() {
    return thread_owned<NodeCache>();
}

FieldValue* alloc_node(size_t text_len, bool has_text) {
    NodeCache& cache = nodes();
    cache.makes_fields = true;
    size_t need = has_text ? text_len + 1 : 1;
    FieldValue* field;
    uint32_t capacity;
    int size_class = need <= kClassCapacity[0] ? 0 : need <= kClassCapacity[1] ? 1 : -1;
    if (size_class >= 0) {
        capacity = kClassCapacity[size_class];
        if (FieldValue* cached = cache.head[size_class]) {
            cache.head[size_class] = cached->next;
            --cache.count[size_class];
            field = cached;
        } else {
            field = static_cast<FieldValue*>(std::malloc(sizeof(FieldValue) + capacity));
        }
    } else {
        capacity = static_cast<uint32_t>(need);
        field = static_cast<FieldValue*>(std::malloc(sizeof(FieldValue) + need));
    }
    if (!field) out_of_memory();
    field->next = nullptr;
    field->prev = nullptr;
    field->value = nullptr;
    field->capacity = capacity;
    return field;
}

void release_node(FieldValue* field) {
    int size_class = field->capacity == kClassCapacity[0]   ? 0
                     : field->capacity == kClassCapacity[1] ? 1
                                                            : -1;
    NodeCache& cache = nodes();
    if (size_class >= 0 && cache.makes_fields && cache.count[size_class] < kCacheLimit) {
        field->next = cache.head[size_class];
        cache.head[size_class] = field;
        ++cache.count[size_class];
        return;
    }
    std::free(field);
}

// A text outside its node lives in a block that starts with the block's room for text
// (a size_t), so that an appended news block knows whether it fits. free_text releases it.
char* alloc_grown(size_t room) {
    auto* block = static_cast<size_t*>(std::malloc(sizeof(size_t) + room));
    if (!block) out_of_memory();
    *block = room;
    return reinterpret_cast<char*>(block + 1);
}

size_t grown_capacity(const char* text) {
    return reinterpret_cast<const size_t*>(text)[-1];
}

void free_text(char* text) {
    if (text) std::free(reinterpret_cast<size_t*>(text) - 1);
}

void free_value(FieldValue* field) {
    if (field->value && field->value != inline_text(field)) free_text(field->value);
    field->value = nullptr;
}

char* dup_text(const char* text, size_t len) {
    char* copy = alloc_grown(len + 1);
    std::memcpy(copy, text, len);
    copy[len] = '\0';
    return copy;
}

void free_item_own(QueueItem* item) {
    freeFieldList(item->fields);
    if (!item->key_inline) std::free(item->key);
    std::free(item->price);
    std::free(item->yield);
    std::free(item->bid);
    std::free(item->bid_yield);
    std::free(item);
}

}  // namespace

FieldValue* fieldValueCreate(uint32_t tag, const char* value, size_t len) {
    FieldValue* field = alloc_node(len, value != nullptr);
    field->tag = tag;
    if (value) {
        field->value = inline_text(field);
        std::memcpy(field->value, value, len);
        field->value[len] = '\0';
    }
    return field;
}

FieldValue* fieldValueCreate(uint32_t tag, const char* value) {
    return fieldValueCreate(tag, value, value ? std::strlen(value) : 0);
}

FieldValue* fieldValueCopy(const FieldValue* field) {
    return fieldValueCreate(field->tag, field->value);
}

void fieldValueSetValue(FieldValue* field, const char* value, size_t len) {
    // The new text may be a part of the old one (a value cut at the front): it is moved or
    // copied before the old text is released.
    if (value && len < field->capacity) {
        char* old = field->value;
        char* text = inline_text(field);
        std::memmove(text, value, len);
        text[len] = '\0';
        if (old && old != text) free_text(old);
        field->value = text;
        return;
    }
    char* copy = value ? dup_text(value, len) : nullptr;
    free_value(field);
    field->value = copy;
}

void fieldValueSetValue(FieldValue* field, const char* value) {
    fieldValueSetValue(field, value, value ? std::strlen(value) : 0);
}

void fieldValueAppend(FieldValue* field, const char* text) {
    // News texts arrive in many blocks, joined under the queue's lock: the text grows in a
    // buffer of its own whose room doubles when it runs out (its size is kept in front of
    // the text), so joining n blocks copies each byte a bounded number of times instead of
    // the whole text once per block.
    size_t old_len = field->value ? std::strlen(field->value) : 0;
    size_t add_len = std::strlen(text);
    size_t need = old_len + add_len + 1;
    char* own = field->value && field->value != inline_text(field) ? field->value : nullptr;
    if (own && grown_capacity(own) >= need) {
        std::memcpy(own + old_len, text, add_len + 1);
        return;
    }
    size_t room = own ? grown_capacity(own) : 0;
    if (room < 64) room = 64;
    while (room < need)
        room *= 2;
    char* joined = alloc_grown(room);
    if (old_len) std::memcpy(joined, field->value, old_len);
    std::memcpy(joined + old_len, text, add_len + 1);
    free_value(field);
    field->value = joined;
}

size_t fieldValueCapacity(const FieldValue* field) {
    if (!field->value) return 0;
    if (field->value == reinterpret_cast<const char*>(field + 1)) return field->capacity;
    return grown_capacity(field->value);
}

void fieldValueTakeValue(FieldValue* to, FieldValue* from) {
    char* text = from->value;
    if (!text) {
        free_value(to);
    } else if (text == inline_text(from)) {
        size_t len = std::strlen(text);
        if (len < to->capacity) {
            char* old = to->value;
            std::memcpy(inline_text(to), text, len + 1);
            if (old && old != inline_text(to)) free_text(old);
            to->value = inline_text(to);
        } else {
            char* copy = dup_text(text, len);
            free_value(to);
            to->value = copy;
        }
    } else {
        free_value(to);
        to->value = text;
        from->value = nullptr;
    }
    fieldValueFree(from);
}

int fieldValueMoveInto(FieldValue* to, FieldValue* from) {
    char* text = from->value;
    char* target = inline_text(to);
    if (text && text == inline_text(from) && from->capacity <= to->capacity) {
        // Both nodes hold short texts: copy the whole inline buffer, no length needed.
        if (to->value && to->value != target) free_text(to->value);
        std::memcpy(target, text, from->capacity);
        to->value = target;
    } else if (!text) {
        free_value(to);
    } else {
        size_t len = std::strlen(text);
        if (len >= to->capacity) return 0;
        if (to->value && to->value != target) free_text(to->value);
        std::memcpy(target, text, len + 1);
        to->value = target;
    }
    fieldValueFree(from);
    return 1;
}

void fieldValueFree(FieldValue* field) {
    if (!field) return;
    free_value(field);
    release_node(field);
}

void freeFieldList(FieldValue* head) {
    while (head) {
        FieldValue* next = head->next;
        fieldValueFree(head);
        head = next;
    }
}

void fieldListAppend(FieldValue** head, FieldValue** tail, FieldValue* field) {
    field->next = nullptr;
    field->prev = *tail;
    if (*tail) {
        (*tail)->next = field;
    } else {
        *head = field;
    }
    *tail = field;
}

FieldValue* fieldListFind(FieldValue* head, uint32_t tag) {
    for (; head; head = head->next) {
        if (head->tag == tag) return head;
    }
    return nullptr;
}

QueueItem* allocQueueItem() {
    auto* item = static_cast<QueueItem*>(std::calloc(1, sizeof(QueueItem)));
    if (!item) out_of_memory();
    return item;
}

QueueItem* allocQueueItemWithKey(const char* key, size_t len) {
    // One allocation instead of two, and the key a merge compares sits next to the item it
    // then changes.
    auto* item = static_cast<QueueItem*>(std::calloc(1, sizeof(QueueItem) + len + 1));
    if (!item) out_of_memory();
    item->key = reinterpret_cast<char*>(item + 1);
    std::memcpy(item->key, key, len);
    item->key[len] = '\0';
    item->key_inline = 1;
    return item;
}

char* queueStrdup(const char* text) {
    if (!text) return nullptr;
    // A plain malloc'ed copy (freed with free()), unlike field texts.
    size_t len = std::strlen(text);
    char* copy = static_cast<char*>(std::malloc(len + 1));
    if (!copy) out_of_memory();
    std::memcpy(copy, text, len + 1);
    return copy;
}

void freeQueueItem(QueueItem* item) {
    if (!item) return;
    if (item->bytes) g_queued_bytes.fetch_sub(item->bytes, std::memory_order_relaxed);
    // Sub-items are gathered into one pending chain (through their own `next` links) and
    // freed in a loop, so no depth of nesting or length of list recurses. The item's own
    // `next` is not followed: it may still link a database thread's batch.
    QueueItem* pending = nullptr;
    auto gather = [&pending](QueueItem* list) {
        if (!list) return;
        QueueItem* last = list;
        while (last->next)
            last = last->next;
        last->next = pending;
        pending = list;
    };
    gather(item->bid_changes);
    gather(item->ask_changes);
    free_item_own(item);
    while (pending) {
        QueueItem* sub = pending;
        pending = sub->next;
        gather(sub->bid_changes);
        gather(sub->ask_changes);
        free_item_own(sub);
    }
}
