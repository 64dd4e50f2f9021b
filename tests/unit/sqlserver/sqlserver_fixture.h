// sqlserver_fixture.h - a module connection over the stand-in, with a registry file of the
// test's own (ZEL_REGISTRY) so that provider keys can be created per test.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/registry.h"
#include "tests/unit/sqlserver/ado_standin.h"
#include "zel_module.h"

class SqlServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        standin::script().reset();
        registry_ = ::testing::TempDir() + "sqlserver_registry_" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::remove(registry_.c_str());
        setenv("ZEL_REGISTRY", registry_.c_str(), 1);
        ASSERT_EQ(mod_init(), 1);
        params_.db_server = server_;
        params_.dbname = dbname_;
        conn_ = mod_create(&params_);
        ASSERT_NE(conn_, nullptr);
    }
    void TearDown() override {
        mod_destroy(conn_);
        mod_exit();
        std::remove(registry_.c_str());
        unsetenv("ZEL_REGISTRY");
    }

    // Creates a key under HKLM as a provider's setup would.
    void add_key(const std::string& key) {
        ASSERT_TRUE(platform_registry_write_string(key.c_str(), "Version", "1.0"));
    }
    static sqlserver::AdoError error(uint32_t hresult, const char* description = nullptr, int32_t native = 0) {
        sqlserver::AdoError e;
        e.hresult = static_cast<int32_t>(hresult);
        if (description) {
            e.has_description = true;
            e.description = description;
        }
        e.native_error = native;
        return e;
    }
    void connect() { ASSERT_EQ(mod_connect(conn_), 1) << mod_geterrorstring(conn_); }
    std::string error_text() {
        const char* text = mod_geterrorstring(conn_);
        return text ? text : "(none)";
    }

    std::string registry_;
    char server_[16] = "SQL01";
    char dbname_[16] = "quotes";
    ZelModuleParams params_{};
    DbConnection* conn_ = nullptr;
};
