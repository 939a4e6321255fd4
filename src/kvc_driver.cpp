// The exported interface: every KVC_ function, grouped by family. Each checks
// its handle, then hands the work to the area that owns it.
#include "kvc.h"
#include "kvc_command.h"
#include "kvc_connect.h"
#include "kvc_inner.h"
#include "kvc_params.h"
#include "kvc_rowset.h"
#include "kvc_utility.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>
#include <unistd.h>

namespace {

// Seconds a receive may wait when the connection string sets no RECV_TIMEOUT.
constexpr int32_t kDefaultRecvTimeout = 1800;

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

namespace {

const char kTextOpenSocket[] = "[EC011]Error in build-connect Sock Failure";
const char kTextOpenLogin[] = "[EC012]Error in build-database-connect LOGIN database Failure";
const char kTextIpsSocket[] = "[EC013]Error IPS Connect database Failed,sock build failure!\n";
const char kTextIpsLogin[] = "[EC014]IPS LOGIN database Failure,IP is %s  \n";
const char kTextIpsNoList[] =
    "[EC015]Error IPS Connect database Failed,the connection string holds no IPS= address list\n";

// Varies the seed of each new working list, so that opens made within the
// same second still spread over the addresses.
int g_ips_list_counter = 0;

// A zero-filled connection record with the defaults that the string may override.
Conn_Attrs* new_connection(void** handle, const char* text) {
    Conn_Attrs* conn = static_cast<Conn_Attrs*>(hr_malloc0(sizeof(Conn_Attrs)));
    if (conn == nullptr) return nullptr;
    *handle = conn;
    conn->handle_kind = KVC_HANDLE_CONNECTION;
    conn->lock_timeout = 300;
    kv_strcpy_s(conn->protocol_version, sizeof conn->protocol_version, "301");
    Phrase_conn_str(text, conn);
    return conn;
}

// The caller's working list, copied from the list parsed out of the string.
Ips_Artrs* new_working_list(const Ips_Artrs* parsed) {
    Ips_Artrs* list = static_cast<Ips_Artrs*>(hr_malloc0(sizeof(Ips_Artrs)));
    if (list == nullptr) return nullptr;
    const size_t count = static_cast<size_t>(parsed->addr_count);
    list->addrs = static_cast<char**>(hr_malloc0(sizeof(char*) * count));
    list->failed_addrs = static_cast<char**>(hr_malloc0(sizeof(char*) * (count + 1)));
    if (list->addrs == nullptr || list->failed_addrs == nullptr) {
        free_ips_list(list);
        return nullptr;
    }
    list->addr_slots = parsed->addr_count;
    for (int i = 0; i < parsed->addr_count; ++i) {
        list->addrs[i] = kvc_strdup(parsed->addrs[i] != nullptr ? parsed->addrs[i] : "");
        list->addr_count = i + 1;   // what free_ips_list must release if the next copy fails
        if (list->addrs[i] == nullptr) {
            free_ips_list(list);
            return nullptr;
        }
    }
    list->live_count = list->addr_count;
    return list;
}

bool usable_working_list(const Ips_Artrs* list) {
    return list->addrs != nullptr && list->failed_addrs != nullptr && list->live_count >= 1 &&
           list->live_count <= list->addr_count;
}

void try_address(Conn_Attrs* conn, Ips_Artrs* list, int index) {
    const char* address = list->addrs[index];
    kv_strcpy_s(conn->server_ip, sizeof conn->server_ip, address != nullptr ? address : "");
    list->current_index = index;
}

// The address that just failed leaves the rotation: it goes to the next free
// slot of failed_addrs, and the last live address takes its place.
void retire_current_address(Ips_Artrs* list) {
    const int last_live = list->live_count - 1;
    list->failed_addrs[list->addr_count - list->live_count] = list->addrs[list->current_index];
    if (list->current_index != last_live) list->addrs[list->current_index] = list->addrs[last_live];
    list->addrs[last_live] = nullptr;
    list->live_count -= 1;
}

}  // namespace

int KVC_OpenConn(const char* conn_str, void** conn_handle) {
    if (conn_str == nullptr) return KVC_ERROR;
    if (conn_handle == nullptr) return KVC_BAD_HANDLE;
    Conn_Attrs* conn = new_connection(conn_handle, conn_str);
    if (conn == nullptr) return KVC_NO_MEMORY;
    conn->pushed_back_byte = 0;
    if (conn->recv_timeout <= 0) conn->recv_timeout = kDefaultRecvTimeout;
    conn_lock_init(conn);
    conn->sock_fd = 0;
    if (!Build_connect(conn)) {
        kvc_set_text(&conn->error_text, kTextOpenSocket);
        return KVC_CONNECT_FAILED;
    }
    if (!Login_database(conn)) {
        if (!login_refused_by_library(conn)) kvc_set_text(&conn->error_text, kTextOpenLogin);
        return KVC_LOGIN_FAILED;
    }
    return KVC_OPEN_OK;
}

int KVC_OpenConn_Ips(const char* conn_str, int seq, void** ips, void** conn_handle) {
    if (conn_str == nullptr || ips == nullptr || conn_handle == nullptr) return KVC_BAD_HANDLE;
    Conn_Attrs* conn = new_connection(conn_handle, conn_str);
    if (conn == nullptr) return KVC_NO_MEMORY;

    // Wide, so that adding 3 per failed address can never wrap.
    int64_t sequence = seq;
    Ips_Artrs* made_here = nullptr;   // a list this call built and stored
    for (;;) {
        Ips_Artrs* list = static_cast<Ips_Artrs*>(*ips);
        if (sequence > 1 && list != nullptr) {
            if (!usable_working_list(list)) {
                kvc_set_text(&conn->error_text, kTextIpsSocket);
                return KVC_CONNECT_FAILED;
            }
            try_address(conn, list, static_cast<int>(sequence % list->live_count));
        } else {
            // A retry that comes back here (seq still 1 or less) replaces the
            // list it built itself; that one is nobody else's to free.
            if (list != nullptr && (sequence == -1 || list == made_here)) {
                free_ips_list(list);
                *ips = nullptr;
            }
            if (!conn->has_ips || conn->ips == nullptr || conn->ips->addr_count < 1) {
                kvc_set_text(&conn->error_text, kTextIpsNoList);
                return KVC_BAD_HANDLE;
            }
            list = new_working_list(conn->ips);
            if (list == nullptr) return KVC_NO_MEMORY;
            ++g_ips_list_counter;
            srand(static_cast<unsigned>(time(nullptr)) + static_cast<unsigned>(g_ips_list_counter));
            try_address(conn, list, rand() % list->addr_count);
            *ips = list;
            made_here = list;
        }

        // A LOCK_TIMEOUT item has no effect on this kind of open.
        conn->pushed_back_byte = 0;
        conn->lock_timeout = 300;
        if (conn->recv_timeout <= 0) conn->recv_timeout = kDefaultRecvTimeout;
        kv_strcpy_s(conn->protocol_version, sizeof conn->protocol_version, "301");
        conn->sock_fd = 0;
        if (Build_connect(conn)) break;

        if (list->live_count <= 1) {
            kvc_set_text(&conn->error_text, kTextIpsSocket);
            return KVC_CONNECT_FAILED;
        }
        retire_current_address(list);
        free(conn->error_text);
        conn->error_text = nullptr;
        sequence += 3;
    }

    // A refused login does not move on to another address.
    if (!Login_database(conn)) {
        if (!login_refused_by_library(conn))
            kvc_set_textf(&conn->error_text, kTextIpsLogin, conn->server_ip);
        return KVC_LOGIN_FAILED;
    }
    conn_lock_init(conn);
    return 0;
}

int KVC_ReconnectConn(void** conn_handle) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(conn_handle, KVC_HANDLE_CONNECTION);
    if (conn == nullptr) return KVC_BAD_HANDLE;
    return Conn_reconnect(conn);
}

int Release_IpsAttrs(void** ips) {
    if (ips == nullptr || *ips == nullptr) return KVC_ERROR;
    free_ips_list(static_cast<Ips_Artrs*>(*ips));
    *ips = nullptr;
    return 0;
}

int SetConnStr(void*, void*) { return 0; }
int GetConnStr(void*, void*) { return 0; }
int kvc_conn_free_server_resources(void) { return 0; }


// =============================================================================
// Closing a connection
// =============================================================================

int KVC_CloseConn(void** conn_handle) {
    if (conn_handle == nullptr || *conn_handle == nullptr) return KVC_ERROR;
    Conn_Attrs* conn = handle_as<Conn_Attrs>(conn_handle, KVC_HANDLE_CONNECTION);
    if (conn == nullptr) return KVC_BAD_HANDLE;

    // The one exchange with the server; a failure does not stop the close.
    Conn_free_server_resources(conn);
    free_conn_record(conn);
    *conn_handle = nullptr;
    return 0;
}


// =============================================================================
// Connection and result attributes
// =============================================================================

int KVC_GetAttr(void** handle, int id, void* value, int buffer_length, int* type, int* length) {
    switch (handle_kind_of(handle)) {
        case KVC_HANDLE_CONNECTION:
            return get_conn_attrs(static_cast<Conn_Attrs*>(*handle), id, value, buffer_length,
                                  type, length);
        case KVC_HANDLE_RESULT:
            return get_result_attrs(static_cast<Result*>(*handle), id, value, buffer_length, type,
                                    length);
        case KVC_HANDLE_PARAMS:
        case KVC_HANDLE_LOB:
            return 0;   // these kinds have no attributes to report
        default:
            return KVC_BAD_HANDLE;
    }
}

int KVC_SetAttr(void** handle, int id, void* value, int length) {
    if (handle == nullptr || *handle == nullptr) return KVC_BAD_HANDLE;
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, KVC_HANDLE_CONNECTION);
    if (conn == nullptr) return 0;   // only connections have settable attributes
    if ((id == 11 || id == 12) && value == nullptr) return KVC_BAD_HANDLE;
    return set_conn_attrs(conn, id, value, length) < 0 ? KVC_ERROR : KVC_OK;
}


// =============================================================================
// Direct execution and prepared statements
// =============================================================================


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

// The reply's results go to the caller's slot; without a slot they are released.
void hand_out_results(Result* received, void** slot) {
    if (slot != nullptr)
        *slot = received;
    else
        free_result_chain(received);
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
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, KVC_HANDLE_CONNECTION);
    if (conn == nullptr || sql == nullptr) return KVC_BAD_HANDLE;
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
        return KVC_ERROR;
    }
    int refused = check_prepared_params_bound(conn);
    if (refused != 0) return refused;
    OwnedText command;
    kvc_set_textf(command.slot(), "? %s ", conn->prepared_name);
    if (command.get() == nullptr) return KVC_NO_MEMORY;
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
    if (command.get() == nullptr) return KVC_NO_MEMORY;
    ConnLockGuard lock(conn);
    send_with_bound_params(conn, command.get());
    Result* received = nullptr;
    int status = recv_Query_Rs(conn, &received);
    if (status < 0) {
        wrap_statement_error(conn, command.get());
        free_result_chain(received);   // the caller's slot keeps what it held
        return status;
    }
    hand_out_results(received, result);
    release_bound_params(conn);
    return status;
}

// What a DECLARE followed by an OPEN left: the DECLARE's status and result,
// and the OPEN's reply status (not sent when the DECLARE failed).
struct CursorOpening {
    int declared_status = 0;
    Result* declared = nullptr;
    int opened = 0;
};

// Declares a cursor with the bound set's values and opens it; the caller
// holds the lock. A refused OPEN leaves the server's text as the connection's.
CursorOpening declare_and_open(Conn_Attrs* conn, const char* declare, const char* cursor) {
    CursorOpening step;
    OwnedText open;
    kvc_set_textf(open.slot(), "OPEN %s ;", cursor);
    if (open.get() == nullptr) {
        step.declared_status = KVC_NO_MEMORY;
        return step;
    }
    send_with_bound_params(conn, declare);
    step.declared_status = recv_Query_Rs(conn, &step.declared);
    // Nothing was declared, so there is nothing to open.
    if (step.declared_status < 0) return step;
    sendCommand0(conn, open.get());
    char* server_text = nullptr;
    step.opened = recv_simple_reply(conn, &server_text);
    if (server_text != nullptr) {
        free(conn->error_text);
        conn->error_text = server_text;
    }
    return step;
}

// Declares and opens a cursor over a named statement; its name, "<name>_CUR",
// goes to the caller's buffer.
int execute_into_cursor(Conn_Attrs* conn, const char* name, char* cursor, void** result) {
    size_t name_length = strlen(name);
    memcpy(cursor, name, name_length);
    memcpy(cursor + name_length, "_CUR", 5);
    OwnedText declare;
    kvc_set_textf(declare.slot(), "DECLARE  %s CURSOR FOR %s ", cursor, name);
    if (declare.get() == nullptr) return KVC_NO_MEMORY;

    ConnLockGuard lock(conn);
    CursorOpening step = declare_and_open(conn, declare.get(), cursor);
    if (step.declared_status < 0) {
        wrap_statement_error(conn, declare.get());
        free_result_chain(step.declared);
        return step.declared_status;
    }
    // A refused OPEN is reported in the text; the status stays the DECLARE's.
    if (step.opened < KVC_ERROR) {
        free_result_chain(step.declared);
        return step.opened;
    }
    hand_out_results(step.declared, result);
    release_bound_params(conn);
    return step.declared_status;
}

}  // namespace

int KVC_Execute_no_query(void** conn, const char* sql) {
    return execute_direct(conn, sql, [](Conn_Attrs* c) { return recv_noQuery(c); });
}

int KVC_Execute_query_with_one(void** conn, const char* sql, char* value, int* type) {
    if (value == nullptr || type == nullptr) return KVC_BAD_HANDLE;
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
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, KVC_HANDLE_CONNECTION);
    if (conn == nullptr || sql == nullptr) return KVC_BAD_HANDLE;
    return prepare_default(conn, sql);
}

int KVC_Prepare2(void** handle, const char* sql, char* name) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, KVC_HANDLE_CONNECTION);
    if (conn == nullptr || sql == nullptr) return KVC_BAD_HANDLE;
    if (name == nullptr) return prepare_default(conn, sql);
    // A named statement leaves the default one as it is.
    const int32_t had_default = conn->has_prepared;
    next_statement_name(conn, name, kStatementNameSize);
    int status = kvc_cmd_Prepare(conn, sql, name);
    conn->has_prepared = had_default;
    return status;
}

int KVC_Execute(void** handle, void** result) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, KVC_HANDLE_CONNECTION);
    if (conn == nullptr) return KVC_BAD_HANDLE;
    return execute_default(conn, result);
}

int KVC_Execute2(void** handle, const char* name, char* cursor, void** result) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, KVC_HANDLE_CONNECTION);
    if (conn == nullptr) return KVC_BAD_HANDLE;
    if (name == nullptr && cursor == nullptr) return execute_default(conn, result);
    if (name == nullptr) {
        // A cursor over the default statement.
        if (conn->has_prepared == 0) {
            kvc_set_text(&conn->error_text, kNoDefaultStatement);
            return KVC_ERROR;
        }
        name = conn->prepared_name;
    }
    int refused = check_prepared_params_bound(conn);
    if (refused != 0) return refused;
    if (cursor == nullptr) return execute_named(conn, name, result);
    return execute_into_cursor(conn, name, cursor, result);
}

int KVC_UnPrepare(void** handle, const char* name) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, KVC_HANDLE_CONNECTION);
    if (conn == nullptr) return KVC_BAD_HANDLE;
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
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, KVC_HANDLE_CONNECTION);
    if (conn == nullptr || sql == nullptr) return KVC_BAD_HANDLE;
    if (result != nullptr) *result = nullptr;
    int refused = check_prepared_params_bound(conn);
    if (refused != 0) return refused;
    ConnLockGuard lock(conn);
    KVCSParam* set = conn->bound_params;
    if (set == nullptr) {
        send_with_params(conn, sql, 0);
        PausedReplyScope paused(conn);
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
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, KVC_HANDLE_CONNECTION);
    if (conn == nullptr || c_type == nullptr) return KVC_BAD_HANDLE;
    ConnLockGuard lock(conn);
    if (conn->function_return_type < 1) return KVC_ERROR;
    *c_type = getSQLCType(conn->function_return_type);
    return 0;
}

int KVC_GetLastInsertId(void** handle, char* buf) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, KVC_HANDLE_CONNECTION);
    if (conn == nullptr || buf == nullptr) return KVC_BAD_HANDLE;
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
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, KVC_HANDLE_CONNECTION);
    if (conn == nullptr || sql == nullptr || cursor == nullptr) return KVC_BAD_HANDLE;
    int refused = check_prepared_params_bound(conn);
    if (refused != 0) return refused;
    OwnedText declare;
    kvc_set_textf(declare.slot(), "DECLARE %s CURSOR FOR %s ", cursor, sql);
    if (declare.get() == nullptr) return KVC_NO_MEMORY;

    ConnLockGuard lock(conn);
    // The bound set stays bound: the cursor's query may be declared again.
    CursorOpening step = declare_and_open(conn, declare.get(), cursor);
    const int status = step.declared_status < 0 ? step.declared_status : step.opened;
    if (status != 0) {
        free_result_chain(step.declared);
        return status;
    }
    Result* declared = step.declared;
    if (columns != nullptr) *columns = declared != nullptr ? declared->column_count : 0;
    hand_out_results(declared, result);
    return 0;
}

int KVC_FetchServerCursorRowset(void** handle, const char* cursor, void** result) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, KVC_HANDLE_CONNECTION);
    if (conn == nullptr || cursor == nullptr) return KVC_BAD_HANDLE;
    OwnedText fetch;
    kvc_set_textf(fetch.slot(), "FETCH  %d  FROM  %s ", kCursorFetchRows, cursor);
    if (fetch.get() == nullptr) return KVC_NO_MEMORY;
    ConnLockGuard lock(conn);
    sendCommand0(conn, fetch.get());
    Result* fetched = nullptr;
    int status = recv_Query_Cursor(conn, &fetched);
    hand_out_results(fetched, result);
    return status;
}

int KVC_FetchServerCursorRowset_V2(void** handle, const char* fetch_sql, void** result) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, KVC_HANDLE_CONNECTION);
    if (conn == nullptr || fetch_sql == nullptr) return KVC_BAD_HANDLE;
    if (handle_kind_of(result) == KVC_HANDLE_RESULT) {
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
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, KVC_HANDLE_CONNECTION);
    if (conn == nullptr || cursor == nullptr || count == nullptr) return KVC_BAD_HANDLE;
    OwnedText fetch;
    kvc_set_textf(fetch.slot(), "FETCH %d  FROM %s ", *count, cursor);
    if (fetch.get() == nullptr) return KVC_NO_MEMORY;
    ConnLockGuard lock(conn);
    sendCommand0(conn, fetch.get());
    Result* fetched = nullptr;
    int status = recv_Query_Rs(conn, &fetched);
    if (columns != nullptr) *columns = fetched != nullptr ? fetched->column_count : 0;
    if (rows != nullptr) *rows = fetched != nullptr ? fetched->row_count : 0;
    hand_out_results(fetched, result);
    // Server errors show in the connection's text only; a reply that brought
    // nothing because the connection broke is not a success.
    return fetched == nullptr && status < KVC_ERROR ? status : 0;
}

int KVC_CloseCursor(void** handle, const char* cursor) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(handle, KVC_HANDLE_CONNECTION);
    if (conn == nullptr || cursor == nullptr) return KVC_BAD_HANDLE;
    OwnedText close;
    kvc_set_textf(close.slot(), "CLOSE %s ", cursor);
    if (close.get() == nullptr) return KVC_NO_MEMORY;
    ConnLockGuard lock(conn);
    sendCommand0(conn, close.get());
    char* server_text = nullptr;
    int status = recv_simple_reply(conn, &server_text);
    if (status == KVC_ERROR) {
        kvc_set_textf(&conn->error_text, "[EC027]Error :%s Close Cursor %s  \n", server_text,
                      cursor);
        free(server_text);
    }
    return status;
}


// =============================================================================
// Errors
// =============================================================================

namespace {

// The error text of a handle whose kind keeps one that callers may read:
// connections, results and large objects. Null for every other kind.
char** readable_error_slot(void** handle) {
    switch (handle_kind_of(handle)) {
        case KVC_HANDLE_CONNECTION: return &static_cast<Conn_Attrs*>(*handle)->error_text;
        case KVC_HANDLE_RESULT: return &static_cast<Result*>(*handle)->error_text;
        case KVC_HANDLE_LOB: return &static_cast<KolvaLob_*>(*handle)->error_text;
        default: return nullptr;
    }
}

}  // namespace

extern "C" int KVC_GetErrorLen(void** handle) {
    char** slot = readable_error_slot(handle);
    if (slot == nullptr || *slot == nullptr) return 0;
    size_t length = strlen(*slot);
    return length > INT32_MAX ? INT32_MAX : static_cast<int>(length);
}

extern "C" int KVC_GetError(void** handle, char* buf, int* len) {
    switch (handle_kind_of(handle)) {
        case KVC_HANDLE_RESULT: GetResError(static_cast<Result*>(*handle), buf, len); break;
        case KVC_HANDLE_LOB: GetLobError(static_cast<KolvaLob_*>(*handle), buf, len); break;
        case KVC_HANDLE_CONNECTION: GetConError(static_cast<Conn_Attrs*>(*handle), buf, len); break;
        default: break;
    }
    return 0;
}

extern "C" int KVC_GetErrorInfo(void** handle, char* code, char* message) {
    char** slot = readable_error_slot(handle);
    if (slot == nullptr) return 0;
    if (*slot == nullptr) return KVC_NO_MORE;
    if (code == nullptr || message == nullptr) return KVC_BAD_HANDLE;
    ErrorItem* item = getErrorItem(*slot);
    if (item == nullptr) return KVC_NO_MEMORY;
    // Six code bytes: a five-character code carries its zero byte with it.
    memcpy(code, item->code, 6);
    memcpy(message, item->message, static_cast<size_t>(item->message_length));
    int status = item->full_length > 0 ? KVC_OPEN_OK : KVC_OK;
    free_error_item(item);
    return status;
}

extern "C" int KVC_GetErrorInfoOption(void) { return 0; }


// =============================================================================
// Generic handle operations
// =============================================================================

extern "C" int KVC_Drop(void** handle) {
    if (handle == nullptr) return KVC_BAD_HANDLE;
    if (*handle == nullptr) return KVC_OK;
    switch (handle_kind_of(handle)) {
        case KVC_HANDLE_CONNECTION: return KVC_CloseConn(handle);
        case KVC_HANDLE_RESULT:
        case KVC_HANDLE_RESERVED: return KVC_FreeRowset(handle);
        case KVC_HANDLE_LOB: return KVC_Distroy_Lob(handle);
        case KVC_HANDLE_PARAMS: {
            KVCSParam* set = static_cast<KVCSParam*>(*handle);
            // Implicit and prepared sets belong to their connection.
            if (set->origin != PARAMS_CALLER) return KVC_BAD_HANDLE;
            // The whole set goes, output slots included: nothing can deliver
            // into it once the caller has let go of it.
            free_param_set(set);
            *handle = nullptr;
            return KVC_OK;
        }
        default: return KVC_BAD_HANDLE;
    }
}

extern "C" int KVC_Reset(void** handle) {
    switch (handle_kind_of(handle)) {
        case KVC_HANDLE_CONNECTION:
        case KVC_HANDLE_PARAMS: return KVC_ResetParams(handle);
        case KVC_HANDLE_LOB: KVC_Reset_Lob(handle); return KVC_OK;
        default: return KVC_OK;
    }
}

extern "C" int KVC_FreePtr(void** ptr) {
    if (ptr == nullptr) return KVC_BAD_HANDLE;
    free(*ptr);
    *ptr = nullptr;
    return KVC_OK;
}


// =============================================================================
// Result access
// =============================================================================


namespace {

// The result behind a handle. For any other kind *status is what the
// function answers: 0 for the reserved empty-result kind, -3 otherwise.
Result* result_for_access(void** handle, int* status) {
    Result* result = handle_as<Result>(handle, KVC_HANDLE_RESULT);
    if (result == nullptr) *status = handle_kind_of(handle) == KVC_HANDLE_RESERVED ? KVC_OK : KVC_BAD_HANDLE;
    return result;
}

// Column col (from 1) of the result behind a handle. Null when there is none,
// with *status set to what the function answers: the kind rule above, or
// out_of_range for a column number outside the result.
const FieldInfo* column_for_access(void** handle, int col, int out_of_range, int* status) {
    Result* result = result_for_access(handle, status);
    if (result == nullptr) return nullptr;
    if (col < 1 || col > result->column_count) {
        *status = out_of_range;
        return nullptr;
    }
    return &result->columns[col - 1];
}

// A column's caller-facing name: its alias when the name text had a "%",
// even an empty one.
const char* shown_name(const FieldInfo* column) {
    if (column->alias != nullptr) return column->alias;
    return column->column_name != nullptr ? column->column_name : "";
}

constexpr size_t kColInfoNameSize = 128;
constexpr size_t kInsertIdOutSize = 25;

void copy_name_out(char* out, const char* name) {
    if (out == nullptr) return;
    kv_strcpy_s(out, kColInfoNameSize, name);   // cleared, cut to fit, terminated
}

}  // namespace

extern "C" KVC_API int KVC_getResultColumnsnum(void** handle, int* count) {
    int status = 0;
    Result* result = result_for_access(handle, &status);
    if (result == nullptr) return status;
    if (count == nullptr) return KVC_BAD_HANDLE;
    *count = result->column_count;
    return 0;
}

extern "C" KVC_API int KVC_getResultRecordnum(void** handle, int* count) {
    int status = 0;
    Result* result = result_for_access(handle, &status);
    if (result == nullptr) return status;
    if (count == nullptr) return KVC_BAD_HANDLE;
    *count = static_cast<int>(result->row_count);
    return 0;
}

extern "C" KVC_API int KVC_getResultRet(void** handle, int* kind, int* columns, int* rows, int* affected,
                                        char* insert_id) {
    int status = 0;
    Result* result = result_for_access(handle, &status);
    if (result == nullptr) return status;
    if (kind != nullptr) *kind = result->result_kind;
    switch (result->result_kind) {
    case RESULT_ROWS:
        if (columns != nullptr) *columns = result->column_count;
        if (rows != nullptr) *rows = static_cast<int>(result->row_count);
        break;
    case RESULT_UPDATE_COUNT:
    case RESULT_DELETE_COUNT:
        if (affected != nullptr) *affected = result->affected_rows;
        break;
    case RESULT_INSERT_ID:
        // The caller's buffer has 25 bytes, cleared and then filled with the
        // characters that fit: a 25-character identifier keeps them all,
        // without a terminator, and only a longer one is cut.
        if (insert_id != nullptr) {
            memset(insert_id, 0, kInsertIdOutSize);
            memcpy(insert_id, result->insert_id, strnlen(result->insert_id, kInsertIdOutSize));
        }
        break;
    default:
        break;
    }
    return 0;
}

extern "C" KVC_API int KVC_getResultcolmodi(void** handle, int col, int* modifier) {
    int status = 0;
    const FieldInfo* column = column_for_access(handle, col, KVC_BAD_COLUMN, &status);
    if (column == nullptr) return status;
    if (modifier == nullptr) return KVC_BAD_HANDLE;
    *modifier = column->type_modifier;
    return 0;
}

extern "C" KVC_API int KVC_getResultcolType(void** handle, int col, int* c_type) {
    int status = 0;
    const FieldInfo* column = column_for_access(handle, col, KVC_BAD_COLUMN, &status);
    if (column == nullptr) return status;
    if (c_type == nullptr) return KVC_BAD_HANDLE;
    if (column->c_type != 0) *c_type = column->c_type;
    return 0;
}

extern "C" KVC_API int KVC_getResultcolname(void** handle, int col, char* name) {
    int status = 0;
    const FieldInfo* column = column_for_access(handle, col, KVC_ERROR, &status);
    if (column == nullptr) return status;
    if (name == nullptr) return KVC_BAD_HANDLE;
    const char* shown = shown_name(column);
    memcpy(name, shown, strlen(shown));   // no terminator, as callers of this function expect
    return 0;
}

extern "C" KVC_API int KVC_getResultcolseq(void** handle, const char* name) {
    int status = 0;
    Result* result = result_for_access(handle, &status);
    if (result == nullptr) return status;
    if (name == nullptr) return KVC_BAD_HANDLE;
    for (int i = 0; i < result->column_count; ++i)
        if (strcasecmp(shown_name(&result->columns[i]), name) == 0) return i + 1;
    return 0;
}

extern "C" KVC_API int KVC_getResultColInfo(void** handle, int col, char* table, char* column_name, char* alias,
                                            int* c_type, int* modifier, int* attribute) {
    int status = 0;
    const FieldInfo* column = column_for_access(handle, col, KVC_ERROR, &status);
    if (column == nullptr) return status;
    copy_name_out(table, column->table_name);
    copy_name_out(column_name, column->column_name);
    copy_name_out(alias, column->alias);
    if (c_type != nullptr) *c_type = column->c_type;
    if (modifier != nullptr) *modifier = column->type_modifier;
    if (attribute != nullptr) *attribute = column->column_attribute;
    return 0;
}

extern "C" KVC_API int KVC_ReadNext(void** handle) {
    int status = 0;
    Result* result = result_for_access(handle, &status);
    // The reserved empty kind has no rows: "no more rows", so that a caller's
    // read loop ends instead of spinning on a "row is current" answer.
    if (result == nullptr) return status == KVC_OK ? KVC_NO_MORE : status;
    return record_next(result);
}

extern "C" KVC_API int KVC_GetData(void** handle, int col, int c_type, void* dst, int dst_size, int* length) {
    int status = 0;
    Result* result = result_for_access(handle, &status);
    if (result == nullptr) return status;
    if (dst == nullptr) return KVC_BAD_HANDLE;
    return result_get_data(result, col, c_type, dst, dst_size, length);
}

extern "C" KVC_API int KVC_NextResult(void** handle) {
    if (handle == nullptr || *handle == nullptr) return KVC_BAD_HANDLE;
    Result* result = handle_as<Result>(handle, KVC_HANDLE_RESULT);
    if (result == nullptr) return 0;
    if (result->next_result == nullptr) return KVC_NO_MORE;
    *handle = result->next_result;
    free_Result(result);
    return 0;
}

// The results chained after this one are released with it: the caller can
// reach them only through this handle, so they would otherwise be lost.
extern "C" KVC_API int KVC_FreeRowset(void** handle) {
    if (handle == nullptr) return KVC_BAD_HANDLE;
    free_result_chain(handle_as<Result>(handle, KVC_HANDLE_RESULT));
    *handle = nullptr;
    return 0;
}


// =============================================================================
// Parameter sets and binding
// =============================================================================

namespace {

// The set a binding call works on, and where its refusals are written: a
// parameter set stands for itself; a connection for its bound set, created
// as an implicit set when it has none. 0, -3 or -5.
int binding_target(void** handle, KVCSParam** set, char*** error_slot) {
    const int32_t kind = handle_kind_of(handle);
    if (kind != KVC_HANDLE_CONNECTION && kind != KVC_HANDLE_PARAMS) return KVC_BAD_HANDLE;
    *set = resolve_param_handle(*handle, error_slot);
    if (*set != nullptr) return KVC_OK;
    kvc_set_text(*error_slot, param_text::kNoMemory);
    return KVC_NO_MEMORY;
}

// Runs an internal binder. A refusal that it explains in the set's own text
// is repeated in the connection's, the only text a caller can read back;
// an unsupported C type stays the set's alone.
template <typename Binder>
int run_binder(KVCSParam* set, char** error_slot, Binder binder) {
    char* previous = set->error_text;
    set->error_text = nullptr;
    const int status = binder();
    if (set->error_text == nullptr) {
        set->error_text = previous;
        return status;
    }
    free(previous);
    if (error_slot != &set->error_text && status != KVC_BAD_DATATYPE)
        kvc_set_text(error_slot, set->error_text);
    return status;
}

}  // namespace

extern "C" int KVC_CreateParams(void** params) {
    if (params == nullptr) return KVC_BAD_HANDLE;
    KVCSParam* set = new_param_set(PARAMS_CALLER);
    if (set == nullptr) return KVC_NO_MEMORY;
    *params = set;
    return KVC_OK;
}

extern "C" int KVC_ResetParams(void** handle) {
    switch (handle_kind_of(handle)) {
    case KVC_HANDLE_PARAMS:
        kvc_freeparams(static_cast<KVCSParam*>(*handle));
        return KVC_OK;
    case KVC_HANDLE_CONNECTION: {
        Conn_Attrs* conn = static_cast<Conn_Attrs*>(*handle);
        release_bound_params(conn);   // a caller-made set is only detached
        if (conn->current_result != nullptr) free_Result(conn->current_result);
        conn->current_result = nullptr;
        return KVC_OK;
    }
    default:
        return KVC_BAD_HANDLE;
    }
}

extern "C" int KVC_BindParams2Conn(void** conn_handle, void** params) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(conn_handle, KVC_HANDLE_CONNECTION);
    KVCSParam* set = handle_as<KVCSParam>(params, KVC_HANDLE_PARAMS);
    if (conn == nullptr || set == nullptr) return KVC_BAD_HANDLE;
    bind_params_to_conn(conn, set);
    return KVC_OK;
}

namespace {

// After the upper bound of the position, both position binders refuse a bad
// direction first and then a position below 1.
int check_direction_then_position(char** error_slot, int direction, int param_no) {
    if (!param_direction_valid(direction)) {
        kvc_set_textf(error_slot, param_text::kBadDirection, direction);
        return KVC_BAD_DIRECTION;
    }
    if (param_no < 1) {
        kvc_set_textf(error_slot, param_text::kBadParamSeq, param_no);
        return KVC_BAD_PARAM_SEQ;
    }
    return KVC_OK;
}

}  // namespace

extern "C" int KVC_BindParamByPos(void** handle, int param_no, int direction, int c_type,
                                  void* value, int buffer_length, int* length) {
    KVCSParam* set = nullptr;
    char** error_slot = nullptr;
    int status = binding_target(handle, &set, &error_slot);
    if (status != KVC_OK) return status;
    if (param_no > 4000) {
        kvc_set_textf(error_slot, param_text::kBadParamNo, param_no);
        return KVC_BAD_PARAM_NO;
    }
    status = check_direction_then_position(error_slot, direction, param_no);
    if (status != KVC_OK) return status;
    status = run_binder(set, error_slot, [&] {
        return kvc_bindparamsbypos(set, param_no, direction, c_type, value, buffer_length, length);
    });
    if (status == KVC_BAD_PARAM_JUMP) {
        kvc_set_textf(&set->error_text, param_text::kJumpTooLong, KVC_BAD_PARAM_JUMP);
        return status;
    }
    if (status == KVC_BINDER_REFUSED) {
        kvc_set_textf(&set->error_text, param_text::kBadBinderDirection, KVC_BINDER_REFUSED);
    }
    return status;
}

extern "C" int KVC_BindParamByName(void** handle, const char* name, int direction, int c_type,
                                   void* value, int buffer_length, int* reserved, int* length) {
    KVCSParam* set = nullptr;
    char** error_slot = nullptr;
    if (name == nullptr) return KVC_BAD_HANDLE;
    int status = binding_target(handle, &set, &error_slot);
    if (status != KVC_OK) return status;
    if (!param_direction_valid(direction)) {
        kvc_set_textf(error_slot, param_text::kBadDirectionByName, direction);
        return KVC_BAD_DIRECTION;
    }
    status = run_binder(set, error_slot, [&] {
        return kvc_bindparamsbyname(set, name, direction, c_type, value, buffer_length, reserved,
                                    length);
    });
    if (status == KVC_NAME_REFUSED) {
        // Only a connection keeps this text; the caller's own set gets none.
        if (error_slot != &set->error_text)
            kvc_set_textf(error_slot, param_text::kNameNotPrepared, name);
        return KVC_ERROR;
    }
    return status;
}



// =============================================================================
// Array binding and batches
// =============================================================================

extern "C" int KVC_BindParamArrayByPos(void** handle, int param_no, int param_total, int direction,
                                       int c_type, int array_size, void* values,
                                       int64_t total_size, int* lengths) {
    KVCSParam* set = nullptr;
    char** error_slot = nullptr;
    int status = binding_target(handle, &set, &error_slot);
    if (status != KVC_OK) return status;
    const bool through_conn = error_slot != &set->error_text;
    if (through_conn && (param_no > 4000 || param_total > 4000 || param_total < -1)) {
        kvc_set_textf(error_slot, param_text::kBadArrayParamNo, param_no, param_total);
        return KVC_BAD_PARAM_NO;
    }
    if (!through_conn && param_no > 4000) {
        kvc_set_textf(error_slot, param_text::kBadParamNo, param_no);
        return KVC_BAD_PARAM_NO;
    }
    status = check_direction_then_position(error_slot, direction, param_no);
    if (status != KVC_OK) return status;
    return run_binder(set, error_slot, [&] {
        return kvc_bindparamarraybypos(set, param_no, param_total, direction, c_type, array_size,
                                       values, total_size, lengths);
    });
}

extern "C" int KVC_BindParamArrayByName(void** handle, const char* name, int param_total,
                                        int direction, int c_type, int array_size, void* values,
                                        int total_size, int* lengths) {
    KVCSParam* set = nullptr;
    char** error_slot = nullptr;
    if (name == nullptr) return KVC_BAD_HANDLE;
    int status = binding_target(handle, &set, &error_slot);
    if (status != KVC_OK) return status;
    if (!param_direction_valid(direction)) {
        kvc_set_textf(error_slot, param_text::kBadDirection, direction);
        return KVC_BAD_DIRECTION;
    }
    return run_binder(set, error_slot, [&] {
        return kvc_bindparamarraybyname(set, name, param_total, direction, c_type, array_size,
                                        values, total_size, lengths);
    });
}

extern "C" int KVC_ExecBatch(void** conn_handle, const char* sql, int array_size) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(conn_handle, KVC_HANDLE_CONNECTION);
    if (conn == nullptr || sql == nullptr) return KVC_BAD_HANDLE;
    KVCSParam* set = conn->bound_params;
    if (set == nullptr) {
        kvc_set_text(&conn->error_text, param_text::kBatchWithoutParams);
        return KVC_ERROR;
    }
    // Single values (array size 0) are no batch, even for a count of 0: the
    // header would promise values that never come.
    if (set->array_size != array_size || (array_size < 1 && set->param_count > 0)) {
        kvc_set_textf(&conn->error_text, param_text::kBatchSizeMismatch, set->array_size,
                      array_size);
        return KVC_ERROR;
    }
    // Parameter count in the low 16 bits, rows in the high 16 bits.
    const uint32_t header = static_cast<uint32_t>(set->param_count) +
                            static_cast<uint32_t>(set->array_size) * 65536u;
    Result* received = nullptr;
    int status = 0;
    {
        ConnLockGuard lock(conn);
        sendCommand_n(conn, sql, static_cast<int32_t>(header));
        if (set->param_count != 0) kvc_sendparamS(conn, set);
        rh_flush(conn);
        status = recv_Query_Rs(conn, &received);
    }
    bool returned_rows = false;
    for (const Result* r = received; r != nullptr; r = r->next_result)
        if (r->result_kind == RESULT_ROWS) returned_rows = true;
    free_result_chain(received);
    if (!returned_rows) return status;
    // Rows mean the statement was no batch statement: a failure, not a count.
    kvc_set_text(&conn->error_text, param_text::kBatchWithRows);
    return KVC_ERROR;
}



// =============================================================================
// Large objects
// =============================================================================

namespace {

KolvaLob_* lob_of(void** handle) { return handle_as<KolvaLob_>(handle, KVC_HANDLE_LOB); }

// Kind check shared by reset and destroy, where a variable holding null is
// accepted as an empty object: 1 a LOB to work on, 0 nothing to do, -3 refused.
int lob_or_null(void** handle, KolvaLob_** lob) {
    *lob = nullptr;
    if (handle == nullptr) return KVC_BAD_HANDLE;
    if (*handle == nullptr) return 0;
    *lob = lob_of(handle);
    return *lob != nullptr ? 1 : KVC_BAD_HANDLE;
}

// The chunk that holds byte `offset`, or null when the chain is shorter.
lob_chunk* lob_chunk_at(const KolvaLob_* lob, int64_t offset) {
    lob_chunk* chunk = lob->first_chunk;
    for (int64_t skip = offset / LOB_CHUNK_SIZE; chunk != nullptr && skip > 0; --skip) {
        chunk = chunk->chunk_next;
    }
    return chunk;
}

}  // namespace

extern "C" int KVC_Create_Lob(void** lob) {
    if (lob == nullptr) return KVC_BAD_HANDLE;
    KolvaLob_* record = static_cast<KolvaLob_*>(hr_malloc0(sizeof(KolvaLob_)));
    if (record == nullptr) return KVC_NO_MEMORY;
    record->handle_kind = KVC_HANDLE_LOB;
    *lob = record;
    return KVC_OK;
}

extern "C" int KVC_Put_Lob_data(void** lob, const char* data, int len) {
    KolvaLob_* record = lob_of(lob);
    if (record == nullptr) return KVC_BAD_HANDLE;
    if (len == -1) {
        record->lob_state = 2;
        return KVC_OK;
    }
    if (len < -1) return KVC_BAD_HANDLE;
    if (len == 0 || data == nullptr) return KVC_OK;
    int status = lob_try_append(record, data, len);
    record->lob_state = 1;
    return status;
}

extern "C" int KVC_Get_Lob_data(void** lob, char* dst, int len) {
    KolvaLob_* record = lob_of(lob);
    if (record == nullptr || len < 0) return KVC_BAD_HANDLE;
    if (record->first_chunk == nullptr || len == 0) return 0;
    if (dst == nullptr) return KVC_BAD_HANDLE;
    int64_t available = record->total_length - record->read_offset;
    if (available <= 0) return 0;
    int64_t wanted = len < available ? len : available;

    lob_chunk* chunk = lob_chunk_at(record, record->read_offset);
    int64_t offset = record->read_offset % LOB_CHUNK_SIZE;
    int64_t copied = 0;
    while (copied < wanted && chunk != nullptr) {
        int64_t piece = LOB_CHUNK_SIZE - offset;
        if (piece > wanted - copied) piece = wanted - copied;
        memcpy(dst + copied, chunk->chunk_data + offset, static_cast<size_t>(piece));
        copied += piece;
        offset = 0;
        chunk = chunk->chunk_next;
    }
    record->read_offset += copied;
    return static_cast<int>(copied);
}

extern "C" int KVC_LobRead_SetPos(void** lob, int pos) {
    KolvaLob_* record = lob_of(lob);
    if (record == nullptr) return KVC_BAD_HANDLE;
    if (pos > record->total_length) {
        kvc_set_textf(&record->error_text,
                      "[EC097]Error the ReadPos set larger than max_length :%d > :%lld", pos,
                      static_cast<long long>(record->total_length));
        return KVC_ERROR;
    }
    if (pos < 0) {
        kvc_set_textf(&record->error_text, "[EC098]Error the ReadPos set error :%d", pos);
        return KVC_ERROR;
    }
    record->read_offset = pos;
    return pos;
}

extern "C" int KVC_LobWrite_SetPos(void** lob, int /*pos*/) {
    // Appends always go to the end: the position is accepted and ignored.
    return lob_of(lob) != nullptr ? KVC_OK : KVC_BAD_HANDLE;
}

extern "C" int KVC_Reset_Lob(void** lob) {
    KolvaLob_* record = nullptr;
    int found = lob_or_null(lob, &record);
    if (found != 1) return found;
    lob_release_content(record);
    return KVC_OK;
}

extern "C" int KVC_Distroy_Lob(void** lob) {
    KolvaLob_* record = nullptr;
    int found = lob_or_null(lob, &record);
    if (found != 1) return found;
    lob_release_content(record);
    free(record);
    *lob = nullptr;
    return KVC_OK;
}


// =============================================================================
// Helpers: statement class, datetime text
// =============================================================================


extern "C" KVC_API int dt2dtm_Api(int64_t ms, char* out) {
    if (out == nullptr) return KVC_BAD_HANDLE;
    DATETIME_STRUCT t;
    dt2dtm(ms, &t);
    // 20 bytes hold any four-digit year; a wider year is cut rather than overrun.
    snprintf(out, 20, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
    return 0;
}

