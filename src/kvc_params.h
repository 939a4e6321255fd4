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
// Clears everything, detaches the set from its connection and frees the record.
void free_param_set(KVCSParam* set);
int recv_params_info2(Conn_Attrs* conn, KVCSParam* set);

int send_params(Conn_Attrs* conn, KVCSParam* set);
void kvc_sendparamS(Conn_Attrs* conn, KVCSParam* set);
void kvc_sendparam();
void kvc_recv_outparam(Conn_Attrs* conn, KVCSParam* set);

// Makes set (or nothing) the connection's bound set. The set bound before is
// freed when the library made it and only detached when the caller did. A
// set is bound to one connection at a time: binding it elsewhere detaches it
// from the first, so that freeing it can never leave a connection pointing
// at it.
void bind_params_to_conn(Conn_Attrs* conn, KVCSParam* set);
// After an execution: a library-made set is freed; in every case the
// connection's bound_params becomes null.
void release_bound_params(Conn_Attrs* conn);
// Refuses (0 = fine, else -59 with the EC059 text) a prepared set none of whose
// values were ever bound.
int check_prepared_params_bound(Conn_Attrs* conn);

// Error texts of the binding and batch functions, shared by the internal
// binders and the exported wrappers.
namespace param_text {
inline constexpr char kBadParamNo[] = "[EC051]Error invalid param NO %d out of range paramnum";
inline constexpr char kBadArrayParamNo[] =
    "[EC051]Error invalid param NO : %d out of range paramnum : %d ";
inline constexpr char kBadDirection[] = "[EC052]Error invalid param type %d";
inline constexpr char kBadDirectionByName[] = "[EC052]Error invalis param type %d";
inline constexpr char kNameNotPrepared[] = "[EC053]Error invalid  param_name :%s out  of prepared ";
inline constexpr char kBadParamSeq[] = "[EC054]Error param_no  param seq %d invalid";
inline constexpr char kJumpTooLong[] = "[EC055]Error bindparam jump long %d invalid";
inline constexpr char kBadBinderDirection[] = "[EC056]Error bindparam unsurpported ret %d invalid";
inline constexpr char kBadDatatype[] = "[EC058]Error bindparam unsurpported datatype %d invalid";
inline constexpr char kBatchWithoutParams[] = "[EC025]Error ExecuteBatch without  bindparams  \n";
inline constexpr char kBatchWithRows[] = "[EC026]Error ExecuteBatch can't surpport a select_sql  \n";
inline constexpr char kBatchSizeMismatch[] =
    "[EC057]Error ExecuteBatch with paramsbind arraysize %d  does not match ArrayCount %d \n";
inline constexpr char kPreparedUnbound[] =
    "[EC059]Error params need values-bind, here params without bindparams-byname or "
    "bindparams-bypos  \n";
// Refusals of this library that have no older code.
inline constexpr char kBadLength[] = "[EC061]Error bindparam length %d invalid";
inline constexpr char kMixedStyles[] =
    "[EC062]Error bindparam by position and by name mixed in one parameter set";
inline constexpr char kBadArraySize[] =
    "[EC064]Error bindparam arraysize %d invalid, the parameter set holds arraysize %d";
inline constexpr char kArrayIntoSingle[] =
    "[EC065]Error bindparam array into a parameter set holding single values or prepared "
    "by position";
inline constexpr char kSingleIntoArray[] =
    "[EC065]Error bindparam single value into a parameter set holding arrays";
inline constexpr char kBlockTooSmall[] =
    "[EC066]Error bindparam array values of param %d lie outside the given block";
inline constexpr char kNoMemory[] = "[EC067]Error bindparam out of memory";
}  // namespace param_text

// Statuses of the internal binders beside those of kvc.h: a refusal with one
// of the texts above, a direction the binder does not take, and a name that
// a prepared set does not describe or that is already array-bound.
constexpr int KVC_PARAM_REFUSED = -1;
constexpr int KVC_BINDER_REFUSED = -8;
constexpr int KVC_NAME_REFUSED = -53;

// 1 input, 2 output, 3 input-output, 6 return value.
inline bool param_direction_valid(int direction) {
    return direction == PARAM_INPUT || direction == PARAM_OUTPUT ||
           direction == PARAM_INPUT_OUTPUT || direction == PARAM_RETURN_VALUE;
}
