// The TCP connection and the login dialogue, plain and encrypted, and the
// reconnect that repeats both on an existing record.
#include "kvc_connect.h"

#include "kvc_inner.h"
#include "kvc_params.h"
#include "kvc_rowset.h"
#include "mp/mp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr int kLoginBufferSize = 512;
constexpr int kSessionKeySize = 32;
constexpr int kRsaBlockSize = 32;
// The encrypted text, after the 07 07 expansion and with its terminator, must
// fit behind the key in the login buffer.
constexpr int kEncryptedTextRoom = kLoginBufferSize - kSessionKeySize;
// Refusal texts of the server are dropped; one longer than this is not even
// read, since the socket is closed right after.
constexpr int32_t kRefusalTextSkipMax = 65536;

const char kTextNetReceive[] = "[EC0195]Error when RECIEVING ,Net Recieve Error";
const char kTextNotAcknowledged[] = "[EC0196]Error Can't finish build connect ,Receives K failed";
const char kTextReconnectSocket[] = "[EC0197]Error when RECONNECT Sock Failure";
const char kTextReconnectLogin[] = "[EC0198]Error when LOGIN database Failure";
// Refusals made by the library before the server could judge the login.
const char kTextLoginTooLong[] =
    "[EC0199]Error login text too long for an encrypted login (480 bytes with the 07 07 pairs)";
const char kTextBadPublicKey[] = "[EC0194]Error server public key unusable: zero exponent or modulus";

// Reads exactly len raw bytes (the key exchange precedes the keystream).
bool recv_block(int fd, unsigned char* out, size_t len) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = recv(fd, out + done, len - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void close_socket(Conn_Attrs* conn) {
    if (conn->sock_fd > 0) close(conn->sock_fd);
    conn->sock_fd = 0;
}

// The record reads descriptor 0 as "not connected", so a socket that the
// system numbered 0 (standard input was closed) moves to a higher number.
int keep_off_descriptor_zero(int fd) {
    if (fd != 0) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    return moved;
}

// A failed login leaves the record unconnected and without keystreams.
int fail_login(Conn_Attrs* conn, const char* text) {
    kvc_set_text(&conn->error_text, text);
    close_socket(conn);
    release_turing_keys(conn);
    return 0;
}

// Connects the blocking socket; with a time-out (seconds, 0: none) the
// connect is made without blocking and waited for at most that long.
bool connect_within(int fd, const sockaddr_in& address, int timeout) {
    const sockaddr* target = reinterpret_cast<const sockaddr*>(&address);
    if (timeout <= 0) {
        int connected;
        do {
            connected = connect(fd, target, sizeof address);
        } while (connected != 0 && errno == EINTR);
        return connected == 0;
    }
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
    bool connected = connect(fd, target, sizeof address) == 0;
    if (!connected && (errno == EINPROGRESS || errno == EINTR)) {
        pollfd wait{fd, POLLOUT, 0};
        int ready;
        do {
            ready = poll(&wait, 1, timeout * 1000);
        } while (ready < 0 && errno == EINTR);
        int error = 0;
        socklen_t length = sizeof error;
        connected = ready == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    return fcntl(fd, F_SETFL, flags) == 0 && connected;
}

void set_int_option(int fd, int level, int name) {
    int on = 1;
    setsockopt(fd, level, name, &on, sizeof on);
}

bool all_zero(const uint32_t digits[8]) {
    for (int i = 0; i < 8; ++i)
        if (digits[i] != 0) return false;
    return true;
}

// Step R of both variants: 'K' (version 201) or 'N', four bytes, 'K' (301)
// accept; anything else is a refusal whose text is read and dropped.
int evaluate_login_reply(Conn_Attrs* conn, char first) {
    if (first == 'K') {
        kv_strcpy_s(conn->protocol_version, sizeof conn->protocol_version, "201");
        return 1;
    }
    if (first == 'N') {
        kv_strcpy_s(conn->protocol_version, sizeof conn->protocol_version, "301");
        char rest[5] = {0};
        if (rh_recv(conn, rest, 5) && rest[4] == 'K') return 1;
    }
    int32_t length = 0;
    if (rh_recv_int32(conn, &length) && length > 0 && length <= kRefusalTextSkipMax)
        rh_recv_skip(conn, length);
    return fail_login(conn, kTextNotAcknowledged);
}

int login_plain(Conn_Attrs* conn, const char* text) {
    send_whole(conn->sock_fd, text, strlen(text));   // raw: no tag, length or terminator
    char first = 0;
    if (!rh_recv(conn, &first, 1)) return fail_login(conn, kTextNetReceive);
    return evaluate_login_reply(conn, first);
}

int login_encrypted(Conn_Attrs* conn, const char* text) {
    release_turing_keys(conn);
    conn->send_fill = 0;

    // Checked before anything is sent: a text that cannot travel whole is
    // refused rather than cut or written past the login buffer.
    const int text_length = static_cast<int>(strlen(text));
    const int expanded_length = text_length + 2 * (text_length / 30);
    if (expanded_length + 1 > kEncryptedTextRoom) return fail_login(conn, kTextLoginTooLong);

    send_whole(conn->sock_fd, "~ssl~", 5);
    unsigned char exponent[32];
    unsigned char modulus[32];
    if (!recv_block(conn->sock_fd, exponent, sizeof exponent) ||
        !recv_block(conn->sock_fd, modulus, sizeof modulus))
        return fail_login(conn, kTextNotAcknowledged);   // no acknowledgement can follow
    load_le_digits(conn->rsa_exponent, exponent);
    load_le_digits(conn->rsa_modulus, modulus);
    // Encrypting under such a key yields zero blocks the server cannot read.
    if (all_zero(conn->rsa_exponent) || all_zero(conn->rsa_modulus))
        return fail_login(conn, kTextBadPublicKey);

    // The key is kept apart: the login buffer is encrypted in place.
    unsigned char key[kSessionKeySize];
    make_session_key(conn->password, key);
    unsigned char buffer[kLoginBufferSize] = {0};
    memcpy(buffer, key, sizeof key);
    memcpy(buffer + kSessionKeySize, text, static_cast<size_t>(text_length));
    insert_7(reinterpret_cast<char*>(buffer + kSessionKeySize));

    const int text_blocks = (expanded_length + 1 + kRsaBlockSize - 1) / kRsaBlockSize;
    rsa_encrypt(conn, buffer, kSessionKeySize + expanded_length + 1);
    send_whole(conn->sock_fd, buffer, static_cast<size_t>(kRsaBlockSize * (text_blocks + 1)));

    int keyed = init_turing_key(conn, key, kSessionKeySize);
    memset(key, 0, sizeof key);
    if (keyed != 0) return fail_login(conn, kTextNotAcknowledged);

    char first = 0;   // a failed read leaves 0, which the reply rule refuses
    rh_recv(conn, &first, 1);
    return evaluate_login_reply(conn, first);
}

}  // namespace

bool login_refused_by_library(const Conn_Attrs* conn) {
    const char* text = conn->error_text;
    return text != nullptr &&
           (strcmp(text, kTextLoginTooLong) == 0 || strcmp(text, kTextBadPublicKey) == 0);
}

int Build_connect(Conn_Attrs* conn) {
    close_socket(conn);
    // Bytes left by an earlier socket mean nothing on a new one.
    conn->send_fill = 0;
    conn->recv_fill = 0;
    conn->recv_pos = 0;
    conn->pushed_back_byte = 0;
    conn->stream_failed = 0;

    // The flag already holds the host's order; writing it only when it differs
    // keeps concurrent opens on different threads from racing on it.
    const unsigned int probe = 1;
    const unsigned char host_little = *reinterpret_cast<const unsigned char*>(&probe) == 1 ? 1 : 0;
    if (g_little_tail != host_little) g_little_tail = host_little;

    // Dotted IPv4 only; a host name is not resolved and cannot connect.
    conn->server_addr = inet_addr(conn->server_ip);
    if (conn->server_addr == INADDR_NONE) return 0;
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(conn->port);
    address.sin_addr.s_addr = conn->server_addr;

    int fd = keep_off_descriptor_zero(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd < 0) return 0;
    set_int_option(fd, SOL_SOCKET, SO_REUSEADDR);
    set_int_option(fd, IPPROTO_TCP, TCP_NODELAY);
    set_int_option(fd, SOL_SOCKET, SO_KEEPALIVE);
    if (conn->recv_timeout > 0) {
        timeval timeout{conn->recv_timeout, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    if (!connect_within(fd, address, conn->connect_timeout)) {
        close(fd);
        return 0;
    }
    // A close then resets the connection at once instead of lingering.
    linger no_linger{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &no_linger, sizeof no_linger);
    conn->sock_fd = fd;
    // The receive buffer made resident now, in one call, rather than a page
    // fault at a time during the first large reply.
    kvc_populate(conn->recv_cache, sizeof conn->recv_cache);
    return 1;
}

int build_login_text(const Conn_Attrs* conn, bool encrypted, char* buf, int size) {
    memset(buf, 0, static_cast<size_t>(size));
    int status = 0;
    auto add = [&](const char* piece) {
        if (kv_strcat_s(buf, static_cast<size_t>(size), piece) != 0) status = -12;
    };
    auto add_quoted = [&](const char* head, const char* value) {
        add(head);
        add(value);
        add("'");
    };

    add("login database = ");
    add(conn->database);
    add(" user='");
    add(conn->user);
    add_quoted("' password='", conn->password);
    // The encrypted variant always names the character set and isolation level.
    if (encrypted || conn->char_set[0] != '\0') add_quoted(" char_set = '", conn->char_set);
    if (encrypted || conn->iso_level[0] != '\0') add_quoted(" iso_level = '", conn->iso_level);
    if (conn->current_schema[0] != '\0') add_quoted(" current_schema = '", conn->current_schema);
    if (conn->keyword_filter[0] != '\0') add_quoted(" keyword_filter='", conn->keyword_filter);
    if (encrypted ? conn->lock_timeout > 0 : conn->lock_timeout != 0) {
        char number[32];
        snprintf(number, sizeof number, " lock_timeout = %d", conn->lock_timeout);
        add(number);
    }
    add(conn->auto_commit_off == 1 ? " auto_commit = 'off'" : " auto_commit = 'on'");
    if (conn->return_cursor_id_off != 1) add(" return_cursor_id  = 'on'");
    if (conn->lob_ret_descriptor != 0) add(encrypted ? " lob_ret=descriptor" : " lob_ret  =descriptor");
    add_quoted(" version = '", conn->protocol_version);
    return status;
}

int insert_7(char* text) {
    const int length = static_cast<int>(strlen(text));
    const int pieces = length / 30;
    // From the last piece to the first, so that no piece overwrites one not yet moved.
    for (int k = pieces; k >= 1; --k) {
        const int piece_length = (k == pieces) ? length - 30 * k : 30;
        memmove(text + 32 * k, text + 30 * k, static_cast<size_t>(piece_length));
        text[32 * k - 2] = 0x07;
        text[32 * k - 1] = 0x07;
    }
    const int expanded = length + 2 * pieces;
    text[expanded] = '\0';
    return expanded;
}

void make_session_key(const char* password, unsigned char key[32]) {
    for (int i = 0; i < 8; ++i) {
        uint32_t word = spPseudoRand(0, 0xFFFFFFFFu);
        memcpy(key + 4 * i, &word, sizeof word);   // host order, as the server expects
    }
    const size_t mask_length = password != nullptr ? strlen(password) : 0;
    for (size_t i = 0; mask_length != 0 && i < kSessionKeySize; ++i)
        key[i] ^= static_cast<unsigned char>(password[i % mask_length]);
    // Read as a little-endian number the key stays below 2^255, under any modulus.
    key[31] &= 0x7F;
}

int Login_database(Conn_Attrs* conn) {
    // Built with room to spare so that an over-long encrypted text is seen
    // whole and refused, never cut into something the server cannot parse.
    char text[2 * kLoginBufferSize];
    if (conn->use_ssl != 0) {
        build_login_text(conn, true, text, sizeof text);
        return login_encrypted(conn, text);
    }
    build_login_text(conn, false, text, kLoginBufferSize);   // cut at 511 characters
    return login_plain(conn, text);
}

int Conn_reconnect(Conn_Attrs* conn) {
    if (!Build_connect(conn)) {
        kvc_set_text(&conn->error_text, kTextReconnectSocket);
        return KVC_CONNECT_FAILED;
    }
    if (!Login_database(conn)) {
        if (!login_refused_by_library(conn)) kvc_set_text(&conn->error_text, kTextReconnectLogin);
        return KVC_LOGIN_FAILED;
    }
    return 1;
}

void free_conn_record(Conn_Attrs* conn) {
    close_socket(conn);
    release_turing_keys(conn);
    conn_lock_destroy(conn);
    free(conn->error_text);
    // Only the list parsed from the string goes: the caller's working list
    // of KVC_OpenConn_Ips survives the connection.
    free_ips_list(conn->ips);
    release_bound_params(conn);
    free_Result(conn->current_result);
    conn_link_sever(conn);
    free(conn);
}
