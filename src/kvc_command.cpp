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
    if (!rh_recv_int32(conn, &length)) return 0;
    if (length < 0) {
        rh_fail_stream(conn);
        return 0;
    }
    return rh_recv_skip(conn, length);
}

// A column description and the rows after it, read and dropped. The row
// layout needs the description, so both go through the rowset readers; when
// that memory cannot be had the stream cannot be followed.
int drain_rows(Conn_Attrs* conn) {
    Result* scratch = new_result(conn, RESULT_ROWS);
    if (scratch == nullptr) return rh_fail_stream(conn);
    int status = recv_fields_info(conn, scratch) == 0 ? 0 : rh_fail_stream(conn);
    int rows_in_pool = 0;
    for (int64_t rows = 0; status == 0; ++rows) {
        if (conn->reply_pauses && rows == kPausedReplyRows && continue_paused_reply(conn) < 0) {
            status = KVC_NET_ERROR;
            break;
        }
        if (scratch->pool == nullptr || rows_in_pool == kDrainRowsPerPool) {
            RS_destroy(scratch->pool);
            scratch->pool = RS_mem_init();
            rows_in_pool = 0;
            if (scratch->pool == nullptr) {
                status = rh_fail_stream(conn);
                break;
            }
        }
        RhRow* row = nullptr;
        int got = recv_record(conn, scratch, &row);
        if (got == 101) break;   // the tag after the rows was handed back
        if (got != 0) status = rh_fail_stream(conn);
        ++rows_in_pool;
    }
    free_Result(scratch);
    return status;
}

int drain_param_description(Conn_Attrs* conn) {
    KVCSParam* scratch = new_param_set(PARAMS_IMPLICIT);
    if (scratch == nullptr) return rh_fail_stream(conn);
    int status = recv_params_info2(conn, scratch) == 0 ? 0 : rh_fail_stream(conn);
    free_param_set(scratch);
    return status;
}

int skip_int32s(Conn_Attrs* conn, int count) {
    return rh_recv_skip(conn, 4 * static_cast<int64_t>(count));
}

}  // namespace

MessageBody message_body(char tag) {
    switch (tag) {
    case 'K': return MessageBody::End;
    case 'E': case 'F': case 'M': case 'W': return MessageBody::Text;
    case 'U': case 'D': return MessageBody::Count;
    case 'I': return MessageBody::InsertId;
    case 'A': return MessageBody::Rows;
    case 'R': case '*': return MessageBody::Row;
    case 'O': return MessageBody::ReturnValue;
    case 'P': return MessageBody::OutputParam;
    case '$': return MessageBody::ParamDescription;
    default: return MessageBody::Unknown;
    }
}

int skip_message_body(Conn_Attrs* conn, char tag) {
    bool read = false;
    switch (message_body(tag)) {
    case MessageBody::End: return 0;
    case MessageBody::Text:
    case MessageBody::InsertId: read = skip_counted(conn); break;
    case MessageBody::Count: read = skip_int32s(conn, 1); break;
    case MessageBody::ReturnValue: read = skip_int32s(conn, 1) && skip_counted(conn); break;
    case MessageBody::OutputParam: read = skip_int32s(conn, 2) && skip_counted(conn); break;
    case MessageBody::Rows: return drain_rows(conn);
    case MessageBody::ParamDescription: return drain_param_description(conn);
    case MessageBody::Row:       // rows without a description
    case MessageBody::Unknown: break;
    }
    return read ? 0 : rh_fail_stream(conn);
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
    if (skip_message_body(conn, tag) != 0) return KVC_NET_ERROR;
    return drain_reply(conn);
}

int ReplyReader::read_reply() {
    bool end_if_k = false;
    for (;;) {
        char tag = 0;
        if (!rh_recv_char(conn_, &tag)) return fail(0, false);
        if (tag == 'K') return finish(end_if_k ? Ending::AfterMessage : Ending::Reply);
        end_if_k = false;
        if (message_body(tag) == MessageBody::Unknown) {
            rh_fail_stream(conn_);
            return fail(tag, true);
        }
        if (!takes(tag)) {
            if (drain_reply_from(conn_, tag) != 0) return fail(tag, false);
            return finish(Ending::Other);
        }
        const int next = take(tag);
        // A handler may have met a broken stream inside a part it reads
        // leniently (rows): the failed connection tells.
        if (next < 0 || conn_->stream_failed) {
            rh_fail_stream(conn_);
            return fail(tag, false);
        }
        end_if_k = next == kEndIfK;
    }
}

int ReplyReader::take_server_text(char tag, Shown shown) {
    char* text = nullptr;
    const int rc = rh_recv_str(conn_, &text);
    if (rc == KVC_NO_MEMORY) {
        out_of_memory();
        return kNext;
    }
    if (rc != 0) return rc;
    const bool is_error = tag == 'E' || tag == 'F';
    switch (shown) {
    case Shown::Nothing:
        break;
    case Shown::AsResultText:
        printf(is_error ? "[EC031]Error in recv result :%s \n" : "[EC032]Server Warning in recv result :%s \n",
               text);
        break;
    case Shown::Warnings:
    case Shown::WarningsAndErrors:
        if (!is_error)
            printf(tag == 'W' ? "Server Warning %s \n" : "Server Message %s \n", text);
        else if (shown == Shown::WarningsAndErrors)
            printf("Server Error %s \n", text);
        break;
    }
    free(conn_->error_text);
    conn_->error_text = text;
    status_ = is_error || shown == Shown::AsResultText ? KVC_ERROR : KVC_INFO;
    return kNext;
}

int read_insert_id(Conn_Attrs* conn, char area[32]) {
    constexpr int kKept = 31;   // the 32-byte fields keep a terminator
    memset(area, 0, 32);
    int32_t length = 0;
    if (!rh_recv_int32(conn, &length)) return KVC_NET_ERROR;
    if (length < 0) return rh_fail_stream(conn);
    const int32_t kept = length < kKept ? length : kKept;
    if (!rh_take(conn, area, kept) || !rh_recv_skip(conn, static_cast<int64_t>(length) - kept)) return KVC_NET_ERROR;
    return 0;
}

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

int continue_paused_reply(Conn_Attrs* conn) {
    const unsigned char* next = rh_window(conn, 1);
    if (next == nullptr) return KVC_NET_ERROR;
    if (*next != 'K') send_continue(conn);
    return 0;
}

namespace {

// The reply to a statement run without a result set.
class NoQueryReader : public ReplyReader {
public:
    explicit NoQueryReader(Conn_Attrs* conn) : ReplyReader(conn) {}

private:
    bool takes(char tag) const override {
        switch (message_body(tag)) {
        case MessageBody::Text: case MessageBody::Count: case MessageBody::InsertId:
        case MessageBody::ReturnValue: case MessageBody::OutputParam: return true;
        default: return false;
        }
    }
    int take(char tag) override {
        switch (message_body(tag)) {
        case MessageBody::Text:
            return take_server_text(tag, Shown::Warnings);
        case MessageBody::Count: {
            int32_t count = 0;
            if (!rh_recv_int32(conn_, &count)) {
                puts("Update Prop NetError  ");
                kvc_set_text(&conn_->error_text, "[EC004]Update Prop NetError");
                reported_ = true;
                return KVC_NET_ERROR;
            }
            status_ = end_status_ = count;
            return kEndIfK;
        }
        case MessageBody::InsertId: {
            char received[sizeof conn_->last_insert_id];
            if (read_insert_id(conn_, received) != 0) {
                puts("Insert Prop NetError  ");
                kvc_set_text(&conn_->error_text, "[EC004]Insert Prop NetError");
                reported_ = true;
                return KVC_NET_ERROR;
            }
            memcpy(conn_->last_insert_id, received, sizeof received);
            end_status_ = ++insert_count_;
            return kEndIfK;
        }
        default:
            // Output values with nowhere to go: read them whole and drop them.
            if (skip_message_body(conn_, tag) != 0) return KVC_NET_ERROR;
            kvc_set_text(&conn_->error_text, kTextOutputWithoutParams);
            status_ = KVC_OUTPUT_UNBOUND;
            return kNext;
        }
    }
    int finish(Ending ending) override {
        return or_out_of_memory(ending == Ending::AfterMessage ? end_status_ : status_);
    }
    int fail(char, bool) override {
        if (!reported_) printf("Net Error %s \n", "recv_noQuery");
        return KVC_NET_ERROR;
    }

    int end_status_ = 0;
    int insert_count_ = 0;
    bool reported_ = false;
};

}  // namespace

int recv_noQuery(Conn_Attrs* conn) {
    NoQueryReader reader(conn);
    return reader.read_reply();
}


// =============================================================================
// Procedure and single-value replies
// =============================================================================

namespace {

const char kNoReturnTarget[] =
    "[EC060]Error params-return value need bind, here params without bindparams inout type is "
    "return value \n";
const char kNoOutputTarget[] =
    "[EC060]Error params-out type need bind, here params without bindparams inout type is out or "
    "inout \n";

// Reads the column description and rows of an 'A' message. The server pauses
// once, after the first 200 rows of a result set, until it receives "."; all
// rows after that arrive without a pause and are kept. Returns the row count
// of the last batch (those after the pause, if any), or -4 / -5 when the
// description could not be read / kept (the connection is then failed);
// *rows_lost tells that rows were read past for want of memory.
int recv_row_batches(Conn_Attrs* conn, Result* result, bool* rows_lost) {
    *rows_lost = false;
    int rc = recv_fields_info(conn, result);
    if (rc < 0) {
        rh_fail_stream(conn);   // its rows cannot be followed without it
        return rc == KVC_NO_MEMORY ? KVC_NO_MEMORY : KVC_NET_ERROR;
    }
    int batch = receive_rows(conn, result, kPausedReplyRows, rows_lost);
    if (batch == kPausedReplyRows && !conn->stream_failed) {
        if (continue_paused_reply(conn) < 0) return KVC_NET_ERROR;
        batch = receive_rows(conn, result, -1, rows_lost);
    }
    return batch;
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
    return copied < length ? KVC_TRUNCATED : status;
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
        *status = KVC_PARAMS_UNBOUND;
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
        if (copied < length) *status = KVC_TRUNCATED;
        return true;
    }
    if (length != width && !byte_as_text) {
        // Converting it would read past the value: refuse it, keep the stream.
        kvc_set_textf(&conn->error_text,
                      "[EC068]Error output value of server type %d has length %d, expected %d \n",
                      server_type, length, width);
        *status = KVC_ERROR;
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

namespace {

// Procedure and single-value replies share their handling of texts and of
// the result set; they differ in what they do with it and with the values.
class PausedReplyReader : public ReplyReader {
protected:
    explicit PausedReplyReader(Conn_Attrs* conn) : ReplyReader(conn), paused_(conn) {}
    ~PausedReplyReader() override { replace_received(&received_, nullptr); }

    // Reads an 'A' message into a new result that replaces the one held.
    // kEndIfK, or a failure.
    int take_rows() {
        Result* rows = new_result(conn_, RESULT_ROWS);
        if (rows == nullptr) {
            out_of_memory();
            return skip_message_body(conn_, 'A') == 0 ? kNext : KVC_NET_ERROR;
        }
        replace_received(&received_, rows);
        bool rows_lost = false;
        const int count = recv_row_batches(conn_, rows, &rows_lost);
        if (count == KVC_NO_MEMORY) out_of_memory();
        if (count < 0) return KVC_NET_ERROR;
        if (rows_lost) out_of_memory();
        status_ = count;
        return kEndIfK;
    }

    Result* received_ = nullptr;

private:
    PausedReplyScope paused_;
};

// The reply to a procedure call with a bound parameter set.
class ProcedureReader : public PausedReplyReader {
public:
    ProcedureReader(Conn_Attrs* conn, Result** slot)
        : PausedReplyReader(conn), set_(conn->bound_params), slot_(slot) {}

private:
    bool takes(char tag) const override {
        switch (message_body(tag)) {
        case MessageBody::Text: case MessageBody::Rows:
        case MessageBody::ReturnValue: case MessageBody::OutputParam: return true;
        default: return false;
        }
    }
    int take(char tag) override {
        switch (message_body(tag)) {
        case MessageBody::Text: return take_server_text(tag, Shown::Warnings);
        case MessageBody::Rows: return take_rows();
        default: return recv_output_value(conn_, set_, tag == 'O', &status_) ? kNext : KVC_NET_ERROR;
        }
    }
    // The reply's result set goes to the caller's slot; with no slot it is released.
    int finish(Ending) override {
        if (slot_ != nullptr && received_ != nullptr) {
            *slot_ = received_;
            received_ = nullptr;
        }
        return or_out_of_memory(status_);
    }
    int fail(char tag, bool) override {
        if (tag == 0) printf("Net Error %s \n", "recv_noQuery_OP");
        return KVC_NET_ERROR;
    }

    KVCSParam* set_;
    Result** slot_;
};

// The reply to a query of which the caller wants the first value as text.
class SingleValueReader : public PausedReplyReader {
public:
    SingleValueReader(Conn_Attrs* conn, char* value, int* type)
        : PausedReplyReader(conn), value_(value), type_(type) {}

private:
    bool takes(char tag) const override {
        switch (message_body(tag)) {
        case MessageBody::Text: case MessageBody::Count:
        case MessageBody::InsertId: case MessageBody::Rows: return true;
        default: return false;   // "P" and the rest end the dispatch
        }
    }
    int take(char tag) override {
        end_status_ = 0;
        rows_end_ = false;
        switch (message_body(tag)) {
        case MessageBody::Text:
            return take_server_text(tag, Shown::WarningsAndErrors);
        case MessageBody::Count:
            if (!rh_recv_skip(conn_, 4)) return KVC_NET_ERROR;
            status_ = end_status_ = tag == 'U' ? 2 : 3;
            return kEndIfK;
        case MessageBody::InsertId: {
            char ignored[32];
            if (read_insert_id(conn_, ignored) != 0) return KVC_NET_ERROR;
            end_status_ = 1;
            return kEndIfK;
        }
        default: {
            const int next = take_rows();
            rows_end_ = next == kEndIfK;
            return next;
        }
        }
    }
    int finish(Ending ending) override {
        if (ending == Ending::Other) return or_out_of_memory(0);
        if (ending == Ending::Reply) return or_out_of_memory(status_);
        if (!rows_end_) return or_out_of_memory(end_status_);
        if (received_ != nullptr) extract_single_value(received_, value_, type_);
        return or_out_of_memory(0);
    }

    char* value_;
    int* type_;
    int end_status_ = 0;
    bool rows_end_ = false;
};

}  // namespace

int recv_noQuery_OP(Conn_Attrs* conn, Result** result_slot) {
    ProcedureReader reader(conn, result_slot);
    return reader.read_reply();
}

int recv_Query_One(Conn_Attrs* conn, char* value, int* type) {
    SingleValueReader reader(conn, value, type);
    return reader.read_reply();
}


// =============================================================================
// Prepare, release, server resources
// =============================================================================

namespace {

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

namespace {

// The reply to a command answered by a lone 'K' or by an error text (DEALLOCATE,
// OPEN, CLOSE). Every message but 'K' means a refusal.
class SimpleReplyReader : public ReplyReader {
public:
    SimpleReplyReader(Conn_Attrs* conn, char** server_text, int32_t* answered)
        : ReplyReader(conn), server_text_(server_text), answered_(answered) {
        *server_text_ = nullptr;
    }

private:
    bool takes(char) const override { return true; }
    int take(char tag) override {
        mark_answered();
        status_ = KVC_ERROR;
        if (message_body(tag) != MessageBody::Text || *server_text_ != nullptr)
            return skip_message_body(conn_, tag) == 0 ? kNext : KVC_NET_ERROR;
        const int rc = rh_recv_str(conn_, server_text_);
        if (rc == KVC_NO_MEMORY) out_of_memory();
        return rc == KVC_NET_ERROR ? KVC_NET_ERROR : kNext;
    }
    int finish(Ending) override {
        mark_answered();
        return or_out_of_memory(status_);
    }
    int fail(char tag, bool) override {
        if (tag != 0) mark_answered();
        free(*server_text_);
        *server_text_ = nullptr;
        return KVC_NET_ERROR;
    }
    // The server has answered: a statement being released is gone whatever it said.
    void mark_answered() {
        if (answered_ != nullptr) *answered_ = 0;
    }

    char** server_text_;
    int32_t* answered_;
};

// The reply to "PREPARE": the statement's column description ('A') and
// parameter description ('$'); any other message means the prepare failed.
class PrepareReader : public ReplyReader {
public:
    explicit PrepareReader(Conn_Attrs* conn) : ReplyReader(conn) {}

private:
    bool takes(char) const override { return true; }
    int take(char tag) override {
        switch (message_body(tag)) {
        case MessageBody::Rows: {
            Result* columns = new_result(conn_, RESULT_ROWS);
            if (columns == nullptr) {
                out_of_memory();
                return skip_message_body(conn_, tag) == 0 ? kNext : KVC_NET_ERROR;
            }
            const int rc = recv_fields_info(conn_, columns);
            if (rc < 0) {
                free_Result(columns);
                if (rc == KVC_NO_MEMORY) out_of_memory();
                return KVC_NET_ERROR;   // the description is cut: the stream cannot be followed
            }
            keep_prepared_columns(conn_, columns);
            status_ = KVC_PREPARED_WITH_COLUMNS;
            return kNext;
        }
        case MessageBody::ParamDescription: {
            KVCSParam* params = new_param_set(PARAMS_PREPARED);
            const int rc = params != nullptr ? recv_params_info2(conn_, params) : KVC_NO_MEMORY;
            if (rc < 0) {
                free_param_set(params);
                if (rc != KVC_NO_MEMORY) return KVC_NET_ERROR;
                out_of_memory();   // the description was read past, the reply goes on
                return params == nullptr && skip_message_body(conn_, tag) != 0 ? KVC_NET_ERROR : kNext;
            }
            keep_prepared_params(conn_, params);
            return kNext;
        }
        case MessageBody::Text: {
            // A warning too means the prepare failed.
            const int rc = take_server_text(tag, Shown::Nothing);
            status_ = KVC_ERROR;
            return rc < 0 ? rc : kEndIfK;
        }
        default:
            if (skip_message_body(conn_, tag) != 0) return KVC_NET_ERROR;
            status_ = KVC_ERROR;
            return kEndIfK;
        }
    }
    int finish(Ending ending) override {
        // A 'K' read right after a refusal leaves the statement unprepared.
        if (ending == Ending::Reply) conn_->has_prepared = 1;
        return or_out_of_memory(status_);
    }
};

}  // namespace

int recv_simple_reply(Conn_Attrs* conn, char** server_text) {
    SimpleReplyReader reader(conn, server_text, nullptr);
    return reader.read_reply();
}

int kvc_cmd_Prepare(Conn_Attrs* conn, const char* sql, const char* name) {
    OwnedText command;
    kvc_set_textf(command.slot(), "PREPARE %s AS %s", name, sql);
    if (command.get() == nullptr) return KVC_NO_MEMORY;
    ConnLockGuard lock(conn);
    sendCommand0(conn, command.get());
    PrepareReader reader(conn);
    return reader.read_reply();
}

int kvc_cmd_Unprepare(Conn_Attrs* conn, const char* name) {
    OwnedText command;
    kvc_set_textf(command.slot(), "DEALLOCATE %s ", name);
    if (command.get() == nullptr) return KVC_NO_MEMORY;
    ConnLockGuard lock(conn);
    sendCommand0(conn, command.get());
    char* text = nullptr;
    SimpleReplyReader reader(conn, &text, &conn->has_prepared);
    const int status = reader.read_reply();
    if (text != nullptr) {
        free(conn->error_text);
        conn->error_text = text;
    }
    return status;
}

int Conn_free_server_resources(Conn_Attrs* conn) {
    if (conn == nullptr || conn->has_prepared == 0) return 0;
    // A handle that never connected has nothing on the server to release.
    if (conn->sock_fd > 0) kvc_cmd_Unprepare(conn, conn->prepared_name);
    conn->has_prepared = 0;
    return 0;
}

