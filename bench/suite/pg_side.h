// libpq's side of the suite: a canned-reply fake PostgreSQL server (protocol 3:
// startup answered with AuthenticationOk and ReadyForQuery, each query with
// RowDescription, DataRow messages, CommandComplete and ReadyForQuery) and a
// client reading the same rows in each of libpq's modes.
#pragma once

#include "measure.h"

#include <cstdint>

namespace suite {

enum class PgMode { BinaryParams, TextExec, SingleRowBinary, SingleRowText };
constexpr PgMode kPgModes[] = {PgMode::BinaryParams, PgMode::TextExec, PgMode::SingleRowBinary,
                               PgMode::SingleRowText};
const char* pg_mode_name(PgMode mode);

void pg_peer(int listen_fd, int64_t rows);
RunResult pg_fetch_client(int port, int64_t rows, PgMode mode);

}  // namespace suite
