// transaction.h - Transaction, what one database worker knows of its open transaction.
//
// Each DbWorker holds one (db_worker.h), and only its own database thread touches it, so it
// takes no lock. It is the one place that says whether a transaction is open and how many
// items it holds: the database thread's grouping (db_thread.cpp) opens it, counts items into
// it and ends it with a COMMIT; statement execution (execute.cpp) gives it up when the
// server rolls it back or the connection takes it away. Everyone else only asks.
//
// It also remembers a COMMIT whose answer never came (the connection went first): the
// batch is written again then, and what that COMMIT may have stored after all is found
// again by the statements of the rerun (execute.cpp).
#pragma once

#include <cstdint>

class Transaction {
  public:
    // Whether a transaction is open; with it, execution rolls back or asks for a rerun
    // where it would otherwise carry on.
    bool open() const { return items_ != 0; }
    // Items in the open transaction, the one that opened it included; 0 when none is open.
    uint32_t items() const { return items_; }
    // A COMMIT lost its connection before the answer came, and the items it held have not
    // all been committed again since.
    bool commit_unknown() const { return commit_unknown_; }

    // A transaction is open, holding the item that opened it.
    void begin() { items_ = 1; }
    // One more item joins the open transaction.
    void count_item() { ++items_; }
    // The COMMIT goes out. From here nothing is open, whatever the answer: a transaction the
    // server rolled back instead leaves nothing to roll back.
    void end() { items_ = 0; }
    // The answer to the COMMIT of `items` items: it succeeded, or its connection went before
    // it came. After a COMMIT without answer the items put back for the rerun may take
    // several transactions to write again (the batch can be longer than one); each of them
    // may meet its own row, so the doubt lasts until that many items are committed.
    void committed(uint64_t items) {
        if (rerun_items_ > items) {
            rerun_items_ -= items;
            return;
        }
        rerun_items_ = 0;
        commit_unknown_ = false;
    }
    void commit_unanswered() { commit_unknown_ = true; }
    // The items put back to be written again, when a COMMIT without answer sent them back.
    void rerun(uint64_t items) {
        if (commit_unknown_ && items > rerun_items_) rerun_items_ = items;
    }
    // The transaction is gone without a COMMIT: rolled back by the server or by us, lost with
    // the connection, or never opened because the statement opening it failed.
    void lost() { items_ = 0; }

  private:
    uint32_t items_ = 0;
    bool commit_unknown_ = false;
    uint64_t rerun_items_ = 0;  // of the doubtful COMMIT's batch, not yet committed again
};
