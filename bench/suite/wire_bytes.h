// Big-endian byte building and reading for the canned peers (both protocols
// put numbers on the wire most significant byte first).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace suite {

class WireOut {
public:
    WireOut& u8(uint8_t v) { bytes.push_back(v); return *this; }
    WireOut& i16(int16_t v) { return be(static_cast<uint16_t>(v), 2); }
    WireOut& i32(int32_t v) { return be(static_cast<uint32_t>(v), 4); }
    WireOut& i64(int64_t v) { return be(static_cast<uint64_t>(v), 8); }
    WireOut& f64(double v) {
        uint64_t bits;
        memcpy(&bits, &v, sizeof bits);
        return be(bits, 8);
    }
    WireOut& raw(const void* data, size_t len) {
        const uint8_t* p = static_cast<const uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + len);
        return *this;
    }
    WireOut& raw(const std::string& text) { return raw(text.data(), text.size()); }
    // Overwrites the int32 at `at` (a length known only once the body is built).
    void patch_i32(size_t at, int32_t v) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (24 - 8 * i));
    }
    std::vector<uint8_t> bytes;

private:
    WireOut& be(uint64_t v, int width) {
        for (int i = width - 1; i >= 0; --i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
};

inline uint64_t read_be(const uint8_t* p, int width) {
    uint64_t v = 0;
    for (int i = 0; i < width; ++i) v = v << 8 | p[i];
    return v;
}

// A peer's per-field read: one load, not a byte loop, so that the peer stays
// cheaper than the client it measures.
inline int32_t read_be_i32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return static_cast<int32_t>(__builtin_bswap32(v));
}

}  // namespace suite
