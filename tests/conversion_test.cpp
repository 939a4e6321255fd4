// Value conversion: the C-type matrix, text forms and their delivery rules,
// piecewise and binary reads, large-object delivery, db2str, the calendar
// arithmetic and the single-value text.
#include "kvc.h"
#include "support/lob_support.h"
#include "support/rows_support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// A one-column result whose current row holds one value.
class OneValue {
public:
    OneValue(int server_type, const WireBuilder& value) : r_({{"V", server_type}}) { r_.add_row(value); }

    int get(int c_type, void* dst, int size, int* length) {
        return KVGetData(r_.handle(), 1, c_type, dst, size, length);
    }
    // The value asked as text into a destination of `size` bytes.
    struct Text {
        int status;
        std::string text;
        int length;
    };
    Text text(int size, int c_type = 2) {
        std::vector<char> buf(static_cast<size_t>(size) + 1, '#');
        int length = -7;
        int status = get(c_type, buf.data(), size, &length);
        EXPECT_EQ(buf[static_cast<size_t>(size)], '#') << "written past the destination";
        return {status, std::string(buf.data(), strnlen(buf.data(), static_cast<size_t>(size))), length};
    }
    Result* result() { return r_.result(); }
    WireResult& wire() { return r_; }

private:
    WireResult r_;
};

WireBuilder i32_value(int32_t v) { return WireBuilder().i32(4).i32(v); }
WireBuilder i64_value(int64_t v) { return WireBuilder().i32(8).i64(v); }
WireBuilder bytes_of(const std::string& s) {
    WireBuilder w;
    bytes_value(w, s);
    return w;
}

TEST(Conversion, TextBinaryAndRawRules) {
    struct Case {
        int server_type;
        WireBuilder value;
        int c_type, size;
        const char* bytes;   // what the destination holds afterwards (up to the '#' guard)
        int length, status;
    };
    const std::vector<Case> cases = {
        {5, i32_value(12345), 2, 3, "12", 3, -12},
        {5, i32_value(12345), 2, 5, "1234", 1, -12},
        {5, i32_value(12345), 2, 6, "12345", 5, 0},
        {5, i32_value(12345), 2, 1, "", 5, -12},
        {5, i32_value(12345), 2, 0, "", 5, -12},
        {30, bytes_of("0123456789"), 2, 10, "012345678", 1, -12},
        {30, bytes_of("0123456789"), 2, 11, "0123456789", 10, 0},
        {30, bytes_of("0123456789"), 15, 4, "0123", 6, -12},   // no terminator in binary form
        {30, bytes_of("0123456789"), 15, 10, "0123456789", 10, 0},
        {30, bytes_of("abcdefgh"), 9, 4, "abcd", 8, -12},      // a given size is never passed
        {30, bytes_of("abcdefgh"), 9, 0, "abcdefgh", 8, 0},    // no size: the whole value
        {5, i32_value(1), 15, 10, "", 0, -13},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("C type " + std::to_string(c.c_type) + " size " + std::to_string(c.size));
        OneValue v(c.server_type, c.value);
        char buf[16];
        memset(buf, '#', sizeof buf);
        int length = -7;
        EXPECT_EQ(v.get(c.c_type, buf, c.size, &length), c.status);
        EXPECT_EQ(length, c.length);
        const size_t n = strlen(c.bytes);
        EXPECT_EQ(std::string(buf, n), c.bytes);
        // Text forms clear the whole destination; nothing lands past it (a
        // raw copy without a size ends with the value).
        if (c.c_type == 2) {
            EXPECT_EQ(std::string(buf + n, static_cast<size_t>(c.size) - n), std::string(c.size - n, '\0'));
        }
        EXPECT_EQ(buf[c.c_type == 9 ? n : static_cast<size_t>(c.size)], '#');
    }
}

TEST(Conversion, PiecewiseReadWalksTheValue) {
    OneValue v(33, bytes_of("0123456789"));
    char buf[4];
    std::string collected;
    std::vector<int> pieces;
    for (int offset = 0;;) {
        int length = offset;
        ASSERT_EQ(v.get(18, buf, sizeof buf, &length), 0);
        if (length == 0) break;
        pieces.push_back(length);
        collected.append(buf, static_cast<size_t>(length));
        offset += length;
    }
    EXPECT_EQ(pieces, (std::vector<int>{4, 4, 2}));
    EXPECT_EQ(collected, "0123456789");
    for (int offset : {11, -1}) EXPECT_EQ(v.get(18, buf, sizeof buf, &offset), -18);
    EXPECT_EQ(v.get(18, buf, sizeof buf, nullptr), -3);   // the offset is required
    OneValue number(5, i32_value(1));
    int at_start = 0;
    EXPECT_EQ(number.get(18, buf, sizeof buf, &at_start), -13);
}

TEST(Conversion, NumericMatrix) {
    struct Case {
        int server_type;
        WireBuilder value;
        int c_type;
        int status;
        int length;
        double expected;   // compared after reading the destination at its width
    };
    const std::vector<Case> cases = {
        {2, WireBuilder().i32(1).i8('T'), 1, 0, 4, 84},
        {2, WireBuilder().i32(1).i8('F'), 5, 0, 4, 70},
        {3, WireBuilder().i32(1).i8(-5), 4, 0, 2, -5},
        {3, WireBuilder().i32(1).i8(-5), 6, 0, 8, -5},
        {3, WireBuilder().i32(1).i8(-5), 8, 0, 8, -5},
        {4, WireBuilder().i32(2).i16(-300), 5, 0, 4, -300},
        {4, WireBuilder().i32(2).i16(-300), 7, 0, 4, -300},
        {5, i32_value(-70000), 6, 0, 8, -70000},
        {5, i32_value(-70000), 28, 0, 8, -70000},
        {5, i32_value(-70000), 31, 0, 8, -70000},
        {6, i64_value(5000000000LL), 6, 0, 8, 5000000000.0},
        {6, i64_value(5000000000LL), 8, 0, 8, 5000000000.0},
        {7, bytes_of("  -123.75xyz"), 5, 0, 4, -123},
        {7, bytes_of("  -123.75xyz"), 6, 0, 8, -123},
        {7, bytes_of("  -123.75xyz"), 8, 0, 8, -123.75},
        {7, bytes_of("abc"), 1, 0, 4, 0},
        {7, bytes_of("99999999999"), 5, 0, 4, 2147483647},
        {8, WireBuilder().i32(4).r4(2.5f), 8, 0, 8, 2.5},
        {9, WireBuilder().i32(8).r8(0.1), 7, 0, 4, static_cast<double>(0.1f)},
        {13, i64_value(-1), 23, 0, 8, -1},
        {16, i32_value(-14), 28, 0, 4, -14},
        {24, i64_value(90061000000LL), 31, 0, 8, 90061000000.0},
        {30, bytes_of("Qrs"), 63, 0, 1, 'Q'},
        {6, i64_value(-2), 3, 0, 1, -2},                   // the first stored byte
        {10, i32_value(11016), 23, 0, 12, 20000229},       // a date record: 2000-02-29
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("server type " + std::to_string(c.server_type) + " as C type " + std::to_string(c.c_type));
        OneValue v(c.server_type, c.value);
        unsigned char buf[16];
        memset(buf, 0, sizeof buf);
        int length = -7;
        EXPECT_EQ(v.get(c.c_type, buf, sizeof buf, &length), c.status);
        EXPECT_EQ(length, c.length);
        if (c.status != 0) continue;
        double got = 0;
        tarDATE_STRUCT d;
        memcpy(&d, buf, sizeof d);
        switch (c.length == 12 ? 0 : c.c_type) {
        case 0: got = d.year * 10000 + d.month * 100 + d.day; break;
        case 3: case 63: got = static_cast<int8_t>(buf[0]); break;
        case 4: got = static_cast<int16_t>(buf[0] | buf[1] << 8); break;
        case 7: { float f; memcpy(&f, buf, 4); got = f; break; }
        case 8: memcpy(&got, buf, 8); break;
        default:
            if (c.length == 4) { int32_t i; memcpy(&i, buf, 4); got = i; }
            else { int64_t i; memcpy(&i, buf, 8); got = static_cast<double>(i); }
        }
        EXPECT_EQ(got, c.expected);
    }
}

// Which server types each C type accepts; every other pair gives -13 with
// length 0 and nothing written.
bool accepted(int c_type, int server_type) {
    auto in = [server_type](std::initializer_list<int> types) {
        return std::find(types.begin(), types.end(), server_type) != types.end();
    };
    switch (c_type) {
    case 1: case 5: return in({2, 3, 4, 5, 7});
    case 3: case 63: case 9: return true;
    case 4: return in({2, 3, 4});
    case 6: return in({2, 3, 4, 5, 6, 7});
    case 7: case 8: return in({3, 4, 5, 6, 7, 8, 9});
    case 2: case 10: case 11: case 12: case 13: case 14:
        return (server_type >= 2 && server_type <= 27) || in({29, 30, 32, 33, 34, 45});
    case 15: case 18: return in({30, 32, 33, 34});
    case 21: return in({16, 24});
    case 23: return in({10, 13});
    case 28: return in({5, 6, 16});
    case 31: return in({5, 6, 24});
    default: return false;
    }
}

TEST(Conversion, EveryServerTypeAgainstEveryCType) {
    for (int server_type = 0; server_type <= 47; ++server_type) {
        const int width = getTypeLen(server_type);
        WireBuilder value;
        if (width == 16) value.i32(10).raw("0123456789");   // long enough for the zoned layouts
        else value.i32(width).raw(std::string(static_cast<size_t>(width), '\x01'));
        OneValue v(server_type, value);
        for (int c_type = -1; c_type <= 70; ++c_type) {
            if (c_type == 41 || c_type == 42) continue;   // need a LOB handle: tested below
            SCOPED_TRACE("server type " + std::to_string(server_type) + " as C type " + std::to_string(c_type));
            char buf[64];
            memset(buf, '#', sizeof buf);
            int length = c_type == 18 ? 0 : -7;   // the piecewise offset goes in here
            const int status = v.get(c_type, buf, sizeof buf, &length);
            if (accepted(c_type, server_type)) {
                EXPECT_EQ(status, 0);
                if (c_type == 21) {   // accepted, but nothing is written
                    EXPECT_EQ(length, -7);
                    EXPECT_EQ(buf[0], '#');
                }
            } else {
                EXPECT_EQ(status, -13);
                EXPECT_EQ(length, 0);
                EXPECT_EQ(buf[0], '#');
            }
        }
    }
}

TEST(Conversion, TextForms) {
    auto zoned_time = [](int32_t ms, int16_t zone) { return WireBuilder().i32(6).i32(ms).i16(zone); };
    auto zoned_datetime = [](int64_t us, int16_t zone) { return WireBuilder().i32(10).i64(us).i16(zone); };
    struct Case {
        int server_type;
        WireBuilder value;
        const char* text;
    };
    const std::vector<Case> cases = {
        {2, WireBuilder().i32(1).i8('T'), "T"},
        {2, WireBuilder().i32(1).i8('F'), "F"},
        {2, WireBuilder().i32(1).i8('x'), "UNKNOWN"},
        {3, WireBuilder().i32(1).i8(-8), "-8"},
        {4, WireBuilder().i32(2).i16(-300), "-300"},
        {6, i64_value(-5000000000LL), "-5000000000"},
        {7, bytes_of("12.50"), "12.50"},
        {7, bytes_of(std::string(70, '7')), nullptr},   // checked below: 63 characters
        {8, WireBuilder().i32(4).r4(1.5f), "1.500000"},
        {9, WireBuilder().i32(8).r8(3.5), "3.500000000000000"},
        {10, i32_value(-1), "1969-12-31"},
        {11, i32_value(3723004), "01:02:03"},
        {11, i32_value(90000000), "25:00:00"},
        {12, zoned_time(82800000, 120), "25:00:00+2"},
        {12, zoned_time(3600000, -330), "-4:-30:00-5"},
        {13, i64_value(-1), "1969-12-31 23:59:59"},
        {14, zoned_datetime(0, 480), "1970-01-01 08:00:00+8"},
        {14, zoned_datetime(86399999999LL, -60), "1970-01-01 22:59:59-1"},
        {15, i32_value(-42), "-42"},
        {23, i32_value(7), "7"},
        {16, i32_value(14), "1-02"},
        {16, i32_value(-14), "-1-02"},
        {16, i32_value(-5), "-0-05"},
        {19, i32_value(50), "2 02"},
        {21, i32_value(1501), "1 01:01"},
        {22, i32_value(125), "2:05"},
        {24, i64_value(90061000000LL), "1 1:01:01"},
        {24, i64_value(-3600000000LL), "-0 1:00:00"},
        {25, i64_value(3723000000LL), "1:02:03"},
        {26, i64_value(125000000LL), "2:05"},
        {27, i64_value(-7500000LL), "-7"},
        {29, bytes_of("as is"), "as is"},
        {45, bytes_of("also"), "also"},
        {33, bytes_of("bin"), "bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("server type " + std::to_string(c.server_type));
        OneValue v(c.server_type, c.value);
        const std::string expected = c.text != nullptr ? c.text : std::string(63, '7');
        // Every text C type gives the same form; reading twice changes nothing.
        for (int c_type : {2, 10, 11, 12, 13, 14, 2}) {
            auto got = v.text(128, c_type);
            EXPECT_EQ(got.status, 0);
            EXPECT_EQ(got.text, expected);
            EXPECT_EQ(got.length, static_cast<int>(expected.size()));
        }
    }
    // No text form: types without one, and zoned values shorter than their layout.
    for (int server_type : {1, 14, 12, 28, 31, 46}) {
        OneValue v(server_type, bytes_of("short"));
        auto got = v.text(64);
        EXPECT_EQ(got.status, -13) << server_type;
        EXPECT_EQ(got.length, 0) << server_type;
    }
}

TEST(Conversion, ValuesBeyondTheSixtyFourByteAreaAreDeliveredWhole) {
    const std::string long_value(200, 'v');
    char huge[400];
    snprintf(huge, sizeof huge, "%lf", 1e300);
    struct Case {
        int server_type;
        WireBuilder value;
        std::string text;
    };
    const Case cases[] = {{29, bytes_of(long_value), long_value}, {9, WireBuilder().i32(8).r8(1e300), huge}};
    for (const Case& c : cases) {
        OneValue v(c.server_type, c.value);
        auto got = v.text(400);
        EXPECT_EQ(got.status, 0);
        EXPECT_EQ(got.text, c.text);
        got = v.text(64);
        EXPECT_EQ(got.status, -12);
        EXPECT_EQ(got.text, c.text.substr(0, 63));
        EXPECT_EQ(got.length, static_cast<int>(c.text.size()) - 63);
    }
}

TEST(Conversion, NullMissingRowAndArguments) {
    OneValue v(5, WireBuilder().i32(0));
    char buf[64];
    for (int c_type = -1; c_type <= 70; ++c_type) {
        int length = 99;
        EXPECT_EQ(v.get(c_type, buf, sizeof buf, &length), -11) << c_type;
        EXPECT_EQ(length, 0) << c_type;
    }
    EXPECT_EQ(v.get(2, buf, sizeof buf, nullptr), -11);

    OneValue one(5, i32_value(1));
    int length = 0;
    EXPECT_EQ(one.get(5, nullptr, 8, &length), -3);
    EXPECT_EQ(one.get(5, buf, 8, nullptr), 0);
    for (int col : {0, 2}) EXPECT_EQ(KVGetData(one.wire().handle(), col, 5, buf, 8, &length), -15);
    void* empty = nullptr;
    EXPECT_EQ(KVGetData(&empty, 1, 5, buf, 8, &length), -3);
    one.result()->current_row = nullptr;
    EXPECT_EQ(one.get(5, buf, 8, &length), -11);
}

// ---- large objects --------------------------------------------------------------

std::string lob_content(LobHandle& lob) {
    std::string out(static_cast<size_t>(lob.record()->total_length), '\0');
    lob.record()->read_offset = 0;
    if (!out.empty()) KVC_Get_Lob_data(lob.handle(), &out[0], static_cast<int>(out.size()));
    return out;
}

TEST(Conversion, LargeObjectsFilledFromAColumn) {
    std::string content(2 * 1048576 + 500, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 23);
    OneValue v(32, bytes_of(content));
    LobHandle lob;
    KVC_Put_Lob_data(lob.handle(), "old", 3);   // replaced, not appended to
    char two[2];
    KVC_Get_Lob_data(lob.handle(), two, 2);   // and read again from the start
    int length = 0;
    EXPECT_EQ(v.get(41, lob.handle(), 0, &length), 0);
    EXPECT_EQ(length, static_cast<int>(content.size()));
    EXPECT_EQ(lob.record()->lob_state, 2);
    EXPECT_EQ(lob.record()->chunk_count, 3);
    EXPECT_EQ(lob.record()->read_offset, 0);
    EXPECT_TRUE(lob_content(lob) == content);

    OneValue number(5, i32_value(1));
    EXPECT_EQ(number.get(42, lob.handle(), 0, &length), -13);
    void* not_a_lob = v.result();
    EXPECT_EQ(v.get(41, &not_a_lob, 0, &length), -3);
}

TEST(Conversion, LargeObjectsInDescriptorForm) {
    OneValue inline_value(32, bytes_of("cinline bytes"));
    inline_value.result()->conn->lob_ret_descriptor = 1;
    LobHandle lob;
    int length = 0;
    EXPECT_EQ(inline_value.get(41, lob.handle(), 0, &length), 0);
    EXPECT_EQ(length, 12);
    EXPECT_EQ(lob_content(lob), "inline bytes");
    EXPECT_EQ(lob.record()->lob_state, 2);

    // A form byte of the other kind delivers nothing.
    LobHandle untouched;
    length = 5;
    EXPECT_EQ(inline_value.get(42, untouched.handle(), 0, &length), 0);
    EXPECT_EQ(untouched.record()->total_length, 0);
    EXPECT_EQ(untouched.record()->lob_state, 0);
    EXPECT_EQ(length, 5);

    // A descriptor: kept whole and fetched over the result's connection.
    OneValue described(34, bytes_of("B0123456789AB 100"));
    WirePair& wire = described.wire().pair();
    wire.conn()->lob_ret_descriptor = 1;
    wire.feed(WireBuilder().tag('A').i32(0).tag('R').i32(1).i32(3).raw("xyz").i32(0).tag('K'));
    EXPECT_EQ(described.get(42, lob.handle(), 0, &length), 0);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(lob_content(lob), "xyz");
    EXPECT_STREQ(lob.record()->descriptor, "B0123456789AB 100");
    EXPECT_EQ(lob.record()->lob_state, 2);
    const std::string command = "get lob 'B0123456789AB' offset 0 limit 100 ";
    EXPECT_EQ(hex(wire.sent()), hex(WireBuilder().tag('?').i32(static_cast<int32_t>(command.size())).raw(command).i8(0).i32(0)));
}

// ---- db2str -------------------------------------------------------------------------

TEST(Db2Str, DecimalsFollowTheRoundedIntegerDigits) {
    const std::pair<double, const char*> cases[] = {
        {3.5, "%.15lf"},  {123.456, "%.13lf"}, {-0.25, "%.15lf"}, {9.7, "%.14lf"},
        {1e20, "%lf"},    {-99999.5, "%.10lf"}, {123456789012345.0, "%.1lf"}, {1234567890123456.0, "%lf"},
    };
    for (const auto& c : cases) {
        char expected[400];
        snprintf(expected, sizeof expected, c.second, c.first);
        char text[VALUE_TEXT_MAX];
        EXPECT_EQ(db2str(text, c.first), static_cast<int>(strlen(expected))) << c.first;
        EXPECT_STREQ(text, expected) << c.first;
    }
    // Everywhere else, the rule as stated: format with "%.0lf", count the
    // characters without a leading "-", choose the decimals from that count.
    auto reference = [](double x) {
        char integer_part[400];
        snprintf(integer_part, sizeof integer_part, "%.0lf", x);
        const int k = static_cast<int>(strlen(integer_part)) - (integer_part[0] == '-' ? 1 : 0);
        char out[400];
        if (k <= 15) snprintf(out, sizeof out, "%.*lf", 16 - k, x);
        else snprintf(out, sizeof out, "%lf", x);
        return std::string(out);
    };
    std::vector<double> values = {0.5, 1.5, 2.5, 9.5, -9.5, 99.5, 999999.5, 999999999999999.4,
                                  999999999999999.5, 1e15, -1e15, 1e16, 5e-324, -0.0, INFINITY, -INFINITY, NAN};
    std::mt19937_64 random(7);
    std::uniform_int_distribution<int> exponent(-30, 60);
    std::uniform_real_distribution<double> mantissa(-10, 10);
    for (int i = 0; i < 20000; ++i) values.push_back(mantissa(random) * std::pow(10.0, exponent(random)));
    for (int p = 0; p <= 17; ++p) {
        const double power = std::pow(10.0, p);
        for (double v : {power, power - 0.5, power - 1, power + 0.5, -power + 0.5})
            values.push_back(v);
    }
    for (double x : values) {
        char text[VALUE_TEXT_MAX];
        db2str(text, x);
        ASSERT_EQ(std::string(text), reference(x)) << x;
    }
}

// ---- calendar -------------------------------------------------------------------------

// Days since 1970-01-01 of a proleptic Gregorian date, computed from the
// year shifted to start in March (an algorithm unlike the library's cycles).
int64_t days_from_civil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int days_in_month(int64_t y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
}

TEST(Calendar, DatesAgreeWithAnIndependentComputation) {
    const std::pair<int32_t, tarDATE_STRUCT> cases[] = {
        {0, {1970, 1, 1}},       {59, {1970, 3, 1}},      {11016, {2000, 2, 29}},
        {-1, {1969, 12, 31}},    {-719162, {1, 1, 1}},    {-719163, {0, 12, 31}},
        {10957, {2000, 1, 1}},   {47541, {2100, 3, 1}},
    };
    for (const auto& c : cases) {
        tarDATE_STRUCT got{};
        d2dm(c.first, &got);
        EXPECT_EQ(memcmp(&got, &c.second, sizeof got), 0) << c.first;
    }
    // A valid date that maps back to its own day count, for every day.
    for (int32_t day = -800000; day <= 3000000; ++day) {
        tarDATE_STRUCT got{};
        d2dm(day, &got);
        ASSERT_TRUE(got.month >= 1 && got.month <= 12) << day;
        ASSERT_TRUE(got.day >= 1 && got.day <= days_in_month(got.year, got.month)) << day;
        ASSERT_EQ(days_from_civil(got.year, got.month, got.day), day);
    }
}

TEST(Calendar, DatetimesSplitByFloorDivision) {
    struct Case {
        int64_t ms;
        DATETIME_STRUCT expected;
    };
    const Case cases[] = {
        {-1, {1969, 12, 31, 23, 59, 59, 999}},
        {86399999, {1970, 1, 1, 23, 59, 59, 999}},
        {86400000, {1970, 1, 2, 0, 0, 0, 0}},
        {-86400000, {1969, 12, 31, 0, 0, 0, 0}},
        {951782400000LL, {2000, 2, 29, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        DATETIME_STRUCT got{};
        dt2dtm(c.ms, &got);
        EXPECT_EQ(memcmp(&got, &c.expected, sizeof got), 0) << c.ms;
    }
    std::mt19937_64 random(20240229);
    std::uniform_int_distribution<int64_t> span(-62135596800000LL * 3, 253402300799999LL * 3);
    for (int i = 0; i < 200000; ++i) {
        const int64_t ms = span(random);
        DATETIME_STRUCT got{};
        dt2dtm(ms, &got);
        ASSERT_TRUE(got.hour >= 0 && got.hour < 24 && got.minute >= 0 && got.minute < 60 && got.second >= 0 &&
                    got.second < 60 && got.millisecond >= 0 && got.millisecond < 1000)
            << ms;
        const int64_t rebuilt = days_from_civil(got.year, got.month, got.day) * 86400000 + got.hour * 3600000LL +
                                got.minute * 60000LL + got.second * 1000LL + got.millisecond;
        ASSERT_EQ(rebuilt, ms);
    }
}

TEST(Calendar, TimesAndDatetimeText) {
    // Truncating division, and no reduction to one day.
    const std::pair<int32_t, TIME_STRUCT> cases[] = {
        {3723004, {1, 2, 3, 4}}, {90000000, {25, 0, 0, 0}}, {-3723004, {-1, -2, -3, -4}}};
    for (const auto& c : cases) {
        TIME_STRUCT got{};
        t2tm(c.first, &got);
        EXPECT_EQ(memcmp(&got, &c.second, sizeof got), 0) << c.first;
    }
    char out[32];
    EXPECT_EQ(dt2dtm_Api(951825661000LL, out), 0);
    EXPECT_STREQ(out, "2000-02-29 12:01:01");
    EXPECT_EQ(dt2dtm_Api(-1, out), 0);
    EXPECT_STREQ(out, "1969-12-31 23:59:59");
    memset(out, '#', sizeof out);
    EXPECT_EQ(dt2dtm_Api(INT64_MAX, out), 0);   // a nine-digit year is cut, not overrun
    EXPECT_EQ(std::string(out + 19, 2), std::string("\0#", 2));
}

// ---- single-value text ---------------------------------------------------------------

TEST(SingleValue, TextCopyHeapCopyOrNothing) {
    struct Case {
        int server_type;
        WireBuilder value;
        std::string out;   // bytes at the start of the buffer; "" for a heap copy of `copy`
        std::string copy;
    };
    const std::string long_text(64, 'L');
    const std::vector<Case> cases = {
        {5, i32_value(42), "42#", ""},
        {2, WireBuilder().i32(1).i8('x'), "x#", ""},
        {9, WireBuilder().i32(8).r8(0.1), "0.1#", ""},
        {10, i32_value(0), "1970-01-01#", ""},
        {30, bytes_of("short text"), "short text#", ""},
        {45, bytes_of("verbatim"), "verbatim#", ""},
        {12, bytes_of("0123456789"), "####", ""},   // no text form: nothing written
        {14, bytes_of("0123456789"), "####", ""},
        {29, bytes_of("0123456789"), "####", ""},
        {5, WireBuilder().i32(-1), std::string(4, '\0') + "#", ""},   // null
        {30, bytes_of(long_text), "", long_text},
        {45, bytes_of(long_text), "", long_text},
        {32, bytes_of("tiny"), "", "tiny"},
        {33, bytes_of("tiny"), "", "tiny"},
        {34, bytes_of("tiny"), "", "tiny"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.server_type);
        OneValue v(c.server_type, c.value);
        char out[64];
        memset(out, '#', sizeof out);
        int flag = 7;
        EXPECT_EQ(Get_first_one(v.result(), out, &flag), 1);
        EXPECT_EQ(flag, c.copy.empty() ? 0 : 1);
        if (c.copy.empty()) {
            EXPECT_EQ(std::string(out, c.out.size()), c.out);   // no terminator added
            continue;
        }
        int32_t length;
        char* copy;
        memcpy(&length, out, 4);
        memcpy(&copy, out + 4, sizeof copy);
        EXPECT_EQ(length, static_cast<int32_t>(c.copy.size()));
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(std::string(copy), c.copy);
        free(copy);
    }
    OneValue v(5, i32_value(1));
    v.result()->read_pos = 1;   // past the only row
    char out[64];
    memset(out, '#', sizeof out);
    int flag = 0;
    EXPECT_EQ(Get_first_one(v.result(), out, &flag), 1);
    EXPECT_EQ(std::string(out, 4), std::string(4, '\0'));
}

}  // namespace
