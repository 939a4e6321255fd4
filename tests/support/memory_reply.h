// Runs a reply reader over a reply held in memory, handed out in fragments
// of chosen sizes, and describes everything a caller could see afterwards.
// Shared by the fragment tests and the fuzz targets.
#pragma once

#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

enum class ReplyReaderKind {
    NoQuery,       // recv_noQuery
    Procedure,     // recv_noQuery_OP, with output, input-output and return slots bound
    SingleValue,   // recv_Query_One
    Statement,     // recv_Query_Rs
    CursorFetch,   // recv_Query_Cursor
    Prepare,       // kvc_cmd_Prepare
    Simple,        // recv_simple_reply
    LobFetch,      // KVGetCLobDesc
    Login,         // the plain login's reply
    Count
};

const char* reader_name(ReplyReaderKind kind);

// The reader's status and results, the connection's texts, and then what a
// second request on the same connection reads from the rest of the bytes.
// cuts: fragment sizes (each byte + 1, cycling; empty: the reply at once).
std::string read_from_memory(ReplyReaderKind kind, const Bytes& reply, const Bytes& cuts,
                             bool encrypted);

// The results of a chain as text: kinds, counts, columns and every value.
std::string describe_results(const struct Result* head);

// The input of the reply fuzz target and of the corpus: the reader (first
// byte), flags (bit 7 encrypted, low 4 bits the number of cuts), the cuts,
// then the reply. False when the input is too short to name a reader.
struct ReaderInput {
    ReplyReaderKind kind;
    bool encrypted;
    Bytes cuts;
    Bytes reply;
};
bool parse_reader_input(const unsigned char* data, size_t size, ReaderInput* input);

// The bytes a caller provides for a C type that is written at a fixed width
// whatever size is given; 0 for the types that respect the size.
int fixed_c_type_width(int c_type);

// Receives the reply as a statement's result set and converts every value of
// every row into every C type, each into buffers of several sizes fenced by
// guard bytes; aborts when a conversion writes past its buffer. Returns the
// reader's status.
int convert_every_value(const Bytes& reply);
