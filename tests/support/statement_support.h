// Shared pieces of the statement, procedure, cursor and attribute wire tests:
// expected command messages, reply fragments and a parameter set built by
// hand, so that the reply readers can be tested apart from the binding code.
#pragma once

#include "support/wire_pair.h"

#include "kvc_records.h"

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

// A command message as the library writes it: '?', the text length, the text
// and its zero byte, the parameter header.
inline Bytes command_message(const std::string& text, int32_t param_header = 0) {
    WireBuilder b;
    b.tag('?').i32(static_cast<int32_t>(text.size())).raw(text).i8(0).i32(param_header);
    return b.bytes();
}

inline Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// The text of the first command message in bytes the library sent.
inline std::string first_command_text(const Bytes& sent) {
    if (sent.size() < 5 || sent[0] != '?') return {};
    size_t n = (size_t(sent[1]) << 24) | (size_t(sent[2]) << 16) | (size_t(sent[3]) << 8) | sent[4];
    if (sent.size() < 5 + n) return {};
    return std::string(sent.begin() + 5, sent.begin() + 5 + static_cast<long>(n));
}

// An 'A' message head: the column description (name, server type) pairs.
inline WireBuilder& columns(WireBuilder& b, const std::vector<std::pair<std::string, int32_t>>& cols) {
    b.tag('A').i32(static_cast<int32_t>(cols.size()));
    for (const auto& col : cols) b.str(col.first).i32(col.second).i32(0).i32(0);
    return b;
}

// n rows of a single 4-byte integer column holding first, first + 1, ...
inline WireBuilder& int_rows(WireBuilder& b, int n, int first = 1) {
    for (int i = 0; i < n; ++i) b.tag('R').i32(4).i32(first + i);
    return b;
}

// A caller-owned parameter set whose slots point at the test's buffers. It
// must outlive any connection it is bound to (declare it first).
class HandParams {
public:
    explicit HandParams(int count)
        : values_(count, nullptr), c_types_(count, 0), buffer_lengths_(count, 0),
          length_ptrs_(count, nullptr), positions_(count, 0), directions_(count, 0) {
        row0_ = values_.data();
        set_.handle_kind = HANDLE_PARAMS;
        set_.origin = PARAMS_CALLER;
        set_.param_count = count;
        set_.slot_capacity = count;
        set_.row_values = &row0_;
        set_.c_types = c_types_.data();
        set_.buffer_lengths = buffer_lengths_.data();
        set_.length_ptrs = length_ptrs_.data();
        set_.positions = positions_.data();
        set_.directions = directions_.data();
        set_.row_count_allocated = 1;
    }
    HandParams(const HandParams&) = delete;
    HandParams& operator=(const HandParams&) = delete;

    void slot(int i, int32_t direction, int32_t c_type, void* buffer, int32_t size,
              int32_t* length) {
        values_[i] = buffer;
        c_types_[i] = c_type;
        buffer_lengths_[i] = size;
        length_ptrs_[i] = length;
        positions_[i] = i;
        directions_[i] = direction;
    }
    KVCSParam* get() { return &set_; }

private:
    KVCSParam set_{};
    std::vector<void*> values_;
    void** row0_ = nullptr;
    std::vector<int32_t> c_types_;
    std::vector<int32_t> buffer_lengths_;
    std::vector<int32_t*> length_ptrs_;
    std::vector<int32_t> positions_;
    std::vector<int32_t> directions_;
};
