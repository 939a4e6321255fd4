// Internal services: allocation and texts, the connection lock, the framed
// transport, the connection string, session-encryption glue, calendar
// arithmetic, error items and connection attributes.
#include "kvc_inner.h"

#include "kvc_command.h"
#include "kvc_turing.h"
#include "mp/mp.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>
#include <sys/mman.h>
#include <sys/socket.h>

// =============================================================================
// Allocation, bounded strings and error texts
// =============================================================================

namespace {

// The allocation hook: a test can make the n-th allocation from now fail, to
// prove that every path survives running out of memory. 0: never.
std::atomic<long> g_alloc_fail_countdown{0};

bool allocation_refused() {
    if (g_alloc_fail_countdown.load(std::memory_order_relaxed) <= 0) return false;
    return g_alloc_fail_countdown.fetch_sub(1, std::memory_order_relaxed) == 1;
}

}  // namespace

void kvc_fail_allocation(long n) { g_alloc_fail_countdown.store(n < 0 ? 0 : n); }
bool kvc_allocation_failure_pending() { return g_alloc_fail_countdown.load() > 0; }

void* kvc_malloc(size_t size) { return allocation_refused() ? nullptr : malloc(size == 0 ? 1 : size); }
void* kvc_calloc(size_t count, size_t size) {
    return allocation_refused() ? nullptr : calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
}
void kvc_populate(void* block, size_t bytes) {
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif
    // One call makes every whole page of the block resident, where touching
    // them one by one would cost a fault each. Kernels without it refuse the
    // advice; the pages then come with the first touches as before.
    const uintptr_t page = 4096;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(block) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(page - 1);
    if (block != nullptr && end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
}
void* kvc_malloc_populated(size_t size) {
    void* block = kvc_malloc(size);
    kvc_populate(block, size);
    return block;
}
void* kvc_calloc_populated(size_t count, size_t size) {
    void* block = kvc_calloc(count, size);
    constexpr size_t kPopulateFrom = 256 * 1024;
    if (count * size >= kPopulateFrom) kvc_populate(block, count * size);
    return block;
}
void* kvc_realloc(void* block, size_t size) {
    return allocation_refused() ? nullptr : realloc(block, size == 0 ? 1 : size);
}
namespace {
constexpr size_t kHugePage = 2u << 20;

// bytes of fresh pages at a multiple of alignment (a power of two): a mapping
// larger by the alignment, trimmed at both ends.
void* map_at_alignment(size_t bytes, size_t alignment, int extra_flags) {
    const size_t span = bytes + alignment;
    void* mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | extra_flags, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t aligned = (start + alignment - 1) & ~(uintptr_t{alignment} - 1);
    if (aligned > start) munmap(mapped, aligned - start);
    const uintptr_t end = aligned + bytes;
    if (start + span > end) munmap(reinterpret_cast<void*>(end), start + span - end);
    return reinterpret_cast<void*>(aligned);
}

size_t span_bytes(size_t size) { return (size + kHugePage - 1) & ~(kHugePage - 1); }
}  // namespace

void* kvc_map_aligned(size_t size) {
    return allocation_refused() ? nullptr : map_at_alignment(size, size, 0);
}
void kvc_unmap_aligned(void* block, size_t size) {
    if (block != nullptr) munmap(block, size);
}

void* kvc_reserve_span(size_t size) {
    if (allocation_refused()) return nullptr;
    // Address space only: nothing is committed until pages are made resident.
    void* span = map_at_alignment(span_bytes(size), kHugePage, MAP_NORESERVE);
    if (span != nullptr) madvise(span, span_bytes(size), MADV_HUGEPAGE);
    return span;
}
void kvc_release_span(void* block, size_t size) {
    if (block != nullptr) munmap(block, span_bytes(size));
}
char* kvc_strndup(const char* text, size_t max_length) {
    const size_t length = strnlen(text, max_length);
    char* copy = static_cast<char*>(kvc_malloc(length + 1));
    if (copy == nullptr) return nullptr;
    memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}
char* kvc_strdup(const char* text) { return kvc_strndup(text, SIZE_MAX); }

void* hr_malloc0(size_t size) { return kvc_calloc(1, size); }

int kv_strcpy_s(char* dst, size_t size, const char* src) {
    if (dst == nullptr || size == 0) return KVC_TRUNCATED;
    memset(dst, 0, size);
    if (src == nullptr) return 0;
    size_t n = strlen(src);
    if (n + 1 > size) {
        memcpy(dst, src, size - 1);
        return KVC_TRUNCATED;
    }
    memcpy(dst, src, n);
    return 0;
}

int kv_strcat_s(char* dst, size_t size, const char* src) {
    if (dst == nullptr || size == 0) return KVC_TRUNCATED;
    size_t m = strnlen(dst, size);
    if (m >= size) return (src == nullptr || *src == '\0') ? 0 : -12;
    return kv_strcpy_s(dst + m, size - m, src);
}

void kvc_set_text(char** slot, const char* text) {
    free(*slot);
    *slot = text != nullptr ? kvc_strdup(text) : nullptr;
}

void kvc_set_textf(char** slot, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list sizing;
    va_copy(sizing, args);
    int needed = vsnprintf(nullptr, 0, format, sizing);
    va_end(sizing);
    char* text = nullptr;
    if (needed >= 0) {
        text = static_cast<char*>(kvc_malloc(static_cast<size_t>(needed) + 1));
        if (text != nullptr) vsnprintf(text, static_cast<size_t>(needed) + 1, format, args);
    }
    va_end(args);
    free(*slot);
    *slot = text;
}

int kvc_append_text(char** slot, const char* text) {
    if (text == nullptr) return 0;
    if (*slot == nullptr) {
        *slot = kvc_strdup(text);
        return *slot != nullptr ? 0 : KVC_NO_MEMORY;
    }
    size_t old_len = strlen(*slot);
    size_t add_len = strlen(text);
    char* joined = static_cast<char*>(kvc_realloc(*slot, old_len + add_len + 1));
    if (joined == nullptr) return KVC_NO_MEMORY;   // keep what we had rather than lose it
    memcpy(joined + old_len, text, add_len + 1);
    *slot = joined;
    return 0;
}

// =============================================================================
// The per-connection lock: an unnamed semaphore used as a mutex
// =============================================================================

void conn_lock_init(Conn_Attrs* conn) {
    if (conn->lock_ready) return;
    sem_init(&conn->conn_lock, 0, 0);
    sem_post(&conn->conn_lock);
    conn->lock_ready = 1;
}

void conn_lock_destroy(Conn_Attrs* conn) {
    // A handle whose open failed before the lock existed has nothing to destroy.
    if (!conn->lock_ready) return;
    sem_destroy(&conn->conn_lock);
    conn->lock_ready = 0;
}

void conn_lock_take(Conn_Attrs* conn) {
    if (!conn->lock_ready) conn_lock_init(conn);
    while (sem_wait(&conn->conn_lock) != 0 && errno == EINTR) {
    }
}

void conn_lock_release(Conn_Attrs* conn) {
    if (conn->lock_ready) sem_post(&conn->conn_lock);
}

// =============================================================================
// The tie from results to their connection
// =============================================================================

struct ConnLink {
    std::atomic<Conn_Attrs*> conn;
    std::atomic<int32_t> holders;   // the open connection and every result made on it
};

ConnLink* conn_link_share(Conn_Attrs* conn) {
    if (conn == nullptr) return nullptr;
    if (conn->link == nullptr) {
        ConnLink* link = static_cast<ConnLink*>(kvc_malloc(sizeof(ConnLink)));
        if (link == nullptr) return nullptr;
        new (link) ConnLink{{conn}, {1}};
        conn->link = link;
    }
    conn->link->holders.fetch_add(1);
    return conn->link;
}

void conn_link_drop(ConnLink* link) {
    if (link == nullptr || link->holders.fetch_sub(1) != 1) return;
    link->~ConnLink();
    free(link);
}

Conn_Attrs* conn_link_target(const ConnLink* link) {
    return link != nullptr ? link->conn.load() : nullptr;
}

void conn_link_sever(Conn_Attrs* conn) {
    if (conn->link == nullptr) return;
    conn->link->conn.store(nullptr);
    conn_link_drop(conn->link);
    conn->link = nullptr;
}

// =============================================================================
// Framed transport
// =============================================================================

// Set to the host's order from the start so that no primitive can run with a
// wrong flag; every connect sets it again, Init forces it to 1.
unsigned char g_little_tail = (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) ? 1 : 0;

bool send_whole(int fd, const void* data, size_t len) {
    if (fd <= 0) return false;   // not connected: descriptor 0 is never ours
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    size_t done = 0;
    while (done < len) {
        ssize_t n = send(fd, bytes + done, len - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

namespace {

constexpr int kDirectWriteThreshold = 2048;

int send_all(int fd, const unsigned char* data, int len) {
    return send_whole(fd, data, static_cast<size_t>(len)) ? len : -1;
}

int send_pending(Conn_Attrs* conn) {
    int result = send_all(conn->sock_fd, conn->send_buf, conn->send_fill);
    conn->send_fill = 0;
    return result;
}

bool sending_encrypted(const Conn_Attrs* conn) {
    return conn->send_cipher != nullptr && conn->use_ssl == 1;
}

bool receiving_encrypted(const Conn_Attrs* conn) {
    return conn->recv_cipher != nullptr && conn->use_ssl != 0;
}

template <typename T>
int send_value(Conn_Attrs* conn, T v) {
    T wire = wire_order(v);
    return rh_send(conn, &wire, sizeof(T));
}

template <typename T>
void put_value(unsigned char* buf, int* pos, T v) {
    T wire = wire_order(v);
    rh_put_cache(buf, pos, &wire, sizeof(T));
}

}  // namespace

uint16_t kvc_wire16(uint16_t v) { return wire_order(v); }
uint32_t kvc_wire32(uint32_t v) { return wire_order(v); }
uint64_t kvc_wire64(uint64_t v) { return wire_order(v); }

int rh_send(Conn_Attrs* conn, const void* data, int len) {
    if (len <= 0) return 0;
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    if (sending_encrypted(conn)) {
        if (len > kDirectWriteThreshold) {
            // Enciphered piece by piece in the send buffer, after the pending
            // bytes so the keystream follows the wire order. The caller's
            // bytes stay untouched and nothing is allocated, so no failure
            // can send a command without its text.
            int result = send_pending(conn);
            while (len > 0 && result != -1) {
                const int piece = len < KVC_SEND_BUF_SIZE ? len : KVC_SEND_BUF_SIZE;
                memcpy(conn->send_buf, bytes, static_cast<size_t>(piece));
                encrypt_buff(conn, conn->send_buf, piece);
                conn->send_fill = piece;
                if (send_pending(conn) == -1) result = -1;
                bytes += piece;
                len -= piece;
            }
            return result;
        }
        int result = 0;
        if (conn->send_fill + len >= KVC_SEND_BUF_SIZE) result = send_pending(conn);
        memcpy(conn->send_buf + conn->send_fill, bytes, static_cast<size_t>(len));
        encrypt_buff(conn, conn->send_buf + conn->send_fill, len);
        conn->send_fill += len;
        return result;
    }
    if (len > kDirectWriteThreshold) {
        if (send_pending(conn) == -1) return -1;
        return send_all(conn->sock_fd, bytes, len);
    }
    int result = 0;
    if (conn->send_fill + len >= KVC_SEND_BUF_SIZE) result = send_pending(conn);
    memcpy(conn->send_buf + conn->send_fill, bytes, static_cast<size_t>(len));
    conn->send_fill += len;
    return result;
}

int rh_flush(Conn_Attrs* conn) {
    if (conn->send_fill == 0) return 0;
    return send_pending(conn) == -1 ? -1 : 0;
}

int rh_send_char(Conn_Attrs* conn, char c) { return rh_send(conn, &c, 1); }
int rh_send_int16(Conn_Attrs* conn, int16_t v) { return send_value(conn, v); }
int rh_send_int32(Conn_Attrs* conn, int32_t v) { return send_value(conn, v); }
int rh_send_int64(Conn_Attrs* conn, int64_t v) { return send_value(conn, v); }

void rh_put_cache(unsigned char* buf, int* pos, const void* data, int len) {
    if (len <= 0) return;
    memcpy(buf + *pos, data, static_cast<size_t>(len));
    *pos += len;
}
void rh_put_cache_char(unsigned char* buf, int* pos, char c) { rh_put_cache(buf, pos, &c, 1); }
void rh_put_cache_int16(unsigned char* buf, int* pos, int16_t v) { put_value(buf, pos, v); }
void rh_put_cache_int32(unsigned char* buf, int* pos, int32_t v) { put_value(buf, pos, v); }
void rh_put_cache_int64(unsigned char* buf, int* pos, int64_t v) { put_value(buf, pos, v); }

namespace {

// Bytes handed out by a memory feed: the next fragment, at most len.
ssize_t feed_some(ReplyFeed* feed, unsigned char* into, int len) {
    if (feed->pos >= feed->size) return 0;   // the stream ends
    size_t piece = feed->size - feed->pos;
    if (feed->cut_count > 0) {
        const size_t cut = static_cast<size_t>(feed->cuts[feed->next_cut++ % feed->cut_count]) + 1;
        if (cut < piece) piece = cut;
    }
    if (piece > static_cast<size_t>(len)) piece = static_cast<size_t>(len);
    memcpy(into, feed->data + feed->pos, piece);
    feed->pos += piece;
    return static_cast<ssize_t>(piece);
}

// One receive of up to len bytes: a time-out, an error or the end of the
// stream is final (only an interrupted call is repeated), so a silent server
// costs one receive time-out. Bytes of an encrypted stream are deciphered as
// they arrive: every byte passes the keystream once, in wire order.
ssize_t recv_some(Conn_Attrs* conn, unsigned char* into, int len) {
    if (conn->stream_failed) return -1;
    ssize_t got;
    if (conn->feed != nullptr) {
        got = feed_some(conn->feed, into, len);
    } else {
        if (conn->sock_fd <= 0) return -1;   // not connected: descriptor 0 is never ours
        do {
            got = recv(conn->sock_fd, into, static_cast<size_t>(len), 0);
        } while (got < 0 && errno == EINTR);
    }
    if (got > 0 && receiving_encrypted(conn)) decrypt_buff(conn, into, static_cast<int>(got));
    return got;
}

}  // namespace

int kv_cache_recv(Conn_Attrs* conn, void* buf, int len) {
    unsigned char* out = static_cast<unsigned char*>(buf);
    int avail = conn->recv_fill - conn->recv_pos;
    if (avail > len) {
        memcpy(out, conn->recv_cache + conn->recv_pos, static_cast<size_t>(len));
        conn->recv_pos += len;
        return len;
    }
    if (avail == 0) {
        conn->recv_fill = conn->recv_pos = 0;
        // A read at least as large as the cache goes straight to the caller.
        if (len >= KVC_RECV_CACHE_SIZE) {
            ssize_t got = recv_some(conn, out, len);
            return got <= 0 ? -1 : static_cast<int>(got);
        }
        ssize_t got = recv_some(conn, conn->recv_cache, KVC_RECV_CACHE_SIZE);
        if (got <= 0) return -1;
        conn->recv_fill = static_cast<int>(got);
        return kv_cache_recv(conn, buf, len);
    }
    memcpy(out, conn->recv_cache + conn->recv_pos, static_cast<size_t>(avail));
    conn->recv_fill = 0;
    conn->recv_pos = 0;
    return avail;
}

int rh_fail_stream(Conn_Attrs* conn) {
    if (conn->sock_fd > 0 && conn->feed == nullptr) shutdown(conn->sock_fd, SHUT_RDWR);
    conn->stream_failed = 1;
    conn->recv_fill = 0;
    conn->recv_pos = 0;
    conn->pushed_back_byte = 0;
    return KVC_NET_ERROR;
}

const unsigned char* rh_window_fill(Conn_Attrs* conn, int n) {
    if (n > KVC_RECV_CACHE_SIZE) {
        rh_fail_stream(conn);
        return nullptr;
    }
    int avail = conn->recv_fill - conn->recv_pos;
    if (conn->pushed_back_byte != 0) {
        // A byte handed back by rh_push_back when the buffer had no room for it.
        if (conn->recv_pos == 0) {
            memmove(conn->recv_cache + 1, conn->recv_cache, static_cast<size_t>(avail));
            conn->recv_pos = 1;
            ++conn->recv_fill;
        }
        conn->recv_cache[--conn->recv_pos] = static_cast<unsigned char>(conn->pushed_back_byte);
        conn->pushed_back_byte = 0;
        ++avail;
    }
    if (avail >= n) return conn->recv_cache + conn->recv_pos;
    // The unread tail moves to the front; receives append after it, asking
    // for as much as fits but waiting only until n bytes are there.
    if (conn->recv_pos > 0) {
        memmove(conn->recv_cache, conn->recv_cache + conn->recv_pos, static_cast<size_t>(avail));
        conn->recv_pos = 0;
        conn->recv_fill = avail;
    }
    while (conn->recv_fill < n) {
        ssize_t got = recv_some(conn, conn->recv_cache + conn->recv_fill,
                                KVC_RECV_CACHE_SIZE - conn->recv_fill);
        if (got <= 0) {
            rh_fail_stream(conn);   // bytes of this read are lost: nothing after it lines up
            return nullptr;
        }
        conn->recv_fill += static_cast<int>(got);
    }
    return conn->recv_cache;
}

void rh_push_back(Conn_Attrs* conn, char tag) {
    if (conn->recv_pos > 0) {
        conn->recv_cache[--conn->recv_pos] = static_cast<unsigned char>(tag);
    } else if (conn->recv_fill < KVC_RECV_CACHE_SIZE) {
        conn->pushed_back_byte = tag;   // placed in front of the buffer by the next read
    }
}

int rh_take(Conn_Attrs* conn, void* dst, int64_t count) {
    unsigned char* out = static_cast<unsigned char*>(dst);
    while (count > 0) {
        int avail = conn->recv_fill - conn->recv_pos;
        if (avail == 0 && conn->pushed_back_byte == 0 && out != nullptr && count >= KVC_RECV_CACHE_SIZE) {
            // Large values skip the buffer: received (and deciphered) in place.
            ssize_t got = recv_some(conn, out, count > INT32_MAX ? INT32_MAX : static_cast<int>(count));
            if (got <= 0) {
                rh_fail_stream(conn);
                return 0;
            }
            out += got;
            count -= got;
            continue;
        }
        if (avail == 0 || conn->pushed_back_byte != 0) {
            if (rh_window_fill(conn, 1) == nullptr) return 0;
            avail = conn->recv_fill - conn->recv_pos;
        }
        const int piece = count < avail ? static_cast<int>(count) : avail;
        if (out != nullptr) {
            memcpy(out, conn->recv_cache + conn->recv_pos, static_cast<size_t>(piece));
            out += piece;
        }
        conn->recv_pos += piece;
        count -= piece;
    }
    return 1;
}

int rh_recv(Conn_Attrs* conn, void* buf, int len) {
    if (len <= 0) return 1;
    return rh_take(conn, buf, len);
}

namespace {

template <typename T>
int recv_value(Conn_Attrs* conn, T* out) {
    const unsigned char* at = rh_window(conn, sizeof(T));
    if (at == nullptr) return 0;
    *out = wire_load<T>(at);
    rh_advance(conn, sizeof(T));
    return 1;
}

}  // namespace

int rh_recv_char(Conn_Attrs* conn, char* out) { return recv_value(conn, out); }
int rh_recv_int16(Conn_Attrs* conn, int16_t* out) { return recv_value(conn, out); }
int rh_recv_int32(Conn_Attrs* conn, int32_t* out) { return recv_value(conn, out); }
int rh_recv_int64(Conn_Attrs* conn, int64_t* out) { return recv_value(conn, out); }
int rh_recv_r4(Conn_Attrs* conn, float* out) { return recv_value(conn, out); }
int rh_recv_r8(Conn_Attrs* conn, double* out) { return recv_value(conn, out); }

int rh_take_text(Conn_Attrs* conn, int64_t length, char** out) {
    *out = nullptr;
    if (length < 0) return rh_fail_stream(conn);   // no valid text has a negative length
    // The text grows as its bytes arrive instead of taking at once what the
    // length claims: a broken or hostile length costs only what was sent.
    constexpr int64_t kFirstPiece = 65536;
    int64_t capacity = length < kFirstPiece ? length : kFirstPiece;
    char* text = static_cast<char*>(kvc_malloc(static_cast<size_t>(capacity) + 1));
    int64_t done = 0;
    while (text != nullptr && done < length) {
        if (done == capacity) {
            const int64_t grown = capacity * 2 < length ? capacity * 2 : length;
            char* bigger = static_cast<char*>(kvc_realloc(text, static_cast<size_t>(grown) + 1));
            if (bigger == nullptr) {
                free(text);
                text = nullptr;
                break;
            }
            text = bigger;
            capacity = grown;
        }
        if (!rh_take(conn, text + done, capacity - done)) {
            free(text);
            return KVC_NET_ERROR;
        }
        done = capacity;
    }
    if (text == nullptr) return rh_take(conn, nullptr, length - done) ? -5 : -4;   // read past, in step
    text[length] = '\0';
    *out = text;
    return 0;
}

int rh_recv_str(Conn_Attrs* conn, char** out) {
    *out = nullptr;
    int32_t n = 0;
    if (!rh_recv_int32(conn, &n)) return KVC_NET_ERROR;
    return rh_take_text(conn, n, out);
}

int rh_recv_skip(Conn_Attrs* conn, int64_t len) { return rh_take(conn, nullptr, len); }

// =============================================================================
// Connection string
// =============================================================================

namespace {

// Working sizes of the parser: an item longer than kItemMax is ignored, and a
// key or value is cut to fit its kPartSize buffer.
constexpr size_t kItemMax = 128;
constexpr size_t kPartSize = 64;
constexpr int kIpsSlotsGrown = 100;

bool word_is(const char* value, const char* const* words) {
    for (; *words != nullptr; ++words)
        if (strcasecmp(value, *words) == 0) return true;
    return false;
}

const char* const kOnWords[] = {"on", "yes", "true", nullptr};
const char* const kRowidOnWords[] = {"on", "true", nullptr};
const char* const kOffWords[] = {"off", "false", nullptr};

// Decimal reading as atoi does (spaces, sign, digits, rest ignored) without
// its undefined behaviour on overflow: out-of-range values saturate.
int32_t read_decimal(const char* value) {
    long long n = strtoll(value, nullptr, 10);
    if (n > INT32_MAX) return INT32_MAX;
    if (n < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(n);
}

using ApplyValue = void (*)(Conn_Attrs*, const char*);

// Each group of synonyms and what its value does to the record, in matching order.
struct ConnKeyword {
    const char* names[5];
    ApplyValue apply;
};

int positive_seconds(const char* value) {
    const int seconds = read_decimal(value);
    return seconds > 0 ? seconds : 0;
}

const ConnKeyword kConnKeywords[] = {
    {{"DB", "DataBase"},
     [](Conn_Attrs* c, const char* v) { kv_strcpy_s(c->database, sizeof c->database, v); }},
    {{"USER", "UID", "USER ID", "USERID"},
     [](Conn_Attrs* c, const char* v) { kv_strcpy_s(c->user, sizeof c->user, v); }},
    {{"PWD", "PASSWORD"},
     [](Conn_Attrs* c, const char* v) { kv_strcpy_s(c->password, sizeof c->password, v); }},
    {{"PORT"},
     [](Conn_Attrs* c, const char* v) { c->port = static_cast<uint16_t>(read_decimal(v)); }},
    {{"SERVER", "IP"},
     [](Conn_Attrs* c, const char* v) { kv_strcpy_s(c->server_ip, sizeof c->server_ip, v); }},
    {{"AUTO_COMMIT", "auto commit", "autocommit"},
     [](Conn_Attrs* c, const char* v) { c->auto_commit_off = word_is(v, kOffWords) ? 1 : 0; }},
    {{"use_ssl", "ssl", "USESSL", "USE SSL"},
     [](Conn_Attrs* c, const char* v) { c->use_ssl = word_is(v, kOnWords) ? 1 : 0; }},
    {{"CHAR_SET", "CHARACTER_SET", "CHARSET", "CHARACTER SET"},
     [](Conn_Attrs* c, const char* v) { kv_strcpy_s(c->char_set, sizeof c->char_set, v); }},
    {{"CURRENT_SCHEMA"},
     [](Conn_Attrs* c, const char* v) {
         kv_strcpy_s(c->current_schema, sizeof c->current_schema, v);
     }},
    {{"KEYWORD_FILTER"},
     [](Conn_Attrs* c, const char* v) {
         kv_strcpy_s(c->keyword_filter, sizeof c->keyword_filter, v);
     }},
    // The time zone a connection reports is fixed; the key is accepted only.
    {{"TIME_ZONE", "time zone", "timezone"}, [](Conn_Attrs*, const char*) {}},
    {{"ISO_LEVEL", "ISO LEVEL", "ISOLEVEL"},
     [](Conn_Attrs* c, const char* v) { kv_strcpy_s(c->iso_level, sizeof c->iso_level, v); }},
    {{"RETURN_ROWID", "RETURN ROWID", "RETURN ROW_ID", "RETURN_ROW_ID"},
     [](Conn_Attrs* c, const char* v) { c->return_rowid = word_is(v, kRowidOnWords) ? 1 : 0; }},
    // Naming the key is enough, whatever its value.
    {{"LOB_RET", "LOB RET", "LOBRET"},
     [](Conn_Attrs* c, const char*) { c->lob_ret_descriptor = 1; }},
    {{"LOCKTIMEOUT", "LOCK TIMEOUT", "LOCK_TIMEOUT"},
     [](Conn_Attrs* c, const char* v) { c->lock_timeout = read_decimal(v); }},
    {{"RETURN_CURSOR_ID", "RETURN CURSOR_ID", "RETURN_CURSORID"},
     [](Conn_Attrs* c, const char* v) {
         c->return_cursor_id_off = word_is(v, kOffWords) ? 1 : 0;
     }},
    {{"USE_SRVCURSOR"},
     [](Conn_Attrs* c, const char* v) { c->srv_cursor_off = word_is(v, kOffWords) ? 1 : 0; }},
    // Whole seconds; no positive number leaves the default.
    {{"CONNECT_TIMEOUT", "CONNECT TIMEOUT"},
     [](Conn_Attrs* c, const char* v) { c->connect_timeout = positive_seconds(v); }},
    {{"RECV_TIMEOUT", "RECV TIMEOUT"},
     [](Conn_Attrs* c, const char* v) { c->recv_timeout = positive_seconds(v); }},
};

void apply_item(Conn_Attrs* conn, const char* key, const char* value) {
    for (const ConnKeyword& keyword : kConnKeywords) {
        for (const char* name : keyword.names) {
            if (name != nullptr && strcasecmp(key, name) == 0) {
                keyword.apply(conn, value);
                return;
            }
        }
    }
}

// Copies [begin, end) without its leading and trailing spaces (tabs stay),
// cut to the size - 1 characters that fit.
void copy_trimmed(char* out, size_t size, const char* begin, const char* end) {
    while (begin < end && *begin == ' ') ++begin;
    while (end > begin && end[-1] == ' ') --end;
    size_t n = static_cast<size_t>(end - begin);
    if (n > size - 1) n = size - 1;
    memcpy(out, begin, n);
}

char* duplicate_range(const char* begin, const char* end) {
    size_t n = static_cast<size_t>(end - begin);
    char* copy = static_cast<char*>(hr_malloc0(n + 1));
    if (copy != nullptr) memcpy(copy, begin, n);
    return copy;
}

}  // namespace

int Set_Item_value(const char* item, char* key_out, char* value_out) {
    memset(key_out, 0, kPartSize);
    memset(value_out, 0, kPartSize);
    const char* equals = strchr(item, '=');
    if (equals == nullptr) return 0;
    copy_trimmed(key_out, kPartSize, item, equals);
    copy_trimmed(value_out, kPartSize, equals + 1, equals + strlen(equals));
    return 1;
}

int Set_IPS_value(Ips_Artrs* ips, int initial_slots, const char* item) {
    ips->addr_count = 0;
    ips->addr_slots = 0;
    if (initial_slots < 1) initial_slots = 1;
    ips->addrs = static_cast<char**>(hr_malloc0(sizeof(char*) * static_cast<size_t>(initial_slots)));
    if (ips->addrs == nullptr) return 0;
    ips->addr_slots = initial_slots;

    const char* cursor = strlen(item) >= 4 ? item + 4 : item + strlen(item);   // past "IPS="
    for (;;) {
        const char* comma = strchr(cursor, ',');
        const char* end = comma != nullptr ? comma : cursor + strlen(cursor);
        if (comma != nullptr && ips->addr_count == kIpsSlotsGrown - 1) {
            // The hundredth address is followed by yet another: the list is refused.
            puts("set ips error ");
            return 0;
        }
        char* address = duplicate_range(cursor, end);
        if (address == nullptr) return 0;
        ips->addrs[ips->addr_count++] = address;
        if (comma == nullptr) break;
        if (ips->addr_count == ips->addr_slots) {
            char** grown = static_cast<char**>(kvc_realloc(ips->addrs, sizeof(char*) * kIpsSlotsGrown));
            if (grown == nullptr) return 0;
            memset(grown + ips->addr_slots, 0,
                   sizeof(char*) * static_cast<size_t>(kIpsSlotsGrown - ips->addr_slots));
            ips->addrs = grown;
            ips->addr_slots = kIpsSlotsGrown;
        }
        cursor = comma + 1;
    }
    ips->failed_addrs = static_cast<char**>(hr_malloc0(sizeof(char*) * static_cast<size_t>(ips->addr_count)));
    return ips->failed_addrs != nullptr ? 1 : 0;
}

void free_ips_list(Ips_Artrs* ips) {
    if (ips == nullptr) return;
    for (int i = 0; i < ips->addr_count; ++i) {
        if (ips->addrs != nullptr) free(ips->addrs[i]);
        if (ips->failed_addrs != nullptr) free(ips->failed_addrs[i]);
    }
    free(ips->addrs);
    free(ips->failed_addrs);
    free(ips);
}

int Phrase_conn_str(const char* text, Conn_Attrs* conn) {
    if (text == nullptr || conn == nullptr) return 0;
    const size_t length = strlen(text);
    if (length <= 4) return 0;
    char separator;
    if (strchr(text, ';') != nullptr) {
        separator = ';';
    } else if (strchr(text, ',') != nullptr) {
        separator = ',';   // so a comma-separated text cannot carry an address list
    } else {
        return 0;
    }

    char* copy = kvc_strdup(text);
    if (copy == nullptr) return 0;
    char key[kPartSize];
    char value[kPartSize];
    size_t pos = 0;
    while (pos < length) {
        char* item = copy + pos;
        char* cut = strchr(item, separator);
        if (cut != nullptr) *cut = '\0';
        pos += strlen(item) + 1;

        if (strstr(item, "IPS=") != nullptr || strstr(item, "ips=") != nullptr) {
            Ips_Artrs* list = static_cast<Ips_Artrs*>(hr_malloc0(sizeof(Ips_Artrs)));
            if (list == nullptr) continue;
            Set_IPS_value(list, 20, item);
            free_ips_list(conn->ips);   // a later list replaces an earlier one
            conn->ips = list;
            conn->has_ips = 1;
            continue;
        }
        if (strlen(item) >= kItemMax) continue;
        if (!Set_Item_value(item, key, value)) continue;
        apply_item(conn, key, value);
    }
    free(copy);
    return 1;
}

// =============================================================================
// Session encryption glue
// =============================================================================

void load_le_digits(uint32_t digits[8], const unsigned char bytes[32]) {
    for (int i = 0; i < 8; ++i) {
        digits[i] = static_cast<uint32_t>(bytes[4 * i]) | static_cast<uint32_t>(bytes[4 * i + 1]) << 8 |
                    static_cast<uint32_t>(bytes[4 * i + 2]) << 16 |
                    static_cast<uint32_t>(bytes[4 * i + 3]) << 24;
    }
}

namespace {

void store_le_digits(unsigned char bytes[32], const uint32_t digits[8]) {
    for (int i = 0; i < 8; ++i) {
        bytes[4 * i] = static_cast<unsigned char>(digits[i]);
        bytes[4 * i + 1] = static_cast<unsigned char>(digits[i] >> 8);
        bytes[4 * i + 2] = static_cast<unsigned char>(digits[i] >> 16);
        bytes[4 * i + 3] = static_cast<unsigned char>(digits[i] >> 24);
    }
}

void rsa_encrypt_block(const Conn_Attrs* conn, unsigned char block[32]) {
    uint32_t m[8], c[8];
    load_le_digits(m, block);
    // A zero exponent or modulus from the server is refused by the arithmetic
    // (c comes back zero); the server then fails to read the login.
    mpModExp(c, m, conn->rsa_exponent, conn->rsa_modulus, 8);
    store_le_digits(block, c);
    memset(m, 0, sizeof m);
}

}  // namespace

void rsa_encrypt(Conn_Attrs* conn, unsigned char* buffer, int length) {
    int pos = 0;
    for (; length - pos >= 32; pos += 32) rsa_encrypt_block(conn, buffer + pos);
    if (length - pos > 0) {
        unsigned char block[32] = {0};
        memcpy(block, buffer + pos, static_cast<size_t>(length - pos));
        rsa_encrypt_block(conn, block);
        memcpy(buffer + pos, block, 32);   // the caller's buffer has room for the full block
    }
}

void release_turing_keys(Conn_Attrs* conn) {
    free(conn->recv_cipher);
    free(conn->send_cipher);
    conn->recv_cipher = nullptr;
    conn->send_cipher = nullptr;
}

int init_turing_key(Conn_Attrs* conn, const unsigned char* key, int /*length*/) {
    release_turing_keys(conn);
    TuringData* recv_state = static_cast<TuringData*>(hr_malloc0(sizeof(TuringData)));
    TuringData* send_state = static_cast<TuringData*>(hr_malloc0(sizeof(TuringData)));
    if (recv_state == nullptr || send_state == nullptr) {
        free(recv_state);
        free(send_state);
        return KVC_NO_MEMORY;
    }
    turing_session_start(recv_state, key);
    turing_session_start(send_state, key);
    conn->recv_cipher = recv_state;
    conn->send_cipher = send_state;
    return 0;
}

void encrypt_buff(Conn_Attrs* conn, unsigned char* buffer, int length) {
    if (conn->send_cipher != nullptr) turing_session_xor(conn->send_cipher, buffer, length);
}

void decrypt_buff(Conn_Attrs* conn, unsigned char* buffer, int length) {
    if (conn->recv_cipher != nullptr) turing_session_xor(conn->recv_cipher, buffer, length);
}

// =============================================================================
// Calendar arithmetic
// =============================================================================

namespace {

// Cumulative days before each month, common years then leap years.
constexpr int mtod[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366},
};

constexpr int64_t kDaysPer400Years = 146097;
constexpr int64_t kDaysPer100Years = 36524;
constexpr int64_t kDaysPer4Years = 1461;
constexpr int64_t kDaysFromYear1To1970 = 719162;
constexpr int64_t kMsPerDay = 86400000;

bool is_leap_year(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Proleptic Gregorian date of a day count since 1970-01-01. The count is
// 64-bit so that any millisecond datetime has a date; counting from 0001-01-01
// the 400-year cycle starts just after a leap day, so every 100- and 4-year
// block is full except the last of its cycle.
void civil_from_days(int64_t days, tarDATE_STRUCT* date) {
    const int64_t from_year1 = days + kDaysFromYear1To1970;
    const int64_t cycles = floor_div(from_year1, kDaysPer400Years);
    int64_t rest = from_year1 - cycles * kDaysPer400Years;   // 0 .. 146096
    int64_t centuries = rest / kDaysPer100Years;
    if (centuries > 3) centuries = 3;                        // the cycle's last day
    rest -= centuries * kDaysPer100Years;
    const int64_t quads = rest / kDaysPer4Years;
    rest -= quads * kDaysPer4Years;
    int64_t years = rest / 365;
    if (years > 3) years = 3;                                // a leap year's last day
    rest -= years * 365;
    const int64_t year = 1 + cycles * 400 + centuries * 100 + quads * 4 + years;
    const int* month_start = mtod[is_leap_year(year) ? 1 : 0];
    const int day_of_year = static_cast<int>(rest) + 1;
    int month = 0;
    while (month < 11 && day_of_year > month_start[month + 1]) ++month;
    date->year = static_cast<int32_t>(year);
    date->month = month + 1;
    date->day = day_of_year - month_start[month];
}

}  // namespace

void d2dm(int32_t days, tarDATE_STRUCT* date) { civil_from_days(days, date); }

void dt2dtm(int64_t ms, DATETIME_STRUCT* datetime) {
    const int64_t days = floor_div(ms, kMsPerDay);
    int64_t time_of_day = ms % kMsPerDay;   // brought to 0 .. 86399999 without overflow
    if (time_of_day < 0) time_of_day += kMsPerDay;
    tarDATE_STRUCT date;
    civil_from_days(days, &date);
    datetime->year = date.year;
    datetime->month = date.month;
    datetime->day = date.day;
    datetime->hour = static_cast<int32_t>(time_of_day / 3600000);
    datetime->minute = static_cast<int32_t>(time_of_day / 60000 % 60);
    datetime->second = static_cast<int32_t>(time_of_day / 1000 % 60);
    datetime->millisecond = static_cast<int32_t>(time_of_day % 1000);
}

// Truncating division and no reduction modulo 24: a time beyond a day, or a
// negative one, shows as such.
void t2tm(int32_t ms, TIME_STRUCT* time) {
    const int32_t hour = ms / 3600000;
    const int32_t seconds_in_hour = ms / 1000 - hour * 3600;
    time->hour = hour;
    time->minute = seconds_in_hour / 60;
    time->second = seconds_in_hour % 60;
    time->millisecond = ms % 1000;
}

// =============================================================================
// Error items
// =============================================================================

namespace {

// A message of up to this many characters is handed out whole.
constexpr size_t kWholeMessageMax = 254;
// A longer one is cut to its first 200 characters and this notice.
constexpr size_t kShortenedKeep = 200;
constexpr char kShortenedNotice[] = " extern please call Option\n";
// Texts without a code (the server's own) are introduced by this line and
// appended to it when shorter than kUncodedTextLimit characters.
constexpr char kUncodedCode[] = "EC0100";
constexpr char kUncodedIntro[] = "common error\n";
constexpr size_t kUncodedTextLimit = 243;

int32_t clamp_length(size_t length) {
    return length > INT32_MAX ? INT32_MAX : static_cast<int32_t>(length);
}

void keep_full_text(ErrorItem* item, const char* text, size_t length) {
    item->full_length = clamp_length(length);
    item->full_text = kvc_strndup(text, length);
}

void set_message(ErrorItem* item, size_t at, const char* text, size_t length) {
    memcpy(item->message + at, text, length);
    item->message_length = clamp_length(at + length);
}

// One copy rule for the three getters: with no text nothing at all is
// written, so a caller that preset *len to 0 sees 0.
int copy_error_text(const char* text, char* buf, int* len) {
    if (text == nullptr) return 0;
    size_t length = strlen(text);
    if (buf != nullptr) memcpy(buf, text, length);
    if (len != nullptr) *len = clamp_length(length);
    return 0;
}

}  // namespace

ErrorItem* getErrorItem(const char* text) {
    if (text == nullptr) return nullptr;
    ErrorItem* item = static_cast<ErrorItem*>(hr_malloc0(sizeof(ErrorItem)));
    if (item == nullptr) return nullptr;
    size_t length = strlen(text);

    if (text[0] != '[') {
        memcpy(item->code, kUncodedCode, sizeof kUncodedCode - 1);
        set_message(item, 0, kUncodedIntro, sizeof kUncodedIntro - 1);
        if (length < kUncodedTextLimit) {
            set_message(item, sizeof kUncodedIntro - 1, text, length);
        } else {
            keep_full_text(item, text, length);
        }
        return item;
    }

    // "[EC027]..." closes its bracket at index 6; a six-character code such
    // as "[EC0195]" puts the message at index 8, whatever index 7 holds.
    size_t code_length = (length > 6 && text[6] == ']') ? 5 : 6;
    size_t code_available = length - 1;
    memcpy(item->code, text + 1, code_length < code_available ? code_length : code_available);
    size_t message_start = code_length + 2 < length ? code_length + 2 : length;
    const char* message = text + message_start;
    size_t message_length = length - message_start;
    if (message_length <= kWholeMessageMax) {
        set_message(item, 0, message, message_length);
    } else {
        set_message(item, 0, message, kShortenedKeep);
        set_message(item, kShortenedKeep, kShortenedNotice, sizeof kShortenedNotice - 1);
        keep_full_text(item, message, message_length);
    }
    return item;
}

void free_error_item(ErrorItem* item) {
    if (item == nullptr) return;
    free(item->full_text);
    free(item);
}

int GetConError(Conn_Attrs* conn, char* buf, int* len) {
    return copy_error_text(conn != nullptr ? conn->error_text : nullptr, buf, len);
}

int GetResError(Result* result, char* buf, int* len) {
    return copy_error_text(result != nullptr ? result->error_text : nullptr, buf, len);
}

int GetLobError(KolvaLob_* lob, char* buf, int* len) {
    return copy_error_text(lob != nullptr ? lob->error_text : nullptr, buf, len);
}

// =============================================================================
// Connection attributes
// =============================================================================



namespace {

constexpr int kAttrText = 1;
constexpr int kAttrInt32 = 2;
constexpr int kAttrInt64 = 3;
constexpr int kSingleValueBuffer = 64;   // what recv_Query_One may write

const char kUnknownConnAttr[] = "[EC0103]connection attribute type get error,unknown attribute type\n";
const char kUnsettableConnAttr[] =
    "[EC0104]connection attribute type set error,un-supported attribute type\n";
const char kUnknownResultAttr[] = "[EC0105]result attribute type get error,unknown attribute type\n";

// Writes an attribute value into the caller's buffer: a text at most
// buffer_length bytes, a number always at its full width (the buffer is the
// caller's variable of that type, whatever length it gives). The reported
// length is the value's full length; -12 when it was cut.
int write_attr(void* value, int buffer_length, int type, const void* bytes, int64_t length,
               int* type_out, int* length_out) {
    int64_t room = type != kAttrText ? length : buffer_length > 0 ? buffer_length : 0;
    int64_t copied = length < room ? length : room;
    if (copied > 0) memcpy(value, bytes, static_cast<size_t>(copied));
    if (type_out != nullptr) *type_out = type;
    if (length_out != nullptr) *length_out = static_cast<int>(length);
    return copied < length ? -12 : 0;
}

int write_attr_text(void* value, int buffer_length, const char* text, size_t max_length,
                    int* type_out, int* length_out) {
    return write_attr(value, buffer_length, kAttrText, text,
                      static_cast<int64_t>(strnlen(text, max_length)), type_out, length_out);
}

int write_attr_int32(void* value, int buffer_length, int32_t number, int* type_out,
                     int* length_out) {
    return write_attr(value, buffer_length, kAttrInt32, &number, sizeof number, type_out,
                      length_out);
}

int write_attr_int64(void* value, int buffer_length, int64_t number, int* type_out,
                     int* length_out) {
    return write_attr(value, buffer_length, kAttrInt64, &number, sizeof number, type_out,
                      length_out);
}

// Connection attributes that are a text: a field of the record or a constant.
// Null for ids that are not texts.
const char* conn_text_attr(const Conn_Attrs* conn, int id, size_t* max_length) {
    switch (id) {
        case 2: *max_length = sizeof conn->database; return conn->database;
        case 4: *max_length = 5; return "UTF-8";
        case 5: *max_length = sizeof conn->char_set; return conn->char_set;
        case 8: *max_length = 5; return "GTM+8";
        default: return nullptr;
    }
}

// Connection attributes that are a 32-bit integer.
bool conn_int_attr(const Conn_Attrs* conn, int id, int32_t* number) {
    switch (id) {
        case 3: *number = 2; return true;
        case 6: *number = conn->use_ssl; return true;
        case 9: *number = conn->lob_ret_descriptor; return true;
        case 11: *number = conn->auto_commit_off; return true;
        case 12: *number = conn->srv_cursor_off; return true;
        default: return false;
    }
}

// Id 1: the single value of "show version". The reply is read into a local
// area and then copied within the caller's bound.
int read_server_version(Conn_Attrs* conn, void* value, int buffer_length, int* type_out,
                        int* length_out) {
    char area[kSingleValueBuffer + 8] = {};
    int value_type = 0;
    int status;
    {
        ConnLockGuard lock(conn);
        sendCommand_n(conn, "show version", 0);
        rh_flush(conn);
        status = recv_Query_One(conn, area, &value_type);
    }
    if (status < 0) return status;
    int written;
    if (value_type > 100) {
        // A long version: its length and the address of a copy that is ours to free.
        int32_t length = 0;
        char* copy = nullptr;
        memcpy(&length, area, sizeof length);
        memcpy(&copy, area + sizeof length, sizeof copy);
        written = write_attr(value, buffer_length, kAttrText, copy, length > 0 ? length : 0,
                             type_out, length_out);
        free(copy);
    } else {
        written = write_attr_text(value, buffer_length, area, kSingleValueBuffer, type_out,
                                  length_out);
    }
    return written != 0 ? written : status;
}

// Id 7: "count:" and the parsed addresses separated by ",", built at the size
// the addresses need.
int write_address_list(const Conn_Attrs* conn, void* value, int buffer_length, int* type_out,
                       int* length_out) {
    if (conn->has_ips != 1 || conn->ips == nullptr) return KVC_BAD_HANDLE;
    const Ips_Artrs* ips = conn->ips;
    const int count = ips->addrs != nullptr && ips->addr_count > 0 ? ips->addr_count : 0;
    size_t size = 16;   // the count, ":" and the terminator
    for (int i = 0; i < count; ++i)
        size += (ips->addrs[i] != nullptr ? strlen(ips->addrs[i]) : 0) + 1;
    char* text = static_cast<char*>(hr_malloc0(size));
    if (text == nullptr) return KVC_NO_MEMORY;
    snprintf(text, size, "%d:", ips->addr_count);
    for (int i = 0; i < count; ++i) {
        if (ips->addrs[i] != nullptr) kv_strcat_s(text, size, ips->addrs[i]);
        if (i + 1 < count) kv_strcat_s(text, size, ",");
    }
    int written = write_attr_text(value, buffer_length, text, size, type_out, length_out);
    free(text);
    return written;
}

}  // namespace

int get_conn_attrs(Conn_Attrs* conn, int id, void* value, int buffer_length, int* type_out,
                   int* length_out) {
    size_t max_length = 0;
    const char* text = conn_text_attr(conn, id, &max_length);
    int32_t number = 0;
    const bool is_number = text == nullptr && conn_int_attr(conn, id, &number);
    if (text == nullptr && !is_number && id != 1 && id != 7) {
        kvc_set_text(&conn->error_text, kUnknownConnAttr);
        return KVC_BAD_HANDLE;
    }
    if (value == nullptr) return KVC_BAD_HANDLE;
    if (id == 1) return read_server_version(conn, value, buffer_length, type_out, length_out);
    if (id == 7) return write_address_list(conn, value, buffer_length, type_out, length_out);
    if (text != nullptr)
        return write_attr_text(value, buffer_length, text, max_length, type_out, length_out);
    return write_attr_int32(value, buffer_length, number, type_out, length_out);
}

int get_result_attrs(Result* result, int id, void* value, int buffer_length, int* type_out,
                     int* length_out) {
    int32_t number = 0;
    switch (id) {
        case 61: number = result->column_count; break;
        case 62:
            if (value == nullptr) return KVC_BAD_HANDLE;
            return write_attr_int64(value, buffer_length, result->row_count, type_out,
                                    length_out);
        case 63: number = result->affected_rows; break;
        case 64: number = 4; break;
        case 65: number = result->result_kind; break;
        case 66: number = result->next_result != nullptr ? 1 : 0; break;
        default:
            kvc_set_text(&result->error_text, kUnknownResultAttr);
            return KVC_BAD_HANDLE;
    }
    if (value == nullptr) return KVC_BAD_HANDLE;
    return write_attr_int32(value, buffer_length, number, type_out, length_out);
}

int set_conn_attrs(Conn_Attrs* conn, int id, void* value, int /*length*/) {
    if (id != 11 && id != 12) {
        kvc_set_text(&conn->error_text, kUnsettableConnAttr);
        return KVC_BAD_HANDLE;
    }
    if (value == nullptr) return KVC_BAD_HANDLE;
    if (id == 11) {
        // Only recorded: the setting travels with the next login.
        const char* text = static_cast<const char*>(value);
        conn->auto_commit_off = strcasecmp(text, "ON") == 0 || strcasecmp(text, "TRUE") == 0;
    } else {
        memcpy(&conn->srv_cursor_off, value, sizeof conn->srv_cursor_off);
    }
    return 0;
}
