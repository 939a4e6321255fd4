// Result sets on the wire: the 'A' column description and the row messages,
// with each value in the wire form of its column's server type.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "channel.h"

struct sqlite3_stmt;

namespace kvcd {

class LobCache;

struct ColumnPlan {
    int32_t type = 0;
    std::string wire_name;  // "table.column%alias", or the bare name
    int32_t modifier = 0;
    int32_t attribute = 0;  // bit 0 NOT NULL, bit 1 primary key, bit 2 autoincrement
    std::string declared;   // the declared type, for error texts
};

class ResultWriter {
public:
    // lobs is null unless the login asked for LOB descriptors.
    ResultWriter(Channel& ch, sqlite3_stmt* st, LobCache* lobs);

    // Chooses each column's server type from its declared type, else from the
    // storage class of the first row (when one has been stepped), else text.
    void plan(bool first_row_stepped);
    void use_plan(const std::vector<ColumnPlan>& plan) { cols_ = plan; }
    const std::vector<ColumnPlan>& plan_columns() const { return cols_; }
    // Number the next row has in error texts (1 for a statement's first row).
    void set_row_number(int64_t n) { row_number_ = n; }

    void put_description();
    // Encodes the statement's current row (once per step). False when a value
    // does not fit its column's type; failure() then names the row, the column
    // and the value: the statement fails rather than showing a wrong value.
    bool encode_row();
    const std::string& failure() const { return failure_; }
    // Sends the current row, encoded if it was not yet.
    void put_row(bool with_tag = true);
    // Appends the encoded current row, tagged, to held instead of sending
    // it; false (nothing appended) when it refers to large values in SQLite's
    // buffer, which last only until the next step.
    bool hold_row(std::string& held);

private:
    bool encode(int col, int32_t type);

    // A value sent from SQLite's buffer rather than copied into the row.
    struct DirectValue {
        size_t offset;  // its place in row_
        const char* data;
        size_t size;
    };
    static constexpr size_t kDirectValueBytes = 64 * 1024;

    Channel& ch_;
    sqlite3_stmt* st_;
    LobCache* lobs_;
    std::vector<ColumnPlan> cols_;
    std::string row_;  // reused for every row
    std::vector<DirectValue> large_;
    bool encoded_ = false;
    int64_t row_number_ = 1;
    std::string failure_;
};

// Error: a step failed (SQLite's text); BadValue: a value did not fit (the
// writer's failure()).
enum class StreamEnd { Done, Limit, Error, BadValue, Abandoned };

struct StreamOutcome {
    StreamEnd end;
    int64_t rows;
};

// Sends rows from *rc (the result of the last sqlite3_step) on, stepping on,
// until the statement is done, max_rows have gone, or a step fails. With
// continue_every > 0 it waits for the client's "." once, after that number of
// rows and before the next row's body; any other byte means the client gave
// up the reply (it is pushed back for the command loop).
StreamOutcome stream_rows(ResultWriter& w, Channel& ch, sqlite3_stmt* st, int* rc, int64_t max_rows,
                          int continue_every);

}  // namespace kvcd
