/* qdf.h - the feed client library: connection, message batches, outgoing messages.
 *
 * This is the interface through which a program talks to a feed server. It is written as
 * a plain C interface with opaque handles, so that callers never depend on its inner
 * working. Conventions:
 *
 *  1. A connection handle (qdf_create) belongs to one owner thread, which calls every
 *     function on it except qdf_disconnect and qdf_get_property; those two may be called
 *     from any thread at any time. qdf_disconnect while the owner waits in qdf_consume
 *     makes that call return -1 promptly.
 *  2. Functions return 1 for success and 0 (or -1 where stated) for failure. After a
 *     failure, qdf_get_property(handle, PROP_ERROR, &code) gives one of the QDF_ERR_ codes.
 *  3. A batch: qdf_consume returns 1 when at least one message has arrived; then
 *     qdf_get_next_message steps through the messages of the batch and qdf_get_next_field
 *     through the fields of the current message. Messages not taken before the next
 *     qdf_consume are delivered in the next batch, never dropped.
 *  4. Texts handed out (field values) belong to the handle and stay valid until the next
 *     qdf_get_next_field, qdf_get_next_message or qdf_consume call; copy what you keep.
 *  5. A field value is text or null (no value at all, distinct from the empty text).
 *  6. An outgoing message object (qdf_message_create) collects one or more messages
 *     (qdf_message_add starts each); qdf_message_send writes them all; qdf_message_reset
 *     empties the object for reuse.
 *  7. Server lists are "host:port[,host:port...]", tried in order; the first server that
 *     accepts the connection is used. A missing ":port" means port 9100.
 *
 * The wire protocol behind these calls is described in docs/feed-protocol.md.
 */
#ifndef QDF_H
#define QDF_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qdf_handle qdf_handle;
typedef struct qdf_message qdf_message;

/* Properties for qdf_get_property. */
#define PROP_ERROR 1       /* the QDF_ERR_ code of the last failure (0: none) */
#define PROP_TIME_OFFSET 13 /* server clock minus local clock, in seconds; available once
                               the server has greeted the connection */

/* Error codes (PROP_ERROR). */
#define QDF_ERR_NONE 0
#define QDF_ERR_BAD_ADDRESS 1     /* server list empty or not host:port, or name unknown */
#define QDF_ERR_REFUSED 2         /* every server refused the connection */
#define QDF_ERR_TIMEOUT 3         /* no server answered in time; or a send did not complete */
#define QDF_ERR_UNREACHABLE 4     /* no route to any server */
#define QDF_ERR_CONNECT 5         /* connecting failed for another reason */
#define QDF_ERR_NOT_CONNECTED 6   /* the handle has no connection */
#define QDF_ERR_CLOSED 7          /* the server closed the connection */
#define QDF_ERR_TRUNCATED 8       /* the server closed the connection in the middle of a frame */
#define QDF_ERR_IO 9              /* the connection failed (reset, network error) */
#define QDF_ERR_PROTOCOL 10       /* a malformed frame arrived; the connection was dropped */
#define QDF_ERR_FRAME_TOO_LARGE 11 /* a frame above the size limit arrived; connection dropped */
#define QDF_ERR_DISCONNECTED 12   /* qdf_disconnect ended the connection */
#define QDF_ERR_MESSAGE 13        /* outgoing message misuse: no message started, or too big */
#define QDF_ERR_NO_MEMORY 14

/* Message types. */
#define FEED_TEMPLATES_VERSION 0
#define FEED_LOGON 1
#define FEED_LOGOFF 2
#define FEED_LOGON_REPLY 3
#define FEED_NEWS 4
#define FEED_QUOTE 5
#define FEED_TRADE 6
#define FEED_BID_INSERT 7
#define FEED_ASK_INSERT 8
#define FEED_BID_DELETE 9
#define FEED_ASK_DELETE 10
#define FEED_BID_UPDATE 11
#define FEED_ASK_UPDATE 12
#define FEED_INSTRUMENT_RESET 13
#define FEED_BOOK_CLEAR 14
#define FEED_BASICDATA 15
#define FEED_PRICEHISTORY 16
#define FEED_INSTRUMENT_DELETE 17
#define FEED_REQUEST 19
#define FEED_REQUEST_FINISHED 20
#define FEED_NEWS_22 22
#define FEED_CORPORATE_ACTION 23
#define FEED_TRADESTATE 24
#define FEED_FUNDAMENTALS 25
#define FEED_PERFORMANCE 26
#define FEED_KEYRATIOS 27
#define FEED_ESTIMATES_28 28
#define FEED_ESTIMATES_29 29
#define FEED_NOII 30
#define FEED_L10N 32
#define FEED_CI_33 33
#define FEED_CI_34 34
#define FEED_PRIIP 35
#define FEED_MIFID_36 36
#define FEED_MIFID_37 37
#define FEED_MAPPINGS 38
#define FEED_MBO_ADD 39
#define FEED_MBO_CHANGE 40
#define FEED_MBO_DELETE 41
#define FEED_GREEKS 42
#define FEED_QUOTE_43 43
#define FEED_QUOTEEX 44

/* Field tags of the session messages. */
#define TAG_START_DATE 3
#define TAG_START_TIME 4
#define REQUEST_PARAM_49 49
#define TAG_REQUEST_RESULT 50
#define REQUEST_PARAM_51 51
#define TAG_REQUEST_CLASSES 52
#define TAG_INSREFS 53
#define TAG_USERNAME 67
#define TAG_PASSWORD 68
#define TAG_STATUS_CODE 70
#define TAG_CLIENT_ID 98
#define TAG_SERVER_NAME 116

/* Request results (TAG_REQUEST_RESULT) and log-off status codes (TAG_STATUS_CODE). */
#define QDF_REQUEST_OK 100
#define QDF_REQUEST_FAILED 101
#define QDF_LOGOFF_BAD_LOGON 401
#define QDF_LOGOFF_SHUTDOWN 503

qdf_handle* qdf_create(void);
void qdf_destroy(qdf_handle* handle);

qdf_message* qdf_message_create(void);
void qdf_message_destroy(qdf_message* message);

/* Connects to the first server of the list that accepts (convention 7). Any earlier
 * connection of the handle is closed first. 1: connected; 0: failed (PROP_ERROR). */
int qdf_connect(qdf_handle* handle, const char* servers);
/* Ends the connection; harmless when there is none. Any thread (convention 1). */
int qdf_disconnect(qdf_handle* handle);
/* 1: *value is valid; 0: the property is unknown or not available yet. Any thread. */
int qdf_get_property(qdf_handle* handle, int id, int32_t* value);

/* Waits up to `seconds` for messages. 1: a batch is ready; 0: nothing arrived;
 * -1: the connection is lost or absent (PROP_ERROR says why; the handle is then
 * disconnected). */
int qdf_consume(qdf_handle* handle, int seconds);
/* Steps to the next message of the batch. 1: *type, *sequence (the message's number
 * within the connection, counting from 1) and *insref describe it; 0: batch exhausted.
 * Any pointer may be null. */
int qdf_get_next_message(qdf_handle* handle, int* type, int32_t* sequence, uint64_t* insref);
/* Steps to the next field of the current message. 1: *tag and *value (null for a null
 * value) describe it; 0: no more fields. */
int qdf_get_next_field(qdf_handle* handle, uint32_t* tag, const char** value);

/* Starts a message of the given type for an instrument (0 for session messages). */
int qdf_message_add(qdf_message* message, uint64_t insref, int type);
/* Append a field to the message last started. A null value gives a null field. The three
 * text forms differ only in how the server is told to read the text (plain text, a number,
 * a list of items separated by single blanks). */
int qdf_message_add_string(qdf_message* message, uint32_t tag, const char* value);
int qdf_message_add_numeric(qdf_message* message, uint32_t tag, const char* value);
int qdf_message_add_list(qdf_message* message, uint32_t tag, const char* value);
/* value / 10^decimals written as a decimal number: (12345, 2) gives "123.45". */
int qdf_message_add_uint(qdf_message* message, uint32_t tag, uint64_t value, int decimals);
/* "YYYY-MM-DD". */
int qdf_message_add_date2(qdf_message* message, uint32_t tag, int year, int month, int day);
/* "HH:MM:SS" when fraction is 0, else "HH:MM:SS.ffffff" with fraction in microseconds. */
int qdf_message_add_time2(qdf_message* message, uint32_t tag, int hour, int minute, int second,
                          int fraction);
/* Writes every message of the object to the connection. 1: written; 0: failed. */
int qdf_message_send(qdf_handle* handle, qdf_message* message);
/* Empties the object. */
int qdf_message_reset(qdf_message* message);

#ifdef __cplusplus
}
#endif

#endif /* QDF_H */
