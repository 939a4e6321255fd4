// The exported interface: every KVC_ function, grouped by family. Each checks
// its handle, then hands the work to the area that owns it.
#include "kvc.h"
#include "kvc_command.h"
#include "kvc_connect.h"
#include "kvc_inner.h"
#include "kvc_params.h"
#include "kvc_rowset.h"
#include "kvc_utility.h"

#include <cstdlib>
#include <cstring>

namespace {

// The record behind a caller's handle variable, if it is of the given kind.
template <typename Record>
Record* handle_as(void** handle, int32_t kind) {
    if (handle == nullptr || *handle == nullptr) return nullptr;
    Record* record = static_cast<Record*>(*handle);
    return record->handle_kind == kind ? record : nullptr;
}

int32_t handle_kind_of(void** handle) {
    if (handle == nullptr || *handle == nullptr) return 0;
    return *static_cast<int32_t*>(*handle);
}

}  // namespace

// =============================================================================
// Connections: open, address lists, reconnect
// =============================================================================


// =============================================================================
// Closing a connection
// =============================================================================


// =============================================================================
// Connection and result attributes
// =============================================================================

int KVC_GetAttr(void** handle, int id, void* value, int buffer_length, int* type, int* length) {
    switch (handle_kind_of(handle)) {
        case HANDLE_CONNECTION:
            return get_conn_attrs(static_cast<Conn_Attrs*>(*handle), id, value, buffer_length,
                                  type, length);
        case HANDLE_RESULT:
            return get_result_attrs(static_cast<Result*>(*handle), id, value, buffer_length, type,
                                    length);
        case HANDLE_PARAMS:
        case HANDLE_LOB:
            return 0;   // these kinds have no attributes to report
        default:
            return -3;
    }
}

int KVC_SetAttr(void** handle, int id, void* value, int length) {
    if (handle == nullptr || *handle == nullptr) return -3;
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, HANDLE_CONNECTION);
    if (conn == nullptr) return 0;   // only connections have settable attributes
    if ((id == 11 || id == 12) && value == nullptr) return -3;
    return set_conn_attrs(conn, id, value, length) < 0 ? -1 : 0;
}


// =============================================================================
// Direct execution and prepared statements
// =============================================================================

#include <cstdio>

namespace {

const char kNoDefaultStatement[] =
    "[EC023]Error Execute without a default prepare ,or you can KVC_Execute2 with a prepare_name "
    "value\n";

// Writes a command with the given parameter header, then the bound set's
// values when a set is bound, and flushes.
void send_with_params(Conn_Attrs* conn, const char* text, int32_t announced) {
    KVCSParam* set = conn->bound_params;
    sendCommand_n(conn, text, set != nullptr ? announced : 0);
    if (set != nullptr) send_params(conn, set);
    rh_flush(conn);
}

void send_with_bound_params(Conn_Attrs* conn, const char* text) {
    const KVCSParam* set = conn->bound_params;
    send_with_params(conn, text, set != nullptr ? set->param_count : 0);
}

void free_result_chain(Result* result) {
    while (result != nullptr) {
        Result* next = result->next_result;
        free_Result(result);
        result = next;
    }
}

// The reply's results go to the caller's slot; without a slot they are released.
void hand_out_results(Result* received, void** slot) {
    if (slot != nullptr)
        *slot = received;
    else
        free_result_chain(received);
}

// A failed execution leaves nothing in the caller's slot.
void drop_results(Result* received, void** slot) {
    free_result_chain(received);
    if (slot != nullptr) *slot = nullptr;
}

// A server error met by a named statement is reported with the command text.
void wrap_statement_error(Conn_Attrs* conn, const char* command) {
    if (conn->error_text != nullptr)
        kvc_set_textf(&conn->error_text, "sql:%s errinfo: %s \n", command, conn->error_text);
}

// Statement names are "STC" and the connection's counter, taken and advanced.
void next_statement_name(Conn_Attrs* conn, char* name, size_t size) {
    int32_t seq = conn->prepare_seq;
    conn->prepare_seq = seq == INT32_MAX ? 0 : seq + 1;
    snprintf(name, size, "STC%d", static_cast<int>(seq));
}

constexpr size_t kStatementNameSize = 15;   // "STC" and any int, with the terminator

// One direct execution: the SQL text with the bound set's values, then the
// reply read by read_reply; the bound set serves this execution only.
template <typename ReadReply>
int execute_direct(void** handle, const char* sql, ReadReply read_reply) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, HANDLE_CONNECTION);
    if (conn == nullptr || sql == nullptr) return -3;
    int refused = check_prepared_params_bound(conn);
    if (refused != 0) return refused;
    ConnLockGuard lock(conn);
    send_with_bound_params(conn, sql);
    int status = read_reply(conn);
    release_bound_params(conn);
    return status;
}

int prepare_default(Conn_Attrs* conn, const char* sql) {
    if (conn->has_prepared == 1) {
        int released = kvc_cmd_Unprepare(conn, conn->prepared_name);
        if (released < 0) return released;
        memset(conn->prepared_name, 0, sizeof conn->prepared_name);
    }
    next_statement_name(conn, conn->prepared_name, sizeof conn->prepared_name);
    return kvc_cmd_Prepare(conn, sql, conn->prepared_name);
}

int execute_default(Conn_Attrs* conn, void** result) {
    if (conn->has_prepared == 0) {
        kvc_set_text(&conn->error_text, kNoDefaultStatement);
        return -1;
    }
    int refused = check_prepared_params_bound(conn);
    if (refused != 0) return refused;
    OwnedText command;
    kvc_set_textf(command.slot(), "? %s ", conn->prepared_name);
    if (command.get() == nullptr) return -5;
    ConnLockGuard lock(conn);
    send_with_bound_params(conn, command.get());
    Result* received = nullptr;
    int status = recv_Query_Rs(conn, &received);
    hand_out_results(received, result);
    release_bound_params(conn);
    return status;
}

// Executes a named statement; a failed execution keeps the bound set.
int execute_named(Conn_Attrs* conn, const char* name, void** result) {
    OwnedText command;
    kvc_set_textf(command.slot(), "? %s ", name);
    if (command.get() == nullptr) return -5;
    ConnLockGuard lock(conn);
    send_with_bound_params(conn, command.get());
    Result* received = nullptr;
    int status = recv_Query_Rs(conn, &received);
    if (status < 0) {
        wrap_statement_error(conn, command.get());
        drop_results(received, result);
        return status;
    }
    hand_out_results(received, result);
    release_bound_params(conn);
    return status;
}

// Declares and opens a cursor over a named statement; its name, "<name>_CUR",
// goes to the caller's buffer.
int execute_into_cursor(Conn_Attrs* conn, const char* name, char* cursor, void** result) {
    size_t name_length = strlen(name);
    memcpy(cursor, name, name_length);
    memcpy(cursor + name_length, "_CUR", 5);
    OwnedText declare;
    kvc_set_textf(declare.slot(), "DECLARE  %s CURSOR FOR %s ", cursor, name);
    OwnedText open;
    kvc_set_textf(open.slot(), "OPEN %s ;", cursor);
    if (declare.get() == nullptr || open.get() == nullptr) return -5;

    ConnLockGuard lock(conn);
    send_with_bound_params(conn, declare.get());
    Result* declared = nullptr;
    int status = recv_Query_Rs(conn, &declared);
    if (status < 0) {
        wrap_statement_error(conn, declare.get());
        drop_results(declared, result);
        return status;
    }
    sendCommand0(conn, open.get());
    char* server_text = nullptr;
    int opened = recv_simple_reply(conn, &server_text);
    if (opened == -1) {
        // The refusal is reported in the text; the status stays the DECLARE's.
        free(conn->error_text);
        conn->error_text = server_text;
    } else if (opened < 0) {
        drop_results(declared, result);
        return opened;
    }
    hand_out_results(declared, result);
    release_bound_params(conn);
    return status;
}

}  // namespace

int KVC_Execute_no_query(void** conn, const char* sql) {
    return execute_direct(conn, sql, [](Conn_Attrs* c) { return recv_noQuery(c); });
}

int KVC_Execute_query_with_one(void** conn, const char* sql, char* value, int* type) {
    if (value == nullptr || type == nullptr) return -3;
    return execute_direct(conn, sql,
                          [&](Conn_Attrs* c) { return recv_Query_One(c, value, type); });
}

int KVC_ExecwithDataReader(void** conn, const char* sql, void** result, int* columns,
                           int64_t* rows, int* affected) {
    return execute_direct(conn, sql, [&](Conn_Attrs* c) {
        Result* received = nullptr;
        int status = recv_Query_Rs(c, &received);
        if (received != nullptr) {
            if (columns != nullptr) *columns = received->column_count;
            if (rows != nullptr) *rows = received->row_count;
            if (affected != nullptr) *affected = received->affected_rows;
        }
        hand_out_results(received, result);
        return status;
    });
}

int KVC_Prepare(void** handle, char* sql) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, HANDLE_CONNECTION);
    if (conn == nullptr || sql == nullptr) return -3;
    return prepare_default(conn, sql);
}

int KVC_Prepare2(void** handle, const char* sql, char* name) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, HANDLE_CONNECTION);
    if (conn == nullptr || sql == nullptr) return -3;
    if (name == nullptr) return prepare_default(conn, sql);
    // A named statement leaves the default one as it is.
    const int32_t had_default = conn->has_prepared;
    next_statement_name(conn, name, kStatementNameSize);
    int status = kvc_cmd_Prepare(conn, sql, name);
    conn->has_prepared = had_default;
    return status;
}

int KVC_Execute(void** handle, void** result) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, HANDLE_CONNECTION);
    if (conn == nullptr) return -3;
    return execute_default(conn, result);
}

int KVC_Execute2(void** handle, const char* name, char* cursor, void** result) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, HANDLE_CONNECTION);
    if (conn == nullptr) return -3;
    if (name == nullptr && cursor == nullptr) return execute_default(conn, result);
    if (name == nullptr) {
        // A cursor over the default statement.
        if (conn->has_prepared == 0) {
            kvc_set_text(&conn->error_text, kNoDefaultStatement);
            return -1;
        }
        name = conn->prepared_name;
    }
    int refused = check_prepared_params_bound(conn);
    if (refused != 0) return refused;
    if (cursor == nullptr) return execute_named(conn, name, result);
    return execute_into_cursor(conn, name, cursor, result);
}

int KVC_UnPrepare(void** handle, const char* name) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, HANDLE_CONNECTION);
    if (conn == nullptr) return -3;
    if (name == nullptr) {
        int status = kvc_cmd_Unprepare(conn, conn->prepared_name);
        conn->has_prepared = 0;
        return status;
    }
    // Releasing a named statement leaves the default one as it was.
    const int32_t had_default = conn->has_prepared;
    int status = kvc_cmd_Unprepare(conn, name);
    conn->has_prepared = had_default;
    return status;
}

int KVC_Execute_procesure(void** handle, const char* sql, void** result) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, HANDLE_CONNECTION);
    if (conn == nullptr || sql == nullptr) return -3;
    if (result != nullptr) *result = nullptr;
    int refused = check_prepared_params_bound(conn);
    if (refused != 0) return refused;
    ConnLockGuard lock(conn);
    KVCSParam* set = conn->bound_params;
    if (set == nullptr) {
        send_with_params(conn, sql, 0);
        return recv_noQuery(conn);
    }
    // Input copies are released after sending; the output slots wait for the reply.
    const int32_t kept_ownership = set->owns_input_copies;
    set->owns_input_copies = 1;
    const int32_t count = set->param_count;
    // A return value is not a parameter of the call text, so it is not announced.
    const bool ends_with_return = count >= 1 && set->directions != nullptr &&
                                  set->directions[count - 1] == PARAM_RETURN_VALUE;
    send_with_params(conn, sql, ends_with_return ? count - 1 : count);
    Result* received = nullptr;
    int status = recv_noQuery_OP(conn, result != nullptr ? &received : nullptr);
    if (result != nullptr) *result = received;
    if (set->origin != PARAMS_CALLER && set->param_count > 0) kvc_free_re_outparams(set);
    set->owns_input_copies = kept_ownership;
    return status;
}

int KVC_GetFunReturnType(void** handle, int* c_type) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, HANDLE_CONNECTION);
    if (conn == nullptr || c_type == nullptr) return -3;
    ConnLockGuard lock(conn);
    if (conn->function_return_type < 1) return -1;
    *c_type = getSQLCType(conn->function_return_type);
    return 0;
}

int KVC_GetLastInsertId(void** handle, char* buf) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, HANDLE_CONNECTION);
    if (conn == nullptr || buf == nullptr) return -3;
    ConnLockGuard lock(conn);
    size_t length = strnlen(conn->last_insert_id, sizeof conn->last_insert_id - 1);
    memcpy(buf, conn->last_insert_id, length);
    buf[length] = '\0';
    return 0;
}


// =============================================================================
// Server cursors
// =============================================================================

namespace {

constexpr int kCursorFetchRows = 20000;

}  // namespace

int KVC_ExecwithServerCursorReader(void** handle, const char* sql, const char* cursor,
                                   void** result, int* columns, void* /*unused*/) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, HANDLE_CONNECTION);
    if (conn == nullptr || sql == nullptr || cursor == nullptr) return -3;
    int refused = check_prepared_params_bound(conn);
    if (refused != 0) return refused;
    OwnedText declare;
    kvc_set_textf(declare.slot(), "DECLARE %s CURSOR FOR %s ", cursor, sql);
    OwnedText open;
    kvc_set_textf(open.slot(), "OPEN %s ;", cursor);
    if (declare.get() == nullptr || open.get() == nullptr) return -5;

    ConnLockGuard lock(conn);
    // The bound set stays bound: the cursor's query may be declared again.
    send_with_bound_params(conn, declare.get());
    Result* declared = nullptr;
    int declared_status = recv_Query_Rs(conn, &declared);
    if (declared_status < 0) {
        // Nothing was declared, so there is nothing to open.
        free_result_chain(declared);
        return declared_status;
    }
    sendCommand0(conn, open.get());
    char* server_text = nullptr;
    int opened = recv_simple_reply(conn, &server_text);
    if (opened != 0) {
        free_result_chain(declared);
        if (server_text != nullptr) {
            free(conn->error_text);
            conn->error_text = server_text;
        }
        return opened;
    }
    if (columns != nullptr) *columns = declared != nullptr ? declared->column_count : 0;
    if (declared != nullptr) declared->conn = conn;
    hand_out_results(declared, result);
    return 0;
}

int KVC_FetchServerCursorRowset(void** handle, const char* cursor, void** result) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, HANDLE_CONNECTION);
    if (conn == nullptr || cursor == nullptr) return -3;
    OwnedText fetch;
    kvc_set_textf(fetch.slot(), "FETCH  %d  FROM  %s ", kCursorFetchRows, cursor);
    if (fetch.get() == nullptr) return -5;
    ConnLockGuard lock(conn);
    sendCommand0(conn, fetch.get());
    Result* fetched = nullptr;
    int status = recv_Query_Cursor(conn, &fetched);
    hand_out_results(fetched, result);
    return status;
}

int KVC_FetchServerCursorRowset_V2(void** handle, const char* fetch_sql, void** result) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, HANDLE_CONNECTION);
    if (conn == nullptr || fetch_sql == nullptr) return -3;
    if (handle_kind_of(result) == HANDLE_RESULT) {
        free_Result(static_cast<Result*>(*result));
        *result = nullptr;
    }
    ConnLockGuard lock(conn);
    sendCommand0(conn, fetch_sql);
    Result* fetched = nullptr;
    int status = recv_Query_Cursor(conn, &fetched);
    if (fetched != nullptr) fetched->read_pos = 0;
    hand_out_results(fetched, result);
    return status;
}

int KVC_FetchRefCursorHead(void** handle, const char* cursor, void** result, int* columns,
                           int64_t* rows, int* count) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, HANDLE_CONNECTION);
    if (conn == nullptr || cursor == nullptr || count == nullptr) return -3;
    OwnedText fetch;
    kvc_set_textf(fetch.slot(), "FETCH %d  FROM %s ", *count, cursor);
    if (fetch.get() == nullptr) return -5;
    ConnLockGuard lock(conn);
    sendCommand0(conn, fetch.get());
    Result* fetched = nullptr;
    int status = recv_Query_Rs(conn, &fetched);
    if (columns != nullptr) *columns = fetched != nullptr ? fetched->column_count : 0;
    if (rows != nullptr) *rows = fetched != nullptr ? fetched->row_count : 0;
    hand_out_results(fetched, result);
    // Server errors show in the connection's text; a reply that brought
    // nothing because the connection broke is not a success.
    return fetched == nullptr && status < 0 ? status : 0;
}

int KVC_CloseCursor(void** handle, const char* cursor) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, HANDLE_CONNECTION);
    if (conn == nullptr || cursor == nullptr) return -3;
    OwnedText close;
    kvc_set_textf(close.slot(), "CLOSE %s ", cursor);
    if (close.get() == nullptr) return -5;
    ConnLockGuard lock(conn);
    sendCommand0(conn, close.get());
    char* server_text = nullptr;
    int status = recv_simple_reply(conn, &server_text);
    if (status == -1) {
        kvc_set_textf(&conn->error_text, "[EC027]Error :%s Close Cursor %s  \n", server_text,
                      cursor);
        free(server_text);
    }
    return status;
}


// =============================================================================
// Errors
// =============================================================================


// =============================================================================
// Generic handle operations
// =============================================================================


// =============================================================================
// Result access
// =============================================================================


// =============================================================================
// Parameter sets and binding
// =============================================================================


// =============================================================================
// Array binding and batches
// =============================================================================


// =============================================================================
// Large objects
// =============================================================================


// =============================================================================
// Helpers: statement class, datetime text
// =============================================================================

