/* Connect, create a table, insert two rows and read them back. */
#include "example_common.h"

int main(int argc, char** argv) {
    void* conn = example_open(example_conn_str(argc, argv));
    void* rs = NULL;
    int columns = 0, affected = 0, status;
    int64_t rows = 0;

    example_exec(&conn, "DROP TABLE IF EXISTS ex_fruit");
    example_exec(&conn, "CREATE TABLE ex_fruit (id INTEGER, name VARCHAR(20), price DOUBLE)");
    example_exec(&conn, "INSERT INTO ex_fruit VALUES (1, 'apple', 0.5), (2, 'pear', NULL)");

    status = KVC_ExecwithDataReader(&conn, "SELECT id, name, price FROM ex_fruit ORDER BY id", &rs,
                                    &columns, &rows, &affected);
    if (status < 0 || !rs) {
        example_report(&conn, "SELECT", status);
        KVC_CloseConn(&conn);
        return 1;
    }
    printf("%d columns, %lld rows\n", columns, (long long)rows);
    while (KVC_ReadNext(&rs) == KVC_OK) {
        long long id = 0; /* INTEGER columns are 64-bit */
        int len = 0;
        char name[32];
        double price = 0;
        KVC_GetData(&rs, 1, KVC_C_BIGINT, &id, sizeof id, &len);
        KVC_GetData(&rs, 2, KVC_C_CHAR, name, sizeof name, &len);
        if (KVC_GetData(&rs, 3, KVC_C_DOUBLE, &price, sizeof price, &len) == KVC_NULL_VALUE)
            printf("%lld %s (no price)\n", id, name);
        else
            printf("%lld %s %.2f\n", id, name, price);
    }
    KVC_FreeRowset(&rs);
    example_exec(&conn, "DROP TABLE ex_fruit");
    KVC_CloseConn(&conn);
    return 0;
}
