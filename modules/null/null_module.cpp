// null_module.cpp - the null database module: accepts every call and writes nothing.
//
// Lets zel run its feed, queues and statement builders end to end without a database
// server. There is no connection object: mod_create hands out the constant handle 1, which
// is only ever compared with null. The one piece of state is the status byte shared by all
// "connections"; the stop handler writes it and the supervisor reads it from other threads,
// so it is an atomic byte read and written without ordering (a plain byte load and store).
#include <atomic>
#include <cstdint>

#include "zel_module.h"

namespace {

std::atomic<uint8_t> g_status{ZEL_STATUS_CONNECTED};
char g_empty_text[1] = {'\0'};

DbConnection* handle() {
    return reinterpret_cast<DbConnection*>(static_cast<uintptr_t>(1));
}

}  // namespace

int32_t mod_init(void) {
    return 1;
}

int32_t mod_exit(void) {
    return 1;
}

DbConnection* mod_create(ZelModuleParams*) {
    return handle();
}

int32_t mod_destroy(DbConnection*) {
    return 1;
}

int32_t mod_connect(DbConnection* conn) {
    return conn != nullptr ? 1 : 0;
}

int32_t mod_disconnect(DbConnection* conn) {
    return conn != nullptr ? 1 : 0;
}

void mod_reconnect(DbConnection*) {}

int32_t mod_getlasterror(DbConnection* conn) {
    return conn != nullptr ? 0 : -1;
}

const char* mod_geterrorstring(DbConnection*) {
    return nullptr;
}

// One row affected: every UPDATE counts as done, so callers never fall back to INSERT.
int32_t mod_executesql(DbConnection* conn, const char*) {
    return conn != nullptr ? 1 : ZEL_RESULT_FAILED;
}

ResultValue* mod_querysql(DbConnection*, const char*, int32_t* status) {
    if (status != nullptr) *status = 0;
    return nullptr;
}

void mod_freeresult(DbConnection*) {}

// No quotes: the value is never looked at, and the empty text is all any statement gets.
const char* mod_add_value(DbConnection* conn, const char*, uint64_t) {
    return conn != nullptr ? g_empty_text : nullptr;
}

uint8_t mod_get_status(DbConnection*) {
    return g_status.load(std::memory_order_relaxed);
}

void mod_set_status(DbConnection*, int32_t status) {
    g_status.store(static_cast<uint8_t>(status & 0xFF), std::memory_order_relaxed);
}

uint8_t mod_add_column(DbConnection* conn, char*, const char*, const char*, const char*, uint8_t,
                       uint8_t, int32_t) {
    return conn != nullptr ? 1 : 0;
}

int32_t mod_get_info(DbConnection*, ServerInfo*, uint32_t) {
    return -1;
}

ColumnInfo* mod_get_databaseinfo(DbConnection*) {
    return nullptr;
}

void mod_free_databaseinfo(ColumnInfo*) {}
