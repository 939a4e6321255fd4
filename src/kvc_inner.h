// Internal services shared by every area: allocation and bounded strings,
// error texts, the connection lock, the framed transport, the connection
// string, the session-encryption glue, calendar arithmetic, error items and
// connection attributes.
#pragma once

#include "kvc_records.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

// ---- allocation, bounded strings, error texts -------------------------------

// Every allocation of the library goes through these, so that a test can
// make any one of them fail (kvc_fail_allocation). Blocks are released with free.
void* kvc_malloc(size_t size);
void* kvc_calloc(size_t count, size_t size);
void* kvc_realloc(void* block, size_t size);
// kvc_calloc for a large block that is filled from its start at once: its
// pages are made resident in one call rather than by a fault each.
void* kvc_calloc_populated(size_t count, size_t size);
void* kvc_malloc_populated(size_t size);   // resident, contents unspecified
void kvc_populate(void* block, size_t bytes);
// Pages straight from the kernel, aligned to their size (a power of two);
// released with kvc_unmap_aligned, not free.
void* kvc_map_aligned(size_t size);
void kvc_unmap_aligned(void* block, size_t size);
// Address space for blocks made resident one after another (kvc_populate):
// aligned and advised to be backed by huge pages, which clear several times
// faster than small ones; nothing is committed until populated. Released
// whole with kvc_release_span and the same size.
void* kvc_reserve_span(size_t size);
void kvc_release_span(void* block, size_t size);
char* kvc_strdup(const char* text);
char* kvc_strndup(const char* text, size_t max_length);
void* hr_malloc0(size_t size);
// Makes the n-th allocation from now fail (0: none). For tests.
void kvc_fail_allocation(long n);
// True while a failure set by kvc_fail_allocation has not happened yet.
bool kvc_allocation_failure_pending();
int kv_strcpy_s(char* dst, size_t size, const char* src);
int kv_strcat_s(char* dst, size_t size, const char* src);

// Replace *slot with a heap copy of text (freeing the old one). A failed copy
// leaves *slot null rather than stale.
void kvc_set_text(char** slot, const char* text);
// Same, formatted; the text is allocated at the size its content needs.
void kvc_set_textf(char** slot, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Append text to *slot (used for warnings that arrive between rows). 0, or
// -5 when it could not be kept (*slot then holds what it held).
int kvc_append_text(char** slot, const char* text);

// ---- the per-connection lock --------------------------------------------------

void conn_lock_init(Conn_Attrs* conn);
void conn_lock_destroy(Conn_Attrs* conn);
void conn_lock_take(Conn_Attrs* conn);
void conn_lock_release(Conn_Attrs* conn);

// Holds the connection lock for a scope, so that every path out releases it.
class ConnLockGuard {
public:
    explicit ConnLockGuard(Conn_Attrs* conn) : conn_(conn) { conn_lock_take(conn_); }
    ~ConnLockGuard() { conn_lock_release(conn_); }
    ConnLockGuard(const ConnLockGuard&) = delete;
    ConnLockGuard& operator=(const ConnLockGuard&) = delete;

private:
    Conn_Attrs* conn_;
};

// ---- the tie from results to their connection -------------------------------

// Results belong to the caller and may outlive their connection (and move to
// other threads), so they reach it only through a shared link that the close
// empties. The count is atomic: results of one connection may be released on
// different threads.
// A new hold on the connection's link (made on first use); null when none can
// be made, which reads as a closed connection.
ConnLink* conn_link_share(Conn_Attrs* conn);
void conn_link_drop(ConnLink* link);
// The connection behind a link, or null once it has been closed.
Conn_Attrs* conn_link_target(const ConnLink* link);
// At close: every result still holding the link sees the connection gone.
void conn_link_sever(Conn_Attrs* conn);

// ---- framed transport -----------------------------------------------------------

extern unsigned char g_little_tail;   // 1: host is little-endian, values are byte-swapped

// Sends every byte of data on fd, following up short counts so the stream
// stays whole. False on failure, and for descriptor 0 or below (never a
// socket of ours). MSG_NOSIGNAL: a peer that went away must not kill the
// host process with SIGPIPE.
bool send_whole(int fd, const void* data, size_t len);

int rh_send(Conn_Attrs* conn, const void* data, int len);
int rh_flush(Conn_Attrs* conn);
int rh_send_char(Conn_Attrs* conn, char c);
int rh_send_int16(Conn_Attrs* conn, int16_t v);
int rh_send_int32(Conn_Attrs* conn, int32_t v);
int rh_send_int64(Conn_Attrs* conn, int64_t v);

void rh_put_cache(unsigned char* buf, int* pos, const void* data, int len);
void rh_put_cache_char(unsigned char* buf, int* pos, char c);
void rh_put_cache_int16(unsigned char* buf, int* pos, int16_t v);
void rh_put_cache_int32(unsigned char* buf, int* pos, int32_t v);
void rh_put_cache_int64(unsigned char* buf, int* pos, int64_t v);

int kv_cache_recv(Conn_Attrs* conn, void* buf, int len);

// ---- reply bytes ------------------------------------------------------------------
// Every reader takes the reply from one buffered source: the connection's
// socket (deciphered once, in arrival order, on an encrypted connection) or,
// for tests and fuzzers, a memory feed. Fields are parsed straight from the
// buffer: a reader asks once for the bytes of a group of fields and then
// loads them without further checks.

// A reply held in memory, handed out in fragments: each fragment is
// cuts[k] + 1 bytes long, k cycling through the cuts (none: all at once).
struct ReplyFeed {
    const unsigned char* data;
    size_t size;
    size_t pos;
    const unsigned char* cuts;
    size_t cut_count;
    size_t next_cut;
};

// Refills the buffer until n bytes (at most KVC_RECV_CACHE_SIZE) are readable
// at the returned address; nothing is consumed. Null when the stream ended or
// failed: the connection is then failed.
const unsigned char* rh_window_fill(Conn_Attrs* conn, int n);
inline const unsigned char* rh_window(Conn_Attrs* conn, int n) {
    if (conn->recv_fill - conn->recv_pos >= n && conn->pushed_back_byte == 0)
        return conn->recv_cache + conn->recv_pos;
    return rh_window_fill(conn, n);
}
inline int rh_buffered(const Conn_Attrs* conn) {
    return conn->pushed_back_byte == 0 ? conn->recv_fill - conn->recv_pos : 0;
}
inline void rh_advance(Conn_Attrs* conn, int n) { conn->recv_pos += n; }
// Reads count bytes into dst, or drops them when dst is null. 1, or 0 when
// the stream broke (the connection is then failed).
int rh_take(Conn_Attrs* conn, void* dst, int64_t count);
// Reads a text of the given length into a new zero-terminated heap text.
// 0; -4 broken (or a negative length: the connection is failed); -5 no
// memory, the text read past so the stream stays in step. *out null on failure.
int rh_take_text(Conn_Attrs* conn, int64_t length, char** out);

// A value's bytes reversed when the host stores integers least significant
// byte first: host order to wire order (big-endian) and back. The host's
// order is known when compiling; every connect sets g_little_tail to the same
// answer, so testing the flag per value would only cost a load and a branch.
constexpr bool kHostLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
template <typename T>
inline T wire_order(T value) {
    static_assert(sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8, "wire width");
    if (sizeof(T) == 1 || !kHostLittleEndian) return value;
    if (sizeof(T) == 2) {
        uint16_t bits;
        memcpy(&bits, &value, 2);
        bits = __builtin_bswap16(bits);
        memcpy(&value, &bits, 2);
    } else if (sizeof(T) == 4) {
        uint32_t bits;
        memcpy(&bits, &value, 4);
        bits = __builtin_bswap32(bits);
        memcpy(&value, &bits, 4);
    } else {
        uint64_t bits;
        memcpy(&bits, &value, 8);
        bits = __builtin_bswap64(bits);
        memcpy(&value, &bits, 8);
    }
    return value;
}

// A value as it lies on the wire, in host form.
template <typename T>
inline T wire_load(const unsigned char* at) {
    T value;
    memcpy(&value, at, sizeof(T));
    return wire_order(value);
}

// A value's bytes without a call for the short ones, the common case: two
// overlapping moves cover every length from 4 to 16 without reading or
// writing outside the value.
inline void copy_value_bytes(unsigned char* to, const unsigned char* from, int32_t n) {
    if (n >= 8 && n <= 16) {
        memcpy(to, from, 8);
        memcpy(to + n - 8, from + n - 8, 8);
    } else if (n >= 4 && n < 8) {
        memcpy(to, from, 4);
        memcpy(to + n - 4, from + n - 4, 4);
    } else {
        memcpy(to, from, static_cast<size_t>(n));
    }
}

// n zero bytes without a call for a usual text buffer (16 to 64 bytes): two
// overlapping stores of a zero block cover the whole range.
inline void clear_bytes(unsigned char* to, size_t n) {
    static constexpr unsigned char kZeros[32] = {};
    if (n >= 32 && n <= 64) {
        memcpy(to, kZeros, 32);
        memcpy(to + n - 32, kZeros, 32);
    } else if (n >= 16 && n < 32) {
        memcpy(to, kZeros, 16);
        memcpy(to + n - 16, kZeros, 16);
    } else {
        memset(to, 0, n);
    }
}

// A value put on the wire at `at`.
template <typename T>
inline void wire_store(unsigned char* at, T value) {
    value = wire_order(value);
    memcpy(at, &value, sizeof(T));
}

int rh_recv(Conn_Attrs* conn, void* buf, int len);            // 1 all read, 0 failure
int rh_recv_char(Conn_Attrs* conn, char* out);
int rh_recv_int16(Conn_Attrs* conn, int16_t* out);
int rh_recv_int32(Conn_Attrs* conn, int32_t* out);
int rh_recv_int64(Conn_Attrs* conn, int64_t* out);
int rh_recv_r4(Conn_Attrs* conn, float* out);
int rh_recv_r8(Conn_Attrs* conn, double* out);
// Reads an int32 length and that many bytes into a new zero-terminated text.
// 0; -4 read failure or a negative length; -5 no memory (the text is read
// past). *out is null on failure.
int rh_recv_str(Conn_Attrs* conn, char** out);
// Reads and drops len bytes (a body the caller has no room for). 1 / 0.
int rh_recv_skip(Conn_Attrs* conn, int64_t len);
// The stream is out of step with the server (a read failed part-way, or the
// reply announced what cannot be followed): the socket is shut down and what
// the buffer holds dropped, so that this and every later request report -4
// at once instead of misreading what follows. Returns -4.
int rh_fail_stream(Conn_Attrs* conn);
// Hands one byte just read back to the next read.
void rh_push_back(Conn_Attrs* conn, char tag);

// Host <-> wire byte order helpers for values already in memory.
uint16_t kvc_wire16(uint16_t v);
uint32_t kvc_wire32(uint32_t v);
uint64_t kvc_wire64(uint64_t v);

// ---- connection string ---------------------------------------------------------

int Phrase_conn_str(const char* text, Conn_Attrs* conn);
int Set_Item_value(const char* item, char* key_out, char* value_out);
int Set_IPS_value(Ips_Artrs* ips, int initial_slots, const char* item);
void free_ips_list(Ips_Artrs* ips);   // every address string, both arrays, the record

// ---- session encryption glue ------------------------------------------------------

// A 256-bit number from its 32 little-endian bytes, as the server sends its
// key and as the session key is enciphered.
void load_le_digits(uint32_t digits[8], const unsigned char bytes[32]);
void rsa_encrypt(Conn_Attrs* conn, unsigned char* buffer, int length);
// 0, or -5 when a keystream state cannot be allocated (the login then fails).
int init_turing_key(Conn_Attrs* conn, const unsigned char* key, int length);
void release_turing_keys(Conn_Attrs* conn);
void encrypt_buff(Conn_Attrs* conn, unsigned char* buffer, int length);
void decrypt_buff(Conn_Attrs* conn, unsigned char* buffer, int length);

// ---- calendar ------------------------------------------------------------------------

void d2dm(int32_t days, tarDATE_STRUCT* date);
void dt2dtm(int64_t ms, DATETIME_STRUCT* datetime);
void t2tm(int32_t ms, TIME_STRUCT* time);

// ---- error items -----------------------------------------------------------------------

struct ErrorItem {
    int32_t message_length;
    char code[7];
    char message[257];
    int32_t full_length;
    char* full_text;
};
ErrorItem* getErrorItem(const char* text);   // null for a null text
void free_error_item(ErrorItem* item);
int GetConError(Conn_Attrs* conn, char* buf, int* len);
int GetResError(Result* result, char* buf, int* len);
int GetLobError(KolvaLob_* lob, char* buf, int* len);

// ---- connection attributes -----------------------------------------------------------

int get_conn_attrs(Conn_Attrs* conn, int id, void* value, int buffer_length, int* type_out,
                   int* length_out);
// Result attributes 61..66 (EC0105 in the result's text for any other id).
int get_result_attrs(Result* result, int id, void* value, int buffer_length, int* type_out,
                     int* length_out);
int set_conn_attrs(Conn_Attrs* conn, int id, void* value, int length);
