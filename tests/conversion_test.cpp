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
#include <cstdlib>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

// A one-column result whose current row holds one value.
class OneValue {
public:
    OneValue(int server_type, const WireBuilder& value) : r_({{"V", server_type}}) { r_.add_row(value); }
    int get(int c_type, void* dst, int size, int* length) { return KVGetData(r_.handle(), 1, c_type, dst, size, length); }
    struct Text {
        int status;
        std::string text;
        int length;
    };
    // The value asked as text into a destination of `size` bytes.
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
WireBuilder bytes_of(const std::string& s) { return WireBuilder().str(s); }
// The bytes a C value of type T holds in memory.
template <class T> Bytes host(T v) {
    Bytes out(sizeof v);
    memcpy(out.data(), &v, sizeof v);
    return out;
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
        {30, bytes_of("0123456789"), 2, 1, "", 10, -12},
        {30, bytes_of("0123456789"), 2, 0, "", 10, -12},
        {29, bytes_of("abc"), 2, 4, "abc", 3, 0},
        {33, bytes_of("0123456789"), 2, 5, "0123", 6, -12},
        {30, bytes_of("0123456789"), 15, 4, "0123", 6, -12},   // no terminator in binary form
        {30, bytes_of("0123456789"), 15, 10, "0123456789", 10, 0},
        // Decimal text is never cut silently: beyond the destination it is -12.
        {7, bytes_of(std::string(70, '7')), 2, 12, "77777777777", 59, -12},
        {30, bytes_of("abcdefgh"), 9, 4, "abcdefgh", 8, 0},    // the size is not consulted
        {30, bytes_of("abcdefgh"), 9, 0, "abcdefgh", 8, 0},
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
        // Text forms clear the whole destination; a raw copy without a size ends with the value.
        if (c.c_type == 2) {
            EXPECT_EQ(std::string(buf + n, static_cast<size_t>(c.size) - n), std::string(c.size - n, '\0'));
        }
        EXPECT_EQ(buf[c.c_type == 9 ? n : static_cast<size_t>(c.size)], '#');
    }
}

// Stored text into character buffers of the usual sizes: the text, then
// zeros to the buffer's end, never a byte past it; a text that does not fit
// keeps size - 1 characters and reports what was left out.
TEST(Conversion, StoredTextIntoBuffersOfEverySize) {
    const std::string alphabet = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ#$%&()*+,-./:;";
    for (int text_length : {1, 3, 4, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65}) {
        const std::string text = alphabet.substr(0, static_cast<size_t>(text_length));
        OneValue v(30, bytes_of(text));
        for (int size : {8, 15, 16, 17, 24, 31, 32, 33, 48, 63, 64, 65, 100}) {
            SCOPED_TRACE("text of " + std::to_string(text_length) + " into " + std::to_string(size));
            std::vector<char> buf(static_cast<size_t>(size) + 8, '#');
            int length = -7;
            const int status = v.get(2, buf.data(), size, &length);
            const int kept = text_length < size ? text_length : size - 1;
            EXPECT_EQ(status, text_length < size ? 0 : -12);
            EXPECT_EQ(length, text_length < size ? text_length : text_length - kept);
            EXPECT_EQ(std::string(buf.data(), static_cast<size_t>(kept)), text.substr(0, static_cast<size_t>(kept)));
            EXPECT_EQ(std::string(buf.data() + kept, static_cast<size_t>(size - kept)),
                      std::string(static_cast<size_t>(size - kept), '\0'));
            EXPECT_EQ(std::string(buf.data() + size, 8), std::string(8, '#'));
        }
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
}

TEST(Conversion, NumericMatrix) {
    struct Case {
        int server_type;
        WireBuilder value;
        int c_type;
        Bytes expected;   // the destination's bytes; its size is the length out
    };
    const std::vector<Case> cases = {
        {2, WireBuilder().i32(1).i8('T'), 1, host<int32_t>(84)},
        {2, WireBuilder().i32(1).i8('F'), 5, host<int32_t>(70)},
        {3, WireBuilder().i32(1).i8(-5), 4, host<int16_t>(-5)},
        {3, WireBuilder().i32(1).i8(-5), 6, host<int64_t>(-5)},
        {3, WireBuilder().i32(1).i8(-5), 8, host<double>(-5)},
        {4, WireBuilder().i32(2).i16(-300), 5, host<int32_t>(-300)},
        {4, WireBuilder().i32(2).i16(-300), 7, host<float>(-300)},
        {5, i32_value(-70000), 6, host<int64_t>(-70000)},
        {5, i32_value(-70000), 28, host<int64_t>(-70000)},
        {5, i32_value(-70000), 31, host<int64_t>(-70000)},
        {6, i64_value(5000000000LL), 6, host<int64_t>(5000000000LL)},
        {6, i64_value(5000000000LL), 8, host<double>(5000000000.0)},
        {7, bytes_of("  -123.75xyz"), 5, host<int32_t>(-123)},
        {7, bytes_of("  -123.75xyz"), 6, host<int64_t>(-123)},
        {7, bytes_of("  -123.75xyz"), 8, host<double>(-123.75)},
        {7, bytes_of("abc"), 1, host<int32_t>(0)},
        {7, bytes_of("99999999999"), 5, host<int32_t>(2147483647)},
        {8, WireBuilder().i32(4).r4(2.5f), 8, host<double>(2.5)},
        {9, WireBuilder().i32(8).r8(0.1), 7, host<float>(0.1f)},
        {13, i64_value(-1), 23, host<int64_t>(-1)},
        {16, i32_value(-14), 28, host<int32_t>(-14)},
        {24, i64_value(90061000000LL), 31, host<int64_t>(90061000000LL)},
        {30, bytes_of("Qrs"), 63, host<char>('Q')},
        {6, i64_value(-2), 3, host<int8_t>(-2)},   // the first stored byte
        {10, i32_value(11016), 23, host(tarDATE_STRUCT{2000, 2, 29})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("server type " + std::to_string(c.server_type) + " as C type " + std::to_string(c.c_type));
        OneValue v(c.server_type, c.value);
        // A fixed-width C type writes its whole width, exactly, whatever size
        // is given; the date record, wider than C type 23, needs its room.
        for (int size : {16, 1, 0}) {
            if (size < 12 && c.expected.size() > 8) continue;
            unsigned char buf[16];
            memset(buf, 0xAB, sizeof buf);
            int length = -7;
            EXPECT_EQ(v.get(c.c_type, buf, size, &length), 0) << size;
            EXPECT_EQ(length, static_cast<int>(c.expected.size()));
            EXPECT_EQ(Bytes(buf, buf + c.expected.size()), c.expected) << size;
            EXPECT_EQ(buf[c.expected.size()], 0xAB) << size;
        }
    }
}

// A number is written whole at its C type's width whatever size the caller
// gives, whether it is taken as stored or converted, and nothing past it.
TEST(Conversion, NumbersAreWrittenAtTheirWidth) {
    const struct {
        int server_type;
        WireBuilder value;
        int c_type, size;
        Bytes expected;   // the bytes written; their count is the length out
    } cases[] = {
        {6, i64_value(0x0102030405060708LL), 6, 4, host<int64_t>(0x0102030405060708LL)},
        {6, i64_value(0x0102030405060708LL), 6, 0, host<int64_t>(0x0102030405060708LL)},
        {5, i32_value(-2), 5, 3, host<int32_t>(-2)},
        {5, i32_value(-2), 6, 4, host<int64_t>(-2)},
        {9, WireBuilder().i32(8).r8(1.0), 8, 7, host<double>(1.0)},
        {13, i64_value(-1), 23, 16, host<int64_t>(-1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("server type " + std::to_string(c.server_type) + " as C type " + std::to_string(c.c_type) +
                     " into " + std::to_string(c.size));
        OneValue v(c.server_type, c.value);
        unsigned char buf[17];
        memset(buf, '#', sizeof buf);
        int length = -7;
        EXPECT_EQ(v.get(c.c_type, buf, c.size, &length), 0);
        EXPECT_EQ(length, static_cast<int>(c.expected.size()));
        EXPECT_EQ(Bytes(buf, buf + c.expected.size()), c.expected);
        EXPECT_EQ(buf[c.expected.size()], '#');
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
        // Sixteen-byte slots get ten bytes: long enough for the zoned layouts.
        OneValue v(server_type, width == 16 ? bytes_of("0123456789") : bytes_of(std::string(width, '\x01')));
        for (int c_type = -1; c_type <= 70; ++c_type) {
            if (c_type == 41 || c_type == 42) continue;   // need a LOB handle: tested below
            SCOPED_TRACE("server type " + std::to_string(server_type) + " as C type " + std::to_string(c_type));
            char buf[64];
            memset(buf, '#', sizeof buf);
            int length = c_type == 18 ? 0 : -7;   // the piecewise offset goes in here
            const int status = v.get(c_type, buf, sizeof buf, &length);
            const bool ok = accepted(c_type, server_type);
            EXPECT_EQ(status, ok ? 0 : -13);
            if (!ok || c_type == 21) {   // refused, or accepted as 21, which writes nothing
                EXPECT_EQ(length, ok ? -7 : 0);
                EXPECT_EQ(buf[0], '#');
            }
        }
    }
}

TEST(Conversion, TextForms) {
    auto zoned_time = [](int32_t ms, int16_t zone) { return WireBuilder().i32(6).i32(ms).i16(zone); };
    auto zoned_datetime = [](int64_t us, int16_t zone) { return WireBuilder().i32(10).i64(us).i16(zone); };
    auto one_byte = [](char c) { return WireBuilder().i32(1).i8(c); };
    const std::string long_number(70, '7');
    const std::vector<std::tuple<int, WireBuilder, std::string>> cases = {
        {2, one_byte('T'), "T"}, {2, one_byte('F'), "F"}, {2, one_byte('x'), "UNKNOWN"}, {3, one_byte(-8), "-8"},
        {4, WireBuilder().i32(2).i16(-300), "-300"},
        {6, i64_value(-5000000000LL), "-5000000000"},
        {7, bytes_of("12.50"), "12.50"},
        {7, bytes_of(long_number), long_number},
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
        {15, i32_value(-42), "-42"}, {23, i32_value(7), "7"},
        {16, i32_value(14), "1-02"}, {16, i32_value(-14), "-1-02"}, {16, i32_value(-5), "-0-05"},
        {19, i32_value(50), "2 02"}, {21, i32_value(1501), "1 01:01"}, {22, i32_value(125), "2:05"},
        {24, i64_value(90061000000LL), "1 1:01:01"},
        {24, i64_value(-3600000000LL), "-0 1:00:00"},
        {25, i64_value(3723000000LL), "1:02:03"},
        {26, i64_value(125000000LL), "2:05"},
        {27, i64_value(-7500000LL), "-7"},
        {29, bytes_of("as is"), "as is"}, {45, bytes_of("also"), "also"}, {33, bytes_of("bin"), "bin"},
    };
    for (const auto& [server_type, value, text] : cases) {
        SCOPED_TRACE("server type " + std::to_string(server_type) + ": " + text);
        OneValue v(server_type, value);
        // Every text C type gives the same form; reading twice changes nothing.
        for (int c_type : {2, 10, 11, 12, 13, 14, 2}) {
            auto got = v.text(128, c_type);
            EXPECT_EQ(got.status, 0);
            EXPECT_EQ(got.text, text);
            EXPECT_EQ(got.length, static_cast<int>(text.size()));
        }
    }
    // No text form: types without one, and zoned values shorter than their layout.
    for (int server_type : {1, 14, 12, 28, 31, 46}) {
        auto got = OneValue(server_type, bytes_of("short")).text(64);
        EXPECT_EQ(got.status, -13) << server_type;
        EXPECT_EQ(got.length, 0) << server_type;
    }
}

TEST(Conversion, ValuesBeyondTheSixtyFourByteAreaAreDeliveredWhole) {
    char huge[400];
    snprintf(huge, sizeof huge, "%lf", 1e300);
    const std::string long_value(200, 'v');
    const std::tuple<int, WireBuilder, std::string> cases[] = {
        {29, bytes_of(long_value), long_value}, {9, WireBuilder().i32(8).r8(1e300), huge}};
    for (const auto& [server_type, value, text] : cases) {
        OneValue v(server_type, value);
        auto got = v.text(400);
        EXPECT_EQ(got.status, 0);
        EXPECT_EQ(got.text, text);
        got = v.text(64);
        EXPECT_EQ(got.status, -12);
        EXPECT_EQ(got.text, text.substr(0, 63));
        EXPECT_EQ(got.length, static_cast<int>(text.size()) - 63);
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

std::string content_text(LobHandle& lob) {
    const std::vector<char> bytes = lob_content(lob.handle());
    return std::string(bytes.begin(), bytes.end());
}

TEST(Conversion, LargeObjectsFilledFromAColumn) {
    const std::vector<char> content = lob_pattern(0, 2 * LOB_CHUNK_SIZE + 500);
    OneValue v(32, bytes_of(std::string(content.begin(), content.end())));
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
    EXPECT_TRUE(lob_content(lob.handle()) == content);

    EXPECT_EQ(OneValue(5, i32_value(1)).get(42, lob.handle(), 0, &length), -13);
    void* not_a_lob = v.result();
    EXPECT_EQ(v.get(41, &not_a_lob, 0, &length), -3);
}

TEST(Conversion, LargeObjectsInDescriptorForm) {
    OneValue inline_value(32, bytes_of("cinline bytes"));
    inline_value.result()->lob_descriptors = 1;   // as a LOB_RET connection receives it
    LobHandle lob;
    int length = 0;
    EXPECT_EQ(inline_value.get(41, lob.handle(), 0, &length), 0);
    EXPECT_EQ(length, 12);
    EXPECT_EQ(content_text(lob), "inline bytes");
    EXPECT_EQ(lob.record()->lob_state, 2);

    // A form byte of the other kind delivers nothing.
    LobHandle untouched;
    length = 5;
    EXPECT_EQ(inline_value.get(42, untouched.handle(), 0, &length), 0);
    EXPECT_EQ(untouched.record()->total_length, 0);
    EXPECT_EQ(untouched.record()->lob_state, 0);
    EXPECT_EQ(length, 5);

    // An inline value longer than a chunk arrives whole.
    const std::vector<char> long_content = lob_pattern(3, LOB_CHUNK_SIZE + 10);
    OneValue long_inline(32, bytes_of("c" + std::string(long_content.begin(), long_content.end())));
    long_inline.result()->lob_descriptors = 1;
    EXPECT_EQ(long_inline.get(41, lob.handle(), 0, &length), 0);
    EXPECT_EQ(length, static_cast<int>(long_content.size()));
    EXPECT_TRUE(lob_content(lob.handle()) == long_content);

    // A descriptor is kept whole and fetched over the result's connection.
    OneValue described(34, bytes_of("B0123456789AB 100"));
    WirePair& wire = described.wire().pair();
    described.result()->lob_descriptors = 1;
    wire.feed(WireBuilder().tag('A').i32(0).tag('R').i32(1).i32(3).raw("xyz").i32(0).tag('K'));
    EXPECT_EQ(described.get(42, lob.handle(), 0, &length), 0);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(content_text(lob), "xyz");
    EXPECT_STREQ(lob.record()->descriptor, "B0123456789AB 100");
    EXPECT_EQ(lob.record()->lob_state, 2);
    const std::string command = "get lob 'B0123456789AB' offset 0 limit 100 ";
    EXPECT_EQ(hex(wire.sent()), hex(WireBuilder().tag('?').str(command).i8(0).i32(0)));
}

// ---- db2str -------------------------------------------------------------------------

// The decimals follow the digits of the value rounded to an integer (half to
// even, sign aside): 16 significant digits, "%lf" past 15 integer digits.
TEST(Db2Str, DecimalsFollowTheRoundedIntegerDigits) {
    const std::pair<double, const char*> cases[] = {
        {3.5, "%.15lf"}, {123.456, "%.13lf"}, {-0.25, "%.15lf"}, {9.7, "%.14lf"}, {1e20, "%lf"},
        {-99999.5, "%.10lf"}, {123456789012345.0, "%.1lf"}, {1234567890123456.0, "%lf"},
        {0.5, "%.15lf"}, {2.5, "%.15lf"}, {1.5, "%.15lf"}, {9.5, "%.14lf"}, {-9.5, "%.14lf"}, {99.5, "%.13lf"},
        {999999.5, "%.9lf"}, {99999999999999.5, "%.1lf"}, {999999999999999.4, "%.1lf"},
        {999999999999999.5, "%lf"}, {1e15, "%lf"}, {-1e15, "%lf"}, {1e16, "%lf"},
        {5e-324, "%.15lf"}, {-0.0, "%.15lf"}, {INFINITY, "%.13lf"}, {-INFINITY, "%.13lf"}, {NAN, "%.13lf"},
    };
    for (const auto& c : cases) {
        char expected[400];
        snprintf(expected, sizeof expected, c.second, c.first);
        char text[VALUE_TEXT_MAX];
        EXPECT_EQ(db2str(text, c.first), static_cast<int>(strlen(expected))) << c.first;
        EXPECT_STREQ(text, expected) << c.first;
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
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

bool valid_date(int64_t y, int m, int d) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m >= 1 && m <= 12 && d >= 1 && d <= (m == 2 && leap ? 29 : days[m - 1]);
}

TEST(Calendar, DatesAgreeWithAnIndependentComputation) {
    const std::pair<int32_t, tarDATE_STRUCT> cases[] = {
        {0, {1970, 1, 1}},    {59, {1970, 3, 1}},       {11016, {2000, 2, 29}}, {-1, {1969, 12, 31}},
        {-719162, {1, 1, 1}}, {-719163, {0, 12, 31}}, {10957, {2000, 1, 1}},  {47541, {2100, 3, 1}},
    };
    for (const auto& c : cases) {
        tarDATE_STRUCT got{};
        d2dm(c.first, &got);
        EXPECT_EQ(host(got), host(c.second)) << c.first;
    }
    // A valid date that maps back to its own day count, for every day.
    for (int32_t day = -800000; day <= 3000000; ++day) {
        tarDATE_STRUCT got{};
        d2dm(day, &got);
        ASSERT_TRUE(valid_date(got.year, got.month, got.day)) << day;
        ASSERT_EQ(days_from_civil(got.year, got.month, got.day), day);
    }
}

TEST(Calendar, DatetimesSplitByFloorDivision) {
    const std::pair<int64_t, DATETIME_STRUCT> cases[] = {
        {-1, {1969, 12, 31, 23, 59, 59, 999}},   {86399999, {1970, 1, 1, 23, 59, 59, 999}},
        {86400000, {1970, 1, 2, 0, 0, 0, 0}},    {-86400000, {1969, 12, 31, 0, 0, 0, 0}},
        {951782400000LL, {2000, 2, 29, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        DATETIME_STRUCT got{};
        dt2dtm(c.first, &got);
        EXPECT_EQ(host(got), host(c.second)) << c.first;
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
        EXPECT_EQ(host(got), host(c.second)) << c.first;
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
    const std::string long_text(64, 'L');
    const std::string long_decimal = "1." + std::string(70, '7');
    // Bytes at the start of the buffer, or (for a heap copy) the copy's text.
    const std::vector<std::tuple<int, WireBuilder, std::string, std::string>> cases = {
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
        {7, bytes_of("-12345.678"), "-12345.678#", ""},
        {7, bytes_of(long_decimal), "", long_decimal},   // whole, not cut to the area
    };
    for (const auto& [server_type, value, start, copy] : cases) {
        SCOPED_TRACE(server_type);
        OneValue v(server_type, value);
        char out[64];
        memset(out, '#', sizeof out);
        int flag = 7;
        EXPECT_EQ(Get_first_one(v.result(), out, &flag), 1);
        EXPECT_EQ(flag, copy.empty() ? 0 : 1);
        if (copy.empty()) {
            EXPECT_EQ(std::string(out, start.size()), start);   // no terminator added
            continue;
        }
        int32_t length;
        char* heap_copy;
        memcpy(&length, out, 4);
        memcpy(&heap_copy, out + 4, sizeof heap_copy);
        EXPECT_EQ(length, static_cast<int32_t>(copy.size()));
        ASSERT_NE(heap_copy, nullptr);
        EXPECT_EQ(std::string(heap_copy), copy);
        free(heap_copy);
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
