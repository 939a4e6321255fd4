// Helpers for large-object tests: an owning handle and a byte pattern whose
// value depends on the position, so a byte read from the wrong chunk or the
// wrong offset shows.
#pragma once

#include "kvc.h"
#include "kvc_records.h"

#include <cstdint>
#include <vector>

inline unsigned char lob_pattern_byte(int64_t k) {
    return static_cast<unsigned char>((k * 131 + k / LOB_CHUNK_SIZE * 7 + 3) & 0xff);
}

inline std::vector<char> lob_pattern(int64_t from, int64_t count) {
    std::vector<char> out(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i) out[static_cast<size_t>(i)] = static_cast<char>(lob_pattern_byte(from + i));
    return out;
}

// A LOB created through the exported interface and destroyed with the test.
class LobHandle {
public:
    LobHandle() { KVC_Create_Lob(&handle_); }
    ~LobHandle() { KVC_Distroy_Lob(&handle_); }
    LobHandle(const LobHandle&) = delete;
    LobHandle& operator=(const LobHandle&) = delete;

    void** handle() { return &handle_; }
    KolvaLob_* record() { return static_cast<KolvaLob_*>(handle_); }

    // Appends count pattern bytes that continue the content so far.
    int put_pattern(int64_t count) {
        std::vector<char> bytes = lob_pattern(record()->total_length, count);
        return KVC_Put_Lob_data(&handle_, bytes.data(), static_cast<int>(count));
    }

private:
    void* handle_ = nullptr;
};
