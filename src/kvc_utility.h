// Type codes, row bits and slots, the result memory pool, the single-value
// text and large-object storage with its descriptor fetch.
#pragma once

#include "kvc_records.h"

#include <cstdint>

// Server type codes are the header's KVC_SQL_* names, with the two kinds it
// does not name: variable-length values shown unchanged as text. The tables
// indexed by server type cover codes 0 to 45; any other code is
// variable-length text.
constexpr int ST_VERBATIM = 29;
constexpr int ST_VERBATIM_2 = 45;
constexpr int kServerTypeCount = 46;

int getTypeLen(int server_type);
int getSQLCType(int server_type);
int getDBTYPE(int c_type);
int getDbTypeLen(int c_type);
int need_copy_v(int c_type);

Result_Mem* RS_mem_init();
void* RS_malloc(Result_Mem* pool, int n);
void mem_raise(int size);
void RS_destroy(Result_Mem* pool);

bool isNull(const RhRow* row, int i);
void setNull(RhRow* row, int i);
void clrNull(RhRow* row, int i);
void setPtr(RhRow* row, int i);
bool isPtr(const RhRow* row, int i);
void setDataBool(RhRow* row, const FieldInfo* fields, int i, char v);
void setDataI1(RhRow* row, const FieldInfo* fields, int i, int8_t v);
void setDataI2(RhRow* row, const FieldInfo* fields, int i, int16_t v);
void setDataI4(RhRow* row, const FieldInfo* fields, int i, int32_t v);
void setDataI8(RhRow* row, const FieldInfo* fields, int i, int64_t v);
void setDataR4(RhRow* row, const FieldInfo* fields, int i, float v);
void setDataR8(RhRow* row, const FieldInfo* fields, int i, double v);
void setDataBin(RhRow* row, const FieldInfo* fields, int i, const void* address, int32_t length);
const void* getData(const RhRow* row, const FieldInfo* fields, int i, int* length);
RhRow* createRow_inMemls(Result_Mem* pool, int row_size, int column_count);

int Get_first_one(Result* result, char* out, int* flag);

// Large-object storage.
// Appends n bytes: 0, or -5 when a chunk could not be allocated (the LOB then
// keeps the bytes that fit, in order).
int lob_try_append(KolvaLob_* lob, const void* data, int64_t n);
void lob_release_content(KolvaLob_* lob);   // chunks, descriptor, error text
int KVGetCLobDesc(Conn_Attrs* conn, KolvaLob_* lob);
