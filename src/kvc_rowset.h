// Result reception, the row index and value conversion.
#pragma once

#include "kvc_records.h"

#include <cstdint>

int recv_Query_Rs(Conn_Attrs* conn, Result** result_out);
int recv_Query_Cursor(Conn_Attrs* conn, Result** result_out);
int recv_fields_info(Conn_Attrs* conn, Result* result);
// Works out which C types take a column's value straight from its slot
// (FieldInfo::direct_c_types), once its server type is known.
void plan_direct_copies(FieldInfo* field);
int recv_attr_des_item(Conn_Attrs* conn, FieldInfo* field);
int recv_record(Conn_Attrs* conn, Result* result, RhRow** row_out);
// Reads up to limit rows (no limit when negative) into the result and returns
// how many arrived. Once a row could not be stored (*rows_lost), or the index
// is full, later rows are read and dropped, so the reply stays in step; a
// broken stream ends the rows (the connection is then failed).
int receive_rows(Conn_Attrs* conn, Result* result, int limit, bool* rows_lost);
int recvRecords20000(Conn_Attrs* conn, Result* result);
int recvRecords200(Conn_Attrs* conn, Result* result);
int recvCursorRows(Conn_Attrs* conn, Result* result);
Result* new_result(Conn_Attrs* conn, int32_t result_kind);
// The index entry of row n when the walk already stands on it, the walk then
// standing on row n + 1; null when the entry must be looked up.
inline RhRow** walk_step(RowIndexWalk& walk, int64_t n) {
    if (n != walk.pos || n >= walk.end) return nullptr;
    RhRow** entry = walk.entry;
    walk.entry = entry + 1;
    walk.pos = n + 1;
    return entry;
}
// Makes the next row current: 0, 100 past the last (no row is current then),
// -1 not a result. Inline for the common case, the row just after the one the
// read walk stands behind; any other goes through the index.
int record_next_by_lookup(Result* result);
inline int record_next(Result* result) {
    if (result != nullptr && result->handle_kind == KVC_HANDLE_RESULT && result->read_pos < result->row_count) {
        if (RhRow** entry = walk_step(result->reading, result->read_pos)) {
            result->current_row = *entry;
            result->read_pos += 1;
            return 0;
        }
    }
    return record_next_by_lookup(result);
}
int free_Result(Result* result);
// Releases a result and every result chained after it.
void free_result_chain(Result* first);
int free_fields_info(FieldInfo* columns, int count);

int append_record(Result* result, RhRow* row);
RhRow** nthR(Result* result, int64_t n);
void release_row_index(Result* result);

int KVGetData(void** handle, int col, int c_type, void* dst, int dst_size, int* length);
// KVGetData on a result already taken from its handle; dst is not null.
int result_get_data(Result* result, int col, int c_type, void* dst, int dst_size, int* length);
int db2str(char* text, double x);

// Room for any text form of a stored value: a double in "%lf" takes up to 317
// characters, far more than the 64 bytes that most forms need.
constexpr int VALUE_TEXT_MAX = 384;
// db2str writes at most VALUE_TEXT_MAX bytes (terminator included) into text.

// The text form of a value as a single-value reply shows it (the character
// itself for a boolean, "%.16g" for a double, no form for the zoned types and
// for 29 / 45). Writes into work (VALUE_TEXT_MAX bytes); returns the length,
// or -1 when the type has no such form.
int single_value_text(int server_type, const void* value, int length, char* work);
