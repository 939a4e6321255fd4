// Fuzzer-chosen connection strings through the parser into a fresh record.
#include "kvc_inner.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (freopen("/dev/null", "w", stdout) == nullptr) return 0;   // "set ips error "
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);   // cut at a zero byte
    Conn_Attrs* conn = static_cast<Conn_Attrs*>(hr_malloc0(sizeof(Conn_Attrs)));
    if (conn == nullptr) return 0;
    Phrase_conn_str(text.c_str(), conn);
    // Every text field stays terminated inside its array.
    if (strnlen(conn->database, sizeof conn->database) == sizeof conn->database ||
        strnlen(conn->server_ip, sizeof conn->server_ip) == sizeof conn->server_ip ||
        strnlen(conn->password, sizeof conn->password) == sizeof conn->password)
        abort();
    free_ips_list(conn->ips);
    free(conn);
    return 0;
}
