// Helpers for the result-set tests: column descriptions and rows in wire
// form, and a one-connection harness that receives them into a Result.
#pragma once

#include "kvc_inner.h"
#include "kvc_rowset.h"
#include "kvc_utility.h"
#include "support/wire_pair.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

struct ColumnDesc {
    std::string name;
    int32_t server_type;
    int32_t modifier = 0;
    int32_t attribute = 0;
};

// The body of an 'A' message after its tag: count, then each column.
inline WireBuilder& describe(WireBuilder& w, const std::vector<ColumnDesc>& columns) {
    w.i32(static_cast<int32_t>(columns.size()));
    for (const ColumnDesc& c : columns) w.str(c.name).i32(c.server_type).i32(c.modifier).i32(c.attribute);
    return w;
}

// A result received over a socket pair: a description, then rows one by one.
class WireResult {
public:
    explicit WireResult(const std::vector<ColumnDesc>& columns) {
        result_ = new_result(pair_.conn(), RESULT_ROWS);
        WireBuilder w;
        pair_.feed(describe(w, columns));
        EXPECT_EQ(recv_fields_info(pair_.conn(), result_), 0);
    }
    ~WireResult() { free_Result(result_); }
    WireResult(const WireResult&) = delete;
    WireResult& operator=(const WireResult&) = delete;

    // Receives one 'R' row whose body (column lengths and values) is given,
    // stores it and makes it the current row.
    RhRow* add_row(const WireBuilder& body) {
        pair_.feed_async(WireBuilder().tag('R').raw(body.bytes()));   // a row may outgrow the socket buffer
        if (result_->pool == nullptr) result_->pool = RS_mem_init();
        RhRow* row = nullptr;
        EXPECT_EQ(recv_record(pair_.conn(), result_, &row), 0);
        if (row != nullptr) {
            EXPECT_EQ(append_record(result_, row), 0);
        }
        pair_.wait_fed();
        result_->current_row = row;
        return row;
    }

    Result* result() { return result_; }
    void** handle() { return reinterpret_cast<void**>(&result_); }
    WirePair& pair() { return pair_; }

private:
    WirePair pair_;
    Result* result_ = nullptr;
};
