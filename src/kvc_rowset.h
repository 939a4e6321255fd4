// Result reception, the row index and value conversion.
#pragma once

#include "kvc_records.h"

#include <cstdint>

int recv_Query_Rs(Conn_Attrs* conn, Result** result_out);
int recv_Query_Cursor(Conn_Attrs* conn, Result** result_out);
int recv_fields_info(Conn_Attrs* conn, Result* result);
int recv_attr_des_item(Conn_Attrs* conn, FieldInfo* field);
int recv_record(Conn_Attrs* conn, Result* result, RhRow** row_out);
int recvRecords20000(Conn_Attrs* conn, Result* result);
int recvRecords200(Conn_Attrs* conn, Result* result);
int recvCursorRows(Conn_Attrs* conn, Result* result);
Result* new_result(Conn_Attrs* conn, int32_t result_kind);
int record_next(Result* result);
int free_Result(Result* result);
int free_fields_info(FieldInfo* columns, int count);

int append_record(Result* result, RhRow* row);
RhRow** nthR(Result* result, int64_t n);
void release_row_index(Result* result);

int KVGetData(void** handle, int col, int c_type, void* dst, int dst_size, int* length);
int db2str(char* text, double x);
