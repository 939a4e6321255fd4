// Shared pieces of the statement, procedure, cursor, parameter and attribute
// wire tests: expected command messages, reply fragments, and a caller-made
// parameter set bound to a wired connection.
#pragma once

#include "support/wire_pair.h"

#include "kvc.h"
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

inline std::string text_of(const char* text) { return text != nullptr ? text : ""; }

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

// A reply of one integer column "n" with rows 1..n, ended by 'K'.
inline Bytes rows_reply(int n) {
    WireBuilder b;
    columns(b, {{"n", 5}});
    return int_rows(b, n).tag('K');
}

// A caller-made parameter set bound to the connection for one test; declare
// it after the WirePair so that it is released first.
class BoundSet {
public:
    explicit BoundSet(WirePair& wire) : wire_(wire) {
        KVC_CreateParams(&handle_);
        wire.conn()->bound_params = get();
    }
    ~BoundSet() {
        wire_.conn()->bound_params = nullptr;
        KVC_Drop(&handle_);
    }
    BoundSet(const BoundSet&) = delete;
    BoundSet& operator=(const BoundSet&) = delete;
    int bind(int position, int direction, int c_type, void* buffer, int size, int* length) {
        return KVC_BindParamByPos(&handle_, position, direction, c_type, buffer, size, length);
    }
    KVCSParam* get() { return static_cast<KVCSParam*>(handle_); }

private:
    WirePair& wire_;
    void* handle_ = nullptr;
};
