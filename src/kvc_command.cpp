// Command messages, reply dispatch, prepare and release of statements.
#include "kvc_command.h"

#include "kvc_inner.h"
#include "kvc_params.h"
#include "kvc_rowset.h"
#include "kvc_utility.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// =============================================================================
// Command messages and the plain reply dispatcher
// =============================================================================

#include <sys/socket.h>   // shutdown of a connection that lost step

namespace {

const char kTextOutputWithoutParams[] =
    "[EC0056]when execute sql with output params or return value need bind_params";
// The receive area of an insert identifier: 31 characters and a terminator.
constexpr int kInsertIdRoom = 32;
// Rows read only to be dropped are released from time to time so that
// draining a long reply does not hold all of it in memory.
constexpr int kDrainRowsPerPool = 1024;

// Tag, text length, the text with its terminator, the parameter header.
void write_command(Conn_Attrs* conn, const char* text, int32_t count) {
    size_t length = strlen(text);
    if (length >= static_cast<size_t>(INT32_MAX)) length = INT32_MAX - 1;   // cannot be framed whole
    const int32_t n = static_cast<int32_t>(length);
    rh_send_char(conn, '?');
    rh_send_int32(conn, n);
    rh_send(conn, text, n + 1);
    rh_send_int32(conn, count);
}

// Reads an int32 length and drops that many bytes. 1 / 0; a negative length
// cannot be followed.
int skip_counted(Conn_Attrs* conn) {
    int32_t length = 0;
    if (!rh_recv_int32(conn, &length) || length < 0) return 0;
    return rh_recv_skip(conn, length);
}

int skip_int32s(Conn_Attrs* conn, int count) {
    int32_t ignored;
    for (int i = 0; i < count; ++i)
        if (!rh_recv_int32(conn, &ignored)) return 0;
    return 1;
}

// A column description and the rows after it, read and dropped. The row
// layout needs the description, so both go through the rowset readers.
int drain_rows(Conn_Attrs* conn) {
    Result* scratch = new_result(conn, RESULT_ROWS);
    if (scratch == nullptr) return -4;
    int status = recv_fields_info(conn, scratch) == 0 ? 0 : -4;
    int rows_in_pool = 0;
    while (status == 0) {
        if (scratch->pool == nullptr || rows_in_pool == kDrainRowsPerPool) {
            RS_destroy(scratch->pool);
            scratch->pool = RS_mem_init();
            rows_in_pool = 0;
            if (scratch->pool == nullptr) {
                status = -4;
                break;
            }
        }
        RhRow* row = nullptr;
        int got = recv_record(conn, scratch, &row);
        if (got == 101) break;   // the tag after the rows was handed back
        if (got != 0) status = -4;
        ++rows_in_pool;
    }
    free_Result(scratch);
    return status;
}

int drain_param_description(Conn_Attrs* conn) {
    KVCSParam* scratch = new_param_set(PARAMS_IMPLICIT);
    if (scratch == nullptr) return -4;
    int status = recv_params_info2(conn, scratch) == 0 ? 0 : -4;
    free_param_set(scratch);
    return status;
}

// Reads the body of one message of the catalogue. 0, or -4 when the body
// cannot be read or the tag is not one this protocol knows.
int skip_message_body(Conn_Attrs* conn, char tag) {
    switch (tag) {
    case 'E': case 'F': case 'M': case 'W': case 'I':
        return skip_counted(conn) ? 0 : -4;
    case 'U': case 'D':
        return skip_int32s(conn, 1) ? 0 : -4;
    case 'O':
        return skip_int32s(conn, 1) && skip_counted(conn) ? 0 : -4;
    case 'P':
        return skip_int32s(conn, 2) && skip_counted(conn) ? 0 : -4;
    case 'A':
        return drain_rows(conn);
    case '$':
        return drain_param_description(conn);
    default:
        return -4;   // rows without a description, or an unknown tag
    }
}

void store_error_text(Conn_Attrs* conn, char* text) {
    free(conn->error_text);
    conn->error_text = text;
}

// The dispatchers' peek: a 'K' right after a message ends the reply; any
// other byte is handed back as the next tag. 1 ended, 0 goes on, -1 broken.
int peek_end(Conn_Attrs* conn) {
    char next = 0;
    if (!rh_recv_char(conn, &next)) return -1;
    if (next == 'K') return 1;
    rh_push_back(conn, next);
    return 0;
}

// Out of step with the server: the connection is failed so that later
// requests report it broken instead of misreading what follows.
int fail_stream(Conn_Attrs* conn) {
    if (conn->sock_fd > 0) shutdown(conn->sock_fd, SHUT_RDWR);
    conn->recv_fill = 0;   // what the cache still holds is just as unreadable
    conn->recv_pos = 0;
    conn->pushed_back_byte = 0;
    return -4;
}

int net_error(const char* reader) {
    printf("Net Error %s \n", reader);
    return -4;
}

}  // namespace

int sendCommand0(Conn_Attrs* conn, const char* text) {
    write_command(conn, text, 0);
    rh_flush(conn);
    return 0;
}

int sendCommand_n(Conn_Attrs* conn, const char* text, int32_t count) {
    write_command(conn, text, count);
    return 0;
}

int send_continue(Conn_Attrs* conn) {
    rh_send_char(conn, '.');
    return rh_flush(conn);
}

int drain_reply(Conn_Attrs* conn) {
    for (;;) {
        char tag = 0;
        if (!rh_recv_char(conn, &tag)) return fail_stream(conn);
        if (tag == 'K') return 0;
        if (skip_message_body(conn, tag) != 0) return fail_stream(conn);
    }
}

int recv_noQuery(Conn_Attrs* conn) {
    int status = 0;
    int insert_count = 0;
    for (;;) {
        char tag = 0;
        if (!rh_recv_char(conn, &tag)) return net_error("recv_noQuery");
        switch (tag) {
        case 'K':
            return status;
        case 'E': case 'F': case 'M': case 'W': {
            char* text = nullptr;
            int read = rh_recv_str(conn, &text);
            if (read != 0) return read;
            if (tag == 'W') printf("Server Warning %s \n", text);
            if (tag == 'M') printf("Server Message %s \n", text);
            store_error_text(conn, text);
            status = (tag == 'E' || tag == 'F') ? -1 : 1;
            break;
        }
        case 'U': case 'D': {
            int32_t count = 0;
            if (!rh_recv_int32(conn, &count)) {
                puts("Update Prop NetError  ");
                kvc_set_text(&conn->error_text, "[EC004]Update Prop NetError");
                return -4;
            }
            status = count;
            int end = peek_end(conn);
            if (end < 0) return net_error("recv_noQuery");
            if (end == 1) return count;
            break;
        }
        case 'I': {
            // Only 31 characters fit; a longer identifier is cut and the rest
            // of its body read and dropped so the stream stays aligned.
            char received[kInsertIdRoom] = {0};
            int32_t length = 0;
            bool read = rh_recv_int32(conn, &length) && length >= 0;
            if (read) {
                const int kept = length < kInsertIdRoom - 1 ? length : kInsertIdRoom - 1;
                read = rh_recv(conn, received, kept) && rh_recv_skip(conn, length - kept);
            }
            if (!read) {
                puts("Insert Prop NetError  ");
                kvc_set_text(&conn->error_text, "[EC004]Insert Prop NetError");
                return -4;
            }
            memcpy(conn->last_insert_id, received, sizeof received);
            ++insert_count;
            int end = peek_end(conn);
            if (end < 0) return net_error("recv_noQuery");
            if (end == 1) return insert_count;
            break;
        }
        case 'O': case 'P':
            // Output values with nowhere to go: read them whole and drop them.
            if (skip_message_body(conn, tag) != 0) return net_error("recv_noQuery");
            kvc_set_text(&conn->error_text, kTextOutputWithoutParams);
            status = -56;
            break;
        default:
            // Not ours to read: the reply is still read to its end, so the
            // next request starts on a message boundary.
            if (skip_message_body(conn, tag) == 0) {
                drain_reply(conn);
            } else {
                fail_stream(conn);
            }
            return status;
        }
    }
}


// =============================================================================
// Procedure and single-value replies
// =============================================================================


// =============================================================================
// Prepare, release, server resources
// =============================================================================

