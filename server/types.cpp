#include "types.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sqlite3.h>

namespace kvcd {

namespace {

struct DeclEntry {
    const char* name;  // upper case, single blanks, no parentheses
    int32_t type;
};

// The documented declared-type table (server/README.md repeats it).
const DeclEntry kDeclTable[] = {
    {"BOOLEAN", kBoolean},        {"BOOL", kBoolean},
    {"TINYINT", kInt8},           {"INT1", kInt8},
    {"SMALLINT", kInt16},         {"INT2", kInt16},
    {"INT", kInt32},              {"INTEGER", kInt32},          {"INT4", kInt32},    {"MEDIUMINT", kInt32},
    {"BIGINT", kInt64},           {"INT8", kInt64},
    {"NUMERIC", kNumeric},        {"DECIMAL", kNumeric},        {"DEC", kNumeric},   {"NUMBER", kNumeric},
    {"REAL", kFloat},             {"FLOAT", kFloat},            {"FLOAT4", kFloat},
    {"DOUBLE", kDouble},          {"DOUBLE PRECISION", kDouble}, {"FLOAT8", kDouble},
    {"DATE", kDate},
    {"TIME", kTime},
    {"TIME WITH TIME ZONE", kTimeTz},  {"TIMETZ", kTimeTz},
    {"DATETIME", kDateTime},      {"TIMESTAMP", kDateTime},
    {"TIMESTAMP WITH TIME ZONE", kDateTimeTz}, {"TIMESTAMPTZ", kDateTimeTz}, {"DATETIMETZ", kDateTimeTz},
    {"INTERVAL YEAR TO MONTH", kYearMonth},
    {"INTERVAL DAY TO SECOND", kDaySecond},
    {"CHAR", kChar},              {"CHARACTER", kChar},         {"VARCHAR", kChar},  {"VARCHAR2", kChar},
    {"NCHAR", kChar},             {"NVARCHAR", kChar},          {"TEXT", kChar},     {"STRING", kChar},
    {"CHARACTER VARYING", kChar},
    {"CLOB", kClob},              {"NCLOB", kClob},             {"LONGTEXT", kClob},
    {"BINARY", kBinary},          {"VARBINARY", kBinary},       {"BYTEA", kBinary},  {"RAW", kBinary},
    {"BLOB", kBlob},              {"LONGBLOB", kBlob},
};

// Upper-cases, drops "(...)" and collapses blanks: "varchar( 20 )" -> "VARCHAR".
std::string normalise_decl(const char* s) {
    std::string out;
    int depth = 0;
    bool blank = false;
    for (; *s; ++s) {
        char c = *s;
        if (c == '(') { ++depth; continue; }
        if (c == ')') { if (depth) --depth; continue; }
        if (depth) continue;
        if (std::isspace(static_cast<unsigned char>(c))) { blank = !out.empty(); continue; }
        if (blank) { out += ' '; blank = false; }
        out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

}  // namespace

int32_t server_type_for_decl(const char* decl) {
    if (!decl || !*decl) return 0;
    std::string n = normalise_decl(decl);
    for (const auto& e : kDeclTable)
        if (n == e.name) return e.type;
    // SQLite's own affinity words, for declarations outside the table.
    if (n.find("INT") != std::string::npos) return kInt64;
    if (n.find("CHAR") != std::string::npos || n.find("TEXT") != std::string::npos) return kChar;
    if (n.find("BLOB") != std::string::npos) return kBlob;
    if (n.find("DOUB") != std::string::npos || n.find("FLOA") != std::string::npos) return kDouble;
    return 0;
}

int32_t type_modifier_for_decl(const char* decl) {
    if (!decl) return 0;
    const char* p = std::strchr(decl, '(');
    if (!p) return 0;
    int v = 0;
    if (std::sscanf(p + 1, "%d", &v) != 1) return 0;
    return v;
}

int32_t server_type_for_storage(int sqlite_type) {
    switch (sqlite_type) {
        case SQLITE_INTEGER: return kInt64;
        case SQLITE_FLOAT: return kDouble;
        case SQLITE_BLOB: return kBinary;
        default: return kChar;
    }
}

int fixed_wire_width(int32_t t) {
    switch (t) {
        case kBoolean: case kInt8: return 1;
        case kInt16: return 2;
        case kInt32: case kFloat: case kDate: case kTime: case kYearMonth: return 4;
        case kInt64: case kDouble: case kDateTime: case kDaySecond: return 8;
        default:
            if (t >= 15 && t <= 23) return 4;
            if (t >= 24 && t <= 27) return 8;
            return 0;
    }
}

bool is_lob_type(int32_t t) { return t == kClob || t == kBlob; }

// Howard Hinnant's civil-calendar algorithms.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

namespace {

// Reads exactly `count` digits at s[i].
bool digits(const char* s, size_t n, size_t& i, int count, int64_t& v) {
    v = 0;
    for (int k = 0; k < count; ++k, ++i) {
        if (i >= n || !std::isdigit(static_cast<unsigned char>(s[i]))) return false;
        v = v * 10 + (s[i] - '0');
    }
    return true;
}

bool parse_clock(const char* s, size_t n, size_t& i, int64_t& micros) {
    int64_t h, mi, se = 0;
    if (!digits(s, n, i, 2, h) || i >= n || s[i++] != ':' || !digits(s, n, i, 2, mi)) return false;
    if (i < n && s[i] == ':') {
        ++i;
        if (!digits(s, n, i, 2, se)) return false;
    }
    int64_t frac = 0, scale = 1000000;
    if (i < n && s[i] == '.') {
        ++i;
        size_t start = i;
        while (i < n && std::isdigit(static_cast<unsigned char>(s[i]))) {
            if (scale > 1) { scale /= 10; frac += (s[i] - '0') * scale; }
            ++i;
        }
        if (i == start) return false;
    }
    if (h > 23 || mi > 59 || se > 60) return false;
    micros = ((h * 60 + mi) * 60 + se) * 1000000 + frac;
    return true;
}

bool parse_zone(const char* s, size_t n, size_t& i, int32_t& minutes) {
    if (i < n && s[i] == ' ') ++i;
    if (i < n && (s[i] == 'Z' || s[i] == 'z')) { ++i; minutes = 0; return true; }
    if (i >= n || (s[i] != '+' && s[i] != '-')) return false;
    int sign = s[i++] == '-' ? -1 : 1;
    int64_t h, m = 0;
    if (!digits(s, n, i, 2, h)) return false;
    if (i < n && s[i] == ':') ++i;
    if (i < n && std::isdigit(static_cast<unsigned char>(s[i])) && !digits(s, n, i, 2, m)) return false;
    if (h > 18 || m > 59) return false;
    minutes = static_cast<int32_t>(sign * (h * 60 + m));
    return true;
}

}  // namespace

bool parse_time_text(const char* s, size_t n, ParsedTime& out) {
    out = ParsedTime{};
    while (n > 0 && s[n - 1] == ' ') --n;
    size_t i = 0;
    while (i < n && s[i] == ' ') ++i;
    // A date begins with a (possibly signed) year and a '-'; a time with "HH:".
    if (i + 2 < n && s[i + 2] == ':') {
        if (!parse_clock(s, n, i, out.micros)) return false;
        out.has_time = true;
    } else {
        int sign = 1;
        if (i < n && s[i] == '-') { sign = -1; ++i; }
        int64_t y = 0, mo, d;
        size_t start = i;
        while (i < n && std::isdigit(static_cast<unsigned char>(s[i])) && i - start < 6) y = y * 10 + (s[i++] - '0');
        if (i - start < 4 || i >= n || s[i++] != '-') return false;
        if (!digits(s, n, i, 2, mo) || i >= n || s[i++] != '-' || !digits(s, n, i, 2, d)) return false;
        if (mo < 1 || mo > 12 || d < 1 || d > 31) return false;
        out.days = days_from_civil(sign * y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
        out.has_date = true;
        if (i < n && (s[i] == ' ' || s[i] == 'T') && i + 3 < n && s[i + 3] == ':') {
            ++i;
            if (!parse_clock(s, n, i, out.micros)) return false;
            out.has_time = true;
        }
    }
    if (i < n) {
        if (!parse_zone(s, n, i, out.zone_minutes)) return false;
        out.has_zone = true;
    }
    return i == n;
}

void append_be(std::string& out, uint64_t v, int width) {
    char b[8];
    for (int k = width - 1; k >= 0; --k) {
        b[k] = static_cast<char>(v & 0xFF);
        v >>= 8;
    }
    out.append(b, static_cast<size_t>(width));
}

bool parse_int_text(const char* s, int64_t& v) {
    if (!s || !*s) return false;
    char* end = nullptr;
    errno = 0;
    long long x = std::strtoll(s, &end, 10);
    while (*end == ' ') ++end;
    if (errno || end == s || *end) return false;
    v = x;
    return true;
}

bool parse_real_text(const char* s, double& v) {
    if (!s || !*s) return false;
    char* end = nullptr;
    v = std::strtod(s, &end);
    while (*end == ' ') ++end;
    return end != s && *end == 0;
}

std::string date_text(int64_t days) {
    int64_t y;
    unsigned m, d;
    civil_from_days(days, y, m, d);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u", static_cast<long long>(y), m, d);
    return buf;
}

std::string time_text(int64_t millis) {
    if (millis < 0) millis = 0;
    char buf[32];
    int64_t s = millis / 1000;
    int n = std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                          static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
    if (millis % 1000) std::snprintf(buf + n, sizeof buf - n, ".%03lld", static_cast<long long>(millis % 1000));
    return buf;
}

std::string datetime_text(int64_t ms) {
    // Floor division: a negative count is an earlier day plus a positive time.
    int64_t days = ms / 86400000;
    int64_t rest = ms % 86400000;
    if (rest < 0) { rest += 86400000; --days; }
    return date_text(days) + " " + time_text(rest);
}

}  // namespace kvcd
