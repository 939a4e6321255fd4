// Shared pieces of the end-to-end tests: a kvcd per test and library
// connections to it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "kvc.h"
#include "raw_peer.h"

namespace kvcd_e2e {

inline std::string conn_string(int port, const std::string& extra = "") {
    return "IP=127.0.0.1;PORT=" + std::to_string(port) + ";DB=D;USER=U;PWD=P;CHAR_SET=UTF8" + extra;
}

// The connection's last error text.
inline std::string error_of(void** handle) {
    int len = KVC_GetErrorLen(handle);
    if (len <= 0) return {};
    std::string text(size_t(len), '\0');
    int got = 0;
    KVC_GetError(handle, &text[0], &got);
    text.resize(size_t(got));
    return text;
}

// An open library connection, closed when it goes.
class Connection {
public:
    explicit Connection(const std::string& str) { status_ = KVC_OpenConn(str.c_str(), &conn_); }
    ~Connection() {
        if (conn_) KVC_CloseConn(&conn_);
    }
    int status() const { return status_; }
    void** handle() { return &conn_; }
    // Runs SQL without rows; fails the test on a negative status.
    int run(const std::string& sql) {
        int st = KVC_Execute_no_query(&conn_, sql.c_str());
        EXPECT_GE(st, 0) << sql << ": " << error_of(&conn_);
        return st;
    }
    int64_t single_int(const std::string& sql) {
        char value[64] = {0};
        int type = 0;
        EXPECT_EQ(KVC_Execute_query_with_one(&conn_, sql.c_str(), value, &type), 0) << error_of(&conn_);
        return std::atoll(value);
    }

private:
    void* conn_ = nullptr;
    int status_ = -1;
};

// A result set, released when it goes.
class Rows {
public:
    ~Rows() {
        if (result) KVC_FreeRowset(&result);
    }
    void* result = nullptr;
    void** handle() { return &result; }
    std::string text(int col) {
        char buf[256] = {0};
        int len = 0;
        int st = KVC_GetData(&result, col, KVC_C_CHAR, buf, sizeof buf, &len);
        return st == 0 ? std::string(buf, size_t(len)) : "<status " + std::to_string(st) + ">";
    }
    template <class T>
    int get(int col, int c_type, T& out) {
        int len = 0;
        return KVC_GetData(&result, col, c_type, &out, int(sizeof out), &len);
    }
};

}  // namespace kvcd_e2e
