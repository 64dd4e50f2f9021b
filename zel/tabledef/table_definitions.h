// table_definitions.h - the table definitions: which column of which table stores each
// field of each message kind.
//
// Owns `TableDefinitions` (the text-keyed table "%u:%s" of kind and tag -> FieldDef), the
// numeric index beside it, and the reader of the XML table-definition file. The start-up
// sequence creates and loads the process-wide instance `g_tabledefs` on the main thread
// before any other thread runs; from then on everything (feed decoding, the database
// threads, the statement builders, the database check) reads it without a lock. Nothing is
// removed or freed while the program runs, so every FieldDef pointer handed out stays
// valid for the life of the process (tests alone call clear()).
//
// Lookups: the builders call find_fielddef(kind, tag) and find_messagedef(kind) once per
// field of every statement, so both are array look-ups that neither format a key nor
// allocate. Tags that are words ("insref", "side") go through find_fielddef(kind, "side"),
// which also avoids allocation. The text table stays the single owner of every entry.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

struct Config;

// One entry per (message kind, tag). Texts are owned by the TableDefinitions that made the
// entry; absent optional texts (column2, factor, type, len) are null.
struct FieldDef {
    const char* table = nullptr;  // the message's table
    const char* column = nullptr;
    const char* column2 = nullptr;     // raw-value column of a calculated field
    const char* factor = nullptr;      // multiplier of a calculated field, written unchanged
    const char* lookup_key = nullptr;  // this entry's own key, "%u:%s" of kind and tag
    const char* tag = nullptr;         // decimal field number, or a word such as "insref"
    const char* type = nullptr;        // SQL type name as written in the file
    const char* len = nullptr;         // length or "precision,scale" as written
    uint64_t length = 0;               // len as a number when type is exactly "varchar" or "char"
    uint32_t kind = 0;
    int32_t numeric = 0;      // type is exactly double, int, smallint, bigint or decimal
    uint8_t is_key = 0;       // goes into the WHERE clause of updates and deletes
    uint8_t insertfirst = 0;  // the message's rows are inserted before they are updated
    uint8_t nullable = 0;
    uint8_t is_unsigned = 0;
    uint8_t calc = 0;  // 0 ordinary; 1-3 select the calculated-column formula
};

// The MessageDef of kind k is the FieldDef of (k, "insref"): its table is the kind's table
// and its column the instrument-reference column.
using MessageDef = FieldDef;

// Kinds are 8-bit wherever the program makes them; the file may name larger numbers, which
// are kept in the text table (the database check sees them) but never written.
inline constexpr unsigned kMessageKinds = 256;

class TableDefinitions {
  public:
    TableDefinitions() = default;
    TableDefinitions(const TableDefinitions&) = delete;
    TableDefinitions& operator=(const TableDefinitions&) = delete;

    // Sizes the text table for about size_hint entries (the start-up passes 100).
    void create(size_t size_hint);

    // Adds a copy of `def` for `kind` under "%u:%s" (kind, def.tag) and returns the stored
    // entry, or null when the key exists already: the first definition of a key stays.
    // def.tag and def.column must be set. kind, lookup_key and the text pointers of the
    // stored entry are its own.
    const FieldDef* insert(uint32_t kind, const FieldDef& def);

    // Text key "%u:%s", exactly as the other parts build it.
    const FieldDef* find_fielddef(const char* key) const;
    // Numeric tag: the entry of key "%u:%u". O(1), no allocation.
    const FieldDef* find_fielddef(unsigned kind, unsigned tag) const;
    // Tag as text (a number or a word such as "insref" or "side"). No allocation.
    const FieldDef* find_fielddef(unsigned kind, const char* tag) const;
    // The MessageDef of a kind, or null when the kind has no "insref" field.
    const MessageDef* find_messagedef(unsigned kind) const;

    // All keys, in the order in which their entries were made (file order); stable from
    // one call to the next. The texts are the entries' lookup_key.
    std::vector<const char*> keys() const;
    // All entries in the same order.
    const std::vector<const FieldDef*>& entries() const { return order_; }

    // Every table that a message element names, once, in the order of first mention, also
    // when none of its messages defines a field (the reader notes each message's table).
    // Tools that write a schema need the tables themselves, empty ones included.
    void note_table(const char* table);
    const std::vector<const char*>& tables() const { return tables_; }
    size_t size() const { return order_.size(); }
    size_t table_size() const { return table_.bucket_count(); }

    // Forgets every entry. Only for tests: pointers handed out before become invalid.
    void clear();

  private:
    struct KeyHash {
        using is_transparent = void;
        size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
    };
    // Per-kind index: tags 0..kDenseTags-1 by position, larger numeric tags in a list
    // sorted by tag (searched by halving; real files have none).
    static constexpr unsigned kDenseTags = 4096;
    struct KindIndex {
        const FieldDef* messagedef = nullptr;
        std::vector<const FieldDef*> dense;
        std::vector<std::pair<uint32_t, const FieldDef*>> sparse;
    };

    const char* keep(const char* text);
    void index(uint32_t kind, const FieldDef* def);

    std::unordered_map<std::string, FieldDef, KeyHash, std::equal_to<>> table_;
    std::vector<const FieldDef*> order_;
    std::vector<const char*> tables_;
    std::vector<std::unique_ptr<char[]>> texts_;
    std::array<KindIndex, kMessageKinds> kinds_;
};

// The process-wide table definitions.
extern TableDefinitions g_tabledefs;

// Lookups on g_tabledefs, for the parts that use the process-wide definitions.
inline const FieldDef* find_fielddef(const char* key) {
    return g_tabledefs.find_fielddef(key);
}
inline const FieldDef* find_fielddef(unsigned kind, unsigned tag) {
    return g_tabledefs.find_fielddef(kind, tag);
}
inline const FieldDef* find_fielddef(unsigned kind, const char* tag) {
    return g_tabledefs.find_fielddef(kind, tag);
}
inline const MessageDef* find_messagedef(unsigned kind) {
    return g_tabledefs.find_messagedef(kind);
}

// Reads the file named by g_config.tabledefinitions into g_tabledefs and fills g_config's
// reset lists, calculated key-ratio list, table-definition version and request switches.
// Returns 1, or -1 when the file cannot be opened, the parser cannot be made, or the XML
// is not well formed (each logged here; the start-up adds its own line).
int load_table_definitions();

// The same for a given file, table and Config.
int load_table_definitions(const char* path, TableDefinitions& defs, Config& config);

// The same for a document held in memory (tests and tools build definitions this way).
// `name` only labels the log lines.
int parse_table_definitions(const char* data, size_t size, TableDefinitions& defs, Config& config,
                            const char* name = "<memory>");
