#include "params.h"

#include <cstring>
#include <sqlite3.h>
#include <strings.h>

#include "types.h"

namespace kvcd {

void BlockReader::take(size_t len) {
    if (len > left_) throw ProtocolError("batch row runs past the end of its block");
    left_ -= len;
}

void BlockReader::read_bytes(void* dst, size_t len) {
    take(len);
    ch_.read_bytes(dst, len);
}

uint8_t BlockReader::read_u8() {
    take(1);
    return ch_.read_u8();
}

int32_t BlockReader::read_i32() {
    take(4);
    return ch_.read_i32();
}

void BlockReader::read_into(std::string& out, size_t len) {
    take(len);
    ch_.read_into(out, len);
}

void BlockReader::skip(size_t len) {
    take(len);
    ch_.skip(len);
}

namespace {

// Numbers arrive at their type's own width whatever the announced length
// (the library writes e.g. a 4-byte integer bound with length 8 as 4 bytes).
int param_fixed_width(int32_t type) {
    switch (type) {
        case kInt16: return 2;
        case kInt32: case kFloat: case kDate: case kTime: return 4;
        case kInt64: case kDouble: case kDateTime: return 8;
        default: return 0;
    }
}

uint64_t be_uint(const uint8_t* b, int width) {
    uint64_t v = 0;
    for (int k = 0; k < width; ++k) v = (v << 8) | b[k];
    return v;
}

template <class Source>
void read_value(Source& src, int32_t type, int32_t length, const Limits& lim, ParamValue& out) {
    out.kind = ValueKind::Null;
    out.bytes.clear();
    out.refused.clear();
    out.held.reset();
    if (length < 0) throw ProtocolError("negative parameter value length " + std::to_string(length));
    if (length == 0) return;
    if (int w = param_fixed_width(type)) {
        uint8_t b[8];
        src.read_bytes(b, static_cast<size_t>(w));
        uint64_t u = be_uint(b, w);
        switch (type) {
            case kInt16: out.kind = ValueKind::Int; out.i = static_cast<int16_t>(u); return;
            case kInt32: out.kind = ValueKind::Int; out.i = static_cast<int32_t>(u); return;
            case kInt64: out.kind = ValueKind::Int; out.i = static_cast<int64_t>(u); return;
            case kFloat: {
                uint32_t bits = static_cast<uint32_t>(u);
                float f;
                std::memcpy(&f, &bits, 4);
                out.kind = ValueKind::Real;
                out.d = f;
                return;
            }
            case kDouble: std::memcpy(&out.d, &u, 8); out.kind = ValueKind::Real; return;
            // Temporal values are stored as text so that SQLite's date functions apply.
            // Temporal values are stored as text so that SQLite's date
            // functions apply; one outside SQLite's dates is refused.
            case kDate:
                out.kind = ValueKind::Text;
                if (!date_text(static_cast<int32_t>(u), out.bytes)) out.refused = "date outside 4713 BC to 9999 AD";
                return;
            case kTime: {
                const int32_t ms = static_cast<int32_t>(u);
                out.kind = ValueKind::Text;
                if (ms < 0 || ms >= 86400000) out.refused = "time of day outside 00:00 to 24:00";
                else out.bytes = time_text(ms);
                return;
            }
            case kDateTime:
                out.kind = ValueKind::Text;
                if (!datetime_text(static_cast<int64_t>(u), out.bytes))
                    out.refused = "datetime outside 4713 BC to 9999 AD";
                return;
        }
    }
    if (static_cast<size_t>(length) > lim.max_value_bytes)
        throw ProtocolError("parameter value of " + std::to_string(length) + " bytes exceeds the limit of " +
                            std::to_string(lim.max_value_bytes));
    // The bytes count against the memory budget; a value it cannot hold is
    // read past and fails the request.
    auto held = std::make_shared<Reservation>();
    if (!held->hold(static_cast<size_t>(length))) {
        src.skip(static_cast<size_t>(length));
        out.refused = kBudgetExhausted;
        return;
    }
    src.read_into(out.bytes, static_cast<size_t>(length));
    out.held = std::move(held);
    switch (type) {
        case kUntyped: case kNullParam: out.kind = ValueKind::Null; out.bytes.clear(); return;
        case kBoolean: {
            char c = out.bytes[0];
            out.kind = ValueKind::Int;
            out.i = (c == 'T' || c == 't' || c == '1' || c == 1) ? 1 : 0;
            return;
        }
        // A 1-byte integer: the library sends the bound length, the value is its first byte.
        case kInt8: out.kind = ValueKind::Int; out.i = static_cast<int8_t>(out.bytes[0]); return;
        case kBinary: case kBlob: out.kind = ValueKind::Blob; return;
        default: out.kind = ValueKind::Text; return;
    }
}

}  // namespace

void read_param_row(Channel& ch, int count, const Limits& lim, std::vector<ParamValue>& out) {
    if (count < 0 || count > lim.max_params)
        throw ProtocolError("parameter count " + std::to_string(count) + " exceeds the limit of " +
                            std::to_string(lim.max_params));
    out.assign(static_cast<size_t>(count), ParamValue{});
    size_t total = 0;
    for (auto& p : out) {
        int16_t name_len = ch.read_i16();
        if (name_len < 0 || static_cast<size_t>(name_len) > lim.max_name_bytes)
            throw ProtocolError("parameter name length " + std::to_string(name_len) + " out of range");
        ch.read_into(p.name, static_cast<size_t>(name_len));
        p.direction = ch.read_i16();
        p.wire_type = static_cast<uint16_t>(ch.read_i16());
        int32_t length = ch.read_i32();
        read_value(ch, p.wire_type, length, lim, p);
        total += p.bytes.size();
        if (total > lim.max_request_bytes)
            throw ProtocolError("parameter values exceed the request limit of " +
                                std::to_string(lim.max_request_bytes) + " bytes");
    }
}

void read_block_value(BlockReader& r, bool typed, const ParamValue& header_slot, const Limits& lim,
                      ParamValue& out) {
    out.name = header_slot.name;
    out.direction = 1;
    out.wire_type = typed ? r.read_u8() : header_slot.wire_type;
    int32_t length = r.read_i32();
    read_value(r, out.wire_type, length, lim, out);
}

std::string public_param_name(sqlite3_stmt* st, int index) {
    const char* n = sqlite3_bind_parameter_name(st, index);
    if (!n || !*n) return std::string();
    return std::string(n + 1);  // drop the ':', '@', '$' or '?' that introduces it
}

namespace {

int bind_one(sqlite3_stmt* st, int idx, const ParamValue& v) {
    if (v.direction == 2) return sqlite3_bind_null(st, idx);  // an output slot carries no input
    switch (v.kind) {
        case ValueKind::Null: return sqlite3_bind_null(st, idx);
        case ValueKind::Int: return sqlite3_bind_int64(st, idx, v.i);
        case ValueKind::Real: return sqlite3_bind_double(st, idx, v.d);
        case ValueKind::Text:
            return sqlite3_bind_text64(st, idx, v.bytes.data(), v.bytes.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        case ValueKind::Blob: return sqlite3_bind_blob64(st, idx, v.bytes.data(), v.bytes.size(), SQLITE_TRANSIENT);
    }
    return SQLITE_MISUSE;
}

int find_named(sqlite3_stmt* st, const std::string& name) {
    int n = sqlite3_bind_parameter_count(st);
    for (int k = 1; k <= n; ++k)
        if (strcasecmp(public_param_name(st, k).c_str(), name.c_str()) == 0) return k;
    return 0;
}

}  // namespace

std::string bind_values(sqlite3_stmt* st, const std::vector<ParamValue>& values, size_t* next_position,
                        std::vector<bool>* used) {
    int slots = sqlite3_bind_parameter_count(st);
    int position = 1;
    for (size_t k = 0; k < values.size(); ++k) {
        const ParamValue& v = values[k];
        if (!v.refused.empty()) return "parameter " + std::to_string(k + 1) + ": " + v.refused;
        int idx = 0;
        if (!v.name.empty()) {
            idx = find_named(st, v.name);
            if (!idx) continue;
        } else {
            // Unnamed values are taken in order; a script's later statements
            // continue where the earlier ones stopped.
            if (k < *next_position || position > slots) continue;
            idx = position++;
            *next_position = k + 1;
        }
        int rc = bind_one(st, idx, v);
        if (rc != SQLITE_OK) return std::string("cannot bind parameter ") + std::to_string(k + 1) + ": " + sqlite3_errstr(rc);
        if (used) (*used)[k] = true;
    }
    return std::string();
}

}  // namespace kvcd
