// Weak placeholders for functions whose areas are still being merged.
// Every real definition overrides its placeholder; this file goes away
// once all areas have landed.
#include "kvc.h"
#include "kvc_command.h"
#include "kvc_connect.h"
#include "kvc_inner.h"
#include "kvc_params.h"
#include "kvc_rowset.h"
#include "kvc_utility.h"

#define PENDING __attribute__((weak))
#pragma GCC diagnostic ignored "-Wunused-parameter"


PENDING void* hr_malloc0(size_t size) { return nullptr; }
PENDING int kv_strcpy_s(char* dst, size_t size, const char* src) { return -1; }
PENDING int kv_strcat_s(char* dst, size_t size, const char* src) { return -1; }
PENDING void kvc_set_text(char** slot, const char* text) {}
PENDING void kvc_set_textf(char** slot, const char* format, ...) {}
PENDING void kvc_append_text(char** slot, const char* text) {}
PENDING void conn_lock_init(Conn_Attrs* conn) {}
PENDING void conn_lock_destroy(Conn_Attrs* conn) {}
PENDING void conn_lock_take(Conn_Attrs* conn) {}
PENDING void conn_lock_release(Conn_Attrs* conn) {}
PENDING int rh_send(Conn_Attrs* conn, const void* data, int len) { return -1; }
PENDING int rh_flush(Conn_Attrs* conn) { return -1; }
PENDING int rh_send_char(Conn_Attrs* conn, char c) { return -1; }
PENDING int rh_send_int16(Conn_Attrs* conn, int16_t v) { return -1; }
PENDING int rh_send_int32(Conn_Attrs* conn, int32_t v) { return -1; }
PENDING int rh_send_int64(Conn_Attrs* conn, int64_t v) { return -1; }
PENDING void rh_put_cache(unsigned char* buf, int* pos, const void* data, int len) {}
PENDING void rh_put_cache_char(unsigned char* buf, int* pos, char c) {}
PENDING void rh_put_cache_int16(unsigned char* buf, int* pos, int16_t v) {}
PENDING void rh_put_cache_int32(unsigned char* buf, int* pos, int32_t v) {}
PENDING void rh_put_cache_int64(unsigned char* buf, int* pos, int64_t v) {}
PENDING int kv_cache_recv(Conn_Attrs* conn, void* buf, int len) { return -1; }
PENDING int rh_recv(Conn_Attrs* conn, void* buf, int len) { return -1; }
PENDING int rh_recv_char(Conn_Attrs* conn, char* out) { return -1; }
PENDING int rh_recv_int16(Conn_Attrs* conn, int16_t* out) { return -1; }
PENDING int rh_recv_int32(Conn_Attrs* conn, int32_t* out) { return -1; }
PENDING int rh_recv_int64(Conn_Attrs* conn, int64_t* out) { return -1; }
PENDING int rh_recv_r4(Conn_Attrs* conn, float* out) { return -1; }
PENDING int rh_recv_r8(Conn_Attrs* conn, double* out) { return -1; }
PENDING int rh_recv_str(Conn_Attrs* conn, char** out) { return -1; }
PENDING int rh_recv_skip(Conn_Attrs* conn, int64_t len) { return -1; }
PENDING uint16_t kvc_wire16(uint16_t v) { return 0; }
PENDING uint32_t kvc_wire32(uint32_t v) { return 0; }
PENDING uint64_t kvc_wire64(uint64_t v) { return 0; }
PENDING int Phrase_conn_str(const char* text, Conn_Attrs* conn) { return -1; }
PENDING int Set_Item_value(const char* item, char* key_out, char* value_out) { return -1; }
PENDING int Set_IPS_value(Ips_Artrs* ips, int initial_slots, const char* item) { return -1; }
PENDING void free_ips_list(Ips_Artrs* ips) {}
PENDING void rsa_encrypt(Conn_Attrs* conn, unsigned char* buffer, int length) {}
PENDING int init_turing_key(Conn_Attrs* conn, const unsigned char* key, int length) { return -1; }
PENDING void release_turing_keys(Conn_Attrs* conn) {}
PENDING void encrypt_buff(Conn_Attrs* conn, unsigned char* buffer, int length) {}
PENDING void decrypt_buff(Conn_Attrs* conn, unsigned char* buffer, int length) {}
PENDING void d2dm(int32_t days, tarDATE_STRUCT* date) {}
PENDING void dt2dtm(int64_t ms, DATETIME_STRUCT* datetime) {}
PENDING void t2tm(int32_t ms, TIME_STRUCT* time) {}
PENDING ErrorItem* getErrorItem(const char* text) { return nullptr; }
PENDING void free_error_item(ErrorItem* item) {}
PENDING int GetConError(Conn_Attrs* conn, char* buf, int* len) { return -1; }
PENDING int GetResError(Result* result, char* buf, int* len) { return -1; }
PENDING int GetLobError(KolvaLob_* lob, char* buf, int* len) { return -1; }
PENDING int get_conn_attrs(Conn_Attrs* conn, int id, void* value, int buffer_length, int* type_out, int* length_out) { return -1; }
PENDING int set_conn_attrs(Conn_Attrs* conn, int id, void* value, int length) { return -1; }
PENDING int Build_connect(Conn_Attrs* conn) { return -1; }
PENDING int Login_database(Conn_Attrs* conn) { return -1; }
PENDING int Conn_reconnect(Conn_Attrs* conn) { return -1; }
PENDING int insert_7(char* text) { return -1; }
PENDING void make_session_key(const char* password, unsigned char key[32]) {}
PENDING int build_login_text(const Conn_Attrs* conn, bool encrypted, char* buf, int size) { return -1; }
PENDING int sendCommand0(Conn_Attrs* conn, const char* text) { return -1; }
PENDING int sendCommand_n(Conn_Attrs* conn, const char* text, int32_t count) { return -1; }
PENDING int send_continue(Conn_Attrs* conn) { return -1; }
PENDING int drain_reply(Conn_Attrs* conn) { return -1; }
PENDING int recv_noQuery(Conn_Attrs* conn) { return -1; }
PENDING int recv_noQuery_OP(Conn_Attrs* conn, Result** result_slot) { return -1; }
PENDING int recv_Query_One(Conn_Attrs* conn, char* value, int* type) { return -1; }
PENDING int kvc_cmd_Prepare(Conn_Attrs* conn, const char* sql, const char* name) { return -1; }
PENDING int kvc_cmd_Unprepare(Conn_Attrs* conn, const char* name) { return -1; }
PENDING int Conn_free_server_resources(Conn_Attrs* conn) { return -1; }
PENDING KVCSParam* new_param_set(int32_t origin) { return nullptr; }
PENDING KVCSParam* resolve_param_handle(void* handle, char*** error_slot) { return nullptr; }
PENDING int kvc_bindparamsbypos(KVCSParam* set, int param_no, int direction, int c_type, void* value, int buffer_length, int* length) { return -1; }
PENDING int kvc_bindparamsbyname(KVCSParam* set, const char* name, int direction, int c_type, void* value, int buffer_length, int* reserved, int* length) { return -1; }
PENDING int kvc_bindparamarraybypos(KVCSParam* set, int param_no, int param_total, int direction, int c_type, int array_size, void* values, int64_t total_size, int* lengths) { return -1; }
PENDING int kvc_bindparamarraybyname(KVCSParam* set, const char* name, int param_total, int direction, int c_type, int array_size, void* values, int total_size, int* lengths) { return -1; }
PENDING void kvc_freeparams(KVCSParam* set) {}
PENDING void kvc_free_re_outparams(KVCSParam* set) {}
PENDING void free_param_set(KVCSParam* set) {}
PENDING int recv_params_info2(Conn_Attrs* conn, KVCSParam* set) { return -1; }
PENDING int send_params(Conn_Attrs* conn, KVCSParam* set) { return -1; }
PENDING void kvc_sendparamS(Conn_Attrs* conn, KVCSParam* set) {}
PENDING void kvc_sendparam() {}
PENDING void kvc_recv_outparam(Conn_Attrs* conn, KVCSParam* set) {}
PENDING void release_bound_params(Conn_Attrs* conn) {}
PENDING int check_prepared_params_bound(Conn_Attrs* conn) { return -1; }
PENDING int recv_Query_Rs(Conn_Attrs* conn, Result** result_out) { return -1; }
PENDING int recv_Query_Cursor(Conn_Attrs* conn, Result** result_out) { return -1; }
PENDING int recv_fields_info(Conn_Attrs* conn, Result* result) { return -1; }
PENDING int recv_attr_des_item(Conn_Attrs* conn, FieldInfo* field) { return -1; }
PENDING int recv_record(Conn_Attrs* conn, Result* result, RhRow** row_out) { return -1; }
PENDING int recvRecords20000(Conn_Attrs* conn, Result* result) { return -1; }
PENDING int recvRecords200(Conn_Attrs* conn, Result* result) { return -1; }
PENDING int recvCursorRows(Conn_Attrs* conn, Result* result) { return -1; }
PENDING Result* new_result(Conn_Attrs* conn, int32_t result_kind) { return nullptr; }
PENDING int record_next(Result* result) { return -1; }
PENDING int free_Result(Result* result) { return -1; }
PENDING int free_fields_info(FieldInfo* columns, int count) { return -1; }
PENDING int append_record(Result* result, RhRow* row) { return -1; }
PENDING RhRow** nthR(Result* result, int64_t n) { return nullptr; }
PENDING void release_row_index(Result* result) {}
PENDING int KVGetData(void** handle, int col, int c_type, void* dst, int dst_size, int* length) { return -1; }
PENDING int db2str(char* text, double x) { return -1; }
PENDING int getTypeLen(int server_type) { return -1; }
PENDING int getSQLCType(int server_type) { return -1; }
PENDING int getDBTYPE(int c_type) { return -1; }
PENDING int getDbTypeLen(int c_type) { return -1; }
PENDING int need_copy_v(int c_type) { return -1; }
PENDING Result_Mem* RS_mem_init() { return nullptr; }
PENDING void* RS_malloc(Result_Mem* pool, int n) { return nullptr; }
PENDING void mem_raise(int size) {}
PENDING void RS_destroy(Result_Mem* pool) {}
PENDING bool isNull(const RhRow* row, int i) { return false; }
PENDING void setNull(RhRow* row, int i) {}
PENDING void clrNull(RhRow* row, int i) {}
PENDING void setPtr(RhRow* row, int i) {}
PENDING bool isPtr(const RhRow* row, int i) { return false; }
PENDING void setDataBool(RhRow* row, const FieldInfo* fields, int i, char v) {}
PENDING void setDataI1(RhRow* row, const FieldInfo* fields, int i, int8_t v) {}
PENDING void setDataI2(RhRow* row, const FieldInfo* fields, int i, int16_t v) {}
PENDING void setDataI4(RhRow* row, const FieldInfo* fields, int i, int32_t v) {}
PENDING void setDataI8(RhRow* row, const FieldInfo* fields, int i, int64_t v) {}
PENDING void setDataR4(RhRow* row, const FieldInfo* fields, int i, float v) {}
PENDING void setDataR8(RhRow* row, const FieldInfo* fields, int i, double v) {}
PENDING void setDataBin(RhRow* row, const FieldInfo* fields, int i, const void* address, int32_t length) {}
PENDING const void* getData(const RhRow* row, const FieldInfo* fields, int i, int* length) { return nullptr; }
PENDING RhRow* createRow_inMemls(Result_Mem* pool, int row_size, int column_count) { return nullptr; }
PENDING int Get_first_one(Result* result, char* out, int* flag) { return -1; }
PENDING void lob_append(KolvaLob_* lob, const void* data, int64_t n) {}
PENDING void lob_release_content(KolvaLob_* lob) {}
PENDING int KVGetCLobDesc(Conn_Attrs* conn, KolvaLob_* lob) { return -1; }
extern "C" PENDING int KVC_OpenConn(const char* conn_str, void** conn) { return -1; }
extern "C" PENDING int KVC_OpenConn_Ips(const char* conn_str, int seq, void** ips, void** conn) { return -1; }
extern "C" PENDING int KVC_ReconnectConn(void** conn) { return -1; }
extern "C" PENDING int Release_IpsAttrs(void** ips) { return -1; }
extern "C" PENDING int SetConnStr(void* a, void* b) { return -1; }
extern "C" PENDING int GetConnStr(void* a, void* b) { return -1; }
extern "C" PENDING int kvc_conn_free_server_resources(void) { return -1; }
extern "C" PENDING int KVC_CloseConn(void** conn) { return -1; }
extern "C" PENDING int KVC_GetAttr(void** handle, int id, void* value, int buffer_length, int* type, int* length) { return -1; }
extern "C" PENDING int KVC_SetAttr(void** handle, int id, void* value, int length) { return -1; }
extern "C" PENDING int KVC_Execute_no_query(void** conn, const char* sql) { return -1; }
extern "C" PENDING int KVC_Execute_query_with_one(void** conn, const char* sql, char* value, int* type) { return -1; }
extern "C" PENDING int KVC_ExecwithDataReader(void** conn, const char* sql, void** result, int* columns, int64_t* rows, int* affected) { return -1; }
extern "C" PENDING int KVC_Prepare2(void** conn, const char* sql, char* name) { return -1; }
extern "C" PENDING int KVC_Execute2(void** conn, const char* name, char* cursor, void** result) { return -1; }
extern "C" PENDING int KVC_UnPrepare(void** conn, const char* name) { return -1; }
extern "C" PENDING int KVC_Execute_procesure(void** conn, const char* sql, void** result) { return -1; }
extern "C" PENDING int KVC_GetFunReturnType(void** conn, int* c_type) { return -1; }
extern "C" PENDING int KVC_GetLastInsertId(void** conn, char* buf) { return -1; }
extern "C" PENDING int KVC_ExecwithServerCursorReader(void** conn, const char* sql, const char* cursor, void** result, int* columns, void* unused) { return -1; }
extern "C" PENDING int KVC_FetchServerCursorRowset(void** conn, const char* cursor, void** result) { return -1; }
extern "C" PENDING int KVC_FetchServerCursorRowset_V2(void** conn, const char* fetch_sql, void** result) { return -1; }
extern "C" PENDING int KVC_FetchRefCursorHead(void** conn, const char* cursor, void** result, int* columns, int64_t* rows, int* count) { return -1; }
extern "C" PENDING int KVC_CloseCursor(void** conn, const char* cursor) { return -1; }
extern "C" PENDING int KVC_getResultColumnsnum(void** result, int* count) { return -1; }
extern "C" PENDING int KVC_getResultRecordnum(void** result, int* count) { return -1; }
extern "C" PENDING int KVC_getResultRet(void** result, int* kind, int* columns, int* rows, int* affected, char* insert_id) { return -1; }
extern "C" PENDING int KVC_getResultcolmodi(void** result, int col, int* modifier) { return -1; }
extern "C" PENDING int KVC_getResultcolType(void** result, int col, int* c_type) { return -1; }
extern "C" PENDING int KVC_getResultcolname(void** result, int col, char* name) { return -1; }
extern "C" PENDING int KVC_getResultcolseq(void** result, const char* name) { return -1; }
extern "C" PENDING int KVC_getResultColInfo(void** result, int col, char* table, char* column, char* alias, int* c_type, int* modifier, int* attribute) { return -1; }
extern "C" PENDING int KVC_ReadNext(void** result) { return -1; }
extern "C" PENDING int KVC_GetData(void** result, int col, int c_type, void* dst, int dst_size, int* length) { return -1; }
extern "C" PENDING int KVC_NextResult(void** result) { return -1; }
extern "C" PENDING int KVC_FreeRowset(void** result) { return -1; }
extern "C" PENDING int KVC_CreateParams(void** params) { return -1; }
extern "C" PENDING int KVC_ResetParams(void** handle) { return -1; }
extern "C" PENDING int KVC_BindParams2Conn(void** conn, void** params) { return -1; }
extern "C" PENDING int KVC_BindParamByPos(void** handle, int param_no, int direction, int c_type, void* value, int buffer_length, int* length) { return -1; }
extern "C" PENDING int KVC_BindParamByName(void** handle, const char* name, int direction, int c_type, void* value, int buffer_length, int* reserved, int* length) { return -1; }
extern "C" PENDING int KVC_BindParamArrayByPos(void** handle, int param_no, int param_total, int direction, int c_type, int array_size, void* values, int64_t total_size, int* lengths) { return -1; }
extern "C" PENDING int KVC_BindParamArrayByName(void** handle, const char* name, int param_total, int direction, int c_type, int array_size, void* values, int total_size, int* lengths) { return -1; }
extern "C" PENDING int KVC_ExecBatch(void** conn, const char* sql, int array_size) { return -1; }
extern "C" PENDING int KVC_Create_Lob(void** lob) { return -1; }
extern "C" PENDING int KVC_Put_Lob_data(void** lob, const char* data, int len) { return -1; }
extern "C" PENDING int KVC_Get_Lob_data(void** lob, char* dst, int len) { return -1; }
extern "C" PENDING int KVC_LobRead_SetPos(void** lob, int pos) { return -1; }
extern "C" PENDING int KVC_LobWrite_SetPos(void** lob, int pos) { return -1; }
extern "C" PENDING int KVC_Reset_Lob(void** lob) { return -1; }
extern "C" PENDING int KVC_Distroy_Lob(void** lob) { return -1; }
extern "C" PENDING int KVC_GetErrorLen(void** handle) { return -1; }
extern "C" PENDING int KVC_GetError(void** handle, char* buf, int* len) { return -1; }
extern "C" PENDING int KVC_GetErrorInfo(void** handle, char* code, char* message) { return -1; }
extern "C" PENDING int KVC_GetErrorInfoOption(void) { return -1; }
extern "C" PENDING int KVC_Drop(void** handle) { return -1; }
extern "C" PENDING int KVC_Reset(void** handle) { return -1; }
extern "C" PENDING int KVC_FreePtr(void** ptr) { return -1; }
extern "C" PENDING int fun_sql_type(const char* sql) { return -1; }
extern "C" PENDING int dt2dtm_Api(int64_t ms, char* out) { return -1; }
extern "C" PENDING void Init(void) {}
PENDING int KVC_Prepare(void**, char*) { return -1; }
PENDING int KVC_Execute(void**, void**) { return -1; }
