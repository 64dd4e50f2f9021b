// table_definitions.cpp - the TableDefinitions table and its lookups.
//
// Owns the entries (FieldDef) and their texts. Filled by the reader (tabledef_reader.cpp)
// on the main thread during start-up; read by every thread afterwards without a lock, which
// is safe because nothing is inserted, moved or freed once the threads run. The entries live
// in the nodes of the text table, whose addresses never change, so the per-kind index and
// every caller may keep plain pointers to them.
#include "zel/tabledef/table_definitions.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

TableDefinitions g_tabledefs;

namespace {

// A tag indexes numerically only when "%u" of its number gives back the same text; "05" or
// "+5" would never be found by the "%u:%u" keys the builders make.
bool canonical_number(const char* text, uint32_t* number) {
    if (text == nullptr || text[0] < '0' || text[0] > '9' || (text[0] == '0' && text[1] != '\0'))
        return false;
    uint64_t value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > UINT32_MAX) return false;
    }
    *number = static_cast<uint32_t>(value);
    return true;
}

}  // namespace

void TableDefinitions::create(size_t size_hint) {
    table_.reserve(size_hint);
    order_.reserve(size_hint);
}

const char* TableDefinitions::keep(const char* text) {
    if (text == nullptr) return nullptr;
    size_t size = std::strlen(text) + 1;
    texts_.push_back(std::make_unique<char[]>(size));
    std::memcpy(texts_.back().get(), text, size);
    return texts_.back().get();
}

const FieldDef* TableDefinitions::insert(uint32_t kind, const FieldDef& def) {
    if (def.tag == nullptr || def.column == nullptr) return nullptr;
    std::string key = std::to_string(kind);
    key += ':';
    key += def.tag;
    if (table_.find(std::string_view(key)) != table_.end()) return nullptr;

    FieldDef entry = def;
    entry.kind = kind;
    entry.table = keep(def.table);
    entry.column = keep(def.column);
    entry.column2 = keep(def.column2);
    entry.factor = keep(def.factor);
    entry.tag = keep(def.tag);
    entry.type = keep(def.type);
    entry.len = keep(def.len);
    auto placed = table_.emplace(std::move(key), entry).first;
    FieldDef* stored = &placed->second;
    stored->lookup_key = placed->first.c_str();
    order_.push_back(stored);
    index(kind, stored);
    return stored;
}

void TableDefinitions::index(uint32_t kind, const FieldDef* def) {
    if (kind >= kMessageKinds) return;
    KindIndex& slot = kinds_[kind];
    if (std::strcmp(def->tag, "insref") == 0) {
        slot.messagedef = def;
        return;
    }
    uint32_t tag = 0;
    if (!canonical_number(def->tag, &tag)) return;
    if (tag < kDenseTags) {
        if (slot.dense.size() <= tag) slot.dense.resize(tag + 1, nullptr);
        slot.dense[tag] = def;
        return;
    }
    auto at = std::lower_bound(slot.sparse.begin(), slot.sparse.end(), tag,
                               [](const auto& item, uint32_t value) { return item.first < value; });
    slot.sparse.insert(at, {tag, def});
}

const FieldDef* TableDefinitions::find_fielddef(const char* key) const {
    if (key == nullptr) return nullptr;
    auto found = table_.find(std::string_view(key));
    return found == table_.end() ? nullptr : &found->second;
}

const FieldDef* TableDefinitions::find_fielddef(unsigned kind, unsigned tag) const {
    if (kind >= kMessageKinds) {
        char key[32];
        std::snprintf(key, sizeof key, "%u:%u", kind, tag);
        return find_fielddef(key);
    }
    const KindIndex& slot = kinds_[kind];
    if (tag < kDenseTags) return tag < slot.dense.size() ? slot.dense[tag] : nullptr;
    auto at = std::lower_bound(slot.sparse.begin(), slot.sparse.end(), tag,
                               [](const auto& item, unsigned value) { return item.first < value; });
    return at != slot.sparse.end() && at->first == tag ? at->second : nullptr;
}

const FieldDef* TableDefinitions::find_fielddef(unsigned kind, const char* tag) const {
    if (tag == nullptr) return nullptr;
    uint32_t number = 0;
    if (canonical_number(tag, &number)) return find_fielddef(kind, number);
    if (kind < kMessageKinds && std::strcmp(tag, "insref") == 0) return kinds_[kind].messagedef;
    char key[128];
    int written = std::snprintf(key, sizeof key, "%u:%s", kind, tag);
    if (written >= 0 && static_cast<size_t>(written) < sizeof key) return find_fielddef(key);
    std::string long_key = std::to_string(kind) + ":" + tag;
    return find_fielddef(long_key.c_str());
}

const MessageDef* TableDefinitions::find_messagedef(unsigned kind) const {
    if (kind >= kMessageKinds) return find_fielddef(kind, "insref");
    return kinds_[kind].messagedef;
}

void TableDefinitions::note_table(const char* table) {
    if (table == nullptr) return;
    for (const char* known : tables_)
        if (std::strcmp(known, table) == 0) return;
    tables_.push_back(keep(table));
}

std::vector<const char*> TableDefinitions::keys() const {
    std::vector<const char*> list;
    list.reserve(order_.size());
    for (const FieldDef* def : order_)
        list.push_back(def->lookup_key);
    return list;
}

void TableDefinitions::clear() {
    table_.clear();
    order_.clear();
    tables_.clear();
    texts_.clear();
    kinds_ = {};
}
