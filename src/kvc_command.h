// Command messages, reply dispatch, prepare and release of statements.
#pragma once

#include "kvc_records.h"

#include <cstdlib>

int sendCommand0(Conn_Attrs* conn, const char* text);
int sendCommand_n(Conn_Attrs* conn, const char* text, int32_t count);
int send_continue(Conn_Attrs* conn);     // "." and a flush
// Reads and drops messages up to and including the 'K' that ends the reply, so
// the next request starts on a message boundary. 0, or -4 when the stream broke.
int drain_reply(Conn_Attrs* conn);
// The same for a reply whose next message tag has already been read: its body
// and the rest of the reply are dropped. 0 at once for 'K'; -4 (connection
// failed) when the tag is not one of the protocol's or the stream broke.
int drain_reply_from(Conn_Attrs* conn, char tag);

int recv_noQuery(Conn_Attrs* conn);

// Marks the reply being read as one in which the server pauses after every
// 200 rows until it receives "." (procedure and single-value replies), so
// that rows read only to be dropped are asked for too.
class PausedReplyScope {
public:
    explicit PausedReplyScope(Conn_Attrs* conn) : conn_(conn) { conn_->reply_pauses = 1; }
    ~PausedReplyScope() { conn_->reply_pauses = 0; }
    PausedReplyScope(const PausedReplyScope&) = delete;
    PausedReplyScope& operator=(const PausedReplyScope&) = delete;

private:
    Conn_Attrs* conn_;
};
int recv_noQuery_OP(Conn_Attrs* conn, Result** result_slot);
int recv_Query_One(Conn_Attrs* conn, char* value, int* type);

int kvc_cmd_Prepare(Conn_Attrs* conn, const char* sql, const char* name);
int kvc_cmd_Unprepare(Conn_Attrs* conn, const char* name);
// Reads the reply to a command answered by a lone 'K' or by an error text and
// one closing byte (DEALLOCATE, OPEN, CLOSE). 0 on 'K'; -1 with the server's
// text in *server_text (the caller frees it); -4 broken stream; -5 no memory.
int recv_simple_reply(Conn_Attrs* conn, char** server_text);
int Conn_free_server_resources(Conn_Attrs* conn);

// A heap text owned by a scope: command texts are built at the size their
// content needs (fill it with kvc_set_textf(text.slot(), ...)).
class OwnedText {
public:
    OwnedText() = default;
    ~OwnedText() { free(text_); }
    OwnedText(const OwnedText&) = delete;
    OwnedText& operator=(const OwnedText&) = delete;
    char** slot() { return &text_; }
    const char* get() const { return text_; }

private:
    char* text_ = nullptr;
};
