/*
 * pg_dialect.h - the PostgreSQL module's text rules, kept apart from libpq.
 *
 * Everything here is a pure function of its arguments: how the connection string is made
 * from the parameter block, how the table-definition vocabulary is written as PostgreSQL
 * column types and back, how an SQLSTATE becomes an error code and a result code, and how a
 * server version number is shown. The entry points in pgsql_module.cpp, pg_execute.cpp and
 * pg_schema.cpp call them; the unit tests call them directly. No state, no locks.
 */
#ifndef ZEL_PG_DIALECT_H
#define ZEL_PG_DIALECT_H

#include <cstdint>
#include <string>
#include <vector>

#include "zel_module.h"

namespace zel_pg {

// The libpq connection string for a parameter block whose connectionstring is not set:
// host, port, dbname, user, password, sslkey, sslcert, sslrootcert in this order, each
// present member as key='value' followed by one blank. host and port may be lists
// ("db1,db2", "5432,5433"); the blanks around their elements are dropped.
std::string build_conninfo(const ZelModuleParams& params);

// A libpq connection setting.
struct ConnectSetting {
    const char* keyword;
    const char* value;
};

// The settings every connection starts from; the connection text (built from the parameter
// block, or the configured connectionstring) comes after them and wins where it names the
// same keyword. Without them a connect to a listener that never answers, or a statement
// over a link that went silent, would wait for ever: connect_timeout bounds the connect,
// keepalives notice a silent link while zel waits for an answer, and tcp_user_timeout ends
// a connection whose sent data stays unacknowledged. target_session_attrs=read-write makes
// a connect pass over servers that take no writes, so that after a failover a reconnect
// through a host list lands on the new primary.
extern const ConnectSetting kConnectDefaults[];
extern const size_t kConnectDefaultCount;

// The overall time a connect may take, in milliseconds, for a connect_timeout setting (in
// seconds, as libpq reads it; at least 2 like libpq's own rule); 0 when there is no limit
// (no setting, 0, or a text that is no positive number).
int64_t connect_timeout_ms(const char* value);

// One host of a host list, as a connect attempt of its own: the host, hostaddr and port
// values to use (each empty where the connection text has no such setting) and a label
// for error texts ("db1:5432").
struct HostAttempt {
    std::string host;
    std::string hostaddr;
    std::string port;
    std::string label;
};

// The attempts for the connection text's host, hostaddr and port settings (null when not
// set), one per element of the host (or hostaddr) list, in order. Empty when there is at
// most one host, or when the lists do not pair up (a port list longer than one and of
// another length): the text is then tried as it is, and libpq says what is wrong.
std::vector<HostAttempt> host_attempts(const char* host, const char* hostaddr, const char* port);

// Why libpq could not read a connection text, said without quoting any part of it: libpq's
// own message quotes the text around the fault, which may be part of a password.
std::string conninfo_problem(const char* libpq_message);

// Appends the PostgreSQL type for a table-definition type and size to out.
void append_pg_type(std::string& out, const char* type, const char* size);

// The table-definition type for a column that information_schema.columns describes.
// Returns data_type itself when no rule maps it.
const char* vocabulary_type(const char* data_type, const char* numeric_precision,
                            const char* numeric_scale);

// The size text of such a column; empty when the column has no size.
std::string column_size(const char* character_maximum_length, const char* numeric_precision,
                        const char* numeric_scale);

// The leading decimal digits of an SQLSTATE as a number ("23505" -> 23505, "40P01" -> 40).
int32_t sqlstate_code(const char* sqlstate);

// Which statement failed: the two entry points classify the same SQLSTATE differently.
enum class Origin { execute, query };

// The result code for a failed statement with the given SQLSTATE (null when the server
// sent none) on a connection that is, or is no longer, usable.
// Cancelled statements (57014, e.g. statement_timeout), lock timeouts (55P03) and
// insufficient resources (class 53: disk full, out of memory, too many connections) are
// transient: the statement may well succeed when its batch is run again, so they ask for a
// rerun like a deadlock does rather than dropping the row. A write refused because the
// transaction is read-only (25006: a standby, a demoted primary) is a lost connection.
int32_t classify_failure(Origin origin, const char* sqlstate, bool connection_ok);

// "major.minor.patch" made from a server version number (90624 -> "9.6.24").
std::string version_text(int version);

}  // namespace zel_pg

#endif  // ZEL_PG_DIALECT_H
