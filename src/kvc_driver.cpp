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

#include <ctime>
#include <unistd.h>

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
    conn->handle_kind = HANDLE_CONNECTION;
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
        list->addrs[i] = strdup(parsed->addrs[i] != nullptr ? parsed->addrs[i] : "");
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
    conn->recv_timeout = 1800;
    conn_lock_init(conn);
    conn->sock_fd = 0;
    if (!Build_connect(conn)) {
        kvc_set_text(&conn->error_text, kTextOpenSocket);
        return -8;
    }
    if (!Login_database(conn)) {
        if (!login_refused_by_library(conn)) kvc_set_text(&conn->error_text, kTextOpenLogin);
        return -9;
    }
    return KVC_OPEN_OK;
}

int KVC_OpenConn_Ips(const char* conn_str, int seq, void** ips, void** conn_handle) {
    if (conn_str == nullptr || ips == nullptr || conn_handle == nullptr) return KVC_BAD_HANDLE;
    Conn_Attrs* conn = new_connection(conn_handle, conn_str);
    if (conn == nullptr) return KVC_NO_MEMORY;

    // Wide, so that adding 3 per failed address can never wrap.
    int64_t sequence = seq;
    bool retrying = false;
    for (;;) {
        Ips_Artrs* list = static_cast<Ips_Artrs*>(*ips);
        // A retry always stays on the list whose failed address it just retired.
        if ((sequence > 1 || retrying) && list != nullptr) {
            if (!usable_working_list(list)) {
                kvc_set_text(&conn->error_text, kTextIpsSocket);
                return -8;
            }
            try_address(conn, list, static_cast<int>(sequence % list->live_count));
        } else {
            if (sequence == -1 && list != nullptr) {
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
        }

        // A LOCK_TIMEOUT item has no effect on this kind of open.
        conn->pushed_back_byte = 0;
        conn->lock_timeout = 300;
        conn->recv_timeout = 1800;
        kv_strcpy_s(conn->protocol_version, sizeof conn->protocol_version, "301");
        conn->sock_fd = 0;
        if (Build_connect(conn)) break;

        if (list->live_count <= 1) {
            kvc_set_text(&conn->error_text, kTextIpsSocket);
            return -8;
        }
        retire_current_address(list);
        free(conn->error_text);
        conn->error_text = nullptr;
        sequence += 3;
        retrying = true;
    }

    // A refused login does not move on to another address.
    if (!Login_database(conn)) {
        if (!login_refused_by_library(conn))
            kvc_set_textf(&conn->error_text, kTextIpsLogin, conn->server_ip);
        return -9;
    }
    conn_lock_init(conn);
    return 0;
}

int KVC_ReconnectConn(void** conn_handle) {
    Conn_Attrs* conn = handle_as<Conn_Attrs>(conn_handle, HANDLE_CONNECTION);
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
    Conn_Attrs* conn = handle_as<Conn_Attrs>(conn_handle, HANDLE_CONNECTION);
    if (conn == nullptr) return KVC_BAD_HANDLE;

    // The one exchange with the server; a failure does not stop the close.
    Conn_free_server_resources(conn);
    if (conn->sock_fd != 0) close(conn->sock_fd);
    conn->sock_fd = 0;
    release_turing_keys(conn);
    conn_lock_destroy(conn);
    free(conn->error_text);
    conn->error_text = nullptr;
    // Only the list parsed from the string goes: the caller's working list
    // of KVC_OpenConn_Ips survives the connection.
    free_ips_list(conn->ips);
    conn->ips = nullptr;
    // A set the caller created stays usable by the caller.
    if (conn->bound_params != nullptr && conn->bound_params->origin != PARAMS_CALLER)
        free_param_set(conn->bound_params);
    conn->bound_params = nullptr;
    if (conn->current_result != nullptr) free_Result(conn->current_result);
    conn->current_result = nullptr;
    free(conn);
    *conn_handle = nullptr;
    return 0;
}


// =============================================================================
// Connection and result attributes
// =============================================================================


// =============================================================================
// Direct execution and prepared statements
// =============================================================================


// =============================================================================
// Server cursors
// =============================================================================


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


// =============================================================================
// Parameter sets and binding
// =============================================================================


// =============================================================================
// Array binding and batches
// =============================================================================


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

