// Server type codes, the declared-type table, calendar arithmetic and the
// wire forms of column values.
#pragma once

#include <cstdint>
#include <string>

namespace kvcd {

enum ServerType : int32_t {
    kUntyped = 1,
    kBoolean = 2,
    kInt8 = 3,
    kInt16 = 4,
    kInt32 = 5,
    kInt64 = 6,
    kNumeric = 7,
    kFloat = 8,
    kDouble = 9,
    kDate = 10,
    kTime = 11,
    kTimeTz = 12,
    kDateTime = 13,
    kDateTimeTz = 14,
    kYearMonth = 16,
    kDaySecond = 24,
    kChar = 30,
    kClob = 32,
    kBinary = 33,
    kBlob = 34,
    kNullParam = 1008,
};

// Server type for a column's declared type, or 0 when the declaration says
// nothing we recognise (the value's own storage class decides then).
int32_t server_type_for_decl(const char* decltype_text);
// Type modifier reported with a column: the first number in parentheses, or 0.
int32_t type_modifier_for_decl(const char* decltype_text);
// Fallback for columns without a usable declaration: SQLite storage class.
int32_t server_type_for_storage(int sqlite_type);

// Width of a fixed-width value on the wire, or 0 for variable-length types.
int fixed_wire_width(int32_t server_type);
bool is_lob_type(int32_t server_type);

// Calendar: days since 1970-01-01 in the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d);
void civil_from_days(int64_t days, int64_t& y, unsigned& m, unsigned& d);

// Parsed date/time text. Accepts "YYYY-MM-DD", "HH:MM[:SS[.fff…]]",
// "YYYY-MM-DD[ T]HH:MM[:SS[.fff…]]", each optionally followed by "Z" or a
// zone "+HH[:MM]". Returns false when the text is none of these.
struct ParsedTime {
    bool has_date = false, has_time = false, has_zone = false;
    int64_t days = 0;         // when has_date
    int64_t micros = 0;       // time of day, when has_time
    int32_t zone_minutes = 0; // when has_zone
};
bool parse_time_text(const char* s, size_t n, ParsedTime& out);

// Appends v as a big-endian number of `width` bytes (the wire's byte order).
void append_be(std::string& out, uint64_t v, int width);
// Whole-text number parsing; false unless the text is exactly one number.
bool parse_int_text(const char* s, int64_t& v);
bool parse_real_text(const char* s, double& v);

// Text forms used when a value of a temporal wire type is stored in SQLite.
std::string date_text(int64_t days);
std::string time_text(int64_t millis);
std::string datetime_text(int64_t epoch_millis);

}  // namespace kvcd
