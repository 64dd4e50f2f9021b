// ado_com.cpp - the data-access layer over ADO's COM objects (Windows only).
//
// The objects are made by program identifier and driven through their vtables with the
// interface IDs of the current ADO type library: late binding through IDispatch needs a
// registered type library, which not every installation (nor Wine) has. A failed call's
// HRESULT, the description of its error object and the native error number from the
// connection's Errors collection go back in an AdoError.
//
// Threads: the module makes every calling thread join the multithreaded apartment (once,
// through init_thread), so an object made on zel's main thread can be used as it is from a
// database thread. Each object is used by one thread at a time (its DbConnection's).
#include "modules/sqlserver/ado_layer.h"

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <adoint.h>  // needs -fpermissive: see CMakeLists.txt

#include <string>

namespace sqlserver {

namespace {

// _Connection and _Recordset of the ADO type library (msado15).
const IID kIidConnection = {0x00000550, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
const IID kIidRecordset = {0x00000556, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};

constexpr long kStateOpen = 1;  // adStateOpen

std::string to_utf8(const wchar_t* text, int length) {
    if (!text || length <= 0) return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
    return out;
}

std::string bstr_to_utf8(BSTR text) {
    return text ? to_utf8(text, static_cast<int>(SysStringLen(text))) : std::string();
}

// A BSTR owned for the length of one call.
class Bstr {
public:
    explicit Bstr(const std::u16string& text)
        : value_(SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                                   static_cast<UINT>(text.size()))) {}
    // Connection strings come from the configuration file, in the system's ANSI code page.
    explicit Bstr(const std::string& ansi) {
        int size = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), static_cast<int>(ansi.size()), nullptr, 0);
        value_ = SysAllocStringLen(nullptr, static_cast<UINT>(size > 0 ? size : 0));
        if (value_ && size > 0)
            MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), static_cast<int>(ansi.size()), value_, size);
    }
    ~Bstr() { SysFreeString(value_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return value_; }

private:
    BSTR value_ = nullptr;
};

template <class T>
void release(T*& object) {
    if (object) object->Release();
    object = nullptr;
}

// Fills `error` for a failed call: the HRESULT, the thread's error object's description
// (read first: later calls replace it), then the native error from the connection's
// Errors collection when it has one.
bool fail(HRESULT hresult, _ADOConnection* connection, AdoError* error) {
    error->hresult = static_cast<int32_t>(hresult);
    error->has_description = false;
    error->description.clear();
    error->native_error = 0;
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info) {
        BSTR description = nullptr;
        if (SUCCEEDED(info->GetDescription(&description)) && description) {
            error->description = bstr_to_utf8(description);
            error->has_description = !error->description.empty();
            SysFreeString(description);
        }
        info->Release();
    }
    ADOErrors* errors = nullptr;
    if (connection && SUCCEEDED(connection->get_Errors(&errors)) && errors) {
        long count = 0;
        if (SUCCEEDED(errors->get_Count(&count))) {
            for (long i = 0; i < count && error->native_error == 0; ++i) {
                VARIANT index;
                VariantInit(&index);
                V_VT(&index) = VT_I4;
                V_I4(&index) = i;
                ADOError* item = nullptr;
                if (SUCCEEDED(errors->get_Item(index, &item)) && item) {
                    long native = 0;
                    if (SUCCEEDED(item->get_NativeError(&native))) error->native_error = native;
                    item->Release();
                }
            }
        }
        errors->Release();
    }
    return false;
}

HRESULT create_object(const wchar_t* program_id, REFIID iid, void** out) {
    CLSID clsid;
    HRESULT hresult = CLSIDFromProgID(program_id, &clsid);
    if (FAILED(hresult)) return hresult;
    IUnknown* unknown = nullptr;
    hresult = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&unknown));
    if (FAILED(hresult)) return hresult;
    hresult = OleRun(unknown);
    if (SUCCEEDED(hresult)) hresult = unknown->QueryInterface(iid, out);
    unknown->Release();
    return hresult;
}

bool read_value(VARIANT* variant, AdoValue* value, _ADOConnection* connection, AdoError* error) {
    VARTYPE type = V_VT(variant);
    VARIANT converted;
    VariantInit(&converted);
    HRESULT hresult = S_OK;
    switch (type) {
    case VT_NULL:
    case VT_EMPTY:
        value->kind = AdoValue::Null;
        return true;
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DECIMAL:
        value->kind = type == VT_CY ? AdoValue::Currency : type == VT_DECIMAL ? AdoValue::Decimal : AdoValue::Float;
        hresult = VariantChangeType(&converted, variant, 0, VT_R8);
        if (SUCCEEDED(hresult)) value->number = V_R8(&converted);
        break;
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_INT:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UINT:
        value->kind = AdoValue::Integer;
        hresult = VariantChangeType(&converted, variant, 0, VT_I8);
        if (SUCCEEDED(hresult)) value->integer = V_I8(&converted);
        break;
    default:
        value->kind = AdoValue::Text;
        hresult = VariantChangeType(&converted, variant, 0, VT_BSTR);
        if (SUCCEEDED(hresult)) value->text = bstr_to_utf8(V_BSTR(&converted));
        break;
    }
    VariantClear(&converted);
    return SUCCEEDED(hresult) || fail(hresult, connection, error);
}

class ComRecordset : public AdoRecordset {
public:
    explicit ComRecordset(_ADOConnection* connection) : connection_(connection) { connection_->AddRef(); }
    ~ComRecordset() override {
        release(records_);
        release(connection_);
    }

    bool open(const std::u16string& source, int32_t cursor_type, int32_t lock_type, int32_t options,
              AdoError* error) override {
        release(records_);
        Bstr text(source);
        HRESULT hresult;
        if (cursor_type == adOpenForwardOnly && lock_type == adLockReadOnly) {
            // The connection's Execute gives exactly this cursor, made by the connection
            // itself: no Recordset object has to be created in (or marshalled to) another
            // apartment, and no connection pointer crosses one.
            VARIANT affected;
            VariantInit(&affected);
            hresult = connection_->Execute(text.get(), &affected, options, &records_);
            VariantClear(&affected);
        } else {
            hresult = create_object(L"ADODB.Recordset", kIidRecordset, reinterpret_cast<void**>(&records_));
            if (SUCCEEDED(hresult)) {
                VARIANT source_value;
                VariantInit(&source_value);
                V_VT(&source_value) = VT_BSTR;
                V_BSTR(&source_value) = text.get();
                VARIANT active;
                VariantInit(&active);
                V_VT(&active) = VT_DISPATCH;
                V_DISPATCH(&active) = connection_;
                hresult = records_->Open(source_value, active, static_cast<CursorTypeEnum>(cursor_type),
                                         static_cast<LockTypeEnum>(lock_type), options);
            }
        }
        if (SUCCEEDED(hresult) && !records_) hresult = E_POINTER;
        if (FAILED(hresult)) release(records_);
        return SUCCEEDED(hresult) || fail(hresult, connection_, error);
    }
    bool is_open(bool* open, AdoError* error) override {
        LONG state = 0;
        HRESULT hresult = records_->get_State(&state);
        *open = state != 0;  // adStateClosed
        return SUCCEEDED(hresult) || fail(hresult, connection_, error);
    }
    bool record_count(int64_t* count, AdoError* error) override {
        // RecordCount is pointer-sized in 64-bit ADO although MinGW's header declares a
        // long: give it eight bytes to write, and read a four-byte answer as signed.
        int64_t value = 0;
        HRESULT hresult = records_->get_RecordCount(reinterpret_cast<long*>(&value));
        if ((value >> 32) == 0) value = static_cast<int32_t>(value);
        *count = value;
        return SUCCEEDED(hresult) || fail(hresult, connection_, error);
    }
    bool at_end(bool* eof, AdoError* error) override {
        VARIANT_BOOL value = VARIANT_TRUE;
        HRESULT hresult = records_->get_EOF(&value);
        *eof = value != VARIANT_FALSE;
        return SUCCEEDED(hresult) || fail(hresult, connection_, error);
    }
    bool field_count(int32_t* count, AdoError* error) override {
        ADOFields* fields = nullptr;
        HRESULT hresult = records_->get_Fields(&fields);
        long value = 0;
        if (SUCCEEDED(hresult)) hresult = fields->get_Count(&value);
        release(fields);
        *count = value;
        return SUCCEEDED(hresult) || fail(hresult, connection_, error);
    }
    bool field_by_position(int32_t position, AdoValue* value, AdoError* error) override {
        VARIANT index;
        VariantInit(&index);
        V_VT(&index) = VT_I4;
        V_I4(&index) = position;
        return field(index, value, error);
    }
    bool field_by_name(const char* name, AdoValue* value, AdoError* error) override {
        std::u16string wide;
        for (const char* p = name; *p; ++p) wide.push_back(static_cast<char16_t>(*p));  // ASCII names
        Bstr text(wide);
        VARIANT index;
        VariantInit(&index);
        V_VT(&index) = VT_BSTR;
        V_BSTR(&index) = text.get();
        return field(index, value, error);
    }
    bool move_next(AdoError* error) override {
        HRESULT hresult = records_->MoveNext();
        return SUCCEEDED(hresult) || fail(hresult, connection_, error);
    }
    bool close(AdoError* error) override {
        HRESULT hresult = records_->Close();
        return SUCCEEDED(hresult) || fail(hresult, connection_, error);
    }

private:
    bool field(VARIANT index, AdoValue* value, AdoError* error) {
        ADOFields* fields = nullptr;
        ADOField* item = nullptr;
        VARIANT data;
        VariantInit(&data);
        HRESULT hresult = records_->get_Fields(&fields);
        if (SUCCEEDED(hresult)) hresult = fields->get_Item(index, &item);
        if (SUCCEEDED(hresult)) hresult = item->get_Value(&data);
        release(item);
        release(fields);
        bool ok = SUCCEEDED(hresult) ? read_value(&data, value, connection_, error)
                                     : fail(hresult, connection_, error);
        VariantClear(&data);
        return ok;
    }

    _ADORecordset* records_ = nullptr;  // null until opened
    _ADOConnection* connection_;
};

class ComConnection : public AdoConnection {
public:
    explicit ComConnection(_ADOConnection* connection) : connection_(connection) {}
    ~ComConnection() override { release(connection_); }

    bool open(const std::string& connection_string, AdoError* error) override {
        Bstr text(connection_string);
        Bstr empty(std::string{});
        HRESULT hresult = connection_->put_ConnectionString(text.get());
        // The string is also passed to Open itself: the result is the same where the
        // property would be used, and some implementations read only the argument.
        if (SUCCEEDED(hresult)) hresult = connection_->Open(text.get(), empty.get(), empty.get(), adOptionUnspecified);
        return SUCCEEDED(hresult) || fail(hresult, connection_, error);
    }
    bool set_command_timeout(int32_t seconds, AdoError* error) override {
        HRESULT hresult = connection_->put_CommandTimeout(seconds);
        return SUCCEEDED(hresult) || fail(hresult, connection_, error);
    }
    bool is_open(bool* open, AdoError* error) override {
        LONG state = 0;
        HRESULT hresult = connection_->get_State(&state);
        *open = (state & kStateOpen) != 0;
        return SUCCEEDED(hresult) || fail(hresult, connection_, error);
    }
    bool close(AdoError* error) override {
        HRESULT hresult = connection_->Close();
        return SUCCEEDED(hresult) || fail(hresult, connection_, error);
    }
    bool execute(const std::u16string& command, int32_t options, int32_t* records_affected,
                 AdoError* error) override {
        Bstr text(command);
        VARIANT affected;
        VariantInit(&affected);
        _ADORecordset* records = nullptr;
        HRESULT hresult = connection_->Execute(text.get(), &affected, options, &records);
        release(records);
        *records_affected = 0;
        if (SUCCEEDED(hresult)) {
            VARIANT count;
            VariantInit(&count);
            if (SUCCEEDED(VariantChangeType(&count, &affected, 0, VT_I4))) *records_affected = V_I4(&count);
            VariantClear(&count);
        }
        VariantClear(&affected);
        return SUCCEEDED(hresult) || fail(hresult, connection_, error);
    }
    std::unique_ptr<AdoRecordset> create_recordset(AdoError*) override {
        return std::make_unique<ComRecordset>(connection_);
    }

private:
    _ADOConnection* connection_;
};

class ComProvider : public AdoProvider {
public:
    int32_t init_process() override { return CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void exit_process() override { CoUninitialize(); }
    int32_t init_thread() override { return CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    std::unique_ptr<AdoConnection> create_connection(AdoError* error) override {
        _ADOConnection* connection = nullptr;
        HRESULT hresult = create_object(L"ADODB.Connection", kIidConnection, reinterpret_cast<void**>(&connection));
        if (FAILED(hresult)) {
            fail(hresult, nullptr, error);
            return nullptr;
        }
        return std::make_unique<ComConnection>(connection);
    }
};

}  // namespace

AdoProvider& ado_provider() {
    static ComProvider provider;
    return provider;
}

}  // namespace sqlserver
