// Value conversion over fuzzed rows: the input chooses the columns' server
// types and each value's bytes; every value is converted into every C type.
//
// Input: column count (1 + byte % 6), one server type byte per column, then
// rows: per column a length byte (255: null) and that many value bytes.
#include "support/memory_reply.h"

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
    for (int c = 0; c < columns && at < size; ++c) {
        const std::string name = "c" + std::to_string(c);
        put32(reply, static_cast<int32_t>(name.size()));
        reply.insert(reply.end(), name.begin(), name.end());
        put32(reply, data[at++]);
        put32(reply, 0);
        put32(reply, 0);
    }
    if (at >= size) return 0;
    while (at < size) {
        reply.push_back('R');
        for (int c = 0; c < columns; ++c) {
            const unsigned length = at < size ? data[at++] : 255;
            if (length == 255) {
                put32(reply, -1);
                continue;
            }
            Bytes value(data + at, data + (at + length < size ? at + length : size));
            at += value.size();
            put32(reply, static_cast<int32_t>(length));
            reply.insert(reply.end(), value.begin(), value.end());
        }
    }
    reply.push_back('K');
    convert_every_value(reply);
    return 0;
}
