// Value conversion over fuzzed rows: the input chooses the columns' server
// types and each value's bytes; every value is converted into every C type.
//
// Input: column count (1 + byte % 6), one server type byte per column, then
// rows: per column a length byte (0 or 255: null) and that many value bytes. A
// fixed-width server type always takes its own width (as the wire has it),
// so the rows stay aligned and the fuzzer's bytes land in the values.
#include "support/memory_reply.h"

#include "kvc_utility.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

void put32(Bytes& out, int32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(v >> shift));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (freopen("/dev/null", "w", stdout) == nullptr) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    if (size < 2) return 0;
    const int columns = 1 + data[0] % 6;
    size_t at = 1;
    Bytes reply{'A'};
    put32(reply, columns);
    int widths[6];
    for (int c = 0; c < columns && at < size; ++c) {
        const std::string name = "c" + std::to_string(c);
        put32(reply, static_cast<int32_t>(name.size()));
        reply.insert(reply.end(), name.begin(), name.end());
        const int server_type = data[at++];
        const int slot = getTypeLen(server_type);
        widths[c] = slot == 16 ? 0 : slot;   // 16: a value held by address
        put32(reply, server_type);
        put32(reply, 0);
        put32(reply, 0);
    }
    if (at >= size) return 0;
    while (at < size) {
        reply.push_back('R');
        for (int c = 0; c < columns; ++c) {
            const unsigned length = at < size ? data[at++] : 255;
            if (length == 255 || length == 0) {   // nulls: no value bytes follow
                put32(reply, length == 0 ? 0 : -1);
                continue;
            }
            const size_t taken = widths[c] > 0 ? static_cast<size_t>(widths[c]) : length;
            Bytes value(data + at, data + (at + taken < size ? at + taken : size));
            value.resize(taken, 0);
            at += taken;
            put32(reply, static_cast<int32_t>(taken));
            reply.insert(reply.end(), value.begin(), value.end());
        }
    }
    reply.push_back('K');
    convert_every_value(reply);
    return 0;
}
