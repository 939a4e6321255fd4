// Shared pieces of the statement, procedure, cursor, parameter and attribute
// wire tests: expected command messages, reply fragments, a bound set.
#pragma once

#include "support/wire_pair.h"

#include "kvc.h"
#include "kvc_records.h"

#include <semaphore.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

// '?', the text length, the text and its zero byte, the parameter header.
inline Bytes command_message(const std::string& text, int32_t param_header = 0) {
    return WireBuilder().tag('?').i32(static_cast<int32_t>(text.size())).raw(text).i8(0).i32(param_header);
}

inline Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

inline std::string text_of(const char* text) { return text != nullptr ? text : ""; }

// 1 when the connection's lock is free again.
inline int lock_value(Conn_Attrs* conn) {
    int value = -1;
    sem_getvalue(&conn->conn_lock, &value);
    return value;
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

// A reply of one integer column "n" with rows 1..n, ended by 'K'.
inline Bytes rows_reply(int n) {
    WireBuilder b;
    columns(b, {{"n", 5}});
    return int_rows(b, n).tag('K');
}

// A caller-made set bound to the connection; declared after the WirePair so
// that it goes first.
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
