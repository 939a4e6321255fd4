/* Compiled as strict C99: the public header must work for C callers, and the
 * C-linkage entry points must resolve from the shared object alone. */
#include <kvc.h>
#include <stdio.h>

int main(void) {
    void* params = NULL;
    void* conn = NULL;
    if (KVC_CreateParams(&params) != KVC_OK || params == NULL) return 1;
    if (KVC_Drop(&params) != KVC_OK || params != NULL) return 2;
    /* No server listens on port 1 of the loopback address. */
    if (KVC_OpenConn("IP=127.0.0.1;PORT=1;DB=X;USER=U;PWD=P", &conn) != KVC_CONNECT_FAILED) return 3;
    if (KVC_GetErrorLen(&conn) <= 0) return 4;
    if (KVC_CloseConn(&conn) != KVC_OK || conn != NULL) return 5;
    puts("ok");
    return 0;
}
