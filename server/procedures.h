// Built-in procedures and functions (listed in server/README.md).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "params.h"

struct sqlite3;

namespace kvcd {

// The text of "show version" and of kvc_version().
const char* server_version_text();

// Registers the built-in functions as SQL functions of the connection, so
// that they work both in CALL and inside any statement.
void register_builtin_functions(sqlite3* db);

struct OutputValue {
    int32_t index;  // slot in the client's parameter set
    int32_t type;
    std::string bytes;
};

struct ProcedureOutcome {
    std::string error;                 // non-empty: the call failed
    std::vector<OutputValue> outputs;  // 'P' messages
    bool has_return = false;           // 'O' message
    int32_t return_type = 0;
    std::string return_bytes;
    std::string result_sql;            // a result set to stream after the outputs
    std::vector<ParamValue> result_args;
};

// Runs "CALL name(...)" / "EXEC name ..." with the parameters the client sent.
ProcedureOutcome call_builtin(sqlite3* db, const std::string& name, const std::vector<ParamValue>& args);

}  // namespace kvcd
