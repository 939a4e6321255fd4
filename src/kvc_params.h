// Parameter sets: binding, array binding and wire encoding.
#pragma once

#include "kvc_records.h"

KVCSParam* new_param_set(int32_t origin);
// The set a binding call works on: the set itself, or a connection's bound set
// (created as an implicit set when it has none). Null for any other kind.
KVCSParam* resolve_param_handle(void* handle, char*** error_slot);

int kvc_bindparamsbypos(KVCSParam* set, int param_no, int direction, int c_type, void* value,
                        int buffer_length, int* length);
int kvc_bindparamsbyname(KVCSParam* set, const char* name, int direction, int c_type, void* value,
                         int buffer_length, int* reserved, int* length);
int kvc_bindparamarraybypos(KVCSParam* set, int param_no, int param_total, int direction,
                            int c_type, int array_size, void* values, int64_t total_size,
                            int* lengths);
int kvc_bindparamarraybyname(KVCSParam* set, const char* name, int param_total, int direction,
                             int c_type, int array_size, void* values, int total_size,
                             int* lengths);
void kvc_freeparams(KVCSParam* set);
void kvc_free_re_outparams(KVCSParam* set);
void free_param_set(KVCSParam* set);   // clears everything and frees the record
int recv_params_info2(Conn_Attrs* conn, KVCSParam* set);

int send_params(Conn_Attrs* conn, KVCSParam* set);
void kvc_sendparamS(Conn_Attrs* conn, KVCSParam* set);
void kvc_sendparam();
void kvc_recv_outparam(Conn_Attrs* conn, KVCSParam* set);

// After an execution: a library-made set is freed; in every case the
// connection's bound_params becomes null.
void release_bound_params(Conn_Attrs* conn);
// Refuses (0 = fine, else -59 with the EC059 text) a prepared set none of whose
// values were ever bound.
int check_prepared_params_bound(Conn_Attrs* conn);
