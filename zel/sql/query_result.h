// query_result.h - a query's rows, handed back to the module when the object goes out of
// scope.
//
// Used by the statement builders and start-up, each with its own DbWorker on its own
// thread; no lock. A module keeps the rows of mod_querysql until mod_freeresult, and some
// modules append the next query's rows to a list that was not handed back, so a builder
// that missed one free_result would read another query's rows on a real server. Here the
// free happens on every path out of the scope, early returns included. release() hands
// the rows back before the scope ends, where the builder's next statement must not find
// them still held (or where a value is read only up to a point).
#pragma once

#include <cstdint>

#include "zel/sql/db_worker.h"
#include "zel/sql/execute.h"
#include "zel_module.h"

class QueryResult {
  public:
    // Runs worker.statement as a query (see query() in execute.h).
    QueryResult(DbWorker& worker, SqlLabel label) : worker_(worker) {
        rows_ = query(worker, &status_, label);
    }
    ~QueryResult() { release(); }
    QueryResult(const QueryResult&) = delete;
    QueryResult& operator=(const QueryResult&) = delete;

    // The row-major list (a null value for SQL NULL); null when there are no rows, when the
    // query failed, and after release().
    const ResultValue* rows() const { return rows_; }
    // 0 or more on success; otherwise the module's negative code, or -3 for a rerun.
    int32_t status() const { return status_; }
    bool failed() const { return status_ < 0; }

    // Hands the rows back now; later calls (and the destructor) do nothing.
    void release() {
        if (released_) return;
        released_ = true;
        rows_ = nullptr;
        free_result(worker_);
    }

  private:
    DbWorker& worker_;
    ResultValue* rows_ = nullptr;
    int32_t status_ = 0;
    bool released_ = false;
};
