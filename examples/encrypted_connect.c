/* Log in over the encrypted channel (USE_SSL=on) and run a query through it.
 * The channel is obfuscation rather than strong protection: see the Security section of the README. */
#include <string.h>

#include "example_common.h"

int main(int argc, char** argv) {
    const char* base = example_conn_str(argc, argv);
    char conn_str[512];
    char value[64] = {0};
    int type = 0, status;
    void* conn;

    if (strlen(base) + 16 > sizeof conn_str) return 2;
    sprintf(conn_str, "%s;USE_SSL=on", base);
    conn = example_open(conn_str);

    status = KVC_Execute_query_with_one(&conn, "SELECT 'sent and received enciphered'", value, &type);
    if (status < 0) {
        example_report(&conn, "query", status);
        return 1;
    }
    printf("%.*s\n", (int)sizeof value - 1, value);
    KVC_CloseConn(&conn);
    return 0;
}
