// Socket, login dialogue and reconnect.
#pragma once

#include "kvc_records.h"

int Build_connect(Conn_Attrs* conn);    // 1 connected, 0 not
int Login_database(Conn_Attrs* conn);   // 1 logged in, 0 not (error_text set)
int Conn_reconnect(Conn_Attrs* conn);   // 1, -8, -9
// Releases a connection record and all it owns, without talking to the
// server: the socket, keystreams, lock, texts, the parsed address list, a
// library-made parameter set (a caller's is only detached), the prepared
// column description; results made on it see it gone.
void free_conn_record(Conn_Attrs* conn);
// Expands text in place: 07 07 after every complete 30-byte piece. Returns the
// expanded length. The buffer must hold it (length + 2 * (length / 30) + 1).
int insert_7(char* text);
// The 32-byte session key: pseudo-random words mixed with the password, bit 7
// of byte 31 cleared.
void make_session_key(const char* password, unsigned char key[32]);
// Builds the login text into buf (size bytes); encrypted selects the variant.
// Returns -12 when the text did not fit (it is then cut).
int build_login_text(const Conn_Attrs* conn, bool encrypted, char* buf, int size);
// True when the last login failure is one the library decided before the
// server could answer (a text too long to encrypt, an unusable public key);
// the open and reconnect functions then keep that text instead of their own.
bool login_refused_by_library(const Conn_Attrs* conn);
