#include "types.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <sqlite3.h>
#include <strings.h>

namespace kvcd {

namespace {

struct DeclEntry {
    const char* name;  // upper case, single blanks, no parentheses
    int32_t type;
};

// The documented declared-type table (the README repeats it). SQLite keeps
// every integer in 64 bits and every real as a double: only the explicitly
// narrower names get narrower wire types.
const DeclEntry kDeclTable[] = {
    {"BOOLEAN", kBoolean},        {"BOOL", kBoolean},
    {"TINYINT", kInt8},           {"INT1", kInt8},
    {"SMALLINT", kInt16},         {"INT2", kInt16},
    {"INT4", kInt32},             {"MEDIUMINT", kInt32},
    {"INT", kInt64},              {"INTEGER", kInt64},
    {"BIGINT", kInt64},           {"INT8", kInt64},
    {"NUMERIC", kNumeric},        {"DECIMAL", kNumeric},        {"DEC", kNumeric},   {"NUMBER", kNumeric},
    {"FLOAT4", kFloat},
    {"REAL", kDouble},            {"FLOAT", kDouble},
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
        if (c == '"') continue;  // a quoted word of the name (see quote_interval_type_names)
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

bool fits_width(int64_t v, int width) {
    switch (width) {
        case 1: return v >= INT8_MIN && v <= INT8_MAX;
        case 2: return v >= INT16_MIN && v <= INT16_MAX;
        case 4: return v >= INT32_MIN && v <= INT32_MAX;
        default: return true;
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

constexpr int64_t kMicrosPerDay = 86400000000LL;
constexpr int64_t kMillisPerDay = 86400000LL;
// SQLite's range of dates: Julian day 0 (-4713-11-24) to 9999-12-31.
const int64_t kMinDays = days_from_civil(-4713, 11, 24);
const int64_t kMaxDays = days_from_civil(9999, 12, 31);
constexpr double kUnixEpochJulianDay = 2440587.5;

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads between min_count and max_count digits at s[i].
bool digits(const char* s, size_t n, size_t& i, int min_count, int max_count, int64_t& v) {
    v = 0;
    int k = 0;
    for (; k < max_count && i < n && is_digit(s[i]); ++k, ++i) v = v * 10 + (s[i] - '0');
    return k >= min_count;
}

bool parse_clock(const char* s, size_t n, size_t& i, int64_t& micros) {
    int64_t h, mi, se = 0;
    if (!digits(s, n, i, 2, 2, h) || i >= n || s[i++] != ':' || !digits(s, n, i, 2, 2, mi)) return false;
    if (i < n && s[i] == ':') {
        ++i;
        if (!digits(s, n, i, 2, 2, se)) return false;
    }
    int64_t frac = 0, scale = 1000000;
    if (i + 1 < n && s[i] == '.' && is_digit(s[i + 1])) {
        ++i;
        for (; i < n && is_digit(s[i]); ++i)
            if (scale > 1) { scale /= 10; frac += (s[i] - '0') * scale; }
    }
    if (h > 24 || mi > 59 || se > 59) return false;
    micros = ((h * 60 + mi) * 60 + se) * 1000000 + frac;
    return true;
}

bool parse_zone(const char* s, size_t n, size_t& i, int32_t& minutes) {
    while (i < n && s[i] == ' ') ++i;
    if (i < n && (s[i] == 'Z' || s[i] == 'z')) { ++i; minutes = 0; return true; }
    if (i >= n || (s[i] != '+' && s[i] != '-')) return false;
    int sign = s[i++] == '-' ? -1 : 1;
    int64_t h, m = 0;
    if (!digits(s, n, i, 2, 2, h)) return false;
    if (i < n && s[i] == ':') ++i;
    if (i < n && is_digit(s[i]) && !digits(s, n, i, 2, 2, m)) return false;
    if (h > 18 || m > 59) return false;
    minutes = static_cast<int32_t>(sign * (h * 60 + m));
    return true;
}

bool parse_date(const char* s, size_t n, size_t& i, int64_t& days) {
    int sign = 1;
    if (i < n && s[i] == '-') { sign = -1; ++i; }
    int64_t y, mo, d;
    if (!digits(s, n, i, 4, 4, y) || i >= n || s[i++] != '-' || !digits(s, n, i, 1, 2, mo) || i >= n ||
        s[i++] != '-' || !digits(s, n, i, 1, 2, d))
        return false;
    if (mo < 1 || mo > 12 || d < 1 || d > 31) return false;
    days = days_from_civil(sign * y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
    return days_in_range(days);
}

bool time_from_unix_millis(int64_t ms, ParsedTime& out) {
    out = ParsedTime{};
    out.days = floor_div(ms, kMillisPerDay);
    out.micros = (ms - out.days * kMillisPerDay) * 1000;
    return days_in_range(out.days);
}

// Day and time of day in UTC.
void utc_parts(const ParsedTime& t, int64_t& days, int64_t& micros) {
    const int64_t total = t.micros - int64_t(t.zone_minutes) * 60000000LL;
    days = t.days + floor_div(total, kMicrosPerDay);
    micros = total - floor_div(total, kMicrosPerDay) * kMicrosPerDay;
}

}  // namespace

bool days_in_range(int64_t days) { return days >= kMinDays && days <= kMaxDays; }

bool time_from_unix_seconds(int64_t seconds, ParsedTime& out) {
    if (seconds < kMinDays * 86400 || seconds > kMaxDays * 86400 + 86399) return false;
    return time_from_unix_millis(seconds * 1000, out);
}

bool time_from_julian_day(double jd, ParsedTime& out) {
    if (!(jd >= 0 && jd < 5373484.5)) return false;  // also refuses NaN
    return time_from_unix_millis(std::llround((jd - kUnixEpochJulianDay) * 86400000.0), out);
}

bool parse_time_text(const char* s, size_t n, ParsedTime& out) {
    out = ParsedTime{};
    while (n > 0 && s[n - 1] == ' ') --n;
    size_t i = 0;
    while (i < n && s[i] == ' ') ++i;
    const size_t start = i;
    bool has_time = false;
    if (i + 2 < n && s[i + 2] == ':') {
        out.days = days_from_civil(2000, 1, 1);
        has_time = parse_clock(s, n, i, out.micros);
        if (!has_time) return false;
    } else if (parse_date(s, n, i, out.days)) {
        size_t at = i;
        while (i < n && (s[i] == ' ' || s[i] == 'T')) ++i;
        if (i > at && i < n) {
            if (!parse_clock(s, n, i, out.micros)) return false;
            has_time = true;
        }
    } else {
        // Numeric text reads as the number would.
        std::string number(s + start, n - start);
        int64_t v;
        double d;
        if (parse_int_text(number.c_str(), v)) return time_from_unix_seconds(v, out);
        return parse_real_text(number.c_str(), d) && time_from_julian_day(d, out);
    }
    if (has_time && i < n) {
        if (!parse_zone(s, n, i, out.zone_minutes)) return false;
        out.has_zone = true;
    }
    return i == n;
}

bool read_time(int sqlite_type, int64_t i, double d, const char* text, size_t n, ParsedTime& out) {
    switch (sqlite_type) {
        case SQLITE_INTEGER: return time_from_unix_seconds(i, out);
        case SQLITE_FLOAT: return time_from_julian_day(d, out);
        case SQLITE_TEXT: return parse_time_text(text, n, out);
        default: return false;
    }
}

bool is_temporal_type(int32_t t) { return t >= kDate && t <= kDateTimeTz; }

void append_temporal(std::string& out, const ParsedTime& t, int32_t type) {
    int64_t days, micros;
    utc_parts(t, days, micros);
    switch (type) {
        case kDate:
            append_be(out, static_cast<uint64_t>(days), 4);
            return;
        case kTime:
            append_be(out, static_cast<uint64_t>(micros / 1000), 4);
            return;
        case kDateTime:
            append_be(out, static_cast<uint64_t>(days * kMillisPerDay + micros / 1000), 8);
            return;
        // Zoned values go as UTC with the zone beside them: the client adds
        // the zone back when it shows local time. A zoned time is not
        // reduced to one day, so that adding the zone back gives the clock.
        case kTimeTz:
            append_be(out, static_cast<uint64_t>(t.micros / 1000 - int64_t(t.zone_minutes) * 60000), 4);
            append_be(out, static_cast<uint64_t>(t.zone_minutes), 2);
            return;
        case kDateTimeTz:
            append_be(out, static_cast<uint64_t>(days * kMicrosPerDay + micros), 8);
            append_be(out, static_cast<uint64_t>(t.zone_minutes), 2);
            return;
        default: return;
    }
}

namespace {

bool is_word_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$'; }

bool is_interval_unit(const std::string& w) {
    static const char* const kUnits[] = {"YEAR", "MONTH", "DAY", "HOUR", "MINUTE", "SECOND"};
    for (const char* u : kUnits)
        if (strcasecmp(w.c_str(), u) == 0) return true;
    return false;
}

// End of the literal, quoted name or comment that starts at s[i], or i when none does.
size_t skip_quoted(const std::string& s, size_t i) {
    const char c = s[i];
    if (c == '\'' || c == '"' || c == '`' || c == '[') {
        const char close = c == '[' ? ']' : c;
        size_t j = s.find(close, i + 1);
        return j == std::string::npos ? s.size() : j + 1;  // a doubled quote is two literals in a row
    }
    if (s.compare(i, 2, "--") == 0) {
        size_t j = s.find('\n', i);
        return j == std::string::npos ? s.size() : j + 1;
    }
    if (s.compare(i, 2, "/*") == 0) {
        size_t j = s.find("*/", i + 2);
        return j == std::string::npos ? s.size() : j + 2;
    }
    return i;
}

}  // namespace

std::string quote_interval_type_names(const std::string& sql) {
    if (strcasestr(sql.c_str(), "interval") == nullptr) return sql;
    std::string out;
    // The last words, with where "TO" would sit in out; any other token resets.
    std::string words[3];
    size_t to_at = 0;
    size_t i = 0;
    while (i < sql.size()) {
        size_t j = skip_quoted(sql, i);
        if (j != i) {
            const bool comment = sql[i] == '-' || sql[i] == '/';
            if (!comment) words[0] = words[1] = words[2] = "";
            out.append(sql, i, j - i);
            i = j;
            continue;
        }
        if (std::isspace(static_cast<unsigned char>(sql[i]))) {
            out += sql[i++];
            continue;
        }
        if (!is_word_char(sql[i])) {
            words[0] = words[1] = words[2] = "";
            out += sql[i++];
            continue;
        }
        for (j = i; j < sql.size() && is_word_char(sql[j]); ++j) {}
        std::string w = sql.substr(i, j - i);
        if (is_interval_unit(w) && strcasecmp(words[2].c_str(), "TO") == 0 && is_interval_unit(words[1]) &&
            strcasecmp(words[0].c_str(), "INTERVAL") == 0)
            out.replace(to_at, 2, "\"" + words[2] + "\"");
        if (strcasecmp(w.c_str(), "TO") == 0) to_at = out.size();
        words[0] = words[1];
        words[1] = words[2];
        words[2] = w;
        out += w;
        i = j;
    }
    return out;
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

bool date_text(int64_t days, std::string& out) {
    if (!days_in_range(days)) return false;
    int64_t y;
    unsigned m, d;
    civil_from_days(days, y, m, d);
    char buf[32];
    std::snprintf(buf, sizeof buf, y < 0 ? "-%04lld-%02u-%02u" : "%04lld-%02u-%02u",
                  static_cast<long long>(y < 0 ? -y : y), m, d);
    out = buf;
    return true;
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

bool datetime_text(int64_t ms, std::string& out) {
    // Floor division: a negative count is an earlier day plus a positive time.
    const int64_t days = floor_div(ms, kMillisPerDay);
    if (!date_text(days, out)) return false;
    out += " " + time_text(ms - days * kMillisPerDay);
    return true;
}

}  // namespace kvcd
