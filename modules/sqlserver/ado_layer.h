// ado_layer.h - the connection and record set of the data-access components, as the SQL
// Server module uses them, and nothing more.
//
// Every COM call of the module sits behind these three small interfaces so that the
// module's own rules (connection string, result codes, value conversions, column types)
// are plain C++ that builds and is tested on any platform. The Windows build implements
// them over ADO (ado_com.cpp); the unit tests implement them with a scripted stand-in.
// ado_provider() is resolved at link time: the DLL links the COM layer, the tests link
// their stand-in.
//
// A failing call returns false and fills an AdoError (the HRESULT, the description of the
// call's error object when it had one, and the server's native error number when the
// connection's error collection named one). No exception crosses this boundary.
//
// Threads: an AdoConnection and its record sets are used by one thread at a time (the
// DbConnection that owns it); AdoProvider is process-wide and stateless after init_process.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace sqlserver {

// HRESULTs the module's rules know by value.
constexpr int32_t kHrFail = static_cast<int32_t>(0x80004005);            // E_FAIL
constexpr int32_t kHrPointer = static_cast<int32_t>(0x80004003);         // E_POINTER
constexpr int32_t kHrIntegrity = static_cast<int32_t>(0x80040E2F);       // DB_E_INTEGRITYVIOLATION
constexpr int32_t kHrErrorsInCommand = static_cast<int32_t>(0x80040E14); // DB_E_ERRORSINCOMMAND
constexpr int32_t kHrChangedMode = static_cast<int32_t>(0x80010106);     // RPC_E_CHANGED_MODE

// Option, cursor and lock values of the calls below.
constexpr int32_t kCmdText = 1;             // adCmdText
constexpr int32_t kCmdTable = 2;            // adCmdTable
constexpr int32_t kExecuteNoRecords = 128;  // adExecuteNoRecords
constexpr int32_t kOpenForwardOnly = 0;     // adOpenForwardOnly
constexpr int32_t kOpenStatic = 3;          // adOpenStatic
constexpr int32_t kLockReadOnly = 1;        // adLockReadOnly

struct AdoError {
    int32_t hresult = 0;
    bool has_description = false;  // false when the call left no error object
    std::string description;       // UTF-8
    int32_t native_error = 0;      // the server's error number, 0 when none was reported
};

// A field's value, already sorted by what the module does with it.
struct AdoValue {
    enum Kind {
        Null,      // NULL or empty
        Float,     // single or double float
        Currency,  // fixed-point currency
        Decimal,   // exact decimal
        Integer,   // any integer width
        Text       // everything else, converted to text by the layer
    };
    Kind kind = Null;
    double number = 0;    // Float, Currency, Decimal
    int64_t integer = 0;  // Integer
    std::string text;     // Text (UTF-8)
};

class AdoRecordset {
public:
    virtual ~AdoRecordset() = default;
    // Opens `source` (a command text or a table name, by `options`) over the connection
    // that made this record set.
    virtual bool open(const std::u16string& source, int32_t cursor_type, int32_t lock_type,
                      int32_t options, AdoError* error) = 0;
    // Whether the record set is open (a statement that returns no rows leaves it closed).
    virtual bool is_open(bool* open, AdoError* error) = 0;
    // RecordCount: -1 when the cursor cannot tell.
    virtual bool record_count(int64_t* count, AdoError* error) = 0;
    virtual bool at_end(bool* eof, AdoError* error) = 0;
    virtual bool field_count(int32_t* count, AdoError* error) = 0;
    virtual bool field_by_position(int32_t position, AdoValue* value, AdoError* error) = 0;
    virtual bool field_by_name(const char* name, AdoValue* value, AdoError* error) = 0;
    virtual bool move_next(AdoError* error) = 0;
    virtual bool close(AdoError* error) = 0;
};

class AdoConnection {
public:
    virtual ~AdoConnection() = default;
    // Sets the connection string and opens the connection with it.
    virtual bool open(const std::string& connection_string, AdoError* error) = 0;
    virtual bool set_command_timeout(int32_t seconds, AdoError* error) = 0;
    virtual bool is_open(bool* open, AdoError* error) = 0;
    virtual bool close(AdoError* error) = 0;
    // Executes a command; *records_affected receives the count the provider reported.
    virtual bool execute(const std::u16string& command, int32_t options,
                         int32_t* records_affected, AdoError* error) = 0;
    // A new, closed record set whose active connection is this one; null on failure.
    virtual std::unique_ptr<AdoRecordset> create_recordset(AdoError* error) = 0;
};

class AdoProvider {
public:
    virtual ~AdoProvider() = default;
    // Process-wide set-up on the calling thread (mod_init); returns the HRESULT.
    virtual int32_t init_process() = 0;
    // Releases what init_process set up on the calling thread (mod_exit).
    virtual void exit_process() = 0;
    // Makes the calling thread able to make and use the objects; returns the HRESULT.
    // Called once per thread by the module.
    virtual int32_t init_thread() = 0;
    // A new, closed connection object; null on failure.
    virtual std::unique_ptr<AdoConnection> create_connection(AdoError* error) = 0;
};

AdoProvider& ado_provider();

}  // namespace sqlserver
