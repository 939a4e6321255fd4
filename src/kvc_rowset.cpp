// Result reception, the row index and value conversion.
#include "kvc_rowset.h"

#include "kvc_command.h"
#include "kvc_inner.h"
#include "kvc_utility.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <type_traits>

// =============================================================================
// Column descriptions and row messages
// =============================================================================

namespace {

constexpr int kMaxColumns = 4000;
constexpr int kMaxNameLength = 1024;
constexpr int kVariableSlot = 16;         // getTypeLen of a value held by address
constexpr int kRowsEnded = 101;
constexpr int kLargeBatch = 20000;
constexpr int kNoLimit = -1;

bool is_text_tag(char tag) { return tag == 'E' || tag == 'F' || tag == 'M' || tag == 'W'; }

// Reads count bytes into dst, or drops them when dst is null. 1 / 0.
int recv_or_skip(Conn_Attrs* conn, void* dst, int64_t count) {
    return count <= 0 ? 1 : rh_take(conn, dst, count);
}

// Where a column's value goes in a row: looked up once for a run of rows
// rather than for every field.
struct ColumnPlan {
    int32_t slot_offset;     // data_offset
    uint16_t status_byte;    // the byte of the column's status bits
    uint8_t null_mask;
    uint8_t width;           // value bytes of a fixed-width type; kVariableSlot: held by address
};

ColumnPlan plan_of(const Result* result, int i) {
    return {result->columns[i].data_offset, static_cast<uint16_t>(static_cast<unsigned>(i) / 4), row_null_mask(i),
            static_cast<uint8_t>(getTypeLen(result->columns[i].server_type))};
}

// The first kPlannedColumns columns are planned ahead (a few KiB of stack);
// any beyond, rare, are worked out per value.
constexpr int kPlannedColumns = 512;

class RowPlan {
public:
    explicit RowPlan(const Result* result)
        : result_(result), planned_(result->column_count < kPlannedColumns ? result->column_count : kPlannedColumns) {
        for (int i = 0; i < planned_; ++i) columns_[i] = plan_of(result, i);
        // What createRow_inMemls writes for an untagged row whose status bytes
        // fit one 8-byte store: every column null, slot space after them.
        const int status_bytes = row_status_bytes(result->column_count);
        one_store_ = status_bytes <= 8 && result->row_size >= 8;
        if (one_store_) {
            unsigned char first[8];
            memset(first, kAllNullStatus, sizeof first);
            first[status_bytes - 1] = new_row_last_status(result->column_count, false);
            memcpy(&untagged_status_, first, sizeof untagged_status_);
        }
    }
    int planned() const { return planned_; }
    const ColumnPlan& ahead(int i) const { return columns_[i]; }   // i < planned()
    ColumnPlan operator[](int i) const { return i < planned_ ? columns_[i] : plan_of(result_, i); }

    // A new row in the pool with every column null; null when the pool is out
    // of memory. An untagged row is one piece and one store.
    RhRow* new_row(Result* result, bool tagged) const {
        if (tagged || !one_store_) return createRow_inMemls(result->pool, result->row_size, result->column_count, tagged);
        auto* row = static_cast<RhRow*>(RS_malloc(result->pool, result->row_size - 1));
        if (row != nullptr) memcpy(row, &untagged_status_, sizeof untagged_status_);
        return row;
    }

private:
    const Result* result_;
    int planned_;
    bool one_store_ = false;
    uint64_t untagged_status_ = 0;
    ColumnPlan columns_[kPlannedColumns];
};

// A fixed-width value arrives at its type's own width, whatever length the
// row announced; the bits go to the slot unchanged (a float is stored as the
// four bytes an int32 read gives), and the column is no longer null.
__attribute__((always_inline)) inline void store_fixed_value(RhRow* row, const ColumnPlan& column, const unsigned char* at) {
    unsigned char* slot = row + column.slot_offset;
    // Widest first: 8-byte values (bigints, doubles, datetimes) are the most common.
    if (column.width == 8) {
        const int64_t v = wire_load<int64_t>(at);
        memcpy(slot, &v, sizeof v);
    } else if (column.width == 4) {
        const int32_t v = wire_load<int32_t>(at);
        memcpy(slot, &v, sizeof v);
    } else if (column.width == 2) {
        const int16_t v = wire_load<int16_t>(at);
        memcpy(slot, &v, sizeof v);
    } else {
        *slot = *at;
    }
    row[column.status_byte] &= static_cast<unsigned char>(~column.null_mask);
}

// A variable-length value's own copy, kept in the row by address; every
// value is readable as a C string.
inline void keep_piece(RhRow* row, const ColumnPlan& column, unsigned char* piece, int32_t length) {
    piece[length] = '\0';
    store_held_value(row + column.slot_offset, piece, length);
    // Not null, held by address: the pointer bit sits just above the null bit.
    unsigned char& bits = row[column.status_byte];
    bits = static_cast<unsigned char>((bits & ~column.null_mask) | column.null_mask << 1);
}

// Room in the pool for a variable-length value of a kept row. When there is
// none the row is given up: row null, status -5. Null then, or with no row.
inline unsigned char* piece_for(Result* result, RhRow*& row, int& status, int32_t length) {
    if (row == nullptr) return nullptr;
    auto* piece = static_cast<unsigned char*>(RS_malloc(result->pool, length));
    if (piece == nullptr) {
        status = KVC_NO_MEMORY;
        row = nullptr;
    }
    return piece;
}

// Value i of a row, wherever its bytes are: refills the receive buffer as
// needed. Sets row null and status -5 when the pool cannot hold the value.
// 0, or -4 broken.
int read_value(Conn_Attrs* conn, Result* result, RhRow*& row, int& status, const RowPlan& plan, int i) {
    const unsigned char* at = rh_window(conn, 4);
    if (at == nullptr) return KVC_NET_ERROR;
    const int32_t length = wire_load<int32_t>(at);
    if (length <= 0) {   // null: no value bytes follow
        rh_advance(conn, 4);
        return 0;
    }
    const ColumnPlan column = plan[i];
    const int width = column.width;
    if (width != kVariableSlot) {
        at = rh_window(conn, 4 + width);
        if (at == nullptr) return KVC_NET_ERROR;
        if (row != nullptr) store_fixed_value(row, column, at + 4);
        rh_advance(conn, 4 + width);
        return 0;
    }
    rh_advance(conn, 4);
    unsigned char* piece = piece_for(result, row, status, length);
    if (!recv_or_skip(conn, piece, length)) return KVC_NET_ERROR;
    if (piece != nullptr) keep_piece(row, column, piece, length);
    return 0;
}

// Values i, i + 1, ... of a row for as long as each lies wholly in the
// receive buffer, read through a local cursor: the row's byte stores may
// alias the connection, so its buffer bounds would otherwise be reloaded for
// every value. Inline, so that a row whose values all arrived costs no call.
// Answers the first value not read.
__attribute__((always_inline)) inline int read_buffered_values(Conn_Attrs* conn, Result* result, RhRow*& row,
                                                               int& status, const RowPlan& plan, int i) {
    if (conn->pushed_back_byte != 0) return i;
    const int planned = plan.planned();   // columns past it take the per-value path
    const unsigned char* const base = conn->recv_cache;
    const unsigned char* const end = base + conn->recv_fill;
    const unsigned char* p = base + conn->recv_pos;
    for (; i < planned && end - p >= 4; ++i) {
        const int32_t length = wire_load<int32_t>(p);
        if (length <= 0) {   // null: no value bytes follow
            p += 4;
            continue;
        }
        const ColumnPlan& column = plan.ahead(i);
        const int width = column.width;
        const int32_t size = width != kVariableSlot ? width : length;
        if (end - p - 4 < size) break;
        p += 4;
        if (width != kVariableSlot) {
            if (row != nullptr) store_fixed_value(row, column, p);
        } else if (unsigned char* piece = piece_for(result, row, status, length)) {
            copy_value_bytes(piece, p, length);
            keep_piece(row, column, piece, length);
        }
        p += size;
    }
    conn->recv_pos = static_cast<int>(p - base);
    return i;
}

// The rest of a row from value i on, refilling the receive buffer as its
// bytes arrive. 0, or -4 broken.
__attribute__((noinline)) int read_row_rest(Conn_Attrs* conn, Result* result, RhRow*& row, int& status,
                                            const RowPlan& plan, int i) {
    for (;;) {
        if (read_value(conn, result, row, status, plan, i) != 0) return KVC_NET_ERROR;
        i = read_buffered_values(conn, result, row, status, plan, i + 1);
        if (i >= result->column_count) return 0;
    }
}

// Reads the column values of one row straight from the receive buffer. With
// row null they are read and dropped. A value the pool cannot hold is dropped
// too, and so is the rest of the row, so that the stream stays in step: -5
// (row unusable), -4 broken.
__attribute__((always_inline)) inline int read_row_values(Conn_Attrs* conn, Result* result, RhRow* row,
                                                          const RowPlan& plan) {
    int status = 0;
    const int i = read_buffered_values(conn, result, row, status, plan, 0);
    if (i < result->column_count && read_row_rest(conn, result, row, status, plan, i) != 0) return KVC_NET_ERROR;
    return status;
}

// One row message, stored in the result's pool (store) or dropped. Texts
// between rows join the result's error text. 0 with a row, 101 rows ended
// (the tag is handed back), -5 the row did not fit (consumed), -4 broken.
__attribute__((always_inline)) inline int read_row_message(Conn_Attrs* conn, Result* result, RhRow** row_out, bool store, bool* lost,
                     const RowPlan& plan) {
    if (row_out != nullptr) *row_out = nullptr;
    char tag;
    for (;;) {
        const unsigned char* at = rh_window(conn, 1);
        if (at == nullptr) return KVC_NET_ERROR;
        tag = static_cast<char>(*at);
        rh_advance(conn, 1);
        if (tag == 'R' || tag == '*') break;
        if (!is_text_tag(tag)) {
            rh_push_back(conn, tag);
            return kRowsEnded;
        }
        // A text that cannot be kept is a loss like a row that cannot: the
        // rows after it are dropped and the reply reports -5.
        char* text = nullptr;
        const int rc = rh_recv_str(conn, &text);
        if (rc == KVC_NET_ERROR) return rc;
        if (rc != 0 || kvc_append_text(&result->error_text, text) != 0) *lost = true;
        free(text);
    }
    RhRow* row = nullptr;
    int status = store && *lost ? -5 : 0;
    if (status == 0 && store) {
        row = plan.new_row(result, tag == '*');
        if (row == nullptr) status = KVC_NO_MEMORY;
    }
    if (tag == '*') {
        // The row tag fills at most its ROW_TAG_MAX bytes; a longer one is cut.
        int32_t tag_length;
        if (!rh_recv_int32(conn, &tag_length)) return KVC_NET_ERROR;
        if (tag_length < 0) return rh_fail_stream(conn);   // nothing can follow a negative length
        const int32_t kept = tag_length < ROW_TAG_MAX ? tag_length : ROW_TAG_MAX;
        if (!recv_or_skip(conn, row != nullptr ? row - ROW_TAG_MAX : nullptr, kept)) return KVC_NET_ERROR;
        if (!recv_or_skip(conn, nullptr, static_cast<int64_t>(tag_length) - kept)) return KVC_NET_ERROR;
    }
    int rc = read_row_values(conn, result, row, plan);
    if (rc == KVC_NET_ERROR) return KVC_NET_ERROR;
    if (status != 0 || rc != 0) return KVC_NO_MEMORY;
    if (row_out != nullptr) *row_out = row;
    return 0;
}

bool row_index_full(const Result* result);

// A row appended where the index's walk already stands, the common case: no
// lookup and no new block. False when append_record must place it.
inline bool append_in_place(Result* result, RhRow* row) {
    RhRow** entry = walk_step(result->appending, result->row_count);
    if (entry == nullptr) return false;
    *entry = row;
    result->row_count += 1;
    return true;
}

// The result's pool, made with its first rows; false when it cannot be.
bool ensure_pool(Result* result) {
    if (result->pool == nullptr) result->pool = RS_mem_init();
    return result->pool != nullptr;
}

}  // namespace

int receive_rows(Conn_Attrs* conn, Result* result, int limit, bool* rows_lost) {
    if (!*rows_lost && !ensure_pool(result)) *rows_lost = true;
    const RowPlan plan(result);
    bool index_full = row_index_full(result);   // changes only when a row takes the slow append
    int count = 0;
    while (limit < 0 || count < limit) {
        const bool store = !*rows_lost && !index_full;
        RhRow* row = nullptr;
        int rc = read_row_message(conn, result, &row, store, rows_lost, plan);
        if (rc == KVC_NO_MEMORY) {
            *rows_lost = true;
        } else if (rc != 0) {
            break;
        } else if (store && !append_in_place(result, row)) {
            if (append_record(result, row) == KVC_NO_MEMORY) *rows_lost = true;   // no room for a new index block
            index_full = row_index_full(result);
        }
        ++count;
    }
    return count;
}

namespace {

// Splits "table.column%alias" in place: the alias is what follows the first
// "%"; the table is what precedes the first "." in front of it.
void split_column_name(char* name, FieldInfo* field) {
    char* percent = strchr(name, '%');
    if (percent != nullptr) {
        *percent = '\0';
        field->alias = percent + 1;
    }
    char* dot = strchr(name, '.');
    if (dot != nullptr) {
        *dot = '\0';
        field->table_name = name;
        field->column_name = dot + 1;
    } else {
        field->column_name = name;
    }
}

}  // namespace

Result* new_result(Conn_Attrs* conn, int32_t result_kind) {
    Result* result = static_cast<Result*>(hr_malloc0(sizeof(Result)));
    if (result == nullptr) return nullptr;
    result->handle_kind = KVC_HANDLE_RESULT;
    result->result_kind = result_kind;
    result->conn_link = conn_link_share(conn);
    if (conn != nullptr && result->conn_link == nullptr) {   // no memory for the link
        free(result);
        return nullptr;
    }
    result->lob_descriptors = conn != nullptr ? conn->lob_ret_descriptor : 0;
    return result;
}

int recv_attr_des_item(Conn_Attrs* conn, FieldInfo* field) {
    int32_t length;
    if (!rh_recv_int32(conn, &length)) return KVC_NET_ERROR;
    if (length < 0 || length > kMaxNameLength) return rh_fail_stream(conn);
    char* name = static_cast<char*>(hr_malloc0(static_cast<size_t>(length) + 1));
    if (name == nullptr) return KVC_NO_MEMORY;
    int32_t numbers[3];
    if (!rh_recv(conn, name, length) || !rh_recv_int32(conn, &numbers[0]) ||
        !rh_recv_int32(conn, &numbers[1]) || !rh_recv_int32(conn, &numbers[2])) {
        free(name);
        return -1;
    }
    split_column_name(name, field);
    field->name_buffer = name;
    field->server_type = numbers[0];
    field->type_modifier = numbers[1];
    field->column_attribute = numbers[2];
    field->c_type = getSQLCType(field->server_type);
    return 0;
}

int recv_fields_info(Conn_Attrs* conn, Result* result) {
    int32_t count;
    if (!rh_recv_int32(conn, &count)) return KVC_NET_ERROR;
    if (count < 0 || count > kMaxColumns) return rh_fail_stream(conn);
    FieldInfo* columns = static_cast<FieldInfo*>(hr_malloc0(sizeof(FieldInfo) * static_cast<size_t>(count)));
    if (columns == nullptr) return KVC_NO_MEMORY;
    for (int i = 0; i < count; ++i) {
        int rc = recv_attr_des_item(conn, &columns[i]);
        if (rc != 0) {
            // A refused name length reads as a broken stream; any other
            // failure of a column fails the description.
            free_fields_info(columns, i);
            return rc == KVC_NET_ERROR ? -4 : -1;
        }
    }
    // Row layout: status bits, then the slots packed in column order.
    int offset = row_status_bytes(count);
    for (int i = 0; i < count; ++i) {
        columns[i].data_offset = offset;
        offset += row_slot_width(columns[i].server_type);
        plan_direct_copies(&columns[i]);
    }
    result->columns = columns;
    result->column_count = count;
    result->row_size = offset;
    return 0;
}

int recv_record(Conn_Attrs* conn, Result* result, RhRow** row_out) {
    bool lost = false;
    // Without a pool the row is still read, so that the stream stays in step.
    const bool pooled = ensure_pool(result);
    const int rc = read_row_message(conn, result, row_out, pooled, &lost, RowPlan(result));
    return !pooled && rc == 0 ? KVC_NO_MEMORY : rc;
}

int recvRecords20000(Conn_Attrs* conn, Result* result) {
    bool rows_lost = false;
    return receive_rows(conn, result, kLargeBatch, &rows_lost);
}

int recvRecords200(Conn_Attrs* conn, Result* result) {
    bool rows_lost = false;
    return receive_rows(conn, result, kPausedReplyRows, &rows_lost);
}

int recvCursorRows(Conn_Attrs* conn, Result* result) {
    bool rows_lost = false;
    return receive_rows(conn, result, kNoLimit, &rows_lost);
}

// =============================================================================
// Replies to statements and cursor fetches
// =============================================================================

namespace {

// The results of one reply, in arrival order. Whatever has not been handed
// out is released when the reader gives up.
class ResultChain {
public:
    ResultChain() = default;
    ResultChain(const ResultChain&) = delete;
    ResultChain& operator=(const ResultChain&) = delete;
    ~ResultChain() { clear(); }
    void clear() {
        free_result_chain(head_);
        head_ = latest_ = nullptr;
    }
    void link(Result* result) {
        if (head_ == nullptr) head_ = result;
        else latest_->next_result = result;
        latest_ = result;
    }
    bool empty() const { return head_ == nullptr; }
    Result* release() {
        Result* head = head_;
        head_ = latest_ = nullptr;
        return head;
    }

private:
    Result* head_ = nullptr;
    Result* latest_ = nullptr;
};

// A column description and its rows (batch is the rows per call, or no
// limit). Null with -4 / -5 when the description failed (the connection is
// then failed: its rows cannot be followed); else the result and the last
// batch's row count.
Result* receive_row_set(Conn_Attrs* conn, int batch, int* status, bool* rows_lost) {
    Result* result = new_result(conn, RESULT_ROWS);
    int rc = result != nullptr ? recv_fields_info(conn, result) : KVC_NO_MEMORY;
    if (rc != 0) {
        free_Result(result);
        rh_fail_stream(conn);
        *status = rc;
        return nullptr;
    }
    int count;
    do {
        count = receive_rows(conn, result, batch, rows_lost);
    } while (batch > 0 && count == batch && !conn->stream_failed);
    *status = count;
    return result;
}

// Replies to statements (recv_Query_Rs) and to cursor fetches
// (recv_Query_Cursor): result sets, counts and insert identifiers become a
// chain of results; server texts are printed and kept by the connection.
class ResultReplyReader : public ReplyReader {
public:
    ResultReplyReader(Conn_Attrs* conn, bool cursor_fetch) : ReplyReader(conn), cursor_fetch_(cursor_fetch) {}

    Result* hand_out() { return chain_.release(); }

private:
    bool takes(char tag) const override {
        switch (message_body(tag)) {
        case MessageBody::Text: case MessageBody::Rows: return true;
        case MessageBody::Count: case MessageBody::InsertId: return !cursor_fetch_;
        default: return false;
        }
    }
    int take(char tag) override {
        switch (message_body(tag)) {
        case MessageBody::Text: return take_server_text(tag, Shown::AsResultText);
        case MessageBody::Rows: return take_rows();
        case MessageBody::Count: {
            int32_t count = 0;
            if (!rh_recv_int32(conn_, &count)) return KVC_NET_ERROR;
            Result* result = new_result(conn_, tag == 'U' ? RESULT_UPDATE_COUNT : RESULT_DELETE_COUNT);
            if (result == nullptr) {
                out_of_memory();
                return kNext;
            }
            result->affected_rows = count;
            chain_.link(result);
            return kNext;
        }
        default: {
            char text[sizeof conn_->last_insert_id];
            if (read_insert_id(conn_, text) != 0) return KVC_NET_ERROR;
            memcpy(conn_->last_insert_id, text, sizeof text);
            Result* result = new_result(conn_, RESULT_INSERT_ID);
            if (result == nullptr) {
                out_of_memory();
                return kNext;
            }
            memcpy(result->insert_id, text, sizeof text);
            chain_.link(result);
            return kNext;
        }
        }
    }
    int take_rows() {
        int count = 0;
        bool rows_lost = false;
        // A fetch has one result: a second description is read with its rows and dropped.
        bool* lost = cursor_fetch_ && fetched_ ? &dropped_ : &rows_lost;
        Result* result = receive_row_set(conn_, cursor_fetch_ ? -1 : kLargeBatch, &count, lost);
        if (result == nullptr) {
            failure_ = count;
            return KVC_NET_ERROR;
        }
        if (rows_lost) out_of_memory();
        if (cursor_fetch_ && fetched_) {
            free_Result(result);
            return kEndIfK;
        }
        fetched_ = true;
        chain_.link(result);
        status_ = count;
        return kEndIfK;
    }
    int finish(Ending) override { return or_out_of_memory(status_); }
    int fail(char, bool results_whole) override {
        // Results before a tag that no message has are whole: they are
        // handed out with the failure. A reply that broke off leaves none.
        if (!results_whole) chain_.clear();
        return failure_;
    }

    const bool cursor_fetch_;
    bool fetched_ = false;
    bool dropped_ = true;   // rows of a second description are never stored
    int failure_ = KVC_NET_ERROR;      // the status of a column description that failed
    ResultChain chain_;
};

int read_result_reply(Conn_Attrs* conn, Result** result_out, bool cursor_fetch) {
    if (result_out != nullptr) *result_out = nullptr;
    ResultReplyReader reader(conn, cursor_fetch);
    const int status = reader.read_reply();
    if (result_out != nullptr) *result_out = reader.hand_out();
    return status;
}

}  // namespace

int recv_Query_Rs(Conn_Attrs* conn, Result** result_out) { return read_result_reply(conn, result_out, false); }

int recv_Query_Cursor(Conn_Attrs* conn, Result** result_out) { return read_result_reply(conn, result_out, true); }

// =============================================================================
// Row cursor and release
// =============================================================================

int free_fields_info(FieldInfo* columns, int count) {
    if (columns == nullptr) return 0;
    for (int i = 0; i < count; ++i) free(columns[i].name_buffer);
    free(columns);
    return 0;
}

int free_Result(Result* result) {
    if (result == nullptr) return 0;
    release_row_index(result);
    free_fields_info(result->columns, result->column_count);
    result->columns = nullptr;
    free(result->error_text);
    RS_destroy(result->pool);
    conn_link_drop(result->conn_link);
    free(result);
    return 0;
}

void free_result_chain(Result* first) {
    while (first != nullptr) {
        Result* next = first->next_result;
        free_Result(first);
        first = next;
    }
}

// =============================================================================
// Row index
// =============================================================================

namespace {

// Blocks of row addresses grow tenfold per group, so the index never moves a
// row and any row is found with a few comparisons and one division.
struct BlockGroup {
    int first_block;
    int last_block;
    int64_t rows_per_block;
    int64_t first_row;
};

constexpr BlockGroup kBlockGroups[] = {
    {1, 16, 1000, 0},
    {17, 32, 10000, 16000},
    {33, 64, 100000, 176000},
    {65, 128, 1000000, 3376000},
    {129, 256, 10000000, 67376000},
};
constexpr int64_t kMaxRows = 1347376000;

const BlockGroup* group_of_block(int block) {
    for (const BlockGroup& group : kBlockGroups)
        if (block <= group.last_block) return &group;
    return nullptr;
}

uint16_t* block_counter(const Result* result) { return static_cast<uint16_t*>(result->row_index[0]); }

// Blocks of 100,000 rows and more are made resident on huge pages, which the
// kernel clears several times faster than small ones. Those of 100,000 rows
// (800 KB) lie side by side in one span of address space reserved with the
// group's first block, so that neighbours share huge pages; larger blocks
// have a span each, as large as a plain allocation would be.
constexpr int64_t kSpannedFromRows = 100000;
constexpr size_t kSharedSpanMax = 32u << 20;
size_t block_bytes(const BlockGroup& group) { return static_cast<size_t>(group.rows_per_block) * sizeof(RhRow*); }
int blocks_per_span(const BlockGroup& group) {
    const int blocks = group.last_block - group.first_block + 1;
    return block_bytes(group) * static_cast<size_t>(blocks) <= kSharedSpanMax ? blocks : 1;
}
size_t span_bytes(const BlockGroup& group) { return block_bytes(group) * static_cast<size_t>(blocks_per_span(group)); }
// Position of a block in its span: 0 for the block the span was reserved with.
int place_in_span(const BlockGroup& group, int block) { return (block - group.first_block) % blocks_per_span(group); }

// A new block of the index. Entries are written as rows arrive and never
// read past row_count, so it needs no clearing, only its pages made resident.
RhRow** new_index_block(Result* result, int block, const BlockGroup& group) {
    if (group.rows_per_block < kSpannedFromRows)
        return static_cast<RhRow**>(kvc_malloc_populated(block_bytes(group)));
    const int place = place_in_span(group, block);
    auto* span = static_cast<unsigned char*>(place == 0 ? kvc_reserve_span(span_bytes(group))
                                                        : result->row_index[block - place]);
    if (span == nullptr) return nullptr;
    unsigned char* rows = span + static_cast<size_t>(place) * block_bytes(group);
    kvc_populate(rows, block_bytes(group));
    return reinterpret_cast<RhRow**>(rows);
}

void release_index_block(Result* result, int block) {
    const BlockGroup& group = *group_of_block(block);
    if (group.rows_per_block < kSpannedFromRows) free(result->row_index[block]);
    else if (place_in_span(group, block) == 0) kvc_release_span(result->row_index[block], span_bytes(group));
}

}  // namespace

namespace {

// Entry of row n when it falls in group G (or a later one). Each group's
// block size is a constant here, so the division becomes a multiplication:
// this runs for every row appended and every row the cursor steps to.
// *block_end receives the first row past the block.
template <int G>
RhRow** entry_from_group(const Result* result, int64_t n, int64_t* block_end) {
    constexpr BlockGroup group = kBlockGroups[G];
    constexpr int64_t group_rows = (group.last_block - group.first_block + 1) * group.rows_per_block;
    const int64_t offset = n - group.first_row;
    if (offset >= group_rows) {
        if constexpr (G + 1 < static_cast<int>(sizeof kBlockGroups / sizeof kBlockGroups[0]))
            return entry_from_group<G + 1>(result, n, block_end);
        else
            return nullptr;
    }
    const int64_t block_in_group = offset / group.rows_per_block;
    *block_end = group.first_row + (block_in_group + 1) * group.rows_per_block;
    RhRow** rows = static_cast<RhRow**>(result->row_index[group.first_block + block_in_group]);
    return rows != nullptr ? rows + offset % group.rows_per_block : nullptr;
}

RhRow** index_entry(const Result* result, int64_t n, int64_t* block_end) {
    if (result == nullptr || result->row_index == nullptr || n < 0 || n >= kMaxRows) return nullptr;
    return entry_from_group<0>(result, n, block_end);
}

__attribute__((noinline)) RhRow** walk_by_lookup(Result* result, RowIndexWalk& walk, int64_t n) {
    RhRow** entry = index_entry(result, n, &walk.end);
    if (entry == nullptr) {
        walk = RowIndexWalk{};
        return nullptr;
    }
    walk.entry = entry + 1;
    walk.pos = n + 1;
    return entry;
}

// Entry of row n, looked up only when the walk is not already there; the walk
// then stands on row n + 1. Rows taken in order cost one comparison each.
inline RhRow** walk_to(Result* result, RowIndexWalk& walk, int64_t n) {
    RhRow** entry = walk_step(walk, n);
    return entry != nullptr ? entry : walk_by_lookup(result, walk, n);
}

}  // namespace

namespace {
bool row_index_full(const Result* result) {
    return result->row_index != nullptr && *block_counter(result) > ROW_INDEX_MAX_BLOCKS;
}
}  // namespace

int append_record(Result* result, RhRow* row) {
    if (result->row_capacity == 0) {
        void** table = static_cast<void**>(kvc_calloc(ROW_INDEX_ENTRIES, sizeof(void*)));
        uint16_t* counter = static_cast<uint16_t*>(kvc_malloc(sizeof(uint16_t)));
        RhRow** first = static_cast<RhRow**>(kvc_calloc(static_cast<size_t>(kBlockGroups[0].rows_per_block), sizeof(RhRow*)));
        if (table == nullptr || counter == nullptr || first == nullptr) {
            free(table);
            free(counter);
            free(first);
            return KVC_NO_MEMORY;
        }
        *counter = 1;
        table[0] = counter;
        table[1] = first;
        result->row_index = table;
        result->row_capacity = kBlockGroups[0].rows_per_block;
    } else if (result->row_count >= result->row_capacity) {
        uint16_t* counter = block_counter(result);
        // The counter stays above the last block once the index is full, so
        // every later row is refused the same way (it never wraps around).
        if (*counter <= ROW_INDEX_MAX_BLOCKS) ++*counter;
        const int block = *counter;
        const BlockGroup* group = group_of_block(block);
        if (group == nullptr) {
            puts("语句行结果集过大");
            kvc_set_text(&result->error_text, "[EC080]select result-set is too large please connect to db-server");
            return -1;
        }
        RhRow** rows = new_index_block(result, block, *group);
        if (rows == nullptr) {
            --*counter;
            return KVC_NO_MEMORY;
        }
        result->row_index[block] = rows;
        result->row_capacity += group->rows_per_block;
    }
    RhRow** entry = walk_to(result, result->appending, result->row_count);
    if (entry == nullptr) return -1;
    *entry = row;
    result->row_count += 1;
    return 0;
}

RhRow** nthR(Result* result, int64_t n) {
    int64_t block_end = 0;
    return index_entry(result, n, &block_end);
}

int record_next_by_lookup(Result* result) {
    if (result == nullptr || result->handle_kind != KVC_HANDLE_RESULT) return -1;
    if (result->read_pos < 0 || result->read_pos >= result->row_count) {
        result->current_row = nullptr;
        return 100;
    }
    RhRow** entry = walk_to(result, result->reading, result->read_pos);
    result->current_row = entry != nullptr ? *entry : nullptr;
    result->read_pos += 1;
    return 0;
}

void release_row_index(Result* result) {
    if (result->row_index != nullptr) {
        int blocks = *block_counter(result);
        if (blocks > ROW_INDEX_MAX_BLOCKS) blocks = ROW_INDEX_MAX_BLOCKS;
        // The rows themselves belong to the pool; only the index goes here.
        for (int block = 1; block <= blocks; ++block) release_index_block(result, block);
        free(result->row_index[0]);
        free(result->row_index);
        result->row_index = nullptr;
    }
    result->row_capacity = 0;
    result->row_count = 0;
    result->reading = RowIndexWalk{};
    result->appending = RowIndexWalk{};
}

// =============================================================================
// Value conversion
// =============================================================================

namespace {

constexpr int kCTypeCount = 64;
constexpr int kDecimalTextMax = 63;

constexpr uint64_t types_mask(std::initializer_list<int> types) {
    uint64_t mask = 0;
    for (int t : types) mask |= uint64_t{1} << t;
    return mask;
}

bool in_mask(uint64_t mask, int server_type) {
    return server_type >= 0 && server_type < 64 && (mask >> server_type & 1) != 0;
}

// Server types whose bytes are handed over as they are stored.
constexpr uint64_t kCharacterTypes = types_mask({KVC_SQL_CHAR, KVC_SQL_CLOB, KVC_SQL_BINARY, KVC_SQL_BLOB});
constexpr uint64_t kVerbatimTextTypes = kCharacterTypes | types_mask({ST_VERBATIM, ST_VERBATIM_2});

struct Cell {
    int server_type;
    const unsigned char* bytes;
    int length;           // slot width for fixed types, received length otherwise
    Result* result;       // where the value lives; null for a single value
};

struct Target {
    int c_type;
    void* dst;
    int size;             // destination bytes, never below 0
    int* length;          // may be null (not for piecewise reads)
};

void set_length(const Target& target, int value) {
    if (target.length != nullptr) *target.length = value;
}

int no_conversion(const Target& target) {
    set_length(target, 0);
    return -13;
}

template <typename T>
T load(const unsigned char* bytes) {
    T v;
    memcpy(&v, bytes, sizeof v);
    return v;
}

int32_t load_be32(const unsigned char* b) {
    return static_cast<int32_t>(static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
                                static_cast<uint32_t>(b[2]) << 8 | b[3]);
}
int16_t load_be16(const unsigned char* b) {
    return static_cast<int16_t>(static_cast<uint16_t>(b[0] << 8 | b[1]));
}
int64_t load_be64(const unsigned char* b) {
    return static_cast<int64_t>(static_cast<uint64_t>(static_cast<uint32_t>(load_be32(b))) << 32 |
                                static_cast<uint32_t>(load_be32(b + 4)));
}

// Decimal text as a 32-bit integer: leading blanks, a sign, then digits up to
// the first other character (0 when there are none). Saturates rather than
// overflowing.
int32_t decimal_to_int32(const char* text) {
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r' || *text == '\f' || *text == '\v')
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > int64_t{INT32_MAX} + 1) value = int64_t{INT32_MAX} + 1;
    }
    if (negative) value = -value;
    if (value > INT32_MAX) value = INT32_MAX;
    return static_cast<int32_t>(value);
}

// How a stored value reads as a number, by its slot.
enum class Source : uint8_t { None, Byte, Int16, Int32, Int64, Float, Double, Decimal };

Source source_of(int server_type) {
    if (server_type == KVC_SQL_NUMERIC) return Source::Decimal;
    if (server_type == KVC_SQL_FLOAT) return Source::Float;
    if (server_type == KVC_SQL_DOUBLE) return Source::Double;
    switch (getTypeLen(server_type)) {
    case 1: return Source::Byte;
    case 2: return Source::Int16;
    case 4: return Source::Int32;
    case 8: return Source::Int64;
    default: return Source::None;
    }
}

// The stored value as T; integer targets read decimal text as a 32-bit
// integer, floating ones as a double.
template <typename T>
T number_as(const Cell& cell) {
    switch (source_of(cell.server_type)) {
    case Source::Byte: return static_cast<T>(static_cast<int8_t>(cell.bytes[0]));
    case Source::Int16: return static_cast<T>(load<int16_t>(cell.bytes));
    case Source::Int32: return static_cast<T>(load<int32_t>(cell.bytes));
    case Source::Int64: return static_cast<T>(load<int64_t>(cell.bytes));
    case Source::Float: return static_cast<T>(load<float>(cell.bytes));
    case Source::Double: return static_cast<T>(load<double>(cell.bytes));
    case Source::Decimal: {
        const char* text = reinterpret_cast<const char*>(cell.bytes);
        if constexpr (std::is_floating_point<T>::value) return static_cast<T>(strtod(text, nullptr));
        else return static_cast<T>(decimal_to_int32(text));
    }
    case Source::None: break;
    }
    return T{};
}

// ---- numeric targets --------------------------------------------------------

enum class Out : uint8_t { Int16, Int32, Int64, Float, Double, Date };

// Which server types a numeric C type accepts, and what it writes; a second
// set of server types may be written in another form (a date record for a
// date column, the 32-bit month count for a year-month interval).
struct NumericRule {
    uint64_t accepts;
    Out out;
    uint64_t alternate_accepts;
    Out alternate_out;
};

constexpr uint64_t kIntegerSources = types_mask({KVC_SQL_BOOL, KVC_SQL_TINYINT, KVC_SQL_SMALLINT, KVC_SQL_INT, KVC_SQL_NUMERIC});
constexpr uint64_t kRealSources =
    types_mask({KVC_SQL_TINYINT, KVC_SQL_SMALLINT, KVC_SQL_INT, KVC_SQL_BIGINT, KVC_SQL_NUMERIC, KVC_SQL_FLOAT, KVC_SQL_DOUBLE});

constexpr NumericRule kInt32Rule = {kIntegerSources, Out::Int32, 0, Out::Int32};
constexpr NumericRule kInt16Rule = {types_mask({KVC_SQL_BOOL, KVC_SQL_TINYINT, KVC_SQL_SMALLINT}), Out::Int16, 0, Out::Int16};
constexpr NumericRule kInt64Rule = {kIntegerSources | types_mask({KVC_SQL_BIGINT}), Out::Int64, 0, Out::Int64};
constexpr NumericRule kFloatRule = {kRealSources, Out::Float, 0, Out::Float};
constexpr NumericRule kDoubleRule = {kRealSources, Out::Double, 0, Out::Double};
constexpr NumericRule kDatetimeRule = {types_mask({KVC_SQL_DATETIME}), Out::Int64, types_mask({KVC_SQL_DATE}), Out::Date};
constexpr NumericRule kYearMonthRule = {types_mask({KVC_SQL_INT, KVC_SQL_BIGINT}), Out::Int64,
                                        types_mask({KVC_SQL_INTERVAL_YM}), Out::Int32};
constexpr NumericRule kDaySecondRule = {types_mask({KVC_SQL_INT, KVC_SQL_BIGINT, KVC_SQL_INTERVAL_DS}), Out::Int64, 0, Out::Int64};

const NumericRule* numeric_rule(int c_type) {
    switch (c_type) {
    case 1: case 5: return &kInt32Rule;
    case 4: return &kInt16Rule;
    case 6: return &kInt64Rule;
    case 7: return &kFloatRule;
    case 8: return &kDoubleRule;
    case 23: return &kDatetimeRule;
    case 28: return &kYearMonthRule;
    case 31: return &kDaySecondRule;
    default: return nullptr;
    }
}

// A fixed-width C type names the caller's variable, so its whole width is
// written whatever smaller size is given. Only a value wider than the C
// type's own width (the 12-byte date record that a date column gives C type
// 23, an 8-byte count) is bounded by the size: cut, -12, the length telling
// its full size.
template <typename T>
int write_number(const Target& target, T value, int type_width = sizeof(T)) {
    const int room = target.size > type_width ? target.size : type_width;
    if (room < static_cast<int>(sizeof value)) {
        memcpy(target.dst, &value, static_cast<size_t>(room));
        set_length(target, static_cast<int>(sizeof value));
        return KVC_TRUNCATED;
    }
    memcpy(target.dst, &value, sizeof value);
    set_length(target, static_cast<int>(sizeof value));
    return 0;
}

int deliver_number(const Cell& cell, const Target& target) {
    const NumericRule* rule = numeric_rule(target.c_type);
    Out out;
    if (in_mask(rule->accepts, cell.server_type)) out = rule->out;
    else if (in_mask(rule->alternate_accepts, cell.server_type)) out = rule->alternate_out;
    else return no_conversion(target);
    switch (out) {
    case Out::Int16: return write_number(target, number_as<int16_t>(cell));
    case Out::Int32: return write_number(target, number_as<int32_t>(cell));
    case Out::Int64: return write_number(target, number_as<int64_t>(cell));
    case Out::Float: return write_number(target, number_as<float>(cell));
    case Out::Double: return write_number(target, number_as<double>(cell));
    case Out::Date: {
        tarDATE_STRUCT date;
        d2dm(load<int32_t>(cell.bytes), &date);
        return write_number(target, date, static_cast<int>(sizeof(int64_t)));
    }
    }
    return no_conversion(target);
}

// ---- text forms ---------------------------------------------------------------

using TextForm = int (*)(const Cell&, char* work);

int format_text(char* work, const char* format, ...) __attribute__((format(printf, 2, 3)));
int format_text(char* work, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vsnprintf(work, VALUE_TEXT_MAX, format, args);
    va_end(args);
    if (n < 0) return 0;
    return n < VALUE_TEXT_MAX ? n : VALUE_TEXT_MAX - 1;
}

int text_bool(const Cell& cell, char* work) {
    const char c = static_cast<char>(cell.bytes[0]);
    return format_text(work, "%s", c == 'T' ? "T" : c == 'F' ? "F" : "UNKNOWN");
}

int text_integer(const Cell& cell, char* work) {
    return format_text(work, "%lld", static_cast<long long>(number_as<int64_t>(cell)));
}

int text_decimal(const Cell& cell, char* work) {
    const int n = cell.length < kDecimalTextMax ? cell.length : kDecimalTextMax;
    memcpy(work, cell.bytes, static_cast<size_t>(n));
    work[n] = '\0';
    return static_cast<int>(strlen(work));
}

int text_float(const Cell& cell, char* work) { return format_text(work, "%f", static_cast<double>(load<float>(cell.bytes))); }

int text_double(const Cell& cell, char* work) { return db2str(work, load<double>(cell.bytes)); }

int text_date(const Cell& cell, char* work) {
    tarDATE_STRUCT date;
    d2dm(load<int32_t>(cell.bytes), &date);
    return format_text(work, "%04d-%02d-%02d", date.year, date.month, date.day);
}

int text_time(const Cell& cell, char* work) {
    TIME_STRUCT time;
    t2tm(load<int32_t>(cell.bytes), &time);
    return format_text(work, "%02d:%02d:%02d", time.hour, time.minute, time.second);
}

// Zoned values are stored as received, big-endian; a value shorter than its
// layout has no text.
int text_time_zone(const Cell& cell, char* work) {
    if (cell.length < 6) return -1;
    const int16_t zone = load_be16(cell.bytes + 4);
    const int64_t local = static_cast<int64_t>(load_be32(cell.bytes)) + static_cast<int64_t>(zone) * 60000;
    const int64_t s = local / 1000;
    return format_text(work, "%lld:%02lld:%02lld%+d", static_cast<long long>(s / 3600),
                       static_cast<long long>(s % 3600 / 60), static_cast<long long>(s % 3600 % 60), zone / 60);
}

int text_datetime(const Cell& cell, char* work) {
    DATETIME_STRUCT t;
    dt2dtm(load<int64_t>(cell.bytes), &t);
    return format_text(work, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

int text_datetime_zone(const Cell& cell, char* work) {
    if (cell.length < 10) return -1;
    const int16_t zone = load_be16(cell.bytes + 8);
    // Wrapping addition: an extreme stored count must not overflow.
    const int64_t local = static_cast<int64_t>(static_cast<uint64_t>(load_be64(cell.bytes)) +
                                               static_cast<uint64_t>(static_cast<int64_t>(zone) * 60000000));
    DATETIME_STRUCT t;
    dt2dtm(local / 1000, &t);
    return format_text(work, "%d-%02d-%02d %02d:%02d:%02d%+d", t.year, t.month, t.day, t.hour, t.minute,
                       t.second, zone / 60);
}

// Negative year-month and day-second intervals show one leading sign before
// their magnitudes ("-1-02", "-0 1:00:00").
const char* sign_of(int64_t v) { return v < 0 ? "-" : ""; }
long long magnitude(int64_t v) { return v < 0 ? -static_cast<long long>(v) : static_cast<long long>(v); }

int text_year_month(const Cell& cell, char* work) {
    const int64_t months = load<int32_t>(cell.bytes);
    const long long m = magnitude(months);
    return format_text(work, "%s%lld-%02lld", sign_of(months), m / 12, m % 12);
}

int text_day_hour(const Cell& cell, char* work) {
    const int32_t hours = load<int32_t>(cell.bytes);
    return format_text(work, "%d %02d", hours / 24, hours % 24);
}

int text_day_minute(const Cell& cell, char* work) {
    const int32_t minutes = load<int32_t>(cell.bytes);
    return format_text(work, "%d %02d:%02d", minutes / 1440, minutes % 1440 / 60, minutes % 1440 % 60);
}

int text_hour_minute(const Cell& cell, char* work) {
    const int32_t minutes = load<int32_t>(cell.bytes);
    return format_text(work, "%d:%02d", minutes / 60, minutes % 60);
}

int64_t whole_seconds(const Cell& cell) { return load<int64_t>(cell.bytes) / 1000000; }

int text_day_second(const Cell& cell, char* work) {
    const int64_t seconds = whole_seconds(cell);
    const long long s = magnitude(seconds);
    return format_text(work, "%s%lld %lld:%02lld:%02lld", sign_of(seconds), s / 86400, s % 86400 / 3600,
                       s % 3600 / 60, s % 60);
}

int text_hour_second(const Cell& cell, char* work) {
    const long long s = whole_seconds(cell);
    return format_text(work, "%lld:%02lld:%02lld", s / 3600, s % 3600 / 60, s % 60);
}

int text_minute_second(const Cell& cell, char* work) {
    const long long s = whole_seconds(cell);
    return format_text(work, "%lld:%02lld", s / 60, s % 60);
}

int text_second(const Cell& cell, char* work) {
    return format_text(work, "%lld", static_cast<long long>(whole_seconds(cell)));
}

// Text form of each server type; null where there is none (the character and
// verbatim types are delivered from their stored bytes instead).
struct TextForms {
    TextForm forms[kServerTypeCount];
    constexpr TextForms() : forms() {
        forms[KVC_SQL_BOOL] = text_bool;
        forms[KVC_SQL_TINYINT] = forms[KVC_SQL_SMALLINT] = forms[KVC_SQL_INT] = forms[KVC_SQL_BIGINT] = text_integer;
        for (int single_unit : {15, 17, 18, 20, 23}) forms[single_unit] = text_integer;
        forms[KVC_SQL_NUMERIC] = text_decimal;
        forms[KVC_SQL_FLOAT] = text_float;
        forms[KVC_SQL_DOUBLE] = text_double;
        forms[KVC_SQL_DATE] = text_date;
        forms[KVC_SQL_TIME] = text_time;
        forms[KVC_SQL_TIME_TZ] = text_time_zone;
        forms[KVC_SQL_DATETIME] = text_datetime;
        forms[KVC_SQL_DATETIME_TZ] = text_datetime_zone;
        forms[KVC_SQL_INTERVAL_YM] = text_year_month;
        forms[KVC_SQL_INTERVAL_DH] = text_day_hour;
        forms[KVC_SQL_INTERVAL_DM] = text_day_minute;
        forms[KVC_SQL_INTERVAL_HM] = text_hour_minute;
        forms[KVC_SQL_INTERVAL_DS] = text_day_second;
        forms[KVC_SQL_INTERVAL_HS] = text_hour_second;
        forms[KVC_SQL_INTERVAL_MS] = text_minute_second;
        forms[KVC_SQL_INTERVAL_S] = text_second;
    }
};
constexpr TextForms kTextForms;

int value_text(const Cell& cell, char* work) {
    if (cell.server_type < 0 || cell.server_type >= kServerTypeCount) return -1;
    TextForm form = kTextForms.forms[cell.server_type];
    if (form == nullptr) return -1;
    work[0] = '\0';
    return form(cell, work);
}

// ---- delivery rules -----------------------------------------------------------

// Text into a destination of size d: all of it when it fits with a
// terminator; else d - 1 characters and, as the length, what was left out.
__attribute__((always_inline)) inline int deliver_chars(const Target& target, const void* text, int n) {
    auto* dst = static_cast<unsigned char*>(target.dst);
    clear_bytes(dst, static_cast<size_t>(target.size));
    if (n < target.size) {
        copy_value_bytes(dst, static_cast<const unsigned char*>(text), n);
        set_length(target, n);
        return 0;
    }
    if (target.size == 0) {
        set_length(target, n);
        return KVC_TRUNCATED;
    }
    memcpy(target.dst, text, static_cast<size_t>(target.size - 1));
    set_length(target, n - target.size + 1);
    return KVC_TRUNCATED;
}

int deliver_text(const Cell& cell, const Target& target) {
    if (in_mask(kVerbatimTextTypes, cell.server_type)) return deliver_chars(target, cell.bytes, cell.length);
    // Decimal text may be longer than the work area: it goes out whole, so
    // that digits are only ever lost with -12.
    if (cell.server_type == KVC_SQL_NUMERIC)
        return deliver_chars(target, cell.bytes,
                             static_cast<int>(strnlen(reinterpret_cast<const char*>(cell.bytes),
                                                      static_cast<size_t>(cell.length))));
    char work[VALUE_TEXT_MAX];
    int n = value_text(cell, work);
    if (n < 0) return no_conversion(target);
    return deliver_chars(target, work, n);
}

int deliver_first_byte(const Cell& cell, const Target& target) {
    memcpy(target.dst, cell.bytes, 1);
    set_length(target, 1);
    return 0;
}

// The stored bytes unchanged. The destination holds at least the C type's
// width (any decimal text) whatever size is given; a value longer than both
// is cut there with -12, the length telling its full size.
int deliver_raw_copy(const Cell& cell, const Target& target) {
    const int width = getDbTypeLen(target.c_type);
    const int room = target.size > width ? target.size : width;
    set_length(target, cell.length);
    const int count = cell.length < room ? cell.length : room;
    memcpy(target.dst, cell.bytes, static_cast<size_t>(count));
    return count < cell.length ? -12 : 0;
}

int deliver_binary(const Cell& cell, const Target& target) {
    if (!in_mask(kCharacterTypes, cell.server_type)) return no_conversion(target);
    memset(target.dst, 0, static_cast<size_t>(target.size));
    if (cell.length <= target.size) {
        memcpy(target.dst, cell.bytes, static_cast<size_t>(cell.length));
        set_length(target, cell.length);
        return 0;
    }
    memcpy(target.dst, cell.bytes, static_cast<size_t>(target.size));
    set_length(target, cell.length - target.size);
    return KVC_TRUNCATED;
}

// The length parameter carries the offset in and the piece's size out.
int deliver_piece(const Cell& cell, const Target& target) {
    if (target.length == nullptr) return KVC_BAD_HANDLE;
    const int offset = *target.length;
    if (offset < 0 || cell.length < offset) return KVC_BAD_OFFSET;
    if (cell.length == offset) {
        *target.length = 0;
        return 0;
    }
    if (!in_mask(kCharacterTypes, cell.server_type)) return no_conversion(target);
    memset(target.dst, 0, static_cast<size_t>(target.size));
    const int rest = cell.length - offset;
    const int count = rest < target.size ? rest : target.size;
    memcpy(target.dst, cell.bytes + offset, static_cast<size_t>(count));
    *target.length = count;
    return 0;
}

int deliver_interval(const Cell& cell, const Target& target) {
    if (cell.server_type == KVC_SQL_INTERVAL_YM || cell.server_type == KVC_SQL_INTERVAL_DS) return 0;
    return no_conversion(target);
}

const char kTextLobConnectionClosed[] =
    "[EC069]Error large object descriptor cannot be fetched: the result's connection is closed";

int lob_delivered(KolvaLob_* lob, const Target& target, int status) {
    lob->lob_state = 2;
    set_length(target, static_cast<int>(lob->total_length));
    return status;
}

// A value placed into a LOB replaces what it held and arrives whole; when a
// chunk cannot be allocated the LOB keeps what fit and the length tells the
// full size with -12.
int fill_lob(KolvaLob_* lob, const Target& target, const unsigned char* bytes, int64_t n) {
    lob_release_content(lob);
    if (lob_try_append(lob, bytes, n) == 0) return lob_delivered(lob, target, 0);
    lob->lob_state = 2;
    set_length(target, static_cast<int>(n));
    return KVC_TRUNCATED;
}

// The destination holds the caller's LOB handle variable. A value delivered
// into a LOB replaces what it held; a chunk that cannot be allocated gives -5.
int deliver_lob(const Cell& cell, const Target& target) {
    KolvaLob_* lob = *static_cast<KolvaLob_**>(target.dst);
    if (lob == nullptr || lob->handle_kind != KVC_HANDLE_LOB) return KVC_BAD_HANDLE;
    if (cell.result != nullptr && cell.result->lob_descriptors) {
        // The first byte tells an inline value ('c' / 'b') from a descriptor ('C' / 'B').
        const bool character = target.c_type == 41;
        const char form = static_cast<char>(cell.bytes[0]);
        if (form == (character ? 'c' : 'b')) return fill_lob(lob, target, cell.bytes + 1, cell.length - 1);
        if (form == (character ? 'C' : 'B')) {
            lob_release_content(lob);
            lob->descriptor = kvc_strndup(reinterpret_cast<const char*>(cell.bytes), static_cast<size_t>(cell.length));
            if (lob->descriptor == nullptr) return KVC_NO_MEMORY;
            Conn_Attrs* conn = conn_link_target(cell.result->conn_link);
            if (conn == nullptr) {
                // The content lives on the server, reachable only over the result's connection.
                kvc_set_text(&cell.result->error_text, kTextLobConnectionClosed);
                return lob_delivered(lob, target, -1);
            }
            int rc = KVGetCLobDesc(conn, lob);
            return lob_delivered(lob, target, rc < 0 ? rc : 0);
        }
        return 0;
    }
    if (!in_mask(kCharacterTypes, cell.server_type)) return no_conversion(target);
    return fill_lob(lob, target, cell.bytes, cell.length);
}

using Delivery = int (*)(const Cell&, const Target&);

// The conversion matrix by C type; null entries have no conversion.
struct Deliveries {
    Delivery by_c_type[kCTypeCount];
    constexpr Deliveries() : by_c_type() {
        for (int c : {1, 4, 5, 6, 7, 8, 23, 28, 31}) by_c_type[c] = deliver_number;
        by_c_type[3] = by_c_type[63] = deliver_first_byte;
        by_c_type[9] = deliver_raw_copy;
        for (int c : {2, 10, 11, 12, 13, 14}) by_c_type[c] = deliver_text;
        by_c_type[15] = deliver_binary;
        by_c_type[18] = deliver_piece;
        by_c_type[21] = deliver_interval;
        by_c_type[41] = by_c_type[42] = deliver_lob;
    }
};
constexpr Deliveries kDeliveries;

// Bytes that a C type takes unchanged from a fixed-width slot, by C type and
// server type: where its numeric rule reads the slot as the very type it
// writes (an int column as C type 5, a double as 8, a datetime as 23); 0
// elsewhere. Derived from the rules above, so it cannot disagree with them.
struct DirectCopies {
    uint8_t width[kCTypeCount][64];
    DirectCopies() : width() {
        for (int c = 0; c < kCTypeCount; ++c) {
            const NumericRule* rule = numeric_rule(c);
            if (rule == nullptr || kDeliveries.by_c_type[c] != deliver_number) continue;
            for (int server_type = 0; server_type < 64; ++server_type) {
                if (in_mask(rule->accepts, server_type) && source_of(server_type) == same_source(rule->out))
                    width[c][server_type] = static_cast<uint8_t>(getTypeLen(server_type));
            }
        }
    }
    static Source same_source(Out out) {
        switch (out) {
        case Out::Int16: return Source::Int16;
        case Out::Int32: return Source::Int32;
        case Out::Int64: return Source::Int64;
        case Out::Float: return Source::Float;
        case Out::Double: return Source::Double;
        default: return Source::None;
        }
    }
};
const DirectCopies kDirectCopies;

}  // namespace

void plan_direct_copies(FieldInfo* field) {
    field->direct_c_types = 0;
    field->direct_width = 0;
    const int server_type = field->server_type;
    if (server_type < 0 || server_type >= 64) return;
    for (int c_type = 0; c_type < kCTypeCount; ++c_type) {
        if (kDirectCopies.width[c_type][server_type] == 0) continue;
        field->direct_c_types |= uint64_t{1} << c_type;
        field->direct_width = kDirectCopies.width[c_type][server_type];
    }
}

namespace {

// Stored text into a character buffer, the other common case: what the
// matrix delivers, without its lookups.
__attribute__((always_inline)) inline int deliver_stored_text(const RhRow* row, const FieldInfo* fields, int i, void* dst,
                                                  int dst_size, int* length) {
    int stored_length = 0;
    const unsigned char* text = row_held_value(row, fields, i, &stored_length);
    return deliver_chars(Target{KVC_C_CHAR, dst, dst_size > 0 ? dst_size : 0, length}, text, stored_length);
}

// Column i of the current row by the conversion matrix.
__attribute__((noinline)) int convert_column(Result* result, int i, int c_type, void* dst, int dst_size,
                                             int* length) {
    int stored_length = 0;
    const RhRow* row = result->current_row;
    const int server_type = result->columns[i].server_type;
    const void* value = row != nullptr ? getData(row, result->columns, i, &stored_length) : nullptr;
    if (value == nullptr) {
        if (length != nullptr) *length = 0;
        return KVC_NULL_VALUE;
    }
    const Cell cell = {server_type, static_cast<const unsigned char*>(value), stored_length, result};
    const Target target = {c_type, dst, dst_size > 0 ? dst_size : 0, length};
    Delivery delivery = (c_type >= 0 && c_type < kCTypeCount) ? kDeliveries.by_c_type[c_type] : nullptr;
    if (delivery == nullptr) return no_conversion(target);
    return delivery(cell, target);
}

}  // namespace

// Column i by every path but the direct copy: stored text into a character
// buffer, then the conversion matrix. Apart, so that the direct copy keeps
// its few registers and needs no frame.
__attribute__((noinline)) int get_data_converted(Result* result, int i, int c_type, void* dst, int dst_size,
                                                 int* length) {
    const RhRow* row = result->current_row;
    if (row != nullptr && c_type == KVC_C_CHAR) {
        const unsigned marks = *row_status_byte(row, i) >> (2 * (static_cast<unsigned>(i) % 4)) & 3u;
        if (marks == row_ptr_mask(0) && in_mask(kVerbatimTextTypes, result->columns[i].server_type))
            return deliver_stored_text(row, result->columns, i, dst, dst_size, length);
    }
    return convert_column(result, i, c_type, dst, dst_size, length);
}

int result_get_data(Result* result, int col, int c_type, void* dst, int dst_size, int* length) {
    const unsigned i = static_cast<unsigned>(col) - 1;   // column 0 and negative ones wrap past the count
    if (i >= static_cast<unsigned>(result->column_count)) return KVC_BAD_COLUMN;
    const RhRow* row = result->current_row;
    if (row != nullptr && static_cast<unsigned>(c_type) < kCTypeCount) {
        const FieldInfo& field = result->columns[i];
        // The column's null and pointer bits together: 0 for a value in its slot.
        const unsigned marks = *row_status_byte(row, static_cast<int>(i)) >> (2 * (i % 4)) & 3u;
        // The common case, a fixed-width value its C type takes as it is, is
        // copied straight from the slot: what the matrix would deliver too.
        if (marks == 0 && (field.direct_c_types >> c_type & 1) != 0) {
            const int width = field.direct_width;
            const unsigned char* slot = row + field.data_offset;
            // Constant sizes, so that each copy is a single move rather than a call.
            if (width == 8) memcpy(dst, slot, 8);
            else if (width == 4) memcpy(dst, slot, 4);
            else memcpy(dst, slot, static_cast<size_t>(width));
            if (length != nullptr) *length = width;
            return 0;
        }
    }
    return get_data_converted(result, static_cast<int>(i), c_type, dst, dst_size, length);
}

int KVGetData(void** handle, int col, int c_type, void* dst, int dst_size, int* length) {
    if (dst == nullptr || handle == nullptr || *handle == nullptr) return KVC_BAD_HANDLE;
    return result_get_data(static_cast<Result*>(*handle), col, c_type, dst, dst_size, length);
}

// Digits of x rounded to an integer, sign aside, as "%.0lf" shows them (both
// round half to even); 16 stands for "more than 15". Counting them directly
// spares a formatting pass per value.
int rounded_integer_digits(double x) {
    if (!std::isfinite(x)) return 3;   // "inf" / "nan": every format shows them alike
    const double rounded = std::fabs(std::nearbyint(x));
    int digits = 1;
    for (double limit = 10; digits < 16 && rounded >= limit; limit *= 10) ++digits;
    return digits;
}

// Sixteen significant digits in all: the decimals are what the integer part,
// rounded, leaves over.
int db2str(char* text, double x) {
    const int digits = rounded_integer_digits(x);
    int n = digits <= 15 ? snprintf(text, VALUE_TEXT_MAX, "%.*lf", 16 - digits, x)
                         : snprintf(text, VALUE_TEXT_MAX, "%lf", x);
    if (n < 0) return 0;
    return n < VALUE_TEXT_MAX ? n : VALUE_TEXT_MAX - 1;
}

int single_value_text(int server_type, const void* value, int length, char* work) {
    const Cell cell = {server_type, static_cast<const unsigned char*>(value), length, nullptr};
    switch (server_type) {
    case KVC_SQL_BOOL: return format_text(work, "%c", static_cast<char>(cell.bytes[0]));
    case KVC_SQL_DOUBLE: return format_text(work, "%.16g", load<double>(cell.bytes));
    case KVC_SQL_TIME_TZ:
    case KVC_SQL_DATETIME_TZ: return -1;
    default: return value_text(cell, work);
    }
}
