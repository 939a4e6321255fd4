// Command messages, reply dispatch, prepare and release of statements.
#include "kvc_command.h"

#include "kvc_inner.h"
#include "kvc_params.h"
#include "kvc_rowset.h"
#include "kvc_utility.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>

// =============================================================================
// Command messages and the plain reply dispatcher
// =============================================================================


namespace {

const char kTextOutputWithoutParams[] =
    "[EC0056]when execute sql with output params or return value need bind_params";
// The receive area of an insert identifier: 31 characters and a terminator.
constexpr int kInsertIdRoom = 32;
// Rows read only to be dropped are released from time to time so that
// draining a long reply does not hold all of it in memory.
constexpr int kDrainRowsPerPool = 1024;
// Rows the server sends before it waits for "." in a paused reply.
constexpr int kServerBatchRows = 200;

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
    if (!rh_recv_int32(conn, &length)) return 0;
    if (length < 0) {
        rh_fail_stream(conn);
        return 0;
    }
    return rh_recv_skip(conn, length);
}

int skip_int32s(Conn_Attrs* conn, int count) {
    int32_t ignored;
    for (int i = 0; i < count; ++i)
        if (!rh_recv_int32(conn, &ignored)) return 0;
    return 1;
}

// In a paused reply, after a full batch of rows: the server has sent the next
// tag and waits for "." unless the reply ends there. 1 asked, 0 at the end,
// -1 broken.
int continue_after_batch(Conn_Attrs* conn) {
    char next = 0;
    if (!rh_recv_char(conn, &next)) return -1;
    rh_push_back(conn, next);
    if (next == 'K') return 0;
    send_continue(conn);
    return 1;
}

// A column description and the rows after it, read and dropped. The row
// layout needs the description, so both go through the rowset readers.
int drain_rows(Conn_Attrs* conn) {
    Result* scratch = new_result(conn, RESULT_ROWS);
    if (scratch == nullptr) return -4;
    int status = recv_fields_info(conn, scratch) == 0 ? 0 : -4;
    int rows_in_pool = 0;
    for (int64_t rows = 0; status == 0; ++rows) {
        if (conn->reply_pauses && rows > 0 && rows % kServerBatchRows == 0 &&
            continue_after_batch(conn) < 0) {
            status = -4;
            break;
        }
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
        if (!rh_recv_char(conn, &tag)) return rh_fail_stream(conn);
        if (tag == 'K') return 0;
        if (skip_message_body(conn, tag) != 0) return rh_fail_stream(conn);
    }
}

int drain_reply_from(Conn_Attrs* conn, char tag) {
    if (tag == 'K') return 0;
    if (skip_message_body(conn, tag) != 0) return rh_fail_stream(conn);
    return drain_reply(conn);
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
            if (read == -4) return net_error("recv_noQuery");
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
                rh_fail_stream(conn);
            }
            return status;
        }
    }
}


// =============================================================================
// Procedure and single-value replies
// =============================================================================

namespace {

constexpr int kRowBatch = 200;          // rows the server sends before it waits for "."
constexpr int kRowBatchesKept = 2;      // a procedure or single-value result keeps 400 rows
constexpr int kSingleValueArea = 64;    // the caller's value buffer of a single-value query

const char kNoReturnTarget[] =
    "[EC060]Error params-return value need bind, here params without bindparams inout type is "
    "return value \n";
const char kNoOutputTarget[] =
    "[EC060]Error params-out type need bind, here params without bindparams inout type is out or "
    "inout \n";

// peek_end (above) reports a broken stream as -1; the dispatchers return -4.
int peek_reply_end(Conn_Attrs* conn) {
    int end = peek_end(conn);
    return end < 0 ? -4 : end;
}

// Reads the text of an E/F/M/W message into the connection's error text and
// prints it the way the dispatchers show it. *status receives what the
// message means (-1 error, 1 message or warning). 0, or the read failure.
int take_server_text(Conn_Attrs* conn, char tag, bool print_errors, int* status) {
    char* text = nullptr;
    int rc = rh_recv_str(conn, &text);
    if (rc < 0) return rc;
    const bool is_error = tag == 'E' || tag == 'F';
    if (!is_error)
        printf(tag == 'W' ? "Server Warning %s \n" : "Server Message %s \n", text);
    else if (print_errors)
        printf("Server Error %s \n", text);
    store_error_text(conn, text);
    *status = is_error ? -1 : 1;
    return 0;
}

// Rows past the kept batches go into a scratch result that borrows the column
// description and is emptied after the batch.
int skip_row_batch(Conn_Attrs* conn, Result* kept) {
    Result scratch{};
    scratch.handle_kind = KVC_HANDLE_RESULT;
    scratch.result_kind = RESULT_ROWS;
    scratch.column_count = kept->column_count;
    scratch.columns = kept->columns;
    scratch.row_size = kept->row_size;
    int count = recvRecords200(conn, &scratch);
    if (scratch.error_text != nullptr) {
        kvc_append_text(&kept->error_text, scratch.error_text);
        free(scratch.error_text);
    }
    if (scratch.row_index != nullptr) release_row_index(&scratch);
    if (scratch.pool != nullptr) RS_destroy(scratch.pool);
    return count;
}

// Reads the column description and rows of an 'A' message. The server pauses
// after every 200 rows of these replies until it receives "."; rows beyond
// the kept batches are read and dropped so that the reply stays aligned.
// Returns the row count of the last kept batch or a failure status;
// *complete tells whether the reply's 'K' came right after the rows.
int recv_row_batches(Conn_Attrs* conn, Result* result, bool* complete) {
    *complete = false;
    int rc = recv_fields_info(conn, result);
    if (rc < 0) return rc;
    int batch = recvRecords200(conn, result);
    int kept_rows = batch;
    for (int batches = 1; batch == kRowBatch; ++batches) {
        int end = peek_reply_end(conn);
        if (end < 0) return end;
        if (end == 1) {
            *complete = true;
            return kept_rows;
        }
        send_continue(conn);
        if (batches < kRowBatchesKept) {
            batch = recvRecords200(conn, result);
            kept_rows = batch;
        } else {
            batch = skip_row_batch(conn, result);
        }
    }
    int end = peek_reply_end(conn);
    if (end < 0) return end;
    *complete = end == 1;
    return kept_rows;
}

// A result set received by a dispatcher until a caller's slot takes it.
void replace_received(Result** held, Result* fresh) {
    if (*held != nullptr) free_Result(*held);
    *held = fresh;
}

// ---- output values ("O" return value, "P" output parameter) -------------------

struct OutputTarget {
    void* buffer;
    int32_t buffer_size;
    int32_t* length;
    int32_t c_type;
    int32_t direction;
};

// The slot of the bound set that an output value is meant for; false when the
// index lies outside the set (no memory of the set is touched then).
bool find_output_target(const KVCSParam* set, int64_t index, OutputTarget* target) {
    if (set == nullptr || index < 0 || index >= set->param_count) return false;
    target->direction = set->directions != nullptr ? set->directions[index] : 0;
    target->c_type = set->c_types != nullptr ? set->c_types[index] : 0;
    target->buffer = set->row_values != nullptr && set->row_values[0] != nullptr
                         ? set->row_values[0][index]
                         : nullptr;
    int32_t size = set->buffer_lengths != nullptr ? set->buffer_lengths[index] : 0;
    target->buffer_size = target->buffer != nullptr && size > 0 ? size : 0;
    target->length = set->length_ptrs != nullptr ? set->length_ptrs[index] : nullptr;
    return true;
}

// Wire width of the server types whose output values are converted; 0 for the
// types that are copied as they arrive. A 1-byte integer is copied too, and
// only a character target reads its first byte as a number.
int fixed_output_width(int32_t server_type) {
    switch (server_type) {
        case 3: return 1;
        case 4: return 2;
        case 5: case 8: case 10: case 11: return 4;
        case 6: case 9: case 13: return 8;
        default: return 0;
    }
}

// A converted output value: its host form (number, or date / time record)
// and its text form for character targets.
struct DecodedOutput {
    unsigned char host[sizeof(TIME_STRUCT)];
    int32_t host_length;
    char text[kSingleValueArea];
    int32_t text_length;
};

template <typename T>
void set_host(DecodedOutput* out, const T& value) {
    memcpy(out->host, &value, sizeof(T));
    out->host_length = sizeof(T);
}

void set_text(DecodedOutput* out, int written) {
    int limit = static_cast<int>(sizeof out->text) - 1;
    out->text_length = written < 0 ? 0 : (written > limit ? limit : written);
}

// Reads a value of a fixed-width server type (its length already checked)
// into host order and builds both forms. false when the stream broke.
bool decode_fixed_output(Conn_Attrs* conn, int32_t server_type, DecodedOutput* out) {
    char* text = out->text;
    const size_t room = sizeof out->text;
    switch (server_type) {
        case 3: {
            char raw = 0;
            if (!rh_recv_char(conn, &raw)) return false;
            int8_t v = static_cast<int8_t>(raw);
            set_host(out, v);
            set_text(out, snprintf(text, room, "%d", v));
            return true;
        }
        case 4: {
            int16_t v = 0;
            if (!rh_recv_int16(conn, &v)) return false;
            set_host(out, v);
            set_text(out, snprintf(text, room, "%d", v));
            return true;
        }
        case 5: {
            int32_t v = 0;
            if (!rh_recv_int32(conn, &v)) return false;
            set_host(out, v);
            set_text(out, snprintf(text, room, "%d", v));
            return true;
        }
        case 6: {
            int64_t v = 0;
            if (!rh_recv_int64(conn, &v)) return false;
            set_host(out, v);
            set_text(out, snprintf(text, room, "%lld", static_cast<long long>(v)));
            return true;
        }
        case 8: {
            float v = 0;
            if (!rh_recv_r4(conn, &v)) return false;
            set_host(out, v);
            set_text(out, snprintf(text, room, "%f", static_cast<double>(v)));
            return true;
        }
        case 9: {
            double v = 0;
            if (!rh_recv_r8(conn, &v)) return false;
            set_host(out, v);
            set_text(out, snprintf(text, room, "%.16g", v));
            return true;
        }
        case 10: {
            int32_t days = 0;
            if (!rh_recv_int32(conn, &days)) return false;
            tarDATE_STRUCT date{};
            d2dm(days, &date);
            set_host(out, date);
            set_text(out, snprintf(text, room, "%04d-%02d-%02d", date.year, date.month, date.day));
            return true;
        }
        case 11: {
            int32_t ms = 0;
            if (!rh_recv_int32(conn, &ms)) return false;
            TIME_STRUCT time{};
            t2tm(ms, &time);
            set_host(out, time);
            set_text(out, snprintf(text, room, "%02d:%02d:%02d.%03d", time.hour, time.minute,
                                   time.second, time.millisecond));
            return true;
        }
        case 13: {
            int64_t ms = 0;
            if (!rh_recv_int64(conn, &ms)) return false;
            DATETIME_STRUCT dt{};
            dt2dtm(ms, &dt);
            set_host(out, ms);
            set_text(out, snprintf(text, room, "%04d-%02d-%02d %02d:%02d:%02d", dt.year, dt.month,
                                   dt.day, dt.hour, dt.minute, dt.second));
            return true;
        }
        default:
            return false;
    }
}

// Copies a value into the target's buffer, cut to its size; the returned
// length is the full length. -12 when the value was cut, else status.
int deliver_bytes(const OutputTarget& target, const void* bytes, int32_t length, int status) {
    int32_t copied = length < target.buffer_size ? length : target.buffer_size;
    if (copied > 0) memcpy(target.buffer, bytes, static_cast<size_t>(copied));
    if (target.length != nullptr) *target.length = length;
    return copied < length ? -12 : status;
}

// Reads one "O" (is_return) or "P" message into its bound target and updates
// *status. false when the stream broke (the dispatch must end with -4).
bool recv_output_value(Conn_Attrs* conn, KVCSParam* set, bool is_return, int* status) {
    int32_t index = 0, server_type = 0, length = 0;
    if (!is_return && !rh_recv_int32(conn, &index)) return false;
    if (!rh_recv_int32(conn, &server_type) || !rh_recv_int32(conn, &length)) return false;
    if (length < 0) {   // no value has a negative length: the stream is lost
        rh_fail_stream(conn);
        return false;
    }
    if (is_return) index = set != nullptr ? set->param_count - 1 : -1;

    OutputTarget target{};
    if (!find_output_target(set, index, &target)) {
        kvc_set_text(&conn->error_text, is_return ? kNoReturnTarget : kNoOutputTarget);
        *status = -59;
        return rh_recv_skip(conn, length) == 1;
    }
    const bool wanted = is_return ? target.direction == PARAM_RETURN_VALUE
                                  : target.direction == PARAM_OUTPUT ||
                                        target.direction == PARAM_INPUT_OUTPUT;
    if (!wanted) return rh_recv_skip(conn, length) == 1;
    if (length == 0) {   // a null: nothing follows, nothing is copied
        if (target.length != nullptr) *target.length = 0;
        return true;
    }

    const int width = fixed_output_width(server_type);
    const bool byte_as_text = server_type == 3 && target.c_type == 2;
    if (width == 0 || (server_type == 3 && !byte_as_text)) {
        // Copied as it arrives: straight into the caller's buffer, the rest dropped.
        int32_t copied = length < target.buffer_size ? length : target.buffer_size;
        if (!rh_recv(conn, target.buffer, copied)) return false;
        if (!rh_recv_skip(conn, length - copied)) return false;
        if (target.length != nullptr) *target.length = length;
        if (copied < length) *status = -12;
        return true;
    }
    if (length != width && !byte_as_text) {
        // Converting it would read past the value: refuse it, keep the stream.
        kvc_set_textf(&conn->error_text,
                      "[EC068]Error output value of server type %d has length %d, expected %d \n",
                      server_type, length, width);
        *status = -1;
        return rh_recv_skip(conn, length) == 1;
    }
    DecodedOutput value{};
    if (!decode_fixed_output(conn, server_type, &value)) return false;
    if (!rh_recv_skip(conn, length - width)) return false;   // the bytes after a 1-byte integer
    if (target.c_type == 2)
        *status = deliver_bytes(target, value.text, value.text_length, *status);
    else
        *status = deliver_bytes(target, value.host, value.host_length, *status);
    return true;
}

// ---- single value -----------------------------------------------------------------

// The caller's buffer is written only as far as the value goes: no terminator.
void extract_single_value(Result* result, char* value, int* type) {
    if (result->row_count == 0) {
        *type = 0;
        memset(value, 0, 4);
        return;
    }
    if (result->column_count < 1 || result->columns == nullptr) return;
    // A type above 100 tells the caller that value holds the address of a copy
    // to free. No server type that high has a value form, so such a column
    // is reported as no value rather than as a copy that was never made.
    if (result->columns[0].server_type > 100) {
        *type = 0;
        memset(value, 0, 4);
        return;
    }
    *type = result->columns[0].server_type;
    int by_reference = 0;
    result->read_pos = 0;
    Get_first_one(result, value, &by_reference);
    if (by_reference == 1) *type += 100;
}

}  // namespace

int recv_noQuery_OP(Conn_Attrs* conn, Result** result_slot) {
    PausedReplyScope paused(conn);
    KVCSParam* set = conn->bound_params;
    Result* received = nullptr;
    int status = 0;
    // The reply's result set goes to the caller's slot; with no slot it is released.
    auto finish = [&](int final_status) {
        if (result_slot != nullptr && received != nullptr)
            *result_slot = received;
        else
            replace_received(&received, nullptr);
        return final_status;
    };
    auto fail = [&](int failure) {
        replace_received(&received, nullptr);
        return failure;
    };
    for (;;) {
        char tag = 0;
        if (!rh_recv_char(conn, &tag)) return fail(net_error("recv_noQuery_OP"));
        switch (tag) {
            case 'K':
                return finish(status);
            case 'E': case 'F': case 'M': case 'W': {
                int rc = take_server_text(conn, tag, false, &status);
                if (rc < 0) return fail(rc);
                break;
            }
            case 'A': {
                Result* rows = new_result(conn, RESULT_ROWS);
                if (rows == nullptr) return fail(-5);
                bool complete = false;
                int rc = recv_row_batches(conn, rows, &complete);
                replace_received(&received, rows);
                if (rc < 0) return fail(rc);
                status = rc;
                if (complete) return finish(status);
                break;
            }
            case 'O': case 'P':
                if (!recv_output_value(conn, set, tag == 'O', &status)) return fail(-4);
                break;
            default:
                if (drain_reply_from(conn, tag) < 0) return fail(-4);
                return finish(status);
        }
    }
}

int recv_Query_One(Conn_Attrs* conn, char* value, int* type) {
    PausedReplyScope paused(conn);
    Result* received = nullptr;
    int status = 0;
    auto finish = [&](int final_status) {
        replace_received(&received, nullptr);
        return final_status;
    };
    for (;;) {
        char tag = 0;
        if (!rh_recv_char(conn, &tag)) return finish(-4);
        switch (tag) {
            case 'K':
                return finish(status);
            case 'E': case 'F': case 'M': case 'W': {
                int rc = take_server_text(conn, tag, true, &status);
                if (rc < 0) return finish(rc);
                break;
            }
            case 'U': case 'D': {
                int32_t count = 0;
                if (!rh_recv_int32(conn, &count)) return finish(-4);
                status = tag == 'U' ? 2 : 3;
                int end = peek_reply_end(conn);
                if (end != 0) return finish(end == 1 ? status : end);
                break;
            }
            case 'I': {
                int32_t length = 0;
                char insert_id[32];
                if (!rh_recv_int32(conn, &length) || length < 0) return finish(rh_fail_stream(conn));
                int32_t kept = length < static_cast<int32_t>(sizeof insert_id) - 1
                                   ? length
                                   : static_cast<int32_t>(sizeof insert_id) - 1;
                if (!rh_recv(conn, insert_id, kept) || !rh_recv_skip(conn, length - kept))
                    return finish(-4);
                int end = peek_reply_end(conn);
                if (end != 0) return finish(end == 1 ? 1 : end);
                break;
            }
            case 'A': {
                Result* rows = new_result(conn, RESULT_ROWS);
                if (rows == nullptr) return finish(-5);
                replace_received(&received, rows);
                bool complete = false;
                int rc = recv_row_batches(conn, rows, &complete);
                if (rc < 0) return finish(rc);
                status = rc;
                if (complete) {
                    extract_single_value(rows, value, type);
                    return finish(0);
                }
                break;
            }
            default:
                // "P" and anything else end the dispatch; the rest of the reply is dropped.
                if (drain_reply_from(conn, tag) < 0) return finish(-4);
                return finish(0);
        }
    }
}


// =============================================================================
// Prepare, release, server resources
// =============================================================================

namespace {

constexpr int kPreparedWithColumns = 19665;

// A prepare reply's description replaces the one kept before; a replaced set
// that the library made is released, a caller's set is only detached.
void keep_prepared_columns(Conn_Attrs* conn, Result* columns) {
    if (conn->current_result != nullptr && conn->current_result != columns)
        free_Result(conn->current_result);
    conn->current_result = columns;
}

void keep_prepared_params(Conn_Attrs* conn, KVCSParam* params) {
    bind_params_to_conn(conn, params);
}

}  // namespace

int recv_simple_reply(Conn_Attrs* conn, char** server_text) {
    *server_text = nullptr;
    char tag = 0;
    if (!rh_recv_char(conn, &tag)) return -4;
    if (tag == 'K') return 0;
    int rc = rh_recv_str(conn, server_text);
    if (rc < 0) return rc;
    // The reply normally closes right after the text; whatever else the
    // server sends first is read to the 'K' so the next request stays in step.
    char closing = 0;
    if (rh_recv_char(conn, &closing)) drain_reply_from(conn, closing);
    return -1;
}

int kvc_cmd_Prepare(Conn_Attrs* conn, const char* sql, const char* name) {
    OwnedText command;
    kvc_set_textf(command.slot(), "PREPARE %s AS %s", name, sql);
    if (command.get() == nullptr) return -5;
    ConnLockGuard lock(conn);
    sendCommand0(conn, command.get());
    int status = 0;
    int out_of_memory = 0;   // a description that could not be kept; the reply is still read
    for (;;) {
        char tag = 0;
        if (!rh_recv_char(conn, &tag)) return -4;
        if (tag == 'K') {
            conn->has_prepared = 1;
            return out_of_memory != 0 ? out_of_memory : status;
        }
        if (tag == 'A') {
            Result* columns = new_result(conn, RESULT_ROWS);
            if (columns == nullptr) return -5;
            int rc = recv_fields_info(conn, columns);
            if (rc < 0) {
                free_Result(columns);
                return rc;
            }
            keep_prepared_columns(conn, columns);
            status = kPreparedWithColumns;
        } else if (tag == '$') {
            KVCSParam* params = new_param_set(PARAMS_PREPARED);
            if (params == nullptr) return -5;
            int rc = recv_params_info2(conn, params);
            if (rc < 0) {
                free_param_set(params);
                if (rc != -5) return rc;
                out_of_memory = rc;   // the description was read past, the reply goes on
                continue;
            }
            keep_prepared_params(conn, params);
        } else {
            // Anything else, a warning included, means the prepare failed.
            char* text = nullptr;
            int rc = rh_recv_str(conn, &text);
            if (rc < 0) return rc;
            store_error_text(conn, text);
            status = -1;
            int end = peek_reply_end(conn);
            if (end != 0) return end == 1 ? status : end;
        }
    }
}

int kvc_cmd_Unprepare(Conn_Attrs* conn, const char* name) {
    OwnedText command;
    kvc_set_textf(command.slot(), "DEALLOCATE %s ", name);
    if (command.get() == nullptr) return -5;
    ConnLockGuard lock(conn);
    sendCommand0(conn, command.get());
    char* text = nullptr;
    int status = recv_simple_reply(conn, &text);
    if (status != -4) conn->has_prepared = 0;
    if (text != nullptr) store_error_text(conn, text);
    return status;
}

int Conn_free_server_resources(Conn_Attrs* conn) {
    if (conn == nullptr || conn->has_prepared == 0) return 0;
    // A handle that never connected has nothing on the server to release.
    if (conn->sock_fd > 0) kvc_cmd_Unprepare(conn, conn->prepared_name);
    conn->has_prepared = 0;
    return 0;
}

