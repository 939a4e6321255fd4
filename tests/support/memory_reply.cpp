#include "support/memory_reply.h"

#include "kvc.h"
#include "kvc_command.h"
#include "kvc_connect.h"
#include "kvc_inner.h"
#include "kvc_params.h"
#include "kvc_rowset.h"
#include "kvc_turing.h"
#include "kvc_utility.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

const unsigned char kSessionKey[32] = {7, 1, 8, 2, 8, 1, 8, 2, 8, 4, 5, 9, 0, 4, 5, 2,
                                       3, 5, 3, 6, 0, 2, 8, 7, 4, 7, 1, 3, 5, 2, 6, 6};

std::string hex_of(const void* data, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

std::string text_or_none(const char* text) { return text != nullptr ? text : "(none)"; }

// A connection record reading from memory; its sends go nowhere.
struct MemoryConnection {
    Conn_Attrs* conn = static_cast<Conn_Attrs*>(hr_malloc0(sizeof(Conn_Attrs)));
    ReplyFeed feed{};
    Bytes bytes;
    Bytes cuts;

    MemoryConnection(const Bytes& reply, const Bytes& fragment_cuts, bool encrypted)
        : bytes(reply), cuts(fragment_cuts) {
        if (conn == nullptr) abort();
        conn->handle_kind = KVC_HANDLE_CONNECTION;
        conn->sock_fd = -1;
        conn_lock_init(conn);
        if (encrypted) {
            // What the server would put on the wire: the reply under its keystream.
            TuringData server{};
            turing_session_start(&server, kSessionKey);
            turing_session_xor(&server, bytes.data(), static_cast<int64_t>(bytes.size()));
            conn->use_ssl = 1;
            init_turing_key(conn, kSessionKey, 32);
        }
        feed.data = bytes.data();
        feed.size = bytes.size();
        feed.cuts = cuts.data();
        feed.cut_count = cuts.size();
        conn->feed = &feed;
    }
    ~MemoryConnection() { free_conn_record(conn); }
};

// The parameter set of a procedure call: an output text, an input-output
// integer and a return value, with their caller buffers.
struct ProcedureSlots {
    KVCSParam* set = new_param_set(PARAMS_CALLER);
    char text[16] = {0};
    int32_t number = 5;
    double returned = 0;
    int32_t lengths[3] = {0, 0, 0};

    explicit ProcedureSlots(Conn_Attrs* conn) {
        if (set == nullptr) return;
        void* handle = set;
        KVC_BindParamByPos(&handle, 1, 2, 2, text, sizeof text, &lengths[0]);
        lengths[1] = 4;
        KVC_BindParamByPos(&handle, 2, 3, 5, &number, sizeof number, &lengths[1]);
        KVC_BindParamByPos(&handle, 3, 6, 9, &returned, sizeof returned, &lengths[2]);
        conn->bound_params = set;
    }
    ~ProcedureSlots() { free_param_set(set); }
    std::string describe() const {
        return " out=" + hex_of(text, sizeof text) + " inout=" + std::to_string(number) +
               " ret=" + hex_of(&returned, sizeof returned) + " lengths=" + std::to_string(lengths[0]) +
               "," + std::to_string(lengths[1]) + "," + std::to_string(lengths[2]);
    }
};

// A LOB that carries a descriptor, as value conversion leaves it.
std::string fetch_lob(Conn_Attrs* conn) {
    void* handle = nullptr;
    KVC_Create_Lob(&handle);
    KolvaLob_* lob = static_cast<KolvaLob_*>(handle);
    if (lob == nullptr) return "no memory";
    lob->descriptor = kvc_strdup("CABCDEFGHIJKLM_64");
    std::string out = "status=" + std::to_string(KVGetCLobDesc(conn, lob));
    out += " length=" + std::to_string(lob->total_length) + " text=" + text_or_none(lob->error_text);
    std::string content(static_cast<size_t>(lob->total_length), '\0');
    if (!content.empty()) KVC_Get_Lob_data(&handle, &content[0], static_cast<int>(content.size()));
    out += " content=" + hex_of(content.data(), content.size());
    KVC_Distroy_Lob(&handle);
    return out;
}

std::string run_one(ReplyReaderKind kind, Conn_Attrs* conn) {
    std::string out;
    switch (kind) {
    case ReplyReaderKind::NoQuery:
        return "status=" + std::to_string(recv_noQuery(conn));
    case ReplyReaderKind::Procedure: {
        ProcedureSlots slots(conn);
        Result* result = nullptr;
        const int status = recv_noQuery_OP(conn, &result);
        conn->bound_params = nullptr;
        out = "status=" + std::to_string(status) + slots.describe() + " " + describe_results(result);
        free_Result(result);
        return out;
    }
    case ReplyReaderKind::SingleValue: {
        char value[64];
        memset(value, 0x5a, sizeof value);
        int type = -1;
        const int status = recv_Query_One(conn, value, &type);
        out = "status=" + std::to_string(status) + " type=" + std::to_string(type);
        if (type > 100) {
            // A length and the address of a copy that the caller frees.
            int32_t length;
            char* copy;
            memcpy(&length, value, sizeof length);
            memcpy(&copy, value + sizeof length, sizeof copy);
            out += " copy=" + hex_of(copy, static_cast<size_t>(length));
            free(copy);
        } else {
            out += " value=" + hex_of(value, sizeof value);
        }
        return out;
    }
    case ReplyReaderKind::Statement:
    case ReplyReaderKind::CursorFetch: {
        Result* head = nullptr;
        const int status = kind == ReplyReaderKind::Statement ? recv_Query_Rs(conn, &head)
                                                              : recv_Query_Cursor(conn, &head);
        out = "status=" + std::to_string(status) + " " + describe_results(head);
        while (head != nullptr) {
            Result* next = head->next_result;
            free_Result(head);
            head = next;
        }
        return out;
    }
    case ReplyReaderKind::Prepare: {
        const int status = kvc_cmd_Prepare(conn, "select 1", "STC0");
        out = "status=" + std::to_string(status) + " prepared=" + std::to_string(conn->has_prepared);
        out += " columns=" + describe_results(conn->current_result);
        const KVCSParam* params = conn->bound_params;
        out += " params=" + std::to_string(params != nullptr ? params->param_count : -1);
        return out;
    }
    case ReplyReaderKind::Simple: {
        char* text = nullptr;
        const int status = recv_simple_reply(conn, &text);
        out = "status=" + std::to_string(status) + " text=" + text_or_none(text);
        free(text);
        return out;
    }
    case ReplyReaderKind::LobFetch:
        return fetch_lob(conn);
    case ReplyReaderKind::Login:
        // The plain variant: its reply comes through the same source.
        return "status=" + std::to_string(Login_database(conn)) + " version=" + conn->protocol_version;
    default:
        return "no reader";
    }
}

}  // namespace

const char* reader_name(ReplyReaderKind kind) {
    static const char* const kNames[] = {"recv_noQuery", "recv_noQuery_OP", "recv_Query_One",
                                         "recv_Query_Rs", "recv_Query_Cursor", "prepare",
                                         "simple reply", "LOB fetch", "login"};
    const int index = static_cast<int>(kind);
    return index >= 0 && index < static_cast<int>(ReplyReaderKind::Count) ? kNames[index] : "?";
}

std::string describe_results(const Result* head) {
    std::string out;
    for (const Result* r = head; r != nullptr; r = r->next_result) {
        out += "[kind=" + std::to_string(r->result_kind) + " affected=" + std::to_string(r->affected_rows) +
               " id=" + std::string(r->insert_id, strnlen(r->insert_id, sizeof r->insert_id)) +
               " text=" + text_or_none(r->error_text) + " columns=";
        for (int c = 0; c < r->column_count && r->columns != nullptr; ++c) {
            const FieldInfo& f = r->columns[c];
            out += text_or_none(f.table_name) + "." + text_or_none(f.column_name) + "%" +
                   text_or_none(f.alias) + ":" + std::to_string(f.server_type) + " ";
        }
        out += " rows=" + std::to_string(r->row_count);
        for (int64_t n = 0; n < r->row_count; ++n) {
            RhRow** entry = nthR(const_cast<Result*>(r), n);
            if (entry == nullptr || *entry == nullptr) {
                out += " (missing row)";
                continue;
            }
            const unsigned char* tag = row_tag(r, *entry);
            out += " (" + (tag != nullptr ? hex_of(tag, ROW_TAG_MAX) : std::string("-")) + ":";
            for (int c = 0; c < r->column_count; ++c) {
                int length = 0;
                const void* value = getData(*entry, r->columns, c, &length);
                out += value == nullptr ? "null" : hex_of(value, static_cast<size_t>(length));
                out += ",";
            }
            out += ")";
        }
        out += "]";
    }
    return out;
}

std::string read_from_memory(ReplyReaderKind kind, const Bytes& reply, const Bytes& cuts, bool encrypted) {
    MemoryConnection memory(reply, cuts, encrypted);
    Conn_Attrs* conn = memory.conn;
    std::string out = run_one(kind, conn);
    conn->sock_fd = -1;   // a failed login leaves 0, which is no place to send to
    out += " | error=" + text_or_none(conn->error_text) + " insert_id=" +
           std::string(conn->last_insert_id, strnlen(conn->last_insert_id, sizeof conn->last_insert_id));
    out += " failed=" + std::to_string(conn->stream_failed);
    // The next request reads what the reply left behind.
    out += " | next: " + run_one(ReplyReaderKind::Statement, conn);
    return out;
}

bool parse_reader_input(const unsigned char* data, size_t size, ReaderInput* input) {
    if (size < 2) return false;
    input->kind = static_cast<ReplyReaderKind>(data[0] % static_cast<unsigned>(ReplyReaderKind::Count));
    input->encrypted = (data[1] & 0x80) != 0;
    size_t cut_count = data[1] & 0x0F;
    if (cut_count > size - 2) cut_count = size - 2;
    input->cuts.assign(data + 2, data + 2 + cut_count);
    input->reply.assign(data + 2 + cut_count, data + size);
    return true;
}

int fixed_c_type_width(int c_type) {
    switch (c_type) {
    case 3: case 63: return 1;
    case 4: return 2;
    case 1: case 5: case 7: return 4;
    case 6: case 8: case 23: case 28: case 31: return 8;
    case 9: return 400;
    default: return 0;
    }
}

int convert_every_value(const Bytes& reply) {
    static const int kCTypes[] = {-1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                                  18, 21, 23, 28, 31, 40, 58, 62, 63, 64, 69};
    static const int kSizes[] = {1, 4, 8, 16, 64, 400};
    constexpr int kFence = 16;
    MemoryConnection memory(reply, {}, false);
    Result* head = nullptr;
    const int status = recv_Query_Rs(memory.conn, &head);
    void* handle = head;
    while (handle != nullptr) {
        while (KVC_ReadNext(&handle) == 0) {
            const int columns = static_cast<Result*>(handle)->column_count;
            for (int col = 0; col <= columns + 1; ++col)
                for (int c_type : kCTypes)
                    for (int size : kSizes) {
                        if (size < fixed_c_type_width(c_type)) continue;
                        unsigned char buffer[400 + 2 * kFence];
                        memset(buffer, 0xCD, sizeof buffer);
                        int length = 0;
                        KVC_GetData(&handle, col, c_type, buffer + kFence, size, &length);
                        for (int i = 0; i < kFence; ++i) {
                            if (buffer[i] == 0xCD && buffer[kFence + size + i] == 0xCD) continue;
                            fprintf(stderr, "column %d as C type %d wrote past %d bytes\n", col, c_type, size);
                            abort();
                        }
                    }
        }
        if (KVC_NextResult(&handle) != 0) KVC_FreeRowset(&handle);
    }
    return status;
}
