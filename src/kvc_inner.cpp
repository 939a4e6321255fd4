// Internal services: allocation and texts, the connection lock, the framed
// transport, the connection string, session-encryption glue, calendar
// arithmetic, error items and connection attributes.
#include "kvc_inner.h"

#include "kvc_turing.h"
#include "mp/mp.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>

// =============================================================================
// Allocation, bounded strings and error texts
// =============================================================================

void* hr_malloc0(size_t size) {
    return calloc(1, size == 0 ? 1 : size);
}

int kv_strcpy_s(char* dst, size_t size, const char* src) {
    if (dst == nullptr || size == 0) return -12;
    memset(dst, 0, size);
    if (src == nullptr) return 0;
    size_t n = strlen(src);
    if (n + 1 > size) {
        memcpy(dst, src, size - 1);
        return -12;
    }
    memcpy(dst, src, n);
    return 0;
}

int kv_strcat_s(char* dst, size_t size, const char* src) {
    if (dst == nullptr || size == 0) return -12;
    size_t m = strnlen(dst, size);
    if (m >= size) return (src == nullptr || *src == '\0') ? 0 : -12;
    return kv_strcpy_s(dst + m, size - m, src);
}

void kvc_set_text(char** slot, const char* text) {
    free(*slot);
    *slot = text != nullptr ? strdup(text) : nullptr;
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
        text = static_cast<char*>(malloc(static_cast<size_t>(needed) + 1));
        if (text != nullptr) vsnprintf(text, static_cast<size_t>(needed) + 1, format, args);
    }
    va_end(args);
    free(*slot);
    *slot = text;
}

void kvc_append_text(char** slot, const char* text) {
    if (text == nullptr) return;
    if (*slot == nullptr) {
        *slot = strdup(text);
        return;
    }
    size_t old_len = strlen(*slot);
    size_t add_len = strlen(text);
    char* joined = static_cast<char*>(realloc(*slot, old_len + add_len + 1));
    if (joined == nullptr) return;   // keep what we had rather than lose it
    memcpy(joined + old_len, text, add_len + 1);
    *slot = joined;
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
// Framed transport
// =============================================================================

// Set to the host's order from the start so that no primitive can run with a
// wrong flag; every connect sets it again, Init forces it to 1.
unsigned char g_little_tail = (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) ? 1 : 0;

namespace {

constexpr int kDirectWriteThreshold = 2048;

// Sends every byte (a short count from send is followed up so that the stream
// stays whole). Returns the bytes sent, or -1. MSG_NOSIGNAL: a peer that went
// away must not kill the host process with SIGPIPE.
int send_all(int fd, const unsigned char* data, int len) {
    int done = 0;
    do {
        ssize_t n = send(fd, data + done, static_cast<size_t>(len - done), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<int>(n);
    } while (done < len);
    return done;
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
T reverse_if_little(T v) {
    if (!g_little_tail) return v;
    unsigned char bytes[sizeof(T)];
    memcpy(bytes, &v, sizeof(T));
    for (size_t i = 0; i < sizeof(T) / 2; ++i) {
        unsigned char t = bytes[i];
        bytes[i] = bytes[sizeof(T) - 1 - i];
        bytes[sizeof(T) - 1 - i] = t;
    }
    memcpy(&v, bytes, sizeof(T));
    return v;
}

template <typename T>
int send_value(Conn_Attrs* conn, T v) {
    T wire = reverse_if_little(v);
    return rh_send(conn, &wire, sizeof(T));
}

template <typename T>
void put_value(unsigned char* buf, int* pos, T v) {
    T wire = reverse_if_little(v);
    rh_put_cache(buf, pos, &wire, sizeof(T));
}

template <typename T>
int recv_value(Conn_Attrs* conn, T* out) {
    T wire;
    if (!rh_recv(conn, &wire, sizeof(T))) return 0;
    *out = reverse_if_little(wire);
    return 1;
}

}  // namespace

uint16_t kvc_wire16(uint16_t v) { return reverse_if_little(v); }
uint32_t kvc_wire32(uint32_t v) { return reverse_if_little(v); }
uint64_t kvc_wire64(uint64_t v) { return reverse_if_little(v); }

int rh_send(Conn_Attrs* conn, const void* data, int len) {
    if (len <= 0) return 0;
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    if (sending_encrypted(conn)) {
        if (len > kDirectWriteThreshold) {
            // The caller's bytes stay untouched: encipher a copy, after the
            // pending bytes so the keystream follows the wire order.
            unsigned char* copy = static_cast<unsigned char*>(malloc(static_cast<size_t>(len)));
            if (copy == nullptr) return -1;
            memcpy(copy, bytes, static_cast<size_t>(len));
            encrypt_buff(conn, copy, len);
            int first = send_pending(conn);
            if (first == -1) {
                free(copy);
                return -1;
            }
            int second = send_all(conn->sock_fd, copy, len);
            free(copy);
            return second == -1 ? -1 : first;
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

int kv_cache_recv(Conn_Attrs* conn, void* buf, int len) {
    unsigned char* out = static_cast<unsigned char*>(buf);
    int avail = conn->recv_fill - conn->recv_pos;
    if (avail > len) {
        memcpy(out, conn->recv_cache + conn->recv_pos, static_cast<size_t>(len));
        conn->recv_pos += len;
        return len;
    }
    if (conn->recv_fill == 0) {
        ssize_t got = -1;
        for (int attempt = 0; attempt < 3; ++attempt) {
            got = recv(conn->sock_fd, conn->recv_cache, KVC_RECV_CACHE_SIZE, 0);
            if (got > 0) break;
            if (got < 0 && errno == EINTR) --attempt;
        }
        if (got <= 0) return -1;
        conn->recv_fill = static_cast<int>(got);
        if (conn->recv_fill > len) {
            memcpy(out, conn->recv_cache, static_cast<size_t>(len));
            conn->recv_pos = len;
            return len;
        }
        int count = conn->recv_fill;
        memcpy(out, conn->recv_cache, static_cast<size_t>(count));
        conn->recv_fill = 0;
        conn->recv_pos = 0;
        return count;
    }
    memcpy(out, conn->recv_cache + conn->recv_pos, static_cast<size_t>(avail));
    conn->recv_fill = 0;
    conn->recv_pos = 0;
    return avail;
}

int rh_recv(Conn_Attrs* conn, void* buf, int len) {
    unsigned char* out = static_cast<unsigned char*>(buf);
    if (len <= 0) return 1;
    if (conn->pushed_back_byte != 0) {
        // Already deciphered when it was first read.
        out[0] = static_cast<unsigned char>(conn->pushed_back_byte);
        conn->pushed_back_byte = 0;
        ++out;
        --len;
    }
    if (len == 0) return 1;
    const bool encrypted = receiving_encrypted(conn);
    int done = 0;
    while (done < len) {
        int got;
        if (encrypted) {
            ssize_t n = recv(conn->sock_fd, out + done, static_cast<size_t>(len - done), 0);
            if (n < 0 && errno == EINTR) continue;
            got = static_cast<int>(n);
        } else {
            got = kv_cache_recv(conn, out + done, len - done);
        }
        if (got <= 0) return 0;
        done += got;
    }
    if (encrypted) decrypt_buff(conn, out, len);
    return 1;
}

int rh_recv_char(Conn_Attrs* conn, char* out) { return recv_value(conn, out); }
int rh_recv_int16(Conn_Attrs* conn, int16_t* out) { return recv_value(conn, out); }
int rh_recv_int32(Conn_Attrs* conn, int32_t* out) { return recv_value(conn, out); }
int rh_recv_int64(Conn_Attrs* conn, int64_t* out) { return recv_value(conn, out); }
int rh_recv_r4(Conn_Attrs* conn, float* out) { return recv_value(conn, out); }
int rh_recv_r8(Conn_Attrs* conn, double* out) { return recv_value(conn, out); }

int rh_recv_str(Conn_Attrs* conn, char** out) {
    *out = nullptr;
    int32_t n = 0;
    if (!rh_recv_int32(conn, &n)) return -4;
    if (n < 0) return -4;   // no valid text has a negative length
    char* text = static_cast<char*>(hr_malloc0(static_cast<size_t>(n) + 1));
    if (text == nullptr) return -5;
    if (!rh_recv(conn, text, n)) {
        free(text);
        return -4;
    }
    *out = text;
    return 0;
}

int rh_recv_skip(Conn_Attrs* conn, int64_t len) {
    unsigned char sink[4096];
    while (len > 0) {
        int piece = len > static_cast<int64_t>(sizeof sink) ? static_cast<int>(sizeof sink)
                                                            : static_cast<int>(len);
        if (!rh_recv(conn, sink, piece)) return 0;
        len -= piece;
    }
    return 1;
}

// =============================================================================
// Connection string
// =============================================================================

// =============================================================================
// Session encryption glue
// =============================================================================

namespace {

void load_le_digits(uint32_t digits[8], const unsigned char bytes[32]) {
    for (int i = 0; i < 8; ++i) {
        digits[i] = static_cast<uint32_t>(bytes[4 * i]) | static_cast<uint32_t>(bytes[4 * i + 1]) << 8 |
                    static_cast<uint32_t>(bytes[4 * i + 2]) << 16 |
                    static_cast<uint32_t>(bytes[4 * i + 3]) << 24;
    }
}

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
        return -5;
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

// =============================================================================
// Error items
// =============================================================================

// =============================================================================
// Connection attributes
// =============================================================================

#include "kvc_command.h"

#include <strings.h>

namespace {

constexpr int kAttrText = 1;
constexpr int kAttrInt32 = 2;
constexpr int kAttrInt64 = 3;
constexpr int kSingleValueBuffer = 64;   // what recv_Query_One may write

const char kUnknownConnAttr[] = "[EC0103]connection attribute type get error,unknown attribute type\n";
const char kUnsettableConnAttr[] =
    "[EC0104]connection attribute type set error,un-supported attribute type\n";
const char kUnknownResultAttr[] = "[EC0105]result attribute type get error,unknown attribute type\n";

// Writes an attribute value into the caller's buffer, at most buffer_length
// bytes. The reported length is the value's full length; -12 when it was cut.
int write_attr(void* value, int buffer_length, int type, const void* bytes, int64_t length,
               int* type_out, int* length_out) {
    int64_t room = buffer_length > 0 ? buffer_length : 0;
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
    if (conn->has_ips != 1 || conn->ips == nullptr) return -3;
    const Ips_Artrs* ips = conn->ips;
    const int count = ips->addrs != nullptr && ips->addr_count > 0 ? ips->addr_count : 0;
    size_t size = 16;   // the count, ":" and the terminator
    for (int i = 0; i < count; ++i)
        size += (ips->addrs[i] != nullptr ? strlen(ips->addrs[i]) : 0) + 1;
    char* text = static_cast<char*>(hr_malloc0(size));
    if (text == nullptr) return -5;
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
        return -3;
    }
    if (value == nullptr) return -3;
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
            if (value == nullptr) return -3;
            return write_attr_int64(value, buffer_length, result->row_count, type_out,
                                    length_out);
        case 63: number = result->affected_rows; break;
        case 64: number = 4; break;
        case 65: number = result->result_kind; break;
        case 66: number = result->next_result != nullptr ? 1 : 0; break;
        default:
            kvc_set_text(&result->error_text, kUnknownResultAttr);
            return -3;
    }
    if (value == nullptr) return -3;
    return write_attr_int32(value, buffer_length, number, type_out, length_out);
}

int set_conn_attrs(Conn_Attrs* conn, int id, void* value, int /*length*/) {
    if (id != 11 && id != 12) {
        kvc_set_text(&conn->error_text, kUnsettableConnAttr);
        return -3;
    }
    if (value == nullptr) return -3;
    if (id == 11) {
        // Only recorded: the setting travels with the next login.
        const char* text = static_cast<const char*>(value);
        conn->auto_commit_off = strcasecmp(text, "ON") == 0 || strcasecmp(text, "TRUE") == 0;
    } else {
        memcpy(&conn->srv_cursor_off, value, sizeof conn->srv_cursor_off);
    }
    return 0;
}
