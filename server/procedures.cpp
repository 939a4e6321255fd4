#include "procedures.h"

#include <cmath>
#include <cstring>
#include <ctime>
#include <functional>
#include <sqlite3.h>
#include <strings.h>

#include "types.h"

namespace kvcd {

namespace {

const char kVersionText[] = "kvcd 1.0 (SQLite " SQLITE_VERSION ")";

// ---- scalar functions ------------------------------------------------------

void fn_double(sqlite3_context* cx, int, sqlite3_value** v) {
    if (sqlite3_value_type(v[0]) == SQLITE_NULL) return sqlite3_result_null(cx);
    int64_t doubled;
    if (__builtin_mul_overflow(sqlite3_value_int64(v[0]), int64_t{2}, &doubled))
        return sqlite3_result_error(cx, "kvc_double: integer overflow", -1);
    sqlite3_result_int64(cx, doubled);
}

void fn_hypot(sqlite3_context* cx, int, sqlite3_value** v) {
    if (sqlite3_value_type(v[0]) == SQLITE_NULL || sqlite3_value_type(v[1]) == SQLITE_NULL)
        return sqlite3_result_null(cx);
    sqlite3_result_double(cx, std::hypot(sqlite3_value_double(v[0]), sqlite3_value_double(v[1])));
}

void fn_is_even(sqlite3_context* cx, int, sqlite3_value** v) {
    if (sqlite3_value_type(v[0]) == SQLITE_NULL) return sqlite3_result_null(cx);
    sqlite3_result_int(cx, sqlite3_value_int64(v[0]) % 2 == 0);
}

void fn_add_days(sqlite3_context* cx, int, sqlite3_value** v) {
    if (sqlite3_value_type(v[0]) == SQLITE_NULL || sqlite3_value_type(v[1]) == SQLITE_NULL)
        return sqlite3_result_null(cx);
    ParsedTime t;
    if (!read_time(sqlite3_value_type(v[0]), sqlite3_value_int64(v[0]), sqlite3_value_double(v[0]),
                   reinterpret_cast<const char*>(sqlite3_value_text(v[0])),
                   static_cast<size_t>(sqlite3_value_bytes(v[0])), t))
        return sqlite3_result_error(cx, "kvc_add_days: first argument is not a date", -1);
    int64_t days;
    std::string out;
    if (__builtin_add_overflow(t.days, sqlite3_value_int64(v[1]), &days) || !date_text(days, out))
        return sqlite3_result_error(cx, "kvc_add_days: the date falls outside 4713 BC to 9999 AD", -1);
    sqlite3_result_text(cx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

void fn_now(sqlite3_context* cx, int, sqlite3_value**) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    std::string out;
    datetime_text(int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000, out);
    sqlite3_result_text(cx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

void fn_version(sqlite3_context* cx, int, sqlite3_value**) {
    sqlite3_result_text(cx, kVersionText, -1, SQLITE_STATIC);
}

struct FunctionDef {
    const char* name;
    int arity;
    void (*fn)(sqlite3_context*, int, sqlite3_value**);
    int32_t returns;
    bool deterministic;
};

const FunctionDef kFunctions[] = {
    {"kvc_double", 1, fn_double, kInt64, true},
    {"kvc_hypot", 2, fn_hypot, kDouble, true},
    {"kvc_is_even", 1, fn_is_even, kBoolean, true},
    {"kvc_add_days", 2, fn_add_days, kDate, true},
    {"kvc_now", 0, fn_now, kDateTime, false},
    {"kvc_version", 0, fn_version, kChar, true},
};

// ---- values on their way out -------------------------------------------------

struct Datum {
    ValueKind kind = ValueKind::Null;
    int64_t i = 0;
    double d = 0;
    std::string s;
    int32_t natural = kChar;  // the type a value goes as when the client named none
};

bool datum_int(const Datum& v, int64_t& out) {
    switch (v.kind) {
        case ValueKind::Int: out = v.i; return true;
        // Truncated toward zero, when the result fits.
        case ValueKind::Real:
            if (!(v.d > -9223372036854775808.0 && v.d < 9223372036854775808.0)) return false;
            out = static_cast<int64_t>(v.d);
            return true;
        case ValueKind::Text: return parse_int_text(v.s.c_str(), out);
        default: return false;
    }
}

bool datum_real(const Datum& v, double& out) {
    switch (v.kind) {
        case ValueKind::Int: out = static_cast<double>(v.i); return true;
        case ValueKind::Real: out = v.d; return true;
        case ValueKind::Text: return parse_real_text(v.s.c_str(), out);
        default: return false;
    }
}

bool datum_time(const Datum& v, ParsedTime& t) {
    static const int kStorage[] = {SQLITE_NULL, SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB};
    return read_time(kStorage[static_cast<int>(v.kind)], v.i, v.d, v.s.data(), v.s.size(), t);
}

std::string datum_text(const Datum& v) {
    switch (v.kind) {
        case ValueKind::Int:
            if (v.natural == kBoolean) return v.i ? "T" : "F";
            return std::to_string(v.i);
        case ValueKind::Real: {
            char b[64];
            std::snprintf(b, sizeof b, "%.17g", v.d);
            return b;
        }
        default: return v.s;
    }
}

// Wire bytes of a value in the given server type; false when it cannot be had.
bool datum_wire(const Datum& v, int32_t type, std::string& out) {
    out.clear();
    int64_t n;
    double d;
    ParsedTime t;
    switch (type) {
        case kBoolean:
            if (!datum_int(v, n)) return false;
            out += n ? 'T' : 'F';
            return true;
        case kInt8: case kInt16: case kInt32: case kInt64:
            if (!datum_int(v, n) || !fits_width(n, fixed_wire_width(type))) return false;
            append_be(out, static_cast<uint64_t>(n), fixed_wire_width(type));
            return true;
        case kFloat: {
            if (!datum_real(v, d)) return false;
            float f = static_cast<float>(d);
            uint32_t bits;
            std::memcpy(&bits, &f, 4);
            append_be(out, bits, 4);
            return true;
        }
        case kDouble: {
            if (!datum_real(v, d)) return false;
            uint64_t bits;
            std::memcpy(&bits, &d, 8);
            append_be(out, bits, 8);
            return true;
        }
        case kDate: case kTime: case kDateTime: case kTimeTz: case kDateTimeTz:
            if (!datum_time(v, t)) return false;
            append_temporal(out, t, type);
            return true;
        default:
            out = datum_text(v);
            return true;
    }
}

// The client announces a server type for every slot it binds; numbers and
// datetimes are answered in that type so that they fit the caller's buffer,
// and character slots receive text.
int32_t answer_type(int32_t announced, int32_t natural) {
    switch (announced) {
        case kInt8: case kInt16: case kInt32: case kInt64: case kFloat: case kDouble: case kDateTime:
        case kBinary: case kChar:
            return announced;
        default:
            return natural;
    }
}

Datum from_param(const ParamValue& p) {
    Datum v;
    v.kind = p.kind;
    v.i = p.i;
    v.d = p.d;
    v.s = p.bytes;
    return v;
}

// ---- procedures --------------------------------------------------------------

enum Direction { kIn = 1, kOut = 2, kInOut = 3 };

struct ProcParam {
    const char* name;
    Direction dir;
    int32_t type;  // the value's natural server type
};

struct Call {
    sqlite3* db;
    std::vector<const ParamValue*> arg;  // by declared position; null when not given
    std::vector<Datum> out;              // by declared position
    ProcedureOutcome* result;
    Datum returned;                      // for procedures that return a value
};

struct ProcedureDef {
    const char* name;
    std::vector<ProcParam> params;
    size_t required;  // leading parameters that must be given
    std::function<std::string(Call&)> run;
    int32_t returns = 0;  // server type of the return value; 0 for none
};

bool arg_int(const Call& c, size_t k, int64_t& v) {
    return c.arg[k] && c.arg[k]->kind != ValueKind::Null && datum_int(from_param(*c.arg[k]), v);
}

bool arg_real(const Call& c, size_t k, double& v) {
    return c.arg[k] && c.arg[k]->kind != ValueKind::Null && datum_real(from_param(*c.arg[k]), v);
}

bool arg_text(const Call& c, size_t k, std::string& v) {
    if (!c.arg[k] || c.arg[k]->kind == ValueKind::Null) return false;
    v = datum_text(from_param(*c.arg[k]));
    return true;
}

Datum int_datum(int64_t v) {
    Datum d;
    d.kind = ValueKind::Int;
    d.i = v;
    d.natural = kInt64;
    return d;
}

Datum text_datum(std::string s) {
    Datum d;
    d.kind = ValueKind::Text;
    d.s = std::move(s);
    d.natural = kChar;
    return d;
}

std::string quote_identifier(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

const char kSeriesSql[] =
    "WITH RECURSIVE s(i) AS (SELECT 1 WHERE ?1 > 0 UNION ALL SELECT i + 1 FROM s WHERE i < ?1) "
    "SELECT i, i * i AS square, 'row ' || i AS label FROM s";

const std::vector<ProcedureDef>& procedures() {
    static const std::vector<ProcedureDef> defs = {
        {"kvc_add", {{"a", kIn, kInt64}, {"b", kIn, kInt64}, {"total", kOut, kInt64}}, 3,
         [](Call& c) -> std::string {
             int64_t a, b;
             if (!arg_int(c, 0, a) || !arg_int(c, 1, b)) return "kvc_add: a and b must be integers";
             int64_t total;
             if (__builtin_add_overflow(a, b, &total)) return "kvc_add: integer overflow";
             c.out[2] = int_datum(total);
             return {};
         }},
        {"kvc_scale", {{"factor", kIn, kDouble}, {"value", kInOut, kDouble}}, 2,
         [](Call& c) -> std::string {
             double f, v;
             if (!arg_real(c, 0, f) || !arg_real(c, 1, v)) return "kvc_scale: factor and value must be numbers";
             c.out[1].kind = ValueKind::Real;
             c.out[1].d = f * v;
             c.out[1].natural = kDouble;
             return {};
         }},
        {"kvc_account", {{"amount", kIn, kInt64}, {"balance", kInOut, kInt64}, {"previous", kOut, kInt64}}, 3,
         [](Call& c) -> std::string {
             int64_t amount, balance;
             if (!arg_int(c, 0, amount) || !arg_int(c, 1, balance))
                 return "kvc_account: amount and balance must be integers";
             int64_t updated;
             if (__builtin_add_overflow(balance, amount, &updated)) return "kvc_account: integer overflow";
             c.out[2] = int_datum(balance);
             c.out[1] = int_datum(updated);
             c.returned = text_datum(updated < 0 ? "overdrawn" : "ok");
             return {};
         },
         kChar},
        {"kvc_concat",
         {{"a", kIn, kChar}, {"b", kIn, kChar}, {"joined", kOut, kChar}, {"joined_length", kOut, kInt32}}, 4,
         [](Call& c) -> std::string {
             std::string a, b;
             if (!arg_text(c, 0, a) || !arg_text(c, 1, b)) return "kvc_concat: a and b must not be null";
             c.out[2] = text_datum(a + b);
             c.out[3] = int_datum(static_cast<int64_t>(a.size() + b.size()));
             c.out[3].natural = kInt32;
             return {};
         }},
        {"kvc_swap", {{"a", kInOut, kChar}, {"b", kInOut, kChar}}, 2,
         [](Call& c) -> std::string {
             std::string a, b;
             if (!arg_text(c, 0, a) || !arg_text(c, 1, b)) return "kvc_swap: a and b must not be null";
             c.out[0] = text_datum(b);
             c.out[1] = text_datum(a);
             return {};
         }},
        {"kvc_row_count", {{"table_name", kIn, kChar}, {"row_count", kOut, kInt64}}, 2,
         [](Call& c) -> std::string {
             std::string table;
             if (!arg_text(c, 0, table)) return "kvc_row_count: table_name must not be null";
             std::string sql = "SELECT count(*) FROM " + quote_identifier(table);
             sqlite3_stmt* st = nullptr;
             if (sqlite3_prepare_v2(c.db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
                 return std::string("kvc_row_count: ") + sqlite3_errmsg(c.db);
             int rc = sqlite3_step(st);
             std::string err;
             if (rc == SQLITE_ROW) c.out[1] = int_datum(sqlite3_column_int64(st, 0));
             else err = std::string("kvc_row_count: ") + sqlite3_errmsg(c.db);
             sqlite3_finalize(st);
             return err;
         }},
        {"kvc_series", {{"n", kIn, kInt32}, {"total", kOut, kInt64}}, 1,
         [](Call& c) -> std::string {
             int64_t n;
             if (!arg_int(c, 0, n) || n < 0 || n > 10000000) return "kvc_series: n must be between 0 and 10000000";
             c.out[1] = int_datum(n * (n + 1) / 2);
             c.result->result_sql = kSeriesSql;
             ParamValue p;
             p.kind = ValueKind::Int;
             p.i = n;
             c.result->result_args.push_back(p);
             return {};
         }},
        {"kvc_query", {{"sql", kIn, kChar}}, 1,
         [](Call& c) -> std::string {
             std::string sql;
             if (!arg_text(c, 0, sql)) return "kvc_query: sql must not be null";
             sqlite3_stmt* st = nullptr;
             const char* tail = nullptr;
             if (sqlite3_prepare_v2(c.db, sql.c_str(), -1, &st, &tail) != SQLITE_OK)
                 return std::string("kvc_query: ") + sqlite3_errmsg(c.db);
             bool ok = st && sqlite3_stmt_readonly(st) && sqlite3_column_count(st) > 0;
             sqlite3_finalize(st);
             if (!ok) return "kvc_query: the statement must be a single query";
             c.result->result_sql = sql;
             return {};
         }},
    };
    return defs;
}

// Matches the client's values to declared parameters: by name when the
// values carry names, else by position.
std::string resolve_args(const ProcedureDef& def, const std::vector<ParamValue>& args,
                         std::vector<const ParamValue*>& by_decl, std::vector<int32_t>& slot_of) {
    size_t n = def.params.size();
    by_decl.assign(n, nullptr);
    slot_of.assign(n, -1);
    std::string usage = std::string(def.name) + " takes (";
    for (size_t k = 0; k < n; ++k) {
        static const char* const kDir[] = {"", "IN", "OUT", "INOUT"};
        usage += (k ? ", " : "") + std::string(def.params[k].name) + " " + kDir[def.params[k].dir];
    }
    usage += ")";
    if (args.size() > n) return usage + "; " + std::to_string(args.size()) + " given";
    for (size_t k = 0; k < args.size(); ++k) {
        size_t target = k;
        if (!args[k].name.empty()) {
            target = n;
            for (size_t j = 0; j < n; ++j)
                if (strcasecmp(def.params[j].name, args[k].name.c_str()) == 0) target = j;
            if (target == n) return usage + "; no parameter named " + args[k].name;
        }
        if (by_decl[target]) return usage + "; " + def.params[target].name + " given twice";
        by_decl[target] = &args[k];
        slot_of[target] = static_cast<int32_t>(k);
    }
    for (size_t j = 0; j < def.required; ++j)
        if (!by_decl[j]) return usage + "; " + def.params[j].name + " missing";
    return {};
}

ProcedureOutcome call_function(sqlite3* db, const FunctionDef& f, const std::vector<ParamValue>& args) {
    ProcedureOutcome r;
    if (static_cast<int>(args.size()) != f.arity) {
        r.error = std::string(f.name) + " takes " + std::to_string(f.arity) + " arguments; " +
                  std::to_string(args.size()) + " given";
        return r;
    }
    std::string sql = std::string("SELECT ") + f.name + "(";
    for (int k = 0; k < f.arity; ++k) sql += k ? ", ?" : "?";
    sql += ")";
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        r.error = sqlite3_errmsg(db);
        return r;
    }
    size_t next = 0;
    std::string err = bind_values(st, args, &next, nullptr);
    if (err.empty() && sqlite3_step(st) == SQLITE_ROW) {
        Datum v;
        switch (sqlite3_column_type(st, 0)) {
            case SQLITE_INTEGER: v.kind = ValueKind::Int; v.i = sqlite3_column_int64(st, 0); break;
            case SQLITE_FLOAT: v.kind = ValueKind::Real; v.d = sqlite3_column_double(st, 0); break;
            case SQLITE_NULL: break;
            default:
                v.kind = ValueKind::Text;
                v.s.assign(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                           static_cast<size_t>(sqlite3_column_bytes(st, 0)));
        }
        v.natural = f.returns;
        r.has_return = true;
        r.return_type = f.returns;
        if (v.kind != ValueKind::Null && !datum_wire(v, f.returns, r.return_bytes))
            r.error = std::string(f.name) + ": result does not fit its type";
    } else if (err.empty()) {
        err = sqlite3_errmsg(db);
    }
    if (!err.empty()) r.error = err;
    sqlite3_finalize(st);
    return r;
}

}  // namespace

const char* server_version_text() { return kVersionText; }

void register_builtin_functions(sqlite3* db) {
    for (const auto& f : kFunctions)
        sqlite3_create_function_v2(db, f.name, f.arity, SQLITE_UTF8 | (f.deterministic ? SQLITE_DETERMINISTIC : 0),
                                   nullptr, f.fn, nullptr, nullptr, nullptr);
}

ProcedureOutcome call_builtin(sqlite3* db, const std::string& name, const std::vector<ParamValue>& args) {
    for (const auto& f : kFunctions)
        if (strcasecmp(f.name, name.c_str()) == 0) return call_function(db, f, args);
    ProcedureOutcome r;
    for (const auto& def : procedures()) {
        if (strcasecmp(def.name, name.c_str()) != 0) continue;
        Call c{db, {}, std::vector<Datum>(def.params.size()), &r, {}};
        std::vector<int32_t> slot_of;
        r.error = resolve_args(def, args, c.arg, slot_of);
        if (!r.error.empty()) return r;
        r.error = def.run(c);
        if (!r.error.empty()) return r;
        for (size_t k = 0; k < def.params.size(); ++k) {
            if (def.params[k].dir == kIn || slot_of[k] < 0) continue;
            const Datum& v = c.out[k];
            OutputValue o{slot_of[k], answer_type(c.arg[k]->wire_type, def.params[k].type), {}};
            if (v.kind != ValueKind::Null && !datum_wire(v, o.type, o.bytes)) {
                // The caller's slot type cannot hold it: send the natural form.
                o.type = def.params[k].type;
                datum_wire(v, o.type, o.bytes);
            }
            r.outputs.push_back(std::move(o));
        }
        if (def.returns) {
            r.has_return = true;
            r.return_type = def.returns;
            if (c.returned.kind != ValueKind::Null) datum_wire(c.returned, def.returns, r.return_bytes);
        }
        return r;
    }
    r.error = "no procedure or function named " + name;
    return r;
}

}  // namespace kvcd
