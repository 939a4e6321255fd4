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
// Whether v is a signed integer of `width` bytes (1, 2, 4 or 8).
bool fits_width(int64_t v, int width);
bool is_lob_type(int32_t server_type);

// Calendar: days since 1970-01-01 in the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d);
void civil_from_days(int64_t days, int64_t& y, unsigned& m, unsigned& d);

// A point in time as SQLite's date functions read a value: a day, a time of
// day and, when the text names one, its zone. A bare time falls on
// 2000-01-01 and a bare date at midnight, as in SQLite.
struct ParsedTime {
    int64_t days = 0;         // since 1970-01-01
    int64_t micros = 0;       // time of day; 24:00 is accepted
    bool has_zone = false;
    int32_t zone_minutes = 0;
};
// Reads "YYYY-MM-DD" (month and day may have one digit), "HH:MM[:SS[.f…]]",
// the two joined by blanks or 'T', the time optionally followed by "Z" or a
// zone "+HH[:MM]"; and numeric text as a number (below). False otherwise.
bool parse_time_text(const char* s, size_t n, ParsedTime& out);
// SQLite's conventions for numbers: integers are Unix seconds, reals are
// Julian day numbers. False outside SQLite's range of dates.
bool time_from_unix_seconds(int64_t seconds, ParsedTime& out);
bool time_from_julian_day(double jd, ParsedTime& out);
// A stored value of any storage class (SQLITE_INTEGER, _FLOAT or _TEXT).
bool read_time(int sqlite_type, int64_t i, double d, const char* text, size_t n, ParsedTime& out);

bool is_temporal_type(int32_t server_type);
// Wire bytes (no length) of a temporal value in server type 10 to 14; the
// zoned kinds carry UTC and the zone, the others are shown in UTC as SQLite
// does. Every value in SQLite's range of dates fits.
void append_temporal(std::string& out, const ParsedTime& t, int32_t server_type);
// Days of SQLite's date range, -4713-11-24 to 9999-12-31.
bool days_in_range(int64_t days);

// SQLite cannot parse the interval type names "INTERVAL YEAR TO MONTH" and
// "INTERVAL DAY TO SECOND" ("TO" is a keyword): the "TO" of such a name,
// outside literals and comments, comes back quoted, which SQLite takes as a
// type name and the declared-type table reads as the name itself.
std::string quote_interval_type_names(const std::string& sql);

// Appends v as a big-endian number of `width` bytes (the wire's byte order).
void append_be(std::string& out, uint64_t v, int width);
// Whole-text number parsing; false unless the text is exactly one number.
bool parse_int_text(const char* s, int64_t& v);
bool parse_real_text(const char* s, double& v);

// Text forms used when a value of a temporal wire type is stored in SQLite.
// Each is false (and out untouched) outside SQLite's range of dates.
bool date_text(int64_t days, std::string& out);
std::string time_text(int64_t millis);
bool datetime_text(int64_t epoch_millis, std::string& out);

}  // namespace kvcd
