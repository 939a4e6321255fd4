/* Shared by the example programs: where the connection string comes from and
 * how a failure is reported. */
#ifndef KVC_EXAMPLE_COMMON_H
#define KVC_EXAMPLE_COMMON_H

#include <kvc.h>
#include <stdio.h>
#include <stdlib.h>

/* The connection string: the first argument, else $KVC_CONN. */
static inline const char* example_conn_str(int argc, char** argv) {
    const char* conn_str = argc > 1 ? argv[1] : getenv("KVC_CONN");
    if (!conn_str) {
        fprintf(stderr, "usage: %s \"IP=127.0.0.1;PORT=...;DB=...;USER=...;PWD=...\"\n", argv[0]);
        exit(2);
    }
    return conn_str;
}

/* Prints what failed with the handle's error code and text. */
static inline void example_report(void** handle, const char* what, int status) {
    char code[8] = {0};
    char message[260] = {0};
    char text[1024] = {0};
    int len = 0;
    KVC_GetErrorInfo(handle, code, message);
    KVC_GetError(handle, text, &len);      /* needs a buffer as long as the text */
    fprintf(stderr, "%s failed (status %d) %s: %.*s\n", what, status, code, len, text);
}

/* Opens a connection or ends the program. */
static inline void* example_open(const char* conn_str) {
    void* conn = NULL;
    int status = KVC_OpenConn(conn_str, &conn);
    if (status != KVC_OPEN_OK) {
        example_report(&conn, "KVC_OpenConn", status);
        KVC_CloseConn(&conn);
        exit(1);
    }
    return conn;
}

/* Runs SQL that returns no rows or ends the program. */
static inline void example_exec(void** conn, const char* sql) {
    int status = KVC_Execute_no_query(conn, sql);
    if (status < 0) {
        example_report(conn, sql, status);
        KVC_CloseConn(conn);
        exit(1);
    }
}

#endif
