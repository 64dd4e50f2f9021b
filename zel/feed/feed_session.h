// feed_session.h - the feed thread: connection, logon, request, reconnects; data messages go
// to the dispatcher.
//
// Start-up starts feed_thread_main once, after the queues, the instrument tables, the stale
// set and the statistics block exist and `running` is set; the thread ends by itself once
// `running` is cleared. The supervisor cuts the connection with feed_disconnect.
#pragma once

#include <string>

// The client identification sent with the logon ("ZEL %s [%s]" with the version and the
// operating system), built by start-up before the thread starts. Empty: the logon carries
// none.
extern std::string g_client_identification;

// The feed thread's body (runs until `running` is 0).
void feed_thread_main();

// Ends the feed connection from any thread; harmless while there is none, and safe while
// the feed thread creates or destroys its handle.
void feed_disconnect();
