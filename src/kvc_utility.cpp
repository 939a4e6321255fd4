// Type codes, row bits and slots, the result memory pool, the single-value
// text and large-object storage with its descriptor fetch.
#include "kvc_utility.h"

#include "kvc.h"
#include "kvc_command.h"
#include "kvc_inner.h"
#include "kvc_rowset.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/mman.h>

// =============================================================================
// Type codes and statement classes
// =============================================================================


namespace {

// Per server type: its slot width in a stored row and the C type that reports
// a column of it. Codes not listed are 16 / 2.
struct ServerTypeRow {
    int8_t slot_width;
    int8_t c_type;
};

constexpr ServerTypeRow kServerTypes[kServerTypeCount] = {
    {16, 2},                                         // 0
    {16, 2},  {1, 1},   {1, 3},   {2, 4},   {4, 5},  // 1..5
    {8, 6},   {16, 9},  {4, 7},   {8, 8},   {4, 10}, // 6..10
    {4, 11},  {16, 12}, {8, 23},  {16, 14}, {4, 21}, // 11..15
    {4, 28},  {4, 21},  {4, 21},  {4, 21},  {4, 21}, // 16..20
    {4, 21},  {4, 21},  {4, 21},  {8, 31},  {8, 21}, // 21..25
    {8, 21},  {8, 21},  {16, 2},  {16, 69}, {16, 2}, // 26..30
    {16, 2},  {16, 41}, {16, 15}, {16, 42}, {16, 2}, // 31..35
    {16, 2},  {16, 2},  {16, 2},  {16, 2},  {16, 2}, // 36..40
    {16, 2},  {16, 2},  {16, 2},  {16, 2},  {16, 2}, // 41..45
};

constexpr int kCTypeCount = 64;   // codes 0..63; anything else is 30 / -1 / 0

// Per C type: the server type announced for a parameter of it, the bytes per
// element that array binding reserves and whether such arrays are copied.
struct CTypeRow {
    int8_t sent_as;
    int8_t element_width;
    int8_t copied;
};

constexpr CTypeRow kDefaultCType = {30, -1, 0};

constexpr CTypeRow c_type_row(int c_type) {
    switch (c_type) {
    case 1: return {3, 1, 1};
    case 3: return {3, 1, 1};
    case 4: return {4, 2, 1};
    case 5: return {5, 4, 1};
    case 6: return {6, 8, 1};
    case 7: return {8, 4, 1};
    case 8: return {9, 8, 1};
    case 9: return {30, 41, 1};
    case 15: return {33, -1, 0};
    case 23: return {13, 8, 1};
    case 63: return {30, 1, 1};
    default: return kDefaultCType;
    }
}

// Built at compile time from the rows above, so lookups are one index.
struct CTypeTable {
    CTypeRow rows[kCTypeCount];
    constexpr CTypeTable() : rows() {
        for (int i = 0; i < kCTypeCount; ++i) rows[i] = c_type_row(i);
    }
};
constexpr CTypeTable kCTypes;

const CTypeRow& c_type_info(int c_type) {
    return (c_type >= 0 && c_type < kCTypeCount) ? kCTypes.rows[c_type] : kDefaultCType;
}

// Statement classes by the first word, compared case-insensitively in order.
struct StatementWord {
    const char* word;
    int statement_class;
};
constexpr StatementWord kStatementWords[] = {
    {"INSERT", 1}, {"MERGE ", 1}, {"REPLAC", 1}, {"UPDATE", 2},
    {"DELETE", 3}, {"CREATE", 5}, {"ALTER ", 6},
};
constexpr int kClassSingleSelect = 4;
constexpr int kClassOther = 9;
constexpr int kClassExec = 10;
constexpr size_t kWordLength = 6;

// Case-insensitive comparison of the first n characters, stopping at the end of
// the text (a shorter text never matches).
bool starts_with_nocase(const char* text, const char* word, size_t n) {
    return strncasecmp(text, word, n) == 0 && strnlen(text, n) == n;
}

}  // namespace

int getTypeLen(int server_type) {
    if (server_type < 0 || server_type >= kServerTypeCount) return 16;
    return kServerTypes[server_type].slot_width;
}

int getSQLCType(int server_type) {
    if (server_type < 0 || server_type >= kServerTypeCount) return 2;
    return kServerTypes[server_type].c_type;
}

int getDBTYPE(int c_type) { return c_type_info(c_type).sent_as; }

int getDbTypeLen(int c_type) { return c_type_info(c_type).element_width; }

int need_copy_v(int c_type) { return c_type_info(c_type).copied; }

extern "C" KVC_API int fun_sql_type(const char* sql) {
    if (sql == nullptr) return kClassOther;
    const char* start = sql;
    while (*start == ' ' || *start == '\n' || *start == '\r') ++start;   // tabs are not skipped

    // The word is the next six characters, or fewer at the end of the text;
    // it must equal a keyword as a whole.
    const size_t word_length = strnlen(start, kWordLength);
    if (word_length == kWordLength && strncasecmp(start, "SELECT", kWordLength) == 0) {
        // More than one statement when five or more characters follow the first ";".
        const char* semicolon = strchr(sql, ';');
        if (semicolon != nullptr && strnlen(semicolon, 6) == 6) return kClassOther;
        return kClassSingleSelect;
    }
    if (word_length == kWordLength) {
        for (const StatementWord& entry : kStatementWords)
            if (strncasecmp(start, entry.word, kWordLength) == 0) return entry.statement_class;
    }
    if (starts_with_nocase(start, "EXEC ", 5) || starts_with_nocase(start, "EXECUT", 6))
        return kClassExec;
    if (strncmp(start, "STC", 3) == 0) return kClassSingleSelect;
    return kClassOther;
}

// =============================================================================
// Result memory pool
// =============================================================================


// Chunk buffers are carved from slabs rather than allocated one by one: the
// first slab of a pool is a single chunk (a small result costs one ordinary
// allocation), later slabs are 2 MiB mapped straight from the kernel, aligned
// so that it can back each with one huge page instead of faulting in 512
// small ones, whatever the caller's malloc settings. A thread keeps a few
// freed slabs for its next result, whose rows then land on pages that are
// already there. Dedicated buffers for big values are separate allocations.
// The pool record a caller sees is the first member of a larger private
// record that tracks the slabs.
namespace {

constexpr size_t kSlabBytes = 2u << 20;
constexpr int kSpareSlabs = 8;   // 16 MiB kept per thread at most

struct PoolRecord {
    Result_Mem mem;                // first: a Result_Mem* is a PoolRecord*
    unsigned char* first_slab;     // one chunk, from the C allocator
    unsigned char** mapped;        // the 2 MiB slabs, in the order they were mapped
    int mapped_count;
    int mapped_capacity;
    unsigned char* carving;        // the slab chunks are being cut from
    int chunks_left;               // unused chunks in it
};

PoolRecord* pool_record(Result_Mem* pool) { return reinterpret_cast<PoolRecord*>(pool); }

// Freed slabs of this thread, unmapped when the thread ends.
struct SpareSlabs {
    unsigned char* memory[kSpareSlabs];
    int count = 0;
    ~SpareSlabs() {
        while (count > 0) kvc_unmap_aligned(memory[--count], kSlabBytes);
    }
};
thread_local SpareSlabs t_spare_slabs;

unsigned char* map_slab() {
    SpareSlabs& spare = t_spare_slabs;
    if (spare.count > 0) return spare.memory[--spare.count];
    void* memory = kvc_map_aligned(kSlabBytes);
    if (memory != nullptr) {
        madvise(memory, kSlabBytes, MADV_HUGEPAGE);
        // A slab is filled from its start; where no huge page is to be had,
        // this spares a fault per 4 KiB page.
        kvc_populate(memory, kSlabBytes);
    }
    return static_cast<unsigned char*>(memory);
}

void unmap_slab(unsigned char* memory) {
    SpareSlabs& spare = t_spare_slabs;
    if (spare.count < kSpareSlabs) spare.memory[spare.count++] = memory;
    else kvc_unmap_aligned(memory, kSlabBytes);
}

// The next slab to carve chunks from; false when memory is exhausted.
bool add_slab(PoolRecord* record) {
    if (record->first_slab == nullptr) {
        record->first_slab = static_cast<unsigned char*>(kvc_malloc(RESULT_POOL_CHUNK));
        if (record->first_slab == nullptr) return false;
        record->carving = record->first_slab;
        record->chunks_left = 1;
        return true;
    }
    if (record->mapped_count == record->mapped_capacity) {
        const int capacity = record->mapped_capacity == 0 ? 16 : 2 * record->mapped_capacity;
        void* grown = kvc_realloc(record->mapped, sizeof(unsigned char*) * static_cast<size_t>(capacity));
        if (grown == nullptr) return false;
        record->mapped = static_cast<unsigned char**>(grown);
        record->mapped_capacity = capacity;
    }
    unsigned char* slab = map_slab();
    if (slab == nullptr) return false;
    record->mapped[record->mapped_count++] = slab;
    record->carving = slab;
    record->chunks_left = static_cast<int>(kSlabBytes / RESULT_POOL_CHUNK);
    return true;
}

// A fresh 64 KiB chunk buffer, or null when memory is exhausted.
unsigned char* carve_chunk(PoolRecord* record) {
    if (record->chunks_left == 0 && !add_slab(record)) return nullptr;
    const size_t chunks = record->carving == record->first_slab ? 1 : kSlabBytes / RESULT_POOL_CHUNK;
    const size_t taken = chunks - static_cast<size_t>(record->chunks_left);
    --record->chunks_left;
    return record->carving + taken * RESULT_POOL_CHUNK;
}

// Whether a chunk buffer was cut from one of the pool's slabs (the others are
// dedicated buffers of their own). Mapped slabs are aligned to their size, so
// the slab start below a buffer is looked up in the sorted list of starts.
bool cut_from_slab(const PoolRecord* record, const unsigned char* buffer) {
    const unsigned char* first = record->first_slab;
    if (first != nullptr && buffer >= first && buffer < first + RESULT_POOL_CHUNK) return true;
    const uintptr_t start = reinterpret_cast<uintptr_t>(buffer) & ~(uintptr_t{kSlabBytes} - 1);
    return std::binary_search(record->mapped, record->mapped + record->mapped_count,
                              reinterpret_cast<unsigned char*>(start));
}

Result_Mem_chunk* new_chunk_record(unsigned char* buffer, int32_t capacity, int32_t used) {
    Result_Mem_chunk* chunk = static_cast<Result_Mem_chunk*>(kvc_malloc(sizeof(Result_Mem_chunk)));
    if (chunk == nullptr) return nullptr;
    chunk->next = nullptr;
    chunk->capacity = capacity;
    chunk->used = used;
    chunk->remaining = capacity - used;
    chunk->buffer = buffer;
    return chunk;
}

}  // namespace

Result_Mem* RS_mem_init() {
    PoolRecord* record = static_cast<PoolRecord*>(kvc_calloc(1, sizeof(PoolRecord)));
    if (record == nullptr) return nullptr;
    unsigned char* buffer = carve_chunk(record);
    Result_Mem_chunk* chunk = buffer != nullptr ? new_chunk_record(buffer, RESULT_POOL_CHUNK, 0) : nullptr;
    if (chunk == nullptr) {
        RS_destroy(&record->mem);
        mem_raise(RESULT_POOL_CHUNK);
        return nullptr;
    }
    record->mem.head = chunk;
    record->mem.tail = chunk;
    return &record->mem;
}

void* RS_malloc_beyond_tail(Result_Mem* pool, int n) {
    if (pool == nullptr || pool->tail == nullptr || n < 0) return nullptr;
    Result_Mem_chunk* tail = pool->tail;
    const int32_t remaining = tail->remaining;
    if (n < remaining) return RS_malloc_from_tail(tail, n);
    const int64_t reserved = static_cast<int64_t>(n) + 1;   // room for a terminating NUL
    if (reserved > INT32_MAX) {
        mem_raise(INT32_MAX);
        return nullptr;
    }
    const int32_t size = static_cast<int32_t>(reserved);
    const int32_t half_chunk = RESULT_POOL_CHUNK / 2;
    if (size > RESULT_POOL_CHUNK || (size > half_chunk && remaining > half_chunk)) {
        // A dedicated, exactly sized buffer. The tail's buffer moves to a new
        // record that becomes the tail, so small pieces go on being cut from it.
        unsigned char* dedicated = static_cast<unsigned char*>(kvc_calloc(1, static_cast<size_t>(size)));
        Result_Mem_chunk* moved =
            dedicated != nullptr ? new_chunk_record(tail->buffer, tail->capacity, tail->used) : nullptr;
        if (moved == nullptr) {
            free(dedicated);
            mem_raise(size);
            return nullptr;
        }
        moved->next = tail->next;
        tail->next = moved;
        tail->buffer = dedicated;
        tail->capacity = size;
        tail->used = size;
        tail->remaining = 0;
        pool->tail = moved;
        return dedicated;
    }
    // A fresh chunk; the free end of the old tail is abandoned.
    PoolRecord* record = pool_record(pool);
    const int saved_chunks_left = record->chunks_left;
    unsigned char* buffer = carve_chunk(record);
    Result_Mem_chunk* chunk = buffer != nullptr ? new_chunk_record(buffer, RESULT_POOL_CHUNK, size) : nullptr;
    if (chunk == nullptr) {
        if (buffer != nullptr) record->chunks_left = saved_chunks_left;   // hand the piece back
        mem_raise(RESULT_POOL_CHUNK);
        return nullptr;
    }
    tail->next = chunk;
    pool->tail = chunk;
    return buffer;
}

void mem_raise(int /*size*/) {}

void RS_destroy(Result_Mem* pool) {
    if (pool == nullptr) return;
    PoolRecord* record = pool_record(pool);
    std::sort(record->mapped, record->mapped + record->mapped_count);
    for (Result_Mem_chunk* chunk = pool->head; chunk != nullptr;) {
        Result_Mem_chunk* next = chunk->next;
        if (!cut_from_slab(record, chunk->buffer)) free(chunk->buffer);
        free(chunk);
        chunk = next;
    }
    free(record->first_slab);
    for (int i = 0; i < record->mapped_count; ++i) unmap_slab(record->mapped[i]);
    free(record->mapped);
    free(record);
}

// =============================================================================
// Row bits, setters and getter
// =============================================================================

const void* getData(const RhRow* row, const FieldInfo* fields, int i, int* length) {
    if (isNull(row, i)) return nullptr;
    if (isPtr(row, i)) {
        int stored_length = 0;
        const unsigned char* address = row_held_value(row, fields, i, &stored_length);
        if (length != nullptr) *length = stored_length;
        return address;
    }
    if (length != nullptr) *length = getTypeLen(fields[i].server_type);
    return row_slot(row, fields, i);
}

const unsigned char* row_tag(const Result* result, const RhRow* row) {
    return row_is_tagged(row, result->column_count) ? row - ROW_TAG_MAX : nullptr;
}

// =============================================================================
// Single-value text
// =============================================================================

namespace {

// Writes a length and the address of a heap copy that the receiver frees.
void hand_out_copy(char* out, const void* bytes, int32_t length, int* flag) {
    char* copy = static_cast<char*>(kvc_malloc(static_cast<size_t>(length) + 1));
    if (copy == nullptr) {
        memset(out, 0, 4);   // reads as an empty value rather than a dangling address
        return;
    }
    memcpy(copy, bytes, static_cast<size_t>(length));
    copy[length] = '\0';
    memcpy(out, &length, sizeof length);
    memcpy(out + 4, &copy, sizeof copy);
    *flag = 1;
}

}  // namespace

int Get_first_one(Result* result, char* out, int* flag) {
    int unused_flag = 0;
    if (flag == nullptr) flag = &unused_flag;
    *flag = 0;
    if (result == nullptr || out == nullptr) return 1;
    RhRow** slot = (result->read_pos >= 0 && result->read_pos < result->row_count)
                       ? nthR(result, result->read_pos)
                       : nullptr;
    result->current_row = slot != nullptr ? *slot : nullptr;
    if (result->current_row == nullptr || result->column_count < 1) {
        memset(out, 0, 4);
        return 1;
    }
    int length = 0;
    const void* value = getData(result->current_row, result->columns, 0, &length);
    if (value == nullptr) {
        memset(out, 0, 4);
        return 1;
    }
    const int server_type = result->columns[0].server_type;
    // Decimal text too long for the caller's area is handed out whole, as a
    // long character value is, rather than cut without a word.
    if (server_type == KVC_SQL_NUMERIC && length >= kSingleValueArea) {
        hand_out_copy(out, value, length, flag);
        return 1;
    }
    char work[VALUE_TEXT_MAX];
    int n = single_value_text(server_type, value, length, work);
    if (n >= 0) {
        memcpy(out, work, static_cast<size_t>(n < kSingleValueArea ? n : kSingleValueArea));
        return 1;
    }
    const bool short_text = server_type == 30 || server_type == 45;
    const bool long_value = server_type == 32 || server_type == 33 || server_type == 34;
    if (short_text && length < kSingleValueArea) {
        memcpy(out, value, static_cast<size_t>(length));
    } else if (short_text || long_value) {
        hand_out_copy(out, value, length, flag);
    }
    return 1;
}


// =============================================================================
// Large-object storage and descriptor fetch
// =============================================================================

// The descriptor fetch speaks the command protocol.

namespace {

// A column description never holds more columns than this; a larger count
// means the stream is not what it claims to be.
constexpr int32_t kMaxLobReplyColumns = 4000;

// Descriptor text: 13 characters name the object, the 14th is unused, the
// rest is the length limit handed back to the server as it stands.
constexpr size_t kLobIdLength = 13;
constexpr size_t kLobLimitStart = 14;

lob_chunk* new_lob_chunk(int32_t index) {
    lob_chunk* chunk = static_cast<lob_chunk*>(hr_malloc0(sizeof(lob_chunk)));
    if (chunk == nullptr) return nullptr;
    // A fresh calloc of this size is served from untouched zero pages: the
    // chunk is already clear and costs nothing until it is written.
    chunk->chunk_data = static_cast<unsigned char*>(kvc_calloc(1, static_cast<size_t>(LOB_CHUNK_SIZE)));
    if (chunk->chunk_data == nullptr) {
        free(chunk);
        return nullptr;
    }
    chunk->chunk_index = index;
    return chunk;
}

// The last chunk of the chain. Sending walks current_chunk along the chain and
// normally leaves it on the last one; a send cut short may not.
lob_chunk* last_lob_chunk(KolvaLob_* lob) {
    lob_chunk* chunk = lob->current_chunk != nullptr ? lob->current_chunk : lob->first_chunk;
    while (chunk != nullptr && chunk->chunk_next != nullptr) chunk = chunk->chunk_next;
    return chunk;
}

// Where the next appended byte goes, and how many bytes fit there before the
// chunk ends; a new chunk is linked when the last one is full. Null when that
// chunk cannot be allocated. Deciding by capacity rather than by the offset
// keeps a chunk made for bytes that never arrived in use for the next ones.
unsigned char* lob_tail_room(KolvaLob_* lob, int64_t* room) {
    lob_chunk* last = last_lob_chunk(lob);
    if (last == nullptr) {
        // No chunk, no bytes, whatever the counters say.
        lob->chunk_count = 0;
        lob->total_length = 0;
    }
    int64_t capacity = static_cast<int64_t>(lob->chunk_count) * LOB_CHUNK_SIZE;
    if (lob->total_length > capacity) return nullptr;   // counters out of step with the chain
    if (lob->total_length == capacity) {
        lob_chunk* chunk = new_lob_chunk(lob->chunk_count);
        if (chunk == nullptr) return nullptr;
        if (last == nullptr) {
            lob->first_chunk = chunk;
        } else {
            last->chunk_next = chunk;
        }
        last = chunk;
        ++lob->chunk_count;
        capacity += LOB_CHUNK_SIZE;
    }
    lob->current_chunk = last;
    *room = capacity - lob->total_length;
    return last->chunk_data + (LOB_CHUNK_SIZE - *room);
}

// Reads and discards the column description that precedes the content.
// 0, -3 when its room cannot be had, -4 broken (a column cut short leaves the
// stream at an unknown place: the connection is failed either way).
int skip_lob_columns(Conn_Attrs* conn) {
    int32_t count = 0;
    if (!rh_recv_int32(conn, &count)) return KVC_NET_ERROR;
    if (count < 0 || count > kMaxLobReplyColumns) return rh_fail_stream(conn);
    if (count == 0) return 0;
    FieldInfo* columns =
        static_cast<FieldInfo*>(hr_malloc0(sizeof(FieldInfo) * static_cast<size_t>(count)));
    if (columns == nullptr) {
        rh_fail_stream(conn);
        return -3;
    }
    int status = 0;
    int32_t used = 0;   // entries that may hold a name, a failed one included
    while (used < count && status == 0) {
        const int rc = recv_attr_des_item(conn, &columns[used++]);
        if (rc != 0) {
            rh_fail_stream(conn);
            status = rc == KVC_NO_MEMORY ? -3 : -4;
        }
    }
    free_fields_info(columns, used);
    return status;
}

// Reads content pieces up to the 0 marker straight into the LOB's chunks.
// A piece over 1 MiB is refused (-4), and after a refusal or a chunk that
// cannot be allocated (-3) the remaining pieces are read and dropped so that
// the reply stays in step. A broken stream gives -4 with the connection failed.
int recv_lob_pieces(Conn_Attrs* conn, KolvaLob_* lob) {
    int status = 0;
    for (;;) {
        int32_t marker = 0;
        if (!rh_recv_int32(conn, &marker)) return KVC_NET_ERROR;
        if (marker == 0) return status;
        int32_t length = 0;
        if (!rh_recv_int32(conn, &length)) return KVC_NET_ERROR;
        if (length < 0) return rh_fail_stream(conn);   // nothing can be skipped by a negative length
        if (length > LOB_CHUNK_SIZE && status == 0) status = KVC_NET_ERROR;
        int64_t left = length;
        while (left > 0) {
            int64_t room = 0;
            // Once a piece was refused nothing more is stored: a hole would
            // shift every byte after it.
            unsigned char* dst = status == 0 ? lob_tail_room(lob, &room) : nullptr;
            if (dst == nullptr) {
                if (status == 0) status = -3;
                if (!rh_recv_skip(conn, left)) return KVC_NET_ERROR;
                break;
            }
            int count = static_cast<int>(left < room ? left : room);
            if (!rh_take(conn, dst, count)) return KVC_NET_ERROR;
            lob->total_length += count;
            left -= count;
        }
    }
}

// The reply to "get lob": 'A', a column description, 'R', the pieces, then
// whatever the server sends up to 'K'. A refusal ('E' / 'F') keeps the
// server's text in the LOB and in the connection and gives -1.
class LobReplyReader : public ReplyReader {
public:
    LobReplyReader(Conn_Attrs* conn, KolvaLob_* lob) : ReplyReader(conn), lob_(lob) {}

private:
    bool takes(char tag) const override {
        return message_body(tag) == MessageBody::Rows || message_body(tag) == MessageBody::Text;
    }
    int take(char tag) override {
        if (message_body(tag) == MessageBody::Text) {
            if (tag != 'E' && tag != 'F') return skip_message_body(conn_, tag) == 0 ? kNext : KVC_NET_ERROR;
            const int next = take_server_text(tag, Shown::Nothing);
            if (next < 0) return next;
            if (conn_->error_text != nullptr) {
                kvc_set_text(&lob_->error_text, conn_->error_text);
                if (lob_->error_text == nullptr) out_of_memory();
            }
            status_ = KVC_ERROR;
            return kNext;
        }
        const int columns = skip_lob_columns(conn_);
        if (columns != 0) {
            failure_ = columns;
            return KVC_NET_ERROR;
        }
        const unsigned char* next = rh_window(conn_, 1);
        if (next == nullptr) return KVC_NET_ERROR;
        if (*next != 'R') return kNext;   // no content: the tag is the next message's
        rh_advance(conn_, 1);
        const int pieces = recv_lob_pieces(conn_, lob_);
        if (conn_->stream_failed) return KVC_NET_ERROR;
        if (pieces < 0 && status_ == 0) status_ = pieces;
        return kNext;
    }
    int finish(Ending) override { return or_out_of_memory(status_); }
    int fail(char, bool) override { return failure_; }

    KolvaLob_* lob_;
    int failure_ = KVC_NET_ERROR;
};

}  // namespace

int lob_try_append(KolvaLob_* lob, const void* data, int64_t n) {
    if (lob == nullptr || data == nullptr || n <= 0) return 0;
    const unsigned char* src = static_cast<const unsigned char*>(data);
    while (n > 0) {
        int64_t room = 0;
        unsigned char* dst = lob_tail_room(lob, &room);
        if (dst == nullptr) return KVC_NO_MEMORY;
        int64_t count = n < room ? n : room;
        memcpy(dst, src, static_cast<size_t>(count));
        lob->total_length += count;
        src += count;
        n -= count;
    }
    return 0;
}

void lob_release_content(KolvaLob_* lob) {
    if (lob == nullptr) return;
    lob_chunk* chunk = lob->first_chunk;
    while (chunk != nullptr) {
        lob_chunk* next = chunk->chunk_next;
        free(chunk->chunk_data);
        free(chunk);
        chunk = next;
    }
    free(lob->descriptor);
    free(lob->error_text);
    int32_t kind = lob->handle_kind;
    memset(lob, 0, sizeof *lob);
    lob->handle_kind = kind;
}

int KVGetCLobDesc(Conn_Attrs* conn, KolvaLob_* lob) {
    if (conn == nullptr || lob == nullptr || lob->descriptor == nullptr) return -3;
    const char* descriptor = lob->descriptor;
    // Without the length limit the command cannot be formed: nothing is sent.
    if (strlen(descriptor) <= kLobLimitStart) return -3;
    char* command = nullptr;
    kvc_set_textf(&command, "get lob '%.*s' offset 0 limit %s ", static_cast<int>(kLobIdLength),
                  descriptor, descriptor + kLobLimitStart);
    if (command == nullptr) return -3;

    ConnLockGuard lock(conn);
    sendCommand_n(conn, command, 0);
    rh_flush(conn);
    free(command);
    LobReplyReader reader(conn, lob);
    return reader.read_reply();
}

