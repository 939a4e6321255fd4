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
};

class ResultWriter {
public:
    // lobs is null unless the login asked for LOB descriptors.
    ResultWriter(Channel& ch, sqlite3_stmt* st, LobCache* lobs);

    // Chooses each column's server type from its declared type, else from the
    // storage class of the first row (when one has been stepped), else text.
    void plan(bool first_row_stepped);
    void use_plan(const std::vector<ColumnPlan>& plan) { cols_ = plan; warned_.assign(cols_.size(), false); }
    const std::vector<ColumnPlan>& plan_columns() const { return cols_; }

    void put_description();
    // The statement's current row. A value that its column's type cannot hold
    // goes as a null, announced once per column by a 'W' before the row.
    void put_row(bool with_tag = true);

private:
    bool encode(int col, int32_t type);

    Channel& ch_;
    sqlite3_stmt* st_;
    LobCache* lobs_;
    std::vector<ColumnPlan> cols_;
    std::vector<bool> warned_;
    std::string row_;  // reused for every row
    std::string warning_;
};

enum class StreamEnd { Done, Limit, Error, Abandoned };

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
