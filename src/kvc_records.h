// Records shared by every part of the library. Each handed-out record starts
// with its 32-bit handle kind so that the exported functions can tell them
// apart through a plain void*.
#pragma once

#include "kvc.h"   // the handle kinds, statuses and type codes

#include <semaphore.h>
#include <netinet/in.h>
#include <cstdint>

struct TuringData;
struct ConnLink;

constexpr int KVC_SEND_BUF_SIZE = 8192;
// Replies are parsed straight from this buffer; its size is invisible to the
// server, which sees only when bytes are asked for. A large reply is read a
// quarter MiB per receive: each receive also sends the window update that
// lets the server go on, and four times fewer of them took a third off the
// time a large fetch spends receiving.
constexpr int KVC_RECV_CACHE_SIZE = 262144;

// Multi-address list: parsed from an "IPS=" item, or the caller-held working
// list of KVC_OpenConn_Ips. Each address lives in exactly one of the arrays.
struct Ips_Artrs {
    int32_t addr_count;
    int32_t current_index;
    char** addrs;
    char** failed_addrs;
    int32_t live_count;
    int32_t addr_slots;      // slots allocated in addrs
};

struct KVCSParam;
struct Result;
struct ReplyFeed;

struct Conn_Attrs {
    int32_t handle_kind;
    char database[128];
    char server_ip[32];
    uint16_t port;
    char user[64];
    char password[64];
    char char_set[64];
    char iso_level[64];
    char protocol_version[64];
    char current_schema[64];
    char keyword_filter[64];
    int32_t recv_timeout;
    int32_t lock_timeout;
    int32_t use_ssl;
    int32_t auto_commit_off;
    int32_t return_rowid;
    int32_t return_cursor_id_off;
    int32_t lob_ret_descriptor;
    char pushed_back_byte;
    int32_t sock_fd;
    sem_t conn_lock;
    in_addr_t server_addr;
    int32_t send_fill;
    unsigned char send_buf[KVC_SEND_BUF_SIZE];
    KVCSParam* bound_params;
    int32_t has_prepared;
    char prepared_name[20];
    int32_t prepare_seq;
    Result* current_result;
    char* error_text;
    char has_ips;
    Ips_Artrs* ips;
    char last_insert_id[32];
    int32_t function_return_type;
    int32_t srv_cursor_off;
    unsigned char recv_cache[KVC_RECV_CACHE_SIZE];
    int32_t recv_fill;
    int32_t recv_pos;
    uint32_t rsa_exponent[8];
    uint32_t rsa_modulus[8];
    TuringData* recv_cipher;
    TuringData* send_cipher;
    int32_t lock_ready;      // 1 once conn_lock is initialised (destroying it is then safe)
    int32_t reply_pauses;    // 1 while reading a procedure or single-value reply, in which
                             // the server waits for "." once after the first 200 rows
    int32_t stream_failed;   // 1 once the reply stream was lost: reads fail at once
    ReplyFeed* feed;         // replies from memory instead of the socket (tests, fuzzers)
    int32_t connect_timeout; // seconds a TCP connect may take; 0: the system's own limit
    ConnLink* link;          // shared with the results made here, or null until the first
};

// ---- result sets ---------------------------------------------------------

struct FieldInfo {
    char* table_name;        // points into the shared name buffer, or null
    char* column_name;
    char* alias;
    int32_t server_type;
    int32_t c_type;
    int32_t type_modifier;
    int32_t column_attribute;
    int32_t data_offset;     // from the start of the status area
    int32_t direct_width;    // slot bytes that direct_c_types copy as they lie
    char* name_buffer;       // the one allocation behind the three names
    // One bit per C type code that takes this column's value straight from
    // its slot; 0 (not worked out) leaves every read to the conversion rules.
    uint64_t direct_c_types;
};
// 64 bytes, so that reading a value finds its column with a shift.
static_assert(sizeof(FieldInfo) == 64, "a column record is 64 bytes");

// A row is a block of row_size bytes: status bits, then the column slots
// (kvc_utility.h). A row that arrived with a row tag has the tag's
// ROW_TAG_MAX bytes directly in front of it.
typedef unsigned char RhRow;

struct Result_Mem_chunk {
    Result_Mem_chunk* next;
    int32_t capacity;
    int32_t used;
    int32_t remaining;
    unsigned char* buffer;
};

struct Result_Mem {
    Result_Mem_chunk* head;
    Result_Mem_chunk* tail;
};

constexpr int RESULT_POOL_CHUNK = 65536;
constexpr int ROW_TAG_MAX = 20;
constexpr int ROW_INDEX_ENTRIES = 1024;
constexpr int ROW_INDEX_MAX_BLOCKS = 256;

// An index position remembered between calls, so that walking forward costs
// no lookup: the entry of row pos, valid while pos < end (the end of its
// block). A zeroed walk remembers nothing.
struct RowIndexWalk {
    RhRow** entry;
    int64_t pos;
    int64_t end;
};

struct Result {
    int32_t handle_kind;
    int32_t column_count;
    FieldInfo* columns;
    int32_t row_size;
    int32_t read_pos;
    int64_t row_capacity;
    void** row_index;        // entry 0: uint16_t block counter; entries 1..256: RhRow** blocks
    int64_t row_count;
    RhRow* current_row;
    RowIndexWalk reading;    // where the cursor's next row sits in the index
    RowIndexWalk appending;  // where the next appended row goes
    char* error_text;
    ConnLink* conn_link;     // the connection it came from, while that is open (kvc_inner.h)
    int32_t lob_descriptors; // the connection sent large objects as descriptors
    Result* next_result;
    Result_Mem* pool;
    int32_t result_kind;     // 1 insert id, 2 update count, 3 delete count, 4 rows
    int32_t affected_rows;
    char insert_id[32];
};

enum ResultKind : int32_t {
    RESULT_INSERT_ID = 1,
    RESULT_UPDATE_COUNT = 2,
    RESULT_DELETE_COUNT = 3,
    RESULT_ROWS = 4,
};

// ---- parameters ----------------------------------------------------------

enum ParamDirection : int32_t {
    PARAM_INPUT = 1,
    PARAM_OUTPUT = 2,
    PARAM_INPUT_OUTPUT = 3,
    PARAM_RETURN_VALUE = 6,
};

enum ParamOrigin : int32_t {
    PARAMS_IMPLICIT = 0,
    PARAMS_CALLER = 1,
    PARAMS_PREPARED = 2,
};

// A large block a parameter set keeps from one batch for the next (see
// kvc_params.cpp): lent while a binding or the encoder holds it.
struct KeptBlock {
    void* memory;
    int64_t capacity;
    int32_t lent;
};
constexpr int PARAM_KEPT_BLOCKS = 12;

struct KVCSParam {
    int32_t handle_kind;
    int32_t param_count;
    int32_t slot_capacity;
    int32_t array_size;
    void*** row_values;      // [row][slot] value pointers; array bindings fill row 0 only,
                             // each slot's first element (the rows follow it in its block)
    int32_t* c_types;
    int32_t* buffer_lengths;
    int32_t** length_ptrs;
    char** names;
    int32_t* positions;
    int32_t* directions;
    char* error_text;
    int32_t owns_input_copies;
    int32_t origin;
    int32_t row_count_allocated;   // rows allocated in row_values
    void** owned_blocks;           // per slot: value block copied by array binding, or null
    Conn_Attrs* bound_conn;        // the connection whose bound_params this set is, or null
    KeptBlock kept_blocks[PARAM_KEPT_BLOCKS];
};

// ---- large objects -------------------------------------------------------

constexpr int64_t LOB_CHUNK_SIZE = 1048576;

struct lob_chunk {
    int32_t chunk_index;
    unsigned char* chunk_data;
    lob_chunk* chunk_next;
};

struct KolvaLob_ {
    int32_t handle_kind;
    int32_t chunk_count;
    int32_t lob_state;       // 0 empty, 1 data put, 2 complete
    int64_t total_length;
    int64_t read_offset;
    lob_chunk* current_chunk;
    lob_chunk* first_chunk;
    char* descriptor;
    char* error_text;
};

// ---- calendar --------------------------------------------------------------

struct tarDATE_STRUCT {
    int32_t year, month, day;
};
struct TIME_STRUCT {
    int32_t hour, minute, second, millisecond;
};
struct DATETIME_STRUCT {
    int32_t year, month, day, hour, minute, second, millisecond;
};
