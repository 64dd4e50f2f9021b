// db_thread.h - the database worker thread: one per update queue, draining it into the
// database through its own connection (source unit "zel").
//
// The start-up creates the four threads once the connections are open, the queues exist
// (init_db_workers has bound g_workers to them) and `running` is set; each runs until
// `running` is cleared and its queue's signal released, then commits what it holds, logs
// "Database thread %d ended" and lowers the count of running threads.
#pragma once

#include <cstdint>

#include "zel/queues/queue_item.h"
#include "zel/sql/db_worker.h"
#include "zel/tabledef/table_definitions.h"

// The thread function; `worker` is g_workers[n - 1] for queue n.
void database_thread_main(DbWorker& worker);

// Writes one taken item through the builder its kind calls for (the dispatch table).
// Returns -3 when the item's batch must be rerun; any other value means the item is
// finished. `def` is the MessageDef of the item's kind.
int dispatch_item(DbWorker& worker, QueueItem& item, const MessageDef& def);
