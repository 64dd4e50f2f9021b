// queue_item.cpp - allocation and release of FieldValues and QueueItems.
//
// Called by the dispatcher (building field lists), by addQueueItem (merging) and by the
// database threads (freeing written items). Nothing here takes a lock: a field list or an
// item belongs to one thread at a time, or is guarded by the lock of the queue it waits in.
//
// A field node and the text it is created with are one allocation: a keyed quote of eight
// fields then costs eight mallocs and, when it merges, eight frees. A value that is replaced
// later (news text concatenation, rewritten times) gets an allocation of its own, told apart
// from the inline text by its address.
#include "zel/queues/queue_item.h"

#include <cstdlib>
#include <cstring>

#include "zel/frame/log.h"

namespace {

[[noreturn]] void out_of_memory() {
    log_message(LOG_LEVEL_ERROR, "Out of memory in the update queues");
    std::abort();
}

char* inline_text(FieldValue* field) {
    return reinterpret_cast<char*>(field + 1);
}

void free_value(FieldValue* field) {
    if (field->value && field->value != inline_text(field)) std::free(field->value);
    field->value = nullptr;
}

char* dup_text(const char* text, size_t len) {
    char* copy = static_cast<char*>(std::malloc(len + 1));
    if (!copy) out_of_memory();
    std::memcpy(copy, text, len);
    copy[len] = '\0';
    return copy;
}

void free_item_own(QueueItem* item) {
    freeFieldList(item->fields);
    std::free(item->key);
    std::free(item->price);
    std::free(item->yield);
    std::free(item->bid);
    std::free(item->bid_yield);
    std::free(item);
}

}  // namespace

FieldValue* fieldValueCreate(uint32_t tag, const char* value, size_t len) {
    size_t size = sizeof(FieldValue) + (value ? len + 1 : 0);
    auto* field = static_cast<FieldValue*>(std::malloc(size));
    if (!field) out_of_memory();
    field->next = nullptr;
    field->prev = nullptr;
    field->tag = tag;
    if (value) {
        field->value = inline_text(field);
        std::memcpy(field->value, value, len);
        field->value[len] = '\0';
    } else {
        field->value = nullptr;
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
    // The new text may be a part of the old one (a value cut at the front), so copy first.
    char* copy = value ? dup_text(value, len) : nullptr;
    free_value(field);
    field->value = copy;
}

void fieldValueSetValue(FieldValue* field, const char* value) {
    fieldValueSetValue(field, value, value ? std::strlen(value) : 0);
}

void fieldValueAppend(FieldValue* field, const char* text) {
    size_t old_len = field->value ? std::strlen(field->value) : 0;
    size_t add_len = std::strlen(text);
    char* joined = static_cast<char*>(std::malloc(old_len + add_len + 1));
    if (!joined) out_of_memory();
    if (old_len) std::memcpy(joined, field->value, old_len);
    std::memcpy(joined + old_len, text, add_len + 1);
    free_value(field);
    field->value = joined;
}

void fieldValueTakeValue(FieldValue* to, FieldValue* from) {
    free_value(to);
    if (from->value && from->value == inline_text(from)) {
        to->value = dup_text(from->value, std::strlen(from->value));
    } else {
        to->value = from->value;
        from->value = nullptr;
    }
    fieldValueFree(from);
}

void fieldValueFree(FieldValue* field) {
    if (!field) return;
    free_value(field);
    std::free(field);
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

char* queueStrdup(const char* text) {
    return text ? dup_text(text, std::strlen(text)) : nullptr;
}

void freeQueueItem(QueueItem* item) {
    if (!item) return;
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
