// tabledef_fuzz.cpp - libFuzzer target for the table-definition reader: any bytes must be
// judged (read, or refused with a log line) without reading outside them, and every
// definition the reader accepts must be whole: each entry findable under its own key, with
// the texts the statement builders rely on.
//
// Built with -DZEL_FUZZ=ON (clang). The normal build replays corpus/tabledef/ through the
// same entry point as a unit test (corpus_replay_test.cpp).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "zel/base/config.h"
#include "zel/tabledef/table_definitions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Config config;
    config.silent = 1;
    g_config.silent = 1;  // refusals are logged through the process-wide settings
    TableDefinitions defs;
    defs.create(100);
    int rc = parse_table_definitions(reinterpret_cast<const char*>(data), size, defs, config,
                                     "<fuzz>");
    if (rc != 1 && rc != -1) std::abort();
    if (rc != 1) return 0;
    for (const FieldDef* def : defs.entries()) {
        if (!def || !def->table || !def->column || !def->tag || !def->lookup_key) std::abort();
        if (defs.find_fielddef(def->lookup_key) != def) std::abort();
        if (def->kind < kMessageKinds && defs.find_fielddef(def->kind, def->tag) != def)
            std::abort();
    }
    for (unsigned kind = 0; kind < kMessageKinds; ++kind) {
        const MessageDef* message = defs.find_messagedef(kind);
        if (message && (message->kind != kind || std::strcmp(message->tag, "insref") != 0))
            std::abort();
    }
    return 0;
}
