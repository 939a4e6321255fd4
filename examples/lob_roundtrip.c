/* Upload a 3 MiB binary large object and download it again. */
#include <string.h>

#include "example_common.h"

#define LOB_BYTES (3 * 1024 * 1024)

int main(int argc, char** argv) {
    void* conn = example_open(example_conn_str(argc, argv));
    void* up = NULL;
    void* down = NULL;
    void* rs = NULL;
    static char data[LOB_BYTES], back[LOB_BYTES];
    int i, status, len = sizeof up, columns = 0, affected = 0, got = 0;
    int64_t rows = 0;

    example_exec(&conn, "DROP TABLE IF EXISTS ex_lob");
    example_exec(&conn, "CREATE TABLE ex_lob (id INTEGER, body BLOB)");

    for (i = 0; i < LOB_BYTES; ++i) data[i] = (char)(i * 7 + i / 1024);
    KVC_Create_Lob(&up);
    KVC_Put_Lob_data(&up, data, LOB_BYTES / 2); /* appended in two parts */
    KVC_Put_Lob_data(&up, data + LOB_BYTES / 2, LOB_BYTES - LOB_BYTES / 2);
    KVC_Put_Lob_data(&up, NULL, -1);            /* complete: ready to send */

    /* The parameter value is the variable holding the handle. */
    KVC_BindParamByPos(&conn, 1, KVC_PARAM_IN, KVC_C_BLOB, &up, len, &len);
    status = KVC_Execute_no_query(&conn, "INSERT INTO ex_lob VALUES (1, ?)");
    KVC_Distroy_Lob(&up);
    if (status < 0) {
        example_report(&conn, "upload", status);
        return 1;
    }

    status = KVC_ExecwithDataReader(&conn, "SELECT body FROM ex_lob WHERE id = 1", &rs, &columns, &rows,
                                    &affected);
    if (status < 0 || !rs || KVC_ReadNext(&rs) != KVC_OK) {
        example_report(&conn, "download", status);
        return 1;
    }
    KVC_Create_Lob(&down);
    status = KVC_GetData(&rs, 1, KVC_C_BLOB, &down, sizeof down, &len);
    if (status == KVC_OK) got = KVC_Get_Lob_data(&down, back, LOB_BYTES);
    printf("uploaded %d bytes, downloaded %d bytes: %s\n", LOB_BYTES, got,
           got == LOB_BYTES && memcmp(data, back, LOB_BYTES) == 0 ? "identical" : "DIFFERENT");
    KVC_Distroy_Lob(&down);
    KVC_FreeRowset(&rs);
    example_exec(&conn, "DROP TABLE ex_lob");
    KVC_CloseConn(&conn);
    return got == LOB_BYTES && memcmp(data, back, LOB_BYTES) == 0 ? 0 : 1;
}
