// tabledef_reader.cpp - reads the XML table-definition file into TableDefinitions.
//
// Called once by the start-up sequence on the main thread, before any other thread runs;
// it writes the TableDefinitions it is given and, in Config, the reset lists, the
// calculated key-ratio list, the table-definition version and the request switches. No
// lock: nobody else reads these yet.
//
// The parse state lives in one ParseState per read. Two behaviours of the state are kept
// on purpose: a message without `insertfirst` inherits the previous message's setting,
// and end of input is never signalled as an error, so a file cut off inside an element
// is used with what was read (a warning says so).
#include "zel/tabledef/table_definitions.h"

#include <expat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/base/message_kinds.h"

namespace {

constexpr size_t kBlockSize = 1024;
constexpr size_t kResetListRoom = 1024;

struct FieldState {
    std::optional<std::string> tag, column, column2, factor, type, len;
    uint8_t key = 0;
    uint8_t nullable = 0;
    uint8_t is_unsigned = 0;
    uint8_t calc = 0;
};

struct ParseState {
    TableDefinitions& defs;
    Config& config;
    const char* name;
    XML_Parser parser = nullptr;
    bool out_of_memory = false;

    // The current message. first_kind is -1 between messages.
    std::optional<std::string> table;
    std::optional<std::string> mref;
    int64_t first_kind = -1;
    uint8_t insertfirst = 0;  // carried from one message to the next

    FieldState field;
};

const char* attribute(const XML_Char** attributes, const char* name) {
    for (const XML_Char** a = attributes; a[0] != nullptr; a += 2) {
        if (std::strcmp(a[0], name) == 0) return a[1];
    }
    return nullptr;
}

// Decimal reading of an attribute: leading blanks, then digits. Anything else makes a
// warning, and the value is what the leading digits give (0 without any), as the ordinary
// decimal conversion would read it. Saturates instead of wrapping.
uint64_t read_number(const ParseState& state, const char* attr, const char* text) {
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')
        ++p;
    uint64_t value = 0;
    bool digits = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        digits = true;
        uint64_t digit = static_cast<uint64_t>(*p - '0');
        value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
    }
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')
        ++p;
    if (!digits || *p != '\0') {
        log_message(
            LOG_LEVEL_WARNING,
            "Table definition file '%s', line %lu: %s=\"%s\" is not a number, read as %" PRIu64,
            state.name, static_cast<unsigned long>(XML_GetCurrentLineNumber(state.parser)), attr,
            text, value);
    }
    return value;
}

// A flag attribute is stored in 8 bits; a larger number keeps meaning "set" instead of
// wrapping to some other value.
uint8_t read_flag(const ParseState& state, const char* attr, const char* text) {
    uint64_t value = read_number(state, attr, text);
    return value > UINT8_MAX ? UINT8_MAX : static_cast<uint8_t>(value);
}

std::string* reset_list(Config& config, int64_t kind) {
    switch (kind) {
        case KIND_QUOTE:
            return &config.reset_list_quotes;
        case KIND_NOII:
            return &config.reset_list_noii;
        case KIND_GREEKS:
            return &config.reset_list_greeks;
        case KIND_QUOTE_BBO:
            return &config.reset_list_quotes_bbo;
        default:
            return nullptr;
    }
}

void switch_requests_on(Config& config, uint32_t kind) {
    for (const RequestSwitch& request : kRequestSwitches) {
        for (uint8_t switching_kind : request.kinds) {
            if (switching_kind == 0) break;
            if (switching_kind == kind && config.*request.flag == 0) config.*request.flag = 1;
        }
    }
}

void start_definitions(ParseState& state, const XML_Char** attributes) {
    if (const char* version = attribute(attributes, "version"))
        state.config.tabledef_version = read_number(state, "version", version);
}

void start_message(ParseState& state, const XML_Char** attributes) {
    const char* mref = attribute(attributes, "mref");
    const char* table = attribute(attributes, "table");
    const char* insertfirst = attribute(attributes, "insertfirst");
    state.mref.reset();
    state.table.reset();
    state.first_kind = -1;
    if (mref != nullptr) {
        state.mref = mref;
        // The message's first kind is the decimal conversion of the whole text, so the
        // reset lists follow the number the text starts with.
        state.first_kind = static_cast<int64_t>(std::strtoul(mref, nullptr, 10));
    }
    if (table != nullptr) state.table = table;
    // A message without mref is ignored whole, so its table is none of the program's.
    if (mref != nullptr && table != nullptr) state.defs.note_table(table);
    if (insertfirst != nullptr) state.insertfirst = insertfirst[0] == 'y' ? 1 : 0;
    if (mref == nullptr || table == nullptr) {
        log_message(
            LOG_LEVEL_WARNING,
            "Table definition file '%s', line %lu: message without %s; its fields are ignored",
            state.name, static_cast<unsigned long>(XML_GetCurrentLineNumber(state.parser)),
            mref == nullptr ? "mref" : "table");
    }
}

void start_field(ParseState& state, const XML_Char** attributes) {
    FieldState& field = state.field;
    for (const XML_Char** a = attributes; a[0] != nullptr; a += 2) {
        const char* name = a[0];
        const char* value = a[1];
        if (std::strcmp(name, "tag") == 0)
            field.tag = value;
        else if (std::strcmp(name, "column") == 0)
            field.column = value;
        else if (std::strcmp(name, "column2") == 0)
            field.column2 = value;
        else if (std::strcmp(name, "factor") == 0)
            field.factor = value;
        else if (std::strcmp(name, "type") == 0)
            field.type = value;
        else if (std::strcmp(name, "len") == 0)
            field.len = value;
        else if (std::strcmp(name, "key") == 0)
            field.key = read_flag(state, name, value);
        else if (std::strcmp(name, "nullable") == 0)
            field.nullable = read_flag(state, name, value);
        else if (std::strcmp(name, "unsigned") == 0)
            field.is_unsigned = read_flag(state, name, value);
        else if (std::strcmp(name, "calc") == 0)
            field.calc = read_flag(state, name, value);
    }
}

bool is_numeric_type(const std::optional<std::string>& type) {
    if (!type) return false;
    return *type == "double" || *type == "int" || *type == "smallint" || *type == "bigint" ||
           *type == "decimal";
}

// Adds one entry per kind named in the message's mref.
void end_field(ParseState& state) {
    FieldState& field = state.field;
    if (state.mref && state.table) {
        if (!field.tag || !field.column) {
            log_message(
                LOG_LEVEL_WARNING,
                "Table definition file '%s', line %lu: field of table %s without %s ignored",
                state.name, static_cast<unsigned long>(XML_GetCurrentLineNumber(state.parser)),
                state.table->c_str(), field.tag ? "column" : "tag");
        } else {
            std::string base_column;
            FieldDef def;
            def.table = state.table->c_str();
            def.column = field.column->c_str();
            def.column2 = field.column2 ? field.column2->c_str() : nullptr;
            if (field.calc != 0 && def.column2 == nullptr) {
                base_column = *field.column + "_base";
                def.column2 = base_column.c_str();
            }
            def.factor = field.factor ? field.factor->c_str() : nullptr;
            def.tag = field.tag->c_str();
            def.type = field.type ? field.type->c_str() : nullptr;
            def.len = field.len ? field.len->c_str() : nullptr;
            if (field.type && field.len && (*field.type == "varchar" || *field.type == "char"))
                def.length = read_number(state, "len", field.len->c_str());
            def.numeric = is_numeric_type(field.type) ? 1 : 0;
            def.is_key = field.key;
            def.insertfirst = state.insertfirst;
            def.nullable = field.nullable;
            def.is_unsigned = field.is_unsigned;
            def.calc = field.calc;

            const std::string& tag = *field.tag;
            bool resets = tag != "insref" && tag != "3" && tag != "4";
            const char* p = state.mref->c_str();
            while (*p != '\0') {
                if (*p < '0' || *p > '9') {
                    ++p;
                    continue;
                }
                uint64_t number = 0;
                for (; *p >= '0' && *p <= '9'; ++p)
                    number = number > UINT32_MAX ? number
                                                 : number * 10 + static_cast<uint64_t>(*p - '0');
                if (number > UINT32_MAX) {
                    log_message(LOG_LEVEL_WARNING,
                                "Table definition file '%s': message kind in mref \"%s\" is too "
                                "large; ignored",
                                state.name, state.mref->c_str());
                    continue;
                }
                uint32_t kind = static_cast<uint32_t>(number);
                switch_requests_on(state.config, kind);
                const FieldDef* entry = state.defs.insert(kind, def);
                if (entry == nullptr) {
                    log_message(LOG_LEVEL_WARNING,
                                "Table definition file '%s', line %lu: %u:%s is defined twice; "
                                "the first definition is kept",
                                state.name,
                                static_cast<unsigned long>(XML_GetCurrentLineNumber(state.parser)),
                                kind, tag.c_str());
                    continue;
                }
                if (entry->calc != 0 && kind == KIND_KEY_RATIOS)
                    state.config.calc_keyratio_fields.push_back(entry);
                // The reset clause belongs to the message's first kind and only to an entry
                // that was kept: a duplicate's column is unknown to the rest of the program.
                if (resets && static_cast<int64_t>(kind) == state.first_kind) {
                    if (std::string* list = reset_list(state.config, kind)) {
                        if (!list->empty()) list->append(", ");
                        list->append(*field.column);
                        list->append(" = NULL");
                    }
                }
            }
        }
    }
    field = FieldState{};
}

void end_message(ParseState& state) {
    state.table.reset();
    state.mref.reset();
    state.first_kind = -1;
}

// Exceptions must not unwind through the C parser: a failed allocation stops the parse
// and is reported as such by the reader.
void XMLCALL on_start(void* data, const XML_Char* name, const XML_Char** attributes) {
    ParseState& state = *static_cast<ParseState*>(data);
    try {
        if (std::strcmp(name, "field") == 0)
            start_field(state, attributes);
        else if (std::strcmp(name, "message") == 0)
            start_message(state, attributes);
        else if (std::strcmp(name, "definitions") == 0)
            start_definitions(state, attributes);
    } catch (...) {
        state.out_of_memory = true;
        XML_StopParser(state.parser, XML_FALSE);
    }
}

void XMLCALL on_end(void* data, const XML_Char* name) {
    ParseState& state = *static_cast<ParseState*>(data);
    try {
        if (std::strcmp(name, "field") == 0)
            end_field(state);
        else if (std::strcmp(name, "message") == 0)
            end_message(state);
    } catch (...) {
        state.out_of_memory = true;
        XML_StopParser(state.parser, XML_FALSE);
    }
}

// Owns the parser for one read.
class Reader {
  public:
    Reader(TableDefinitions& defs, Config& config, const char* name) : state_{defs, config, name} {}
    ~Reader() {
        if (state_.parser != nullptr) XML_ParserFree(state_.parser);
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    int begin() {
        state_.parser = XML_ParserCreate(nullptr);
        if (state_.parser == nullptr) {
            log_message(LOG_LEVEL_ERROR, "XML_ParserCreate failed exiting");
            return -1;
        }
        Config& config = state_.config;
        for (std::string* list : {&config.reset_list_quotes, &config.reset_list_noii,
                                  &config.reset_list_greeks, &config.reset_list_quotes_bbo}) {
            list->clear();
            list->reserve(kResetListRoom);
        }
        config.calc_keyratio_fields.clear();
        XML_SetUserData(state_.parser, &state_);
        XML_SetElementHandler(state_.parser, on_start, on_end);
        return 1;
    }

    int feed(const char* data, size_t size) {
        if (XML_Parse(state_.parser, data, static_cast<int>(size), XML_FALSE) == XML_STATUS_OK)
            return 1;
        log_message(LOG_LEVEL_ERROR, "Failed to parse tabledefinitions");
        if (state_.out_of_memory) {
            log_message(LOG_LEVEL_ERROR, "Table definition file '%s': out of memory", state_.name);
        } else {
            log_message(LOG_LEVEL_ERROR, "Table definition file '%s', line %lu, column %lu: %s",
                        state_.name,
                        static_cast<unsigned long>(XML_GetCurrentLineNumber(state_.parser)),
                        static_cast<unsigned long>(XML_GetCurrentColumnNumber(state_.parser)),
                        XML_ErrorString(XML_GetErrorCode(state_.parser)));
        }
        return -1;
    }

    // The document is accepted as read so far. Asking the parser whether it was complete
    // only serves the warning; its answer changes nothing that was stored.
    int finish() {
        if (XML_Parse(state_.parser, "", 0, XML_TRUE) != XML_STATUS_OK && !state_.out_of_memory) {
            log_message(
                LOG_LEVEL_WARNING,
                "Table definition file '%s' is incomplete (line %lu: %s); using what was read",
                state_.name, static_cast<unsigned long>(XML_GetCurrentLineNumber(state_.parser)),
                XML_ErrorString(XML_GetErrorCode(state_.parser)));
        }
        if (state_.defs.size() == 0)
            log_message(LOG_LEVEL_WARNING, "Table definition file '%s' defines no fields",
                        state_.name);
        return 1;
    }

  private:
    ParseState state_;
};

}  // namespace

int parse_table_definitions(const char* data, size_t size, TableDefinitions& defs, Config& config,
                            const char* name) {
    Reader reader(defs, config, name);
    if (reader.begin() != 1) return -1;
    for (size_t offset = 0; offset < size; offset += kBlockSize) {
        size_t block = size - offset < kBlockSize ? size - offset : kBlockSize;
        if (reader.feed(data + offset, block) != 1) return -1;
    }
    return reader.finish();
}

int load_table_definitions(const char* path, TableDefinitions& defs, Config& config) {
    if (path == nullptr || path[0] == '\0') {
        log_message(LOG_LEVEL_ERROR,
                    "No table definition file is configured (key tabledefinitions)");
        return -1;
    }
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        log_message(LOG_LEVEL_ERROR, "Cannot open table definition file '%s': %s", path,
                    std::strerror(errno));
        return -1;
    }
    Reader reader(defs, config, path);
    int result = reader.begin();
    char block[kBlockSize];
    while (result == 1) {
        size_t got = std::fread(block, 1, sizeof block, file);
        if (got > 0) result = reader.feed(block, got);
        if (got < sizeof block) {
            if (std::ferror(file)) {
                log_message(LOG_LEVEL_ERROR, "Cannot read table definition file '%s': %s", path,
                            std::strerror(errno));
                result = -1;
            }
            break;
        }
    }
    std::fclose(file);
    return result == 1 ? reader.finish() : -1;
}

int load_table_definitions() {
    return load_table_definitions(g_config.tabledefinitions.c_str(), g_tabledefs, g_config);
}
