// stop_handlers.h - how a run is asked to end: the stop request, the console control
// handler, the stop semaphore the main thread waits on, and the routing of the signal
// thread's events to the right handler.
//
// The stop request clears `running`, marks every database connection as stopping (so a
// connection stuck in its reconnect loop gives up; with a drain, only once the drain
// ends), wakes every database thread and
// releases the stop semaphore. It runs on the signal thread while the main thread waits,
// and again for every further event, so each step is harmless to repeat. The connections
// and queues it touches are destroyed by the shutdown: a lock inside stop_handlers.cpp
// makes the request and stop_handlers_disarm exclude each other, so a late event never
// touches freed queues.
#pragma once

// Creates the stop semaphore (count 0) and lets stop requests reach the connections and
// queues. Start-up, once `running` is about to be set.
void stop_handlers_arm();
// From now on a stop request only clears `running`: the shutdown is about to destroy the
// connections and queues. Also closes the stop semaphore.
void stop_handlers_disarm();

// Waits without limit until the stop semaphore is released.
void wait_stop_semaphore();
// Waits at most `milliseconds`; true when it was released (tests).
bool wait_stop_semaphore_for(int milliseconds);

// The stop request. With `stopdraintime` above 0 the first request starts a drain instead
// of marking the connections as stopping: the feed thread ends with `running`, the
// database threads write on what is queued (update_queue.h) until their queues hold
// nothing writable or the drain time is over. A further request during the drain ends it
// at once.
void request_stop();
// Called about once a second by whatever waits for the threads to end (the shutdown, the
// service main): ends the drain once its time is over, marking the connections as
// stopping so that a thread stuck reconnecting gives up.
void stop_drain_tick();
// Ends a drain still on (the threads have ended): the connections are marked as stopping.
void stop_drain_finish();
// Logs how many queued items of which kind were left unwritten (nothing when none).
// Shutdown, after the threads have ended and before the queues are destroyed.
void log_unwritten_items();

// Ctrl+C (0), Ctrl+Break (1), close (2), logoff (5), system shutdown (6): exit code 0 and
// the stop request; returns 1. Any other event: returns 0.
int console_control_handler(int event);

// The console run installs the console control handler once its start-up has finished and
// removes it after the shutdown. While none is installed, console events take their
// default action, which ends the process (as Ctrl+C ends a program that handles nothing).
void install_console_control_handler();
void remove_console_control_handler();

// The signal thread's handler: in a service run the event becomes a service control
// (SIGTERM and Ctrl+C stop, Ctrl+Break is the system shutdown, a closed terminal only asks
// for the status); in a console run it goes to the console control handler when that is
// installed. Returns 0 when nothing handled it.
int route_console_event(int event);
