// ado_standin.h - a scripted stand-in of the SQL Server module's data-access layer, so
// that the module's rules run on any platform with outcomes no real server gives on cue
// (a deadlock victim, a server shutting down, a provider without error objects).
//
// A test fills the global Script: what each statement and query answers, which opens
// fail. The stand-in records what the module did (connection strings opened, statements
// executed, threads made ready). Like COM, it refuses every call from a thread that was
// not made ready first. The script is guarded by one mutex: the module is called from
// several threads in the thread tests.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "modules/sqlserver/ado_layer.h"

namespace standin {

using sqlserver::AdoError;
using sqlserver::AdoValue;

constexpr int32_t kNotInitialised = static_cast<int32_t>(0x800401F0);  // CO_E_NOTINITIALIZED

struct ExecuteOutcome {
    bool fails = false;
    AdoError error;
    int32_t affected = 1;
};

struct QueryOutcome {
    bool fails_open = false;
    AdoError error;
    bool no_rowset = false;     // the record set stays closed
    int64_t record_count = -1;  // what RecordCount says (-1: a forward-only cursor)
    std::vector<std::string> names;
    std::vector<std::vector<AdoValue>> rows;
    int fail_in_row = -1;       // reading a field of this row fails with `error`
};

struct Script {
    std::mutex mutex;
    int32_t init_process_result = 0;
    int32_t init_thread_result = 0;
    bool create_fails = false;
    AdoError create_error;
    std::deque<AdoError> open_failures;  // each open takes the next failure, if any
    std::function<void()> on_open;       // runs at each open (before its outcome)
    std::map<std::string, ExecuteOutcome> executes;  // by statement text; others affect 1 row
    std::map<std::string, QueryOutcome> queries;     // by source text
    // Recorded:
    std::vector<std::string> opened;
    std::vector<std::string> executed;
    std::vector<int32_t> execute_options;
    int connections_created = 0;
    int closes = 0;
    std::map<std::string, int> thread_inits;  // per thread (its id as text)

    void reset();
};

Script& script();
// A name of the calling thread, unique for the process's life (the keys of thread_inits).
std::string thread_name();

}  // namespace standin
