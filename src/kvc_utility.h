// Type codes, row bits and slots, the result memory pool, the single-value
// text and large-object storage with its descriptor fetch.
#pragma once

#include "kvc_records.h"

#include <cstdint>
#include <cstring>

// Server type codes are the header's KVC_SQL_* names, with the two kinds it
// does not name: variable-length values shown unchanged as text. The tables
// indexed by server type cover codes 0 to 45; any other code is
// variable-length text.
constexpr int ST_VERBATIM = 29;
constexpr int ST_VERBATIM_2 = 45;
constexpr int kServerTypeCount = 46;

int getTypeLen(int server_type);
int getSQLCType(int server_type);
int getDBTYPE(int c_type);
int getDbTypeLen(int c_type);
int need_copy_v(int c_type);

Result_Mem* RS_mem_init();
// n + 1 bytes; inline for the common case of a piece cut from the tail chunk
// (every row and every variable-length value of a result comes from here).
inline void* RS_malloc_from_tail(Result_Mem_chunk* tail, int n) {
    unsigned char* piece = tail->buffer + tail->used;
    tail->used += n + 1;
    tail->remaining -= n + 1;
    return piece;
}
void* RS_malloc_beyond_tail(Result_Mem* pool, int n);   // a new chunk or a dedicated buffer
inline void* RS_malloc(Result_Mem* pool, int n) {
    if (pool != nullptr && pool->tail != nullptr && n >= 0 && n < pool->tail->remaining)
        return RS_malloc_from_tail(pool->tail, n);
    return RS_malloc_beyond_tail(pool, n);
}
void mem_raise(int size);
void RS_destroy(Result_Mem* pool);

// Row layout: status bits, then one slot per column packed in column order
// without alignment (every access is a byte copy). Status bits: two per
// column, four columns per byte (null bit 1 << 2k, pointer bit 2 << 2k); the
// bit after the last column's two tells a row that carries a row tag.
// Inline: reception and conversion test them per field. Column numbers are
// never negative: unsigned arithmetic spares the sign fix-ups.
inline int row_status_bytes(int column_count) { return column_count / 4 + 1; }
inline unsigned char* row_status_byte(RhRow* row, int i) { return row + static_cast<unsigned>(i) / 4; }
inline const unsigned char* row_status_byte(const RhRow* row, int i) { return row + static_cast<unsigned>(i) / 4; }
inline unsigned char row_null_mask(int i) { return static_cast<unsigned char>(1u << (2 * (static_cast<unsigned>(i) % 4))); }
inline unsigned char row_ptr_mask(int i) { return static_cast<unsigned char>(2u << (2 * (static_cast<unsigned>(i) % 4))); }

inline bool isNull(const RhRow* row, int i) { return (*row_status_byte(row, i) & row_null_mask(i)) != 0; }
inline void setNull(RhRow* row, int i) { *row_status_byte(row, i) |= row_null_mask(i); }
inline void clrNull(RhRow* row, int i) { *row_status_byte(row, i) &= static_cast<unsigned char>(~row_null_mask(i)); }
inline void setPtr(RhRow* row, int i) { *row_status_byte(row, i) |= row_ptr_mask(i); }
inline bool isPtr(const RhRow* row, int i) { return (*row_status_byte(row, i) & row_ptr_mask(i)) != 0; }
// The tag mark sits where the null bit of a column after the last would.
inline bool row_is_tagged(const RhRow* row, int column_count) { return isNull(row, column_count); }

// Slot widths: a fixed-width value takes getTypeLen bytes; a variable-length
// one is held by address, its slot the 32-bit length at bytes 0-3 and the
// address at bytes 4-11.
constexpr int kValueSlotWidth = 12;
inline int row_slot_width(int server_type) {
    const int width = getTypeLen(server_type);
    return width == 16 ? kValueSlotWidth : width;
}
inline unsigned char* row_slot(RhRow* row, const FieldInfo* fields, int i) { return row + fields[i].data_offset; }
inline const unsigned char* row_slot(const RhRow* row, const FieldInfo* fields, int i) {
    return row + fields[i].data_offset;
}
// Setters: the value into the column's slot, and the column no longer null.
template <typename T>
inline void row_store_slot(RhRow* row, const FieldInfo* fields, int i, T v) {
    memcpy(row_slot(row, fields, i), &v, sizeof v);
    clrNull(row, i);
}
inline void setDataBool(RhRow* row, const FieldInfo* fields, int i, char v) { row_store_slot(row, fields, i, v); }
inline void setDataI1(RhRow* row, const FieldInfo* fields, int i, int8_t v) { row_store_slot(row, fields, i, v); }
inline void setDataI2(RhRow* row, const FieldInfo* fields, int i, int16_t v) { row_store_slot(row, fields, i, v); }
inline void setDataI4(RhRow* row, const FieldInfo* fields, int i, int32_t v) { row_store_slot(row, fields, i, v); }
inline void setDataI8(RhRow* row, const FieldInfo* fields, int i, int64_t v) { row_store_slot(row, fields, i, v); }
inline void setDataR4(RhRow* row, const FieldInfo* fields, int i, float v) { row_store_slot(row, fields, i, v); }
inline void setDataR8(RhRow* row, const FieldInfo* fields, int i, double v) { row_store_slot(row, fields, i, v); }
// A value held by address: its length, then the address, in its slot.
inline void store_held_value(unsigned char* slot, const void* address, int32_t length) {
    memcpy(slot, &length, sizeof length);
    memcpy(slot + 4, &address, sizeof address);
}
// (address, length) of a value held by address. The caller sets the pointer
// bit first.
inline void setDataBin(RhRow* row, const FieldInfo* fields, int i, const void* address, int32_t length) {
    store_held_value(row_slot(row, fields, i), address, length);
    clrNull(row, i);
}
// The bytes and length of a value held by address.
inline const unsigned char* row_held_value(const RhRow* row, const FieldInfo* fields, int i, int* length) {
    const unsigned char* slot = row_slot(row, fields, i);
    const unsigned char* address;
    memcpy(&address, slot + 4, sizeof address);
    memcpy(length, slot, sizeof *length);
    return address;
}
const void* getData(const RhRow* row, const FieldInfo* fields, int i, int* length);
// The status byte after a new row's full ones: its columns null and, for a
// tagged row, the tag mark. Full bytes are kAllNullStatus.
constexpr unsigned char kAllNullStatus = 0x55;   // the null bit of four columns
inline unsigned char new_row_last_status(int column_count, bool tagged) {
    const unsigned rest = static_cast<unsigned>(column_count) % 4;
    const unsigned tag_mark = tagged ? 1u << (2 * rest) : 0u;
    return static_cast<unsigned char>((kAllNullStatus & ((1u << (2 * rest)) - 1)) | tag_mark);
}
// A row that reads as all nulls; a tagged one has ROW_TAG_MAX zero bytes in
// front of it for the tag. Slots are left as they are: a null column's slot
// is never read.
// Inline: one is made per row received.
inline RhRow* createRow_inMemls(Result_Mem* pool, int row_size, int column_count, bool tagged = false) {
    // Rows need no terminator: the spare byte of the pool piece is the row's last.
    const int front = tagged ? ROW_TAG_MAX : 0;
    if (row_size < row_status_bytes(column_count)) return nullptr;
    unsigned char* piece = static_cast<unsigned char*>(RS_malloc(pool, front + row_size - 1));
    if (piece == nullptr) return nullptr;
    if (tagged) memset(piece, 0, ROW_TAG_MAX);
    RhRow* row = piece + front;
    // Every column starts null.
    const int full_bytes = column_count / 4;
    if (full_bytes <= 8 && row_size >= 8) {
        // One store: what lies past the status bytes is slot space, written later.
        const uint64_t all_null = 0x0101010101010101u * kAllNullStatus;
        memcpy(row, &all_null, sizeof all_null);
    } else {
        memset(row, kAllNullStatus, static_cast<size_t>(full_bytes));
    }
    row[full_bytes] = new_row_last_status(column_count, tagged);
    return row;
}
// The ROW_TAG_MAX tag bytes of a row that arrived with a row tag, else null.
const unsigned char* row_tag(const Result* result, const RhRow* row);

// The caller's value buffer of a single-value query holds at least this.
constexpr int kSingleValueArea = 64;
int Get_first_one(Result* result, char* out, int* flag);

// Large-object storage.
// Appends n bytes: 0, or -5 when a chunk could not be allocated (the LOB then
// keeps the bytes that fit, in order).
int lob_try_append(KolvaLob_* lob, const void* data, int64_t n);
void lob_release_content(KolvaLob_* lob);   // chunks, descriptor, error text
int KVGetCLobDesc(Conn_Attrs* conn, KolvaLob_* lob);
