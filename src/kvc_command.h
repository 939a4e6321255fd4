// Command messages, reply dispatch, prepare and release of statements.
#pragma once

#include "kvc_records.h"

#include <cstdlib>

int sendCommand0(Conn_Attrs* conn, const char* text);
int sendCommand_n(Conn_Attrs* conn, const char* text, int32_t count);
int send_continue(Conn_Attrs* conn);     // "." and a flush

// ---- the reply catalogue and the one message loop -------------------------------

// Rows that the server sends in a procedure or single-value reply before it
// waits for the continue request.
constexpr int kPausedReplyRows = 200;

// How the body of each message of a reply is laid out, by its tag.
enum class MessageBody {
    End,               // 'K'
    Text,              // 'E' 'F' 'M' 'W': int32 length, text
    Count,             // 'U' 'D': int32
    InsertId,          // 'I': int32 length, text
    Rows,              // 'A': column description, row messages
    Row,               // 'R' '*': only after a column description
    ReturnValue,       // 'O': int32 type, int32 length, value
    OutputParam,       // 'P': int32 index, int32 type, int32 length, value
    ParamDescription,  // '$'
    Unknown,           // no message of the protocol: nothing after it can be followed
};
MessageBody message_body(char tag);

// Reads and drops the body of one message. 0, or -4 (connection failed).
int skip_message_body(Conn_Attrs* conn, char tag);
// Reads and drops messages up to and including the 'K' that ends the reply, so
// the next request starts on a message boundary. 0, or -4 when the stream broke.
int drain_reply(Conn_Attrs* conn);
// The same for a reply whose next message tag has already been read.
int drain_reply_from(Conn_Attrs* conn, char tag);

// One reader of one kind of reply: a set of handlers over the message loop.
// The loop owns the invariant: the reply is read through its 'K', or the
// connection is failed (every later call then reports -4 at once) and the
// reader's failure status is returned. No path leaves bytes of the reply in
// the stream.
class ReplyReader {
public:
    virtual ~ReplyReader() = default;
    ReplyReader(const ReplyReader&) = delete;
    ReplyReader& operator=(const ReplyReader&) = delete;
    int read_reply();

protected:
    // How a reply ended, for finish().
    enum class Ending {
        Reply,          // its 'K'
        AfterMessage,   // its 'K', right after a message whose handler asked for it
        Other,          // a message this reader does not take; the rest was read and dropped
    };
    // What a handler returns: the loop goes on, or a 'K' right after the
    // message ends the reply as Ending::AfterMessage; negative: broken.
    static constexpr int kNext = 0;
    static constexpr int kEndIfK = 1;

    explicit ReplyReader(Conn_Attrs* conn) : conn_(conn) {}
    virtual bool takes(char tag) const = 0;
    // Reads the body of a message this reader takes: kNext, kEndIfK, or -4.
    virtual int take(char tag) = 0;
    virtual int finish(Ending ending) = 0;
    // The connection failed: while reading a tag (tag 0) or the body of a
    // message, or at a tag that no message has (results received before it
    // are still whole: readers hand them out). Returns the call's status.
    virtual int fail(char tag, bool results_whole) {
        (void)tag;
        (void)results_whole;
        return -4;
    }

    // An allocation failed while the reply was read past it: -5 at the end.
    void out_of_memory() { out_of_memory_ = true; }
    // The final status: -5 after an allocation failure, else status.
    int or_out_of_memory(int status) const { return out_of_memory_ ? -5 : status; }
    // How a server text is shown on standard output.
    enum class Shown {
        Nothing,
        Warnings,             // "Server Warning %s \n", "Server Message %s \n"
        WarningsAndErrors,    // and "Server Error %s \n"
        AsResultText,         // "[EC031]..." for errors, "[EC032]..." for the rest
    };
    // Reads the text of an 'E' 'F' 'M' 'W' message and keeps it as the
    // connection's error text; status_ becomes -1 for an error, 1 for a
    // message or warning (always -1 in a result reply). kNext, or -4 broken;
    // an allocation failure is read past and counts as -5.
    int take_server_text(char tag, Shown shown);

    Conn_Attrs* conn_;
    int status_ = 0;

private:
    bool out_of_memory_ = false;
};

// Reads the body of an 'I' message into a 32-byte area: the first 31
// characters and a terminator (the rest is read and dropped). 0, or -4.
int read_insert_id(Conn_Attrs* conn, char area[32]);

int recv_noQuery(Conn_Attrs* conn);

// Marks the reply being read as one in which the server pauses after the
// first 200 rows of a result set until it receives "." (procedure and
// single-value replies), so that rows read only to be dropped are asked for too.
class PausedReplyScope {
public:
    explicit PausedReplyScope(Conn_Attrs* conn) : conn_(conn) { conn_->reply_pauses = 1; }
    ~PausedReplyScope() { conn_->reply_pauses = 0; }
    PausedReplyScope(const PausedReplyScope&) = delete;
    PausedReplyScope& operator=(const PausedReplyScope&) = delete;

private:
    Conn_Attrs* conn_;
};
// In a paused reply, once rows reached the pause: the server has sent the
// next tag and waits for "." unless the reply ends there. 0, or -4.
int continue_paused_reply(Conn_Attrs* conn);
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
