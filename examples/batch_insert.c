/* Insert 1000 rows in one request with array binding. */
#include <string.h>

#include "example_common.h"

#define ROWS 1000

int main(int argc, char** argv) {
    void* conn = example_open(example_conn_str(argc, argv));
    static int32_t ids[ROWS];
    static int lengths_id[ROWS], lengths_label[ROWS];
    static char labels[ROWS * 16]; /* each element: a 32-bit length, then its characters */
    size_t used = 0;
    int i, status;
    char count[64] = {0};
    int type = 0;

    example_exec(&conn, "DROP TABLE IF EXISTS ex_batch");
    example_exec(&conn, "CREATE TABLE ex_batch (id INTEGER, label VARCHAR(12))");

    for (i = 0; i < ROWS; ++i) {
        char label[12];
        int32_t n = (int32_t)sprintf(label, "row-%d", i);
        ids[i] = i;
        lengths_id[i] = 4;
        memcpy(labels + used, &n, 4);
        memcpy(labels + used + 4, label, (size_t)n);
        used += 4 + (size_t)n;
        lengths_label[i] = n;
    }
    KVC_BindParamArrayByPos(&conn, 1, 2, KVC_PARAM_IN, KVC_C_INT, ROWS, ids, sizeof ids, lengths_id);
    KVC_BindParamArrayByPos(&conn, 2, 2, KVC_PARAM_IN, KVC_C_CHAR, ROWS, labels, (int64_t)used, lengths_label);
    status = KVC_ExecBatch(&conn, "INSERT INTO ex_batch VALUES (?, ?)", ROWS);
    if (status < 0) {
        example_report(&conn, "KVC_ExecBatch", status);
        return 1;
    }
    KVC_ResetParams(&conn);

    status = KVC_Execute_query_with_one(&conn, "SELECT COUNT(*) FROM ex_batch", count, &type);
    if (status < 0) {
        example_report(&conn, "count", status);
        return 1;
    }
    printf("rows in ex_batch: %.*s\n", 20, count);
    example_exec(&conn, "DROP TABLE ex_batch");
    KVC_CloseConn(&conn);
    return 0;
}
