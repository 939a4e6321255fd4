#include "results.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sqlite3.h>
#include <strings.h>

#include "budget.h"
#include "lobs.h"
#include "types.h"

namespace kvcd {

namespace {

void append_len(std::string& out, size_t n) { append_be(out, static_cast<uint32_t>(n), 4); }

bool column_int(sqlite3_stmt* st, int c, int64_t& v) {
    switch (sqlite3_column_type(st, c)) {
        case SQLITE_INTEGER: v = sqlite3_column_int64(st, c); return true;
        case SQLITE_FLOAT: {
            double d = sqlite3_column_double(st, c);
            if (std::nearbyint(d) != d || std::fabs(d) >= 9.2e18) return false;
            v = static_cast<int64_t>(d);
            return true;
        }
        case SQLITE_TEXT: return parse_int_text(reinterpret_cast<const char*>(sqlite3_column_text(st, c)), v);
        default: return false;
    }
}

bool column_real(sqlite3_stmt* st, int c, double& d) {
    switch (sqlite3_column_type(st, c)) {
        case SQLITE_INTEGER: case SQLITE_FLOAT: d = sqlite3_column_double(st, c); return true;
        case SQLITE_TEXT: return parse_real_text(reinterpret_cast<const char*>(sqlite3_column_text(st, c)), d);
        default: return false;
    }
}

// 1 true, 0 false, -1 neither.
int column_bool(sqlite3_stmt* st, int c) {
    int64_t v;
    if (sqlite3_column_type(st, c) != SQLITE_TEXT) return column_int(st, c, v) ? (v != 0) : -1;
    const char* s = reinterpret_cast<const char*>(sqlite3_column_text(st, c));
    static const char* const kTrue[] = {"T", "TRUE", "Y", "YES", "1", "ON"};
    static const char* const kFalse[] = {"F", "FALSE", "N", "NO", "0", "OFF"};
    for (const char* w : kTrue)
        if (strcasecmp(s, w) == 0) return 1;
    for (const char* w : kFalse)
        if (strcasecmp(s, w) == 0) return 0;
    return -1;
}

// Only the form the value is stored in is fetched: no conversion per field.
bool column_time(sqlite3_stmt* st, int c, ParsedTime& t) {
    const int type = sqlite3_column_type(st, c);
    const bool text = type == SQLITE_TEXT;
    return read_time(type, type == SQLITE_INTEGER ? sqlite3_column_int64(st, c) : 0,
                     type == SQLITE_FLOAT ? sqlite3_column_double(st, c) : 0,
                     text ? reinterpret_cast<const char*>(sqlite3_column_text(st, c)) : nullptr,
                     text ? static_cast<size_t>(sqlite3_column_bytes(st, c)) : 0, t);
}

// The stored value as a short text for an error message.
std::string shown_value(sqlite3_stmt* st, int c) {
    switch (sqlite3_column_type(st, c)) {
        case SQLITE_INTEGER: return std::to_string(sqlite3_column_int64(st, c));
        case SQLITE_FLOAT: {
            char b[40];
            std::snprintf(b, sizeof b, "%.17g", sqlite3_column_double(st, c));
            return b;
        }
        case SQLITE_TEXT: {
            constexpr size_t kShown = 64;
            std::string t(reinterpret_cast<const char*>(sqlite3_column_text(st, c)),
                          static_cast<size_t>(sqlite3_column_bytes(st, c)));
            return "'" + (t.size() > kShown ? t.substr(0, kShown) + "..." : t) + "'";
        }
        default: return "a blob of " + std::to_string(sqlite3_column_bytes(st, c)) + " bytes";
    }
}

std::string wire_column_name(sqlite3_stmt* st, int c) {
    const char* name = sqlite3_column_name(st, c);
    std::string shown = name ? name : "";
    const char* table = sqlite3_column_table_name(st, c);
    const char* origin = sqlite3_column_origin_name(st, c);
    if (table && origin) {
        std::string out = std::string(table) + "." + origin;
        if (shown != origin) out += "%" + shown;
        return out;
    }
    // The client splits names at '.' and '%'; an expression's text may hold either.
    if (shown.find_first_of(".%") != std::string::npos) return "column" + std::to_string(c + 1) + "%" + shown;
    return shown;
}

int32_t column_attribute(sqlite3_stmt* st, int c) {
    const char* table = sqlite3_column_table_name(st, c);
    const char* origin = sqlite3_column_origin_name(st, c);
    const char* db = sqlite3_column_database_name(st, c);
    int notnull = 0, pk = 0, autoinc = 0;
    if (table && origin &&
        sqlite3_table_column_metadata(sqlite3_db_handle(st), db, table, origin, nullptr, nullptr, &notnull, &pk,
                                      &autoinc) == SQLITE_OK)
        return (notnull ? 1 : 0) | (pk ? 2 : 0) | (autoinc ? 4 : 0);
    return 0;
}

}  // namespace

ResultWriter::ResultWriter(Channel& ch, sqlite3_stmt* st, LobCache* lobs) : ch_(ch), st_(st), lobs_(lobs) {}

void ResultWriter::plan(bool first_row_stepped) {
    int n = sqlite3_column_count(st_);
    cols_.assign(static_cast<size_t>(n), ColumnPlan{});
    for (int c = 0; c < n; ++c) {
        ColumnPlan& p = cols_[static_cast<size_t>(c)];
        const char* decl = sqlite3_column_decltype(st_, c);
        p.type = server_type_for_decl(decl);
        if (p.type == 0)
            p.type = first_row_stepped ? server_type_for_storage(sqlite3_column_type(st_, c)) : kChar;
        p.modifier = type_modifier_for_decl(decl);
        p.declared = decl ? decl : "";
        p.wire_name = wire_column_name(st_, c);
        p.attribute = column_attribute(st_, c);
    }
}

void ResultWriter::put_description() {
    ch_.put_u8('A');
    ch_.put_i32(static_cast<int32_t>(cols_.size()));
    for (const auto& p : cols_) {
        ch_.put_string(p.wire_name);
        ch_.put_i32(p.type);
        ch_.put_i32(p.modifier);
        ch_.put_i32(p.attribute);
    }
}

bool ResultWriter::encode(int c, int32_t t) {
    if (sqlite3_column_type(st_, c) == SQLITE_NULL) {
        append_len(row_, 0);
        return true;
    }
    switch (t) {
        case kBoolean: {
            int b = column_bool(st_, c);
            if (b < 0) return false;
            append_len(row_, 1);
            row_ += b ? 'T' : 'F';
            return true;
        }
        case kInt8: case kInt16: case kInt32: case kInt64: case kYearMonth: case kDaySecond: {
            int w = fixed_wire_width(t);
            int64_t v;
            if (!column_int(st_, c, v) || !fits_width(v, w)) return false;
            append_len(row_, static_cast<size_t>(w));
            append_be(row_, static_cast<uint64_t>(v), w);
            return true;
        }
        case kFloat: {
            double d;
            if (!column_real(st_, c, d)) return false;
            float f = static_cast<float>(d);
            if (std::isfinite(d) && !std::isfinite(f)) return false;
            uint32_t bits;
            std::memcpy(&bits, &f, 4);
            append_len(row_, 4);
            append_be(row_, bits, 4);
            return true;
        }
        case kDouble: {
            double d;
            if (!column_real(st_, c, d)) return false;
            uint64_t bits;
            std::memcpy(&bits, &d, 8);
            append_len(row_, 8);
            append_be(row_, bits, 8);
            return true;
        }
        case kDate: case kTime: case kDateTime: case kTimeTz: case kDateTimeTz: {
            ParsedTime pt;
            if (!column_time(st_, c, pt)) return false;
            std::string wire;  // at most 10 bytes: no allocation
            append_temporal(wire, pt, t);
            append_len(row_, wire.size());
            row_ += wire;
            return true;
        }
        case kClob: case kBlob:
            if (lobs_) {
                bool binary = t == kBlob;
                const void* p = binary ? sqlite3_column_blob(st_, c) : static_cast<const void*>(sqlite3_column_text(st_, c));
                size_t n = static_cast<size_t>(sqlite3_column_bytes(st_, c));
                if (n <= kInlineLobMax) {
                    append_len(row_, n + 1);
                    row_ += binary ? 'b' : 'c';
                    row_.append(static_cast<const char*>(p), n);
                } else {
                    std::string desc = lobs_->add(binary ? 'B' : 'C', p, n);
                    if (desc.empty()) {
                        failure_ = kBudgetExhausted;
                        return false;
                    }
                    append_len(row_, desc.size());
                    row_ += desc;
                }
                return true;
            }
            break;
        default: break;
    }
    // Numeric text, character and binary values: the stored bytes. Large
    // ones go from SQLite's buffer straight to the socket.
    const bool binary = t == kBinary || t == kBlob;
    const void* p = binary ? sqlite3_column_blob(st_, c) : static_cast<const void*>(sqlite3_column_text(st_, c));
    size_t n = static_cast<size_t>(sqlite3_column_bytes(st_, c));
    append_len(row_, n);
    if (n >= kDirectValueBytes) large_.push_back({row_.size(), static_cast<const char*>(p), n});
    else row_.append(static_cast<const char*>(p), n);
    return true;
}

bool ResultWriter::encode_row() {
    if (encoded_) return failure_.empty();
    encoded_ = true;
    row_.clear();
    large_.clear();
    failure_.clear();
    for (size_t c = 0; c < cols_.size(); ++c) {
        if (encode(static_cast<int>(c), cols_[c].type)) continue;
        if (!failure_.empty()) return false;
        failure_ = "row " + std::to_string(row_number_) + ", column " + cols_[c].wire_name +
                   (cols_[c].declared.empty() ? "" : " (" + cols_[c].declared + ")") + ": value " +
                   shown_value(st_, static_cast<int>(c)) + " does not fit server type " +
                   std::to_string(cols_[c].type);
        return false;
    }
    return true;
}

bool ResultWriter::hold_row(std::string& held) {
    if (!large_.empty()) return false;
    encoded_ = false;
    ++row_number_;
    held += 'R';
    held += row_;
    return true;
}

void ResultWriter::put_row(bool with_tag) {
    encode_row();
    encoded_ = false;
    ++row_number_;
    if (with_tag) ch_.put_u8('R');
    size_t at = 0;
    for (const auto& v : large_) {
        ch_.put_bytes(row_.data() + at, v.offset - at);
        ch_.put_large(v.data, v.size);
        at = v.offset;
    }
    ch_.put_bytes(row_.data() + at, row_.size() - at);
}

StreamOutcome stream_rows(ResultWriter& w, Channel& ch, sqlite3_stmt* st, int* rc, int64_t max_rows,
                          int continue_every) {
    int64_t sent = 0;
    while (*rc == SQLITE_ROW) {
        if (sent >= max_rows) return {StreamEnd::Limit, sent};
        if (!w.encode_row()) return {StreamEnd::BadValue, sent};
        bool tag_sent = false;
        if (continue_every > 0 && sent == continue_every) {
            // The client reads one byte after the first full batch of rows,
            // then asks for the rest with "."; the rest follows unpaused.
            ch.put_u8('R');
            ch.flush();
            uint8_t b = ch.read_u8();
            if (b != '.') {
                ch.push_back(b);
                return {StreamEnd::Abandoned, sent};
            }
            tag_sent = true;
        }
        w.put_row(!tag_sent);
        ++sent;
        *rc = sqlite3_step(st);
    }
    return {*rc == SQLITE_DONE ? StreamEnd::Done : StreamEnd::Error, sent};
}

}  // namespace kvcd
