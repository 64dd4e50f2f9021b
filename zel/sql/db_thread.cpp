// db_thread.cpp - the database worker thread (see db_thread.h). Source unit "zel".
//
// A thread owns its DbWorker (connection, statement buffer, transaction) and
// shares only its UpdateQueue with the producers. It holds the queue's lock just to take
// items, leave throttling placeholders, change the queued counter, put a batch back and
// drop timed-out news; statements are built and executed without it, so a slow database
// never holds up the feed thread.
//
// Statement batches (statement_batch.h) are a different thing from the batch of items
// below: while a pass writes its items, their statements are collected and sent together
// when the module has the batch entry point; each result is then handled as it would be
// one at a time. They are sent before a COMMIT, before an item that may touch a row with
// statements still unsent, when full, and at the end of the pass; a rerun drops them with
// the batch of items, which is taken again.
//
// Batches: the items taken since the last COMMIT (or, without transactions, since the pass
// began) stay linked in the batch until their fate is known. When the server rolls the
// transaction back (-3, from any statement or from the COMMIT itself), or the connection is
// lost inside the transaction or during its COMMIT, the whole batch goes back to the front
// of the queue in its order and is written again.
//
// No batch is rerun for ever: after kRerunLimit reruns without a batch written in between,
// the batch is written once more item by item, each item on its own without a transaction.
// An item that still fails is given up (logged with its failing statement, counted as
// failed) and the others are written; then transactions resume.
//
// A corporate action (kind 253) rescales the stored history by the new factor over the one
// stored in its kind-11 row, which the feed queues right behind it. Both must succeed or
// fail together, or a rerun would rescale the history a second time: the open transaction
// is committed before a kind-253 item, and never right after one, so the pair always shares
// a transaction; without a transaction the batch is let go once the kind-253 item is
// written, so a later rerun does not repeat it.
#include "zel/sql/db_thread.h"

#include <chrono>
#include <cinttypes>
#include <optional>
#include <thread>
#include <utility>

#include "platform/account.h"
#include "zel/base/clock.h"
#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/base/mutex.h"
#include "zel/base/run_state.h"
#include "zel/queues/instruments.h"
#include "zel/queues/update_queue.h"
#include "zel/sql/corporate_actions.h"
#include "zel/sql/differences.h"
#include "zel/sql/execute.h"
#include "zel/sql/list_rows.h"
#include "zel/sql/minute_bars.h"
#include "zel/sql/news_coding.h"
#include "zel/sql/order_book_rows.h"
#include "zel/sql/removal.h"
#include "zel/sql/reset_statements.h"
#include "zel/sql/row_statements.h"
#include "zel/sql/status_rows.h"
#include "zel/stats/stats_block.h"
#include "zel/tabledef/table_definitions.h"

namespace {

constexpr int64_t kNewsTimeoutSeconds = 3600;
constexpr int64_t kTransactionSpanSeconds = 2;
constexpr int64_t kIdleWaitMs = 1000;
constexpr int64_t kLongestWaitSeconds = 300;
constexpr uint32_t kRerunLimit = 3;

// The items taken and not yet known to be written, in take order, linked through their
// own next/prev (they are out of the queue). `count` is what the queued counter still
// holds for them.
struct Batch {
    QueueItem* head = nullptr;
    QueueItem* tail = nullptr;
    uint64_t count = 0;

    void append(QueueItem* item) {
        item->next = nullptr;
        item->prev = tail;
        if (tail) {
            tail->next = item;
        } else {
            head = item;
        }
        tail = item;
    }
    void clear() {
        head = tail = nullptr;
        count = 0;
    }
};

void free_items(QueueItem* head) {
    while (head) {
        QueueItem* next = head->next;
        freeQueueItem(head);
        head = next;
    }
}

bool waiting_news(const QueueItem* item) {
    return item->kind == KIND_NEWS && (item->flags & ITEM_NEWS_MULTIPART) &&
           !(item->flags & ITEM_NEWS_LASTBLOCK);
}

// Puts the whole batch back in front of the queue head, in its order, so it is
// taken again from its first item; the transaction that held it is gone. Once the batch has
// been rerun kRerunLimit times without a batch written in between, its items are taken one
// by one without a transaction.
void rerun_batch(DbWorker& worker, UpdateQueue& q, Batch& batch) REQUIRES(q.lock) {
    worker.transaction.lost();
    uint64_t items = 0;
    bool status_rows_lost = false;
    for (QueueItem* i = batch.head; i; i = i->next) {
        ++items;
        status_rows_lost = status_rows_lost || i->kind == KIND_STATUS;
    }
    // Rows a rolled-back status item wrote are not in the table: write them all again.
    if (status_rows_lost) forget_status_rows_written();
    // Statements of the batch's items not sent yet are built again with the items.
    worker.batch.statements.clear();
    worker.batch.rows.clear();
    if (worker.reruns >= kRerunLimit) {
        worker.reruns = 0;
        worker.isolate = items;
        log_message(LOG_LEVEL_PROBLEM,
                    "Queue %u: %" PRIu64
                    " queue items failed %u times in a row; writing them "
                    "one by one without a transaction",
                    worker.number, items, kRerunLimit + 1);
    } else {
        ++worker.reruns;
        log_message(LOG_LEVEL_PROBLEM, "Deadlocked so will rerun %" PRIu64 " queue items", items);
    }
    worker.transaction.rerun(items);
    putBackQueueItems(&q, batch.head, batch.tail);
    batch.clear();
}

int commit(DbWorker& worker) {
    // The transaction's statements still in the batch go first, inside it.
    if (flush_statements(worker) == ZEL_RESULT_RERUN) {
        worker.transaction.lost();
        return ZEL_RESULT_RERUN;
    }
    // The transaction ends before the COMMIT runs: if the server reports it rolled back,
    // there is nothing left to roll back.
    const uint32_t items = worker.transaction.items();
    worker.transaction.end();
    worker.statement.assign("COMMIT");
    int r = execute(worker, EXEC_PLAIN, ZEL_LABEL);
    // A connection lost during the COMMIT leaves its outcome unknown, but nearly always the
    // server ended the session first (a restart, a terminated backend) and rolled the
    // transaction back: letting the batch go would lose it. It is written again instead;
    // its statements are upserts, deletes and recomputations, which a second run leaves as
    // the first did if the COMMIT did take effect after all (a failover to a synchronous
    // standby can do that). Plain INSERTs then meet their own rows: see commit_unknown().
    if (r == ZEL_RESULT_LOST) {
        worker.transaction.commit_unanswered();
        return ZEL_RESULT_RERUN;
    }
    if (r >= 0) worker.transaction.committed(items);
    return r;
}

// Opens a transaction for the item just taken. The statement that opens it on the server
// (when the server needs one) is submitted like the item's own: in a batch it goes out with
// the statements behind it, and no round trip waits for its answer alone. Should it fail,
// its continuation gives the transaction up; a lost connection or a rollback asks for a
// rerun (execute.cpp), as for any statement inside the transaction. Returns -3 for a rerun,
// else 0.
int open_transaction(DbWorker& worker) {
    worker.transaction.begin();
    if (worker.begin_transaction.empty()) return 0;
    worker.statement.assign(worker.begin_transaction);
    return submit(worker, EXEC_PLAIN, ZEL_LABEL, [](DbWorker& w, int r) {
        if (r < 0) w.transaction.lost();
        return 0;
    });
}

// Transaction grouping for the item just taken (the batch's last), with `c` the batch size
// including it and `t` the time it was taken. Returns -3 when the COMMIT of the items
// before it reported the transaction rolled back: the batch, the item included, is rerun.
int group_transaction(DbWorker& worker, Batch& batch, QueueItem* item, uint64_t c, int64_t t,
                      int64_t& reference) {
    if (worker.transactions <= 1) {
        batch.count = c;
        return 0;
    }
    if (!worker.transaction.open()) {
        batch.count = c;
        return open_transaction(worker);
    }
    worker.transaction.count_item();
    // The item behind a corporate action joins its transaction whatever the limits say; a
    // corporate action itself starts a transaction of its own.
    const bool follows_action = item->prev && item->prev->kind == KIND_HISTORY_ADJUSTMENT;
    if (follows_action ||
        (item->kind != KIND_HISTORY_ADJUSTMENT &&
         worker.transaction.items() <= static_cast<uint32_t>(worker.transactions) &&
         t - reference <= kTransactionSpanSeconds)) {
        batch.count = c;
        return 0;
    }
    // The open transaction is full or too old: commit the items before this one, and
    // only then let them go.
    if (commit(worker) == ZEL_RESULT_RERUN) {
        batch.count = c;
        return ZEL_RESULT_RERUN;
    }
    QueueItem* committed = batch.head;
    if (item->prev) item->prev->next = nullptr;
    item->prev = nullptr;
    free_items(committed == item ? nullptr : committed);
    {
        MutexLock hold(worker.queue->lock);
        stat_sub(worker.stats().queued, batch.count);
    }
    worker.reruns = 0;
    reference = t;
    batch.head = batch.tail = item;
    batch.count = 1;
    return open_transaction(worker);
}

// The instrument's entry in the instrument type table, copied under queue 1's lock (the
// feed thread changes the table under it).
bool instrument_type_copy(uint64_t insref, InstrumentType& copy) {
    MutexLock hold(instrumentTypeLock());
    const InstrumentType* entry = instrumentTypeLookup(insref);
    if (!entry) return false;
    copy = *entry;
    return true;
}

// Runs `done` (when given) for the result of an item's last row statement.
int finish(const StatementThen& done, DbWorker& worker, int result) {
    return done ? done(worker, result) : 0;
}

// Writes the item's row update-first or insert-first. `adjusted_history` selects the
// unadjusted write into the adjusted table, where anything but exactly one inserted row
// is followed by a plain UPDATE. Returns -3 for a rerun, else 0; *wrote says whether a
// statement was built. `done` runs once the row's statements are answered (for a batched
// statement, when its batch is sent), unless they ask for a rerun.
//
// The second statement is built when the first one's result is known, so everything it
// needs is kept in the continuation: the instrument's entry (the caller's is a copy on its
// stack) and the item's kind (kind 4 is written as kind 252 for the adjusted table).
int write_row(DbWorker& worker, QueueItem& item, const MessageDef& def,
              const InstrumentType* instrument, bool insert_first, bool adjusted_history,
              bool* wrote, StatementThen done = {}) {
    *wrote = false;
    std::optional<InstrumentType> entry;
    if (instrument) entry = *instrument;
    const uint8_t kind = item.kind;
    auto build = [&item, &def, entry, kind](DbWorker& w, bool insert) {
        const uint8_t held = item.kind;
        item.kind = kind;
        if (insert) {
            row_insert(w, item, def, entry ? &*entry : nullptr);
        } else {
            row_update(w, item, def, entry ? &*entry : nullptr);
        }
        item.kind = held;
    };
    auto then_finish = [done](DbWorker& w, int) { return finish(done, w, 0); };
    if (!insert_first) {
        if (row_update(worker, item, def, instrument) == 0) return 0;
        *wrote = true;
        return submit(worker, EXEC_TRY_UPDATE, ZEL_LABEL,
                      [build, done, then_finish](DbWorker& w, int r) {
                          if (r != 0) return finish(done, w, r);
                          build(w, true);
                          return submit(w, EXEC_PLAIN, ZEL_LABEL, then_finish);
                      });
    }
    if (row_insert(worker, item, def, instrument) == 0) return 0;
    *wrote = true;
    return submit(worker, EXEC_TRY_INSERT, ZEL_LABEL,
                  [build, done, then_finish, adjusted_history](DbWorker& w, int r) {
                      if (adjusted_history ? r == 1 : r != ZEL_RESULT_FAILED)
                          return finish(done, w, r);
                      build(w, false);
                      return submit(w, adjusted_history ? EXEC_PLAIN : EXEC_FALLBACK_UPDATE,
                                    ZEL_LABEL, then_finish);
                  });
}

// The generic write of a row from the item's fields. Returns -3 for a rerun, else 0;
// *wrote says whether a row statement was built (the follow-ups need one, and go in
// `done`, which runs after the row's statements).
int generic_write(DbWorker& worker, QueueItem& item, const MessageDef& def, bool* wrote,
                  StatementThen done = {}) {
    *wrote = false;
    if (item.flags & ITEM_DELETE) {
        int r = row_delete(worker, item, def);
        if (r == ZEL_RESULT_RERUN) return ZEL_RESULT_RERUN;
        if (r == 1 && execute(worker, EXEC_PLAIN, ZEL_LABEL) == ZEL_RESULT_RERUN)
            return ZEL_RESULT_RERUN;
        return 0;
    }
    // Kind 19 with calculated columns first reads the instrument's quote price (or its
    // one-day reference price) into the price slot, from which its calculated fields are
    // computed.
    InstrumentType copy;
    const InstrumentType* instrument = nullptr;
    if ((item.kind == KIND_QUOTE || item.kind == KIND_KEY_RATIOS) &&
        instrument_type_copy(item.insref, copy))
        instrument = &copy;
    if (item.kind == KIND_KEY_RATIOS && !g_config.calc_keyratio_fields.empty() &&
        keyratio_price(worker, item, instrument) == ZEL_RESULT_RERUN)
        return ZEL_RESULT_RERUN;
    bool insert_first = def.insertfirst && !(item.flags & ITEM_UPDATE_FIRST) &&
                        !(item.kind == KIND_NEWS && (item.flags & ITEM_NEWS_MULTIPART));
    return write_row(worker, item, def, item.kind == KIND_QUOTE ? instrument : nullptr,
                     insert_first, false, wrote, std::move(done));
}

// Executes a statement a builder reported built (a result above 0). Returns -3 for a rerun,
// else 0.
int execute_built(DbWorker& worker, int built) {
    if (built <= 0) return 0;
    return submit(worker, EXEC_PLAIN, ZEL_LABEL);
}

// Kind 8: the quote, NOII, difference and greeks resets, each when its data is requested.
// A rerun from one does not stop the others; the item is rerun afterwards.
int day_reset(DbWorker& worker, QueueItem& item, const MessageDef& def) {
    int r = 0;
    auto run = [&](int built) {
        if (execute_built(worker, built) == ZEL_RESULT_RERUN) r = ZEL_RESULT_RERUN;
    };
    if (Config::in_force(g_config.requestquotes) || Config::in_force(g_config.requestquotesbbo))
        run(quote_reset(worker, item, def));
    if (Config::in_force(g_config.requestnoii)) run(noii_reset(worker, item, def));
    if (Config::in_force(g_config.requestperformance)) run(difference_reset(worker, item));
    if (Config::in_force(g_config.requestgreeks)) run(greeks_reset(worker, item, def));
    return r;
}

// Kind 38: the container's order entries, each written in turn.
int write_orders(DbWorker& worker, QueueItem& item, const MessageDef& def) {
    for (QueueItem* entry = item.bid_changes; entry; entry = entry->next) {
        if (entry->flags & ITEM_DELETE) {
            if (row_delete(worker, *entry, def) == ZEL_RESULT_RERUN) return ZEL_RESULT_RERUN;
            continue;
        }
        // An entry deleted or replaced while it waited may have left its old row.
        if ((entry->flags & ITEM_REPLACE) && row_delete(worker, *entry, def) == ZEL_RESULT_RERUN)
            return ZEL_RESULT_RERUN;
        bool wrote = false;
        bool insert_first = !(entry->flags & ITEM_UPDATE_FIRST);
        if (write_row(worker, *entry, def, nullptr, insert_first, false, &wrote) ==
            ZEL_RESULT_RERUN)
            return ZEL_RESULT_RERUN;
    }
    return 0;
}

// Kind 4: the row goes to the adjusted price history (kind 252) and then to the price
// history itself. While it is written as kind 252 the item carries that kind, so the
// builders find the adjusted table's FieldDefs.
int write_price_history(DbWorker& worker, QueueItem& item) {
    if (const MessageDef* adjusted = find_messagedef(KIND_ADJUSTED_HISTORY)) {
        int r;
        if (item.flags & ITEM_DELETE) {
            item.kind = KIND_ADJUSTED_HISTORY;
            r = row_delete(worker, item, *adjusted);
            if (r == 1) r = execute(worker, EXEC_PLAIN, ZEL_LABEL);
            item.kind = KIND_PRICE_HISTORY;
        } else {
            r = adjusted_row(worker, item);
            if (r != 1 && r != ZEL_RESULT_RERUN) {
                // No corporate action applies (or it could not be applied): the adjusted
                // row is the row as it came.
                item.kind = KIND_ADJUSTED_HISTORY;
                bool wrote = false;
                r = write_row(worker, item, *adjusted, nullptr, adjusted->insertfirst != 0, true,
                              &wrote);
                item.kind = KIND_PRICE_HISTORY;
            }
        }
        if (r == ZEL_RESULT_RERUN) return ZEL_RESULT_RERUN;
    }
    const MessageDef* def = find_messagedef(KIND_PRICE_HISTORY);
    if (!def) return 0;
    bool wrote = false;
    return generic_write(worker, item, *def, &wrote);
}

// The batch's items are written: frees them and counts them off the queue (the queued
// gauge's writers hold the queue's lock).
void let_go(UpdateQueue& q, Batch& batch) REQUIRES(q.lock) {
    free_items(batch.head);
    stat_sub(q.stats->queued, batch.count);
    batch.clear();
}

// An item that failed once more when written on its own is given up: it is named in the log
// with the statement that failed, and counted as failed once (execute() has counted a
// failing statement already; a failing query is not counted there).
void give_up_item(DbWorker& worker, const QueueItem& item, uint64_t failed_before) {
    log_message(LOG_LEVEL_PROBLEM,
                "Queue %u: item of kind %u for instrument %" PRIu64
                " failed again when written on its own and is dropped; failing statement: %s",
                worker.number, static_cast<unsigned>(item.kind), item.insref,
                worker.failed_statement.empty() ? "(none)" : worker.failed_statement.c_str());
    if (stat_read(worker.stats().failed) == failed_before) stat_add(worker.stats().failed, 1);
}

// Drops news items at the head whose last block has not come within the hour,
// then works out how long the thread may sleep before the head item falls due.
int64_t end_of_pass(DbWorker& worker, UpdateQueue& q, int64_t reference) REQUIRES(q.lock) {
    QueueItem* item = q.head;
    while (item && item->kind == KIND_NEWS && !(item->flags & ITEM_NEWS_LASTBLOCK)) {
        if (item->time + kNewsTimeoutSeconds >= reference) {
            item = item->next;
            continue;
        }
        if (g_config.debug == 1) {
            const FieldValue* id = fieldListFind(item->fields, 48);
            const FieldValue* date = fieldListFind(item->fields, 3);
            log_message(LOG_LEVEL_PROBLEM,
                        "News: no lastblock for '%s','%s' in time, kicking it from the queue",
                        id && id->value ? id->value : "", date && date->value ? date->value : "");
        }
        if (!(item->flags & ITEM_EMPTY)) stat_sub(worker.stats().queued, 1);
        unlinkQueueItem(&q, item);
        freeQueueItem(item);
        item = q.head;
    }
    if (!item) return kIdleWaitMs;
    int64_t due = item->time + q.delay;
    if (due < item->time) due = item->time;
    int64_t now = now_seconds();
    if (due < now) return 0;
    int64_t seconds = due - now;
    return seconds > kLongestWaitSeconds ? kLongestWaitSeconds * 1000 : seconds * 1000;
}

// The row an item writes, as far as the batch needs to tell rows apart.
BatchedRow row_of(const QueueItem& item) {
    BatchedRow row{item.kind, item.insref, std::string()};
    for (const FieldValue* field = item.fields; field; field = field->next) {
        const FieldDef* def = g_tabledefs.find_fielddef(item.kind, field->tag);
        if (def == nullptr || !def->is_key) continue;
        row.key_values.push_back('|');
        if (field->value) row.key_values.append(field->value);
    }
    return row;
}

// Whether the statements of `later` may touch what the statements of `earlier` touch: the
// same instrument, and another kind (a reset, a removal, a follow-up of another table) or
// the same row. Rows of one kind whose key fields differ (two trades) are apart.
bool may_meet(const BatchedRow& earlier, const BatchedRow& later) {
    if (earlier.insref != later.insref) return false;
    return earlier.kind != later.kind || earlier.key_values == later.key_values;
}

// Statements of an earlier item of the same row may still wait in the batch, and their
// follow-ups (the INSERT after an UPDATE that matched no row) are built only when it is
// sent: the batch is sent before this item's statements are built, so that they reach the
// server in the order they would one by one. Returns -3 for a rerun, else 0.
int close_batch_for(DbWorker& worker, const QueueItem& item) {
    const StatementBatch& pending = worker.batch;
    if (!pending.collecting || pending.statements.empty()) return 0;
    const BatchedRow row = row_of(item);
    for (const BatchedRow& earlier : pending.rows) {
        if (may_meet(earlier, row)) return flush_statements(worker);
    }
    return 0;
}

// After an item was written into the batch: notes its row, and sends the batch once it is
// full. Returns -3 for a rerun, else 0.
int note_batched(DbWorker& worker, const QueueItem& item) {
    StatementBatch& pending = worker.batch;
    if (!pending.collecting || pending.statements.empty()) return 0;
    pending.rows.push_back(row_of(item));
    if (pending.statements.size() >= kBatchStatements) return flush_statements(worker);
    return 0;
}

// One pass: takes and writes every due item, commits, and returns how long to wait.
int64_t run_pass(DbWorker& worker) {
    UpdateQueue& q = *worker.queue;
    UniqueMutexLock lock(q.lock);
    int64_t reference = now_seconds();
    Batch batch;
    QueueItem* item = q.head;
    bool waited_for_action_row = false;
    const bool batching = batches_available(worker);
    StatementBatch& pending = worker.batch;
    for (;;) {
        while (item && (running.load(std::memory_order_relaxed) || queueDrainOn())) {
            if (item->time + q.delay > reference) break;  // the items behind it are younger
            if (waiting_news(item)) {
                item = item->next;
                continue;
            }
            unlinkQueueItem(&q, item);
            if (item->flags & ITEM_EMPTY) {
                // A placeholder nothing merged into: the key was quiet for a whole delay.
                freeQueueItem(item);
                item = q.head;
                continue;
            }
            batch.append(item);
            uint64_t c = batch.count + 1;
            int64_t t = now_seconds();
            if (q.delay != 0 && (item->flags & ITEM_KEYED)) addPlaceholder(&q, item, t);
            item->flags &= ~ITEM_KEYED;
            lock.unlock();

            const bool isolated = worker.isolate > 0;
            // An item written on its own is written statement by statement.
            pending.collecting = batching && !isolated;
            int r = 0;
            uint64_t failed_before = stat_read(worker.stats().failed);
            if (const MessageDef* def = find_messagedef(item->kind)) {
                if (isolated) {
                    batch.count = c;
                } else {
                    r = group_transaction(worker, batch, item, c, t, reference);
                }
                const bool open_before = worker.transaction.open();
                if (r != ZEL_RESULT_RERUN) r = close_batch_for(worker, *item);
                if (r != ZEL_RESULT_RERUN) r = dispatch_item(worker, *item, *def);
                if (r != ZEL_RESULT_RERUN) r = note_batched(worker, *item);
                // Whatever a builder made of it, a transaction that went away under the item
                // (rolled back, or lost with the connection) took the batch's earlier items
                // with it: only a rerun writes them.
                if (r != ZEL_RESULT_RERUN && open_before && !worker.transaction.open())
                    r = ZEL_RESULT_RERUN;
            } else {
                batch.count = c;  // a kind without a table is consumed unwritten
            }

            lock.lock();
            if (isolated) {
                // Written on its own: finished, whatever the outcome.
                --worker.isolate;
                if (r == ZEL_RESULT_RERUN) give_up_item(worker, *item, failed_before);
                let_go(q, batch);
                if (worker.isolate == 0) worker.reruns = 0;
            } else if (r == ZEL_RESULT_RERUN) {
                rerun_batch(worker, q, batch);
            } else if (item->kind == KIND_HISTORY_ADJUSTMENT && !worker.transaction.open()) {
                // Written outside a transaction: its rescaling is in the table for good, and a
                // rerun of the batch must not apply it again. Whatever of the batch is still
                // unsent goes out first (the items are freed).
                lock.unlock();
                const int sent = flush_statements(worker);
                lock.lock();
                if (sent == ZEL_RESULT_RERUN) {
                    rerun_batch(worker, q, batch);
                } else {
                    let_go(q, batch);
                }
            }
            item = q.head;
        }
        // The feed queues a corporate action's kind-11 row right behind it: give it a moment
        // to arrive rather than commit the action without its row.
        if (!item && !waited_for_action_row && batch.tail &&
            batch.tail->kind == KIND_HISTORY_ADJUSTMENT && worker.transaction.open() &&
            (running.load(std::memory_order_relaxed) || queueDrainOn())) {
            waited_for_action_row = true;
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            lock.lock();
            item = q.head;
            continue;
        }
        break;
    }
    lock.unlock();

    // The batch is let go only once its statements are answered and its COMMIT has
    // succeeded.
    const bool rerun = flush_statements(worker) == ZEL_RESULT_RERUN ||
                       (worker.transaction.open() && commit(worker) == ZEL_RESULT_RERUN);
    pending.collecting = false;
    if (rerun) {
        lock.lock();
        rerun_batch(worker, q, batch);
        lock.unlock();
    }
    if (batch.head) worker.reruns = 0;
    free_items(batch.head);

    lock.lock();
    stat_sub(worker.stats().queued, batch.count);
    return end_of_pass(worker, q, reference);
}

}  // namespace

int dispatch_item(DbWorker& worker, QueueItem& item, const MessageDef& def) {
    switch (item.kind) {
        case KIND_PRICE_HISTORY:
            return write_price_history(worker, item);
        case KIND_BOOK_CLEAR:
            return book_removal(worker, item);
        case KIND_INSTRUMENT_DELETE:
            return instrument_removal(worker, item);
        case KIND_STATUS:
            return status_rows(worker, item, &def, g_stats);
        case KIND_MAPPINGS:
            return 0;  // mappings of this kind are not stored
        case KIND_MBO:
            return write_orders(worker, item, def);
        case KIND_HISTORY_ADJUSTMENT: {
            int r = corporate_action(worker, item);
            if (r == 1) r = execute(worker, EXEC_PLAIN, ZEL_LABEL);
            return r;
        }

        case KIND_INSTRUMENT_RESET:
            return day_reset(worker, item, def);
        case KIND_BBO_RESET:
            return execute_built(worker, quote_bbo_reset(worker, item, def));
        case KIND_IDENTIFIER_LIST:
        case KIND_IDENTIFIER_LIST_KEYED:
            return identifier_list(worker, item, def);
        case KIND_NEWS_TAGS:
            return news_tags(worker, item);
        case KIND_LIST_297:
        case KIND_LIST_347:
        case KIND_LIST_375:
        case KIND_LIST_732:
        case KIND_LIST_66:
            return packed_list_rows(worker, item, def);
        case KIND_NEWS_CODING:
            return news_coding(worker, item);
        case KIND_TRADE_MINUTE:
            // Only a rerun matters: the bar query and statements run inside the batch's
            // transaction, and after a rollback the trades before it must be written again.
            return minute_bar(worker, item, def) == ZEL_RESULT_RERUN ? ZEL_RESULT_RERUN : 0;
        case KIND_ORDER_BOOK:
            for (QueueItem* side : {item.bid_changes, item.ask_changes}) {
                for (QueueItem* change = side; change; change = change->next) {
                    if (execute_built(worker, order_book_change(worker, *change, def)) ==
                        ZEL_RESULT_RERUN)
                        return ZEL_RESULT_RERUN;
                }
            }
            return 0;

        default: {
            // After a written row, kinds 2, 18 and 40 recompute their performance
            // differences and kind 2 the calculated key-ratio columns.
            auto followups = [&item](DbWorker& w, int) {
                InstrumentType copy;
                const InstrumentType* instrument = nullptr;
                if (item.kind == KIND_PERFORMANCE && instrument_type_copy(item.insref, copy))
                    instrument = &copy;
                return quote_followups(w, item, instrument);
            };
            bool wrote = false;
            return generic_write(worker, item, def, &wrote, followups);
        }
    }
}

void database_thread_main(DbWorker& worker) {
    active_threads.fetch_add(1);
    // Impersonation belongs to a thread: each database thread takes on the configured
    // account for its own statements.
    if (g_config.logon_token != -1) {
        int code = platform_account_impersonate(g_config.logon_token);
        if (code != 0)
            log_message(LOG_LEVEL_PROBLEM,
                        "Database thread %d could not switch to the Windows domain user. Error: %d",
                        static_cast<int>(worker.number), code);
    }
    UpdateQueue& q = *worker.queue;
    // A stop with a drain (update_queue.h) lets the thread write on until its queue is empty.
    while (running.load() || queueKeepsWriting(&q)) {
        int64_t wait_ms = run_pass(worker);
        if (!running.load() && !queueKeepsWriting(&q)) break;
        if (q.signal.try_acquire_for(std::chrono::milliseconds(wait_ms))) {
            // One release per queued item: a long backlog leaves many, and one pass takes
            // every due item anyway. Items queued after this point release again.
            while (q.signal.try_acquire()) {
            }
        }
    }
    if (worker.transaction.open()) commit(worker);
    log_message(LOG_LEVEL_INFO, "Database thread %d ended", static_cast<int>(worker.number));
    active_threads.fetch_sub(1);
}
