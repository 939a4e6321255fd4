// Helpers for large-object tests: an owning handle and a byte pattern whose
// value depends on the position, so a byte read from the wrong chunk or the
// wrong offset shows.
#pragma once

#include "kvc.h"
#include "kvc_records.h"

#include <cstdint>
#include <vector>

inline std::vector<char> lob_pattern(int64_t from, int64_t count) {
    std::vector<char> out(static_cast<size_t>(count));
    for (int64_t k = from; k < from + count; ++k)
        out[static_cast<size_t>(k - from)] = static_cast<char>((k * 131 + k / LOB_CHUNK_SIZE * 7 + 3) & 0xff);
    return out;
}

// The whole content, read from the start.
inline std::vector<char> lob_content(void** lob) {
    KolvaLob_* record = static_cast<KolvaLob_*>(*lob);
    std::vector<char> out(static_cast<size_t>(record->total_length));
    record->read_offset = 0;
    if (!out.empty()) KVC_Get_Lob_data(lob, out.data(), static_cast<int>(out.size()));
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
        const std::vector<char> bytes = lob_pattern(record()->total_length, count);
        return KVC_Put_Lob_data(&handle_, bytes.data(), static_cast<int>(count));
    }

private:
    void* handle_ = nullptr;
};
