// ado_standin.cpp - see ado_standin.h.
#include "tests/unit/sqlserver/ado_standin.h"

#include <atomic>

namespace standin {

namespace {

thread_local bool thread_ready = false;

std::string narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

bool refuse_unready(AdoError* error) {
    if (thread_ready) return true;
    error->hresult = kNotInitialised;
    error->has_description = false;
    return false;
}

class Recordset : public sqlserver::AdoRecordset {
public:
    bool open(const std::u16string& source, int32_t, int32_t, int32_t, AdoError* error) override {
        if (!refuse_unready(error)) return false;
        std::lock_guard<std::mutex> lock(script().mutex);
        auto found = script().queries.find(narrow(source));
        if (found == script().queries.end()) {
            error->hresult = static_cast<int32_t>(0x80040E37);  // no such table
            error->has_description = true;
            error->description = "Invalid object name '" + narrow(source) + "'.";
            return false;
        }
        outcome_ = found->second;
        if (outcome_.fails_open) {
            *error = outcome_.error;
            return false;
        }
        open_ = !outcome_.no_rowset;
        return true;
    }
    bool is_open(bool* open, AdoError* error) override {
        if (!refuse_unready(error)) return false;
        *open = open_;
        return true;
    }
    bool record_count(int64_t* count, AdoError* error) override {
        if (!refuse_unready(error)) return false;
        *count = outcome_.record_count;
        return true;
    }
    bool at_end(bool* eof, AdoError* error) override {
        if (!refuse_unready(error)) return false;
        *eof = row_ >= outcome_.rows.size();
        return true;
    }
    bool field_count(int32_t* count, AdoError* error) override {
        if (!refuse_unready(error)) return false;
        *count = static_cast<int32_t>(outcome_.names.size());
        return true;
    }
    bool field_by_position(int32_t position, AdoValue* value, AdoError* error) override {
        if (!refuse_unready(error) || !readable(error)) return false;
        *value = outcome_.rows[row_].at(static_cast<size_t>(position));
        return true;
    }
    bool field_by_name(const char* name, AdoValue* value, AdoError* error) override {
        if (!refuse_unready(error) || !readable(error)) return false;
        for (size_t i = 0; i < outcome_.names.size(); ++i) {
            if (outcome_.names[i] == name) {
                *value = outcome_.rows[row_].at(i);
                return true;
            }
        }
        error->hresult = static_cast<int32_t>(0x800A0CC1);  // item not found in the collection
        error->has_description = false;
        return false;
    }
    bool move_next(AdoError* error) override {
        if (!refuse_unready(error)) return false;
        ++row_;
        return true;
    }
    bool close(AdoError* error) override {
        if (!refuse_unready(error)) return false;
        open_ = false;
        return true;
    }

private:
    bool readable(AdoError* error) {
        if (static_cast<int>(row_) != outcome_.fail_in_row) return true;
        *error = outcome_.error;
        return false;
    }

    QueryOutcome outcome_;
    size_t row_ = 0;
    bool open_ = false;
};

class Connection : public sqlserver::AdoConnection {
public:
    bool open(const std::string& connection_string, AdoError* error) override {
        if (!refuse_unready(error)) return false;
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> lock(script().mutex);
            script().opened.push_back(connection_string);
            hook = script().on_open;
        }
        if (hook) hook();
        std::lock_guard<std::mutex> lock(script().mutex);
        if (!script().open_failures.empty()) {
            *error = script().open_failures.front();
            script().open_failures.pop_front();
            return false;
        }
        open_ = true;
        return true;
    }
    bool set_command_timeout(int32_t, AdoError* error) override { return refuse_unready(error); }
    bool is_open(bool* open, AdoError* error) override {
        if (!refuse_unready(error)) return false;
        *open = open_;
        return true;
    }
    bool close(AdoError* error) override {
        if (!refuse_unready(error)) return false;
        std::lock_guard<std::mutex> lock(script().mutex);
        ++script().closes;
        open_ = false;
        return true;
    }
    bool execute(const std::u16string& command, int32_t options, int32_t* records_affected,
                 AdoError* error) override {
        if (!refuse_unready(error)) return false;
        std::lock_guard<std::mutex> lock(script().mutex);
        std::string text = narrow(command);
        script().executed.push_back(text);
        script().execute_options.push_back(options);
        auto found = script().executes.find(text);
        ExecuteOutcome outcome = found == script().executes.end() ? ExecuteOutcome{} : found->second;
        if (outcome.fails) {
            *error = outcome.error;
            return false;
        }
        *records_affected = outcome.affected;
        return true;
    }
    std::unique_ptr<sqlserver::AdoRecordset> create_recordset(AdoError* error) override {
        if (!refuse_unready(error)) return nullptr;
        return std::make_unique<Recordset>();
    }

private:
    bool open_ = false;
};

class Provider : public sqlserver::AdoProvider {
public:
    int32_t init_process() override {
        int32_t result = script().init_process_result;
        if (result >= 0) thread_ready = true;
        return result;
    }
    void exit_process() override { thread_ready = false; }
    int32_t init_thread() override {
        std::lock_guard<std::mutex> lock(script().mutex);
        ++script().thread_inits[thread_name()];
        if (script().init_thread_result >= 0) thread_ready = true;
        return script().init_thread_result;
    }
    std::unique_ptr<sqlserver::AdoConnection> create_connection(AdoError* error) override {
        if (!refuse_unready(error)) return nullptr;
        std::lock_guard<std::mutex> lock(script().mutex);
        if (script().create_fails) {
            *error = script().create_error;
            return nullptr;
        }
        ++script().connections_created;
        return std::make_unique<Connection>();
    }
};

}  // namespace

void Script::reset() {
    std::lock_guard<std::mutex> lock(mutex);
    init_process_result = 0;
    init_thread_result = 0;
    create_fails = false;
    create_error = AdoError{};
    open_failures.clear();
    on_open = nullptr;
    executes.clear();
    queries.clear();
    opened.clear();
    executed.clear();
    execute_options.clear();
    connections_created = 0;
    closes = 0;
    thread_inits.clear();
}

Script& script() {
    static Script instance;
    return instance;
}

std::string thread_name() {
    // Numbered in order of first use: the system reuses the ids of ended threads.
    static std::atomic<int> threads{0};
    thread_local int number = ++threads;
    return "thread " + std::to_string(number);
}

}  // namespace standin

namespace sqlserver {

AdoProvider& ado_provider() {
    static standin::Provider provider;
    return provider;
}

}  // namespace sqlserver
