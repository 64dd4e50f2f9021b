// pg_env.h - the throwaway PostgreSQL server's coordinates, for tests.
//
// scripts/pg-server writes them as KEY=value lines into an env file; the CTest fixture
// pg_server hands that file's path to every test that requires it in the environment
// variable ZEL_PG_ENV. Header-only so that any test target can use it.
#pragma once

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

namespace zel_test {

struct PgEnv {
    std::map<std::string, std::string> values;
    std::string error;  // why the file could not be read; empty when it was

    const std::string& operator[](const std::string& key) const {
        static const std::string empty;
        auto it = values.find(key);
        return it == values.end() ? empty : it->second;
    }
};

// Reads the file named by ZEL_PG_ENV (or by path when given).
inline PgEnv load_pg_env(const char* path = nullptr) {
    PgEnv env;
    if (path == nullptr) path = std::getenv("ZEL_PG_ENV");
    if (path == nullptr || *path == '\0') {
        env.error = "ZEL_PG_ENV is not set: run the test through ctest (fixture pg_server)";
        return env;
    }
    std::ifstream in(path);
    if (!in) {
        env.error = std::string("cannot read ") + path + " (did pg_server_start run?)";
        return env;
    }
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
            value = value.substr(1, value.size() - 2);
        env.values[line.substr(0, eq)] = value;
    }
    if (env.values.count("ZEL_PG_PORT") == 0)
        env.error = std::string(path) + " holds no ZEL_PG_PORT";
    return env;
}

}  // namespace zel_test
