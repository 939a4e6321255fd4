/* Prepare a statement with two parameters once, execute it with several values. */
#include <string.h>

#include "example_common.h"

int main(int argc, char** argv) {
    void* conn = example_open(example_conn_str(argc, argv));
    void* params = NULL;
    char insert[16] = {0}, query[16] = {0};
    int status, i;
    static const char* const names[] = {"ada", "grace", "edsger"};

    example_exec(&conn, "DROP TABLE IF EXISTS ex_people");
    example_exec(&conn, "CREATE TABLE ex_people (id INTEGER, name VARCHAR(20))");

    status = KVC_Prepare2(&conn, "INSERT INTO ex_people VALUES (?, ?)", insert);
    if (status < 0) {
        example_report(&conn, "KVC_Prepare2", status);
        return 1;
    }
    /* A caller-made set keeps its bindings; bind it again before each execution. */
    KVC_CreateParams(&params);
    for (i = 0; i < 3; ++i) {
        int id = i + 1, id_len = sizeof id, name_len = (int)strlen(names[i]);
        KVC_BindParamByPos(&params, 1, KVC_PARAM_IN, KVC_C_INT, &id, id_len, &id_len);
        KVC_BindParamByPos(&params, 2, KVC_PARAM_IN, KVC_C_CHAR, (void*)names[i], name_len, &name_len);
        KVC_BindParams2Conn(&conn, &params);
        status = KVC_Execute2(&conn, insert, NULL, NULL);
        if (status < 0) {
            example_report(&conn, "KVC_Execute2", status);
            return 1;
        }
    }
    KVC_UnPrepare(&conn, insert);

    status = KVC_Prepare2(&conn, "SELECT name FROM ex_people WHERE id >= ? ORDER BY id", query);
    if (status == KVC_PREPARED_WITH_COLUMNS) {
        void* rs = NULL;
        int from = 2, from_len = sizeof from;
        KVC_Reset(&params);
        KVC_BindParamByPos(&params, 1, KVC_PARAM_IN, KVC_C_INT, &from, from_len, &from_len);
        KVC_BindParams2Conn(&conn, &params);
        status = KVC_Execute2(&conn, query, NULL, &rs);
        while (status >= 0 && rs && KVC_ReadNext(&rs) == KVC_OK) {
            char name[32];
            int len = 0;
            KVC_GetData(&rs, 1, KVC_C_CHAR, name, sizeof name, &len);
            printf("id >= %d: %s\n", from, name);
        }
        KVC_FreeRowset(&rs);
        KVC_UnPrepare(&conn, query);
    }
    if (status < 0) example_report(&conn, "query", status);
    KVC_Drop(&params);
    example_exec(&conn, "DROP TABLE ex_people");
    KVC_CloseConn(&conn);
    return status < 0;
}
