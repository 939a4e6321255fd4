// Multiple-precision arithmetic: the published vector file, division edge cases checked
// through the identity u = q * v + r, and the refusals of the exponentiation.
#include "mp/mp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#ifndef KVC_VECTORS_DIR
#define KVC_VECTORS_DIR "/work/shared/vectors"
#endif

namespace {

using Number = std::vector<DIGIT_T>;
constexpr DIGIT_T GARBAGE = 0xA5A5A5A5u;  // pre-fills outputs so unwritten digits show

// Hex text, most significant digit first, into digits, least significant first.
Number from_hex(const std::string& hex) {
    Number out((hex.size() + 7) / 8, 0);
    for (size_t i = 0; i < hex.size(); ++i) {
        const char c = hex[hex.size() - 1 - i];
        const DIGIT_T nibble = DIGIT_T(std::stoul(std::string(1, c), nullptr, 16));
        out[i / 8] |= nibble << (4 * (i % 8));
    }
    return out;
}

std::string to_hex(const Number& n) {
    std::string s;
    char buf[9];
    for (size_t i = n.size(); i-- > 0;) {
        std::snprintf(buf, sizeof buf, "%08x", n[i]);
        s += buf;
    }
    return s;
}

Number resized(Number n, size_t digits) {
    n.resize(digits, 0);
    return n;
}

struct VectorLine {
    int line_no;
    std::vector<std::string> fields;
};

std::vector<VectorLine> read_vectors(const std::string& name) {
    std::ifstream in(std::string(KVC_VECTORS_DIR) + "/" + name);
    std::vector<VectorLine> lines;
    std::string text;
    for (int line_no = 1; std::getline(in, text); ++line_no) {
        if (text.empty() || text[0] == '#') continue;
        VectorLine line{line_no, {}};
        std::stringstream fields(text);
        for (std::string field; std::getline(fields, field, '|');) {
            const size_t first = field.find_first_not_of(" \t\r");
            const size_t last = field.find_last_not_of(" \t\r");
            line.fields.push_back(first == std::string::npos ? "" : field.substr(first, last - first + 1));
        }
        lines.push_back(line);
    }
    return lines;
}

// u == q * v + r and r < v: the defining property of division. Worked at the longer length
// of u and v, so that neither is cut.
void expect_division_identity(const Number& u, const Number& v, const Number& q, const Number& r) {
    const size_t len = std::max(u.size(), v.size());
    Number product(2 * len);
    mpMultiply(product.data(), resized(q, len).data(), resized(v, len).data(), len);
    Number sum(2 * len);
    mpAdd(sum.data(), product.data(), resized(r, 2 * len).data(), 2 * len);
    EXPECT_EQ(to_hex(sum), to_hex(resized(u, 2 * len))) << "u " << to_hex(u) << " v " << to_hex(v);
    EXPECT_LT(mpCompare(resized(r, len).data(), resized(v, len).data(), len), 0);
}

// Divides with fresh q and r, then checks the identity; returns the quotient.
Number divide_checked(const Number& u, const Number& v) {
    Number q(u.size(), GARBAGE), r(u.size(), GARBAGE);
    EXPECT_EQ(mpDivide(q.data(), r.data(), u.data(), u.size(), v.data(), v.size()), 0);
    expect_division_identity(u, v, q, r);
    return q;
}

void check_modexp(const std::vector<std::string>& f) {
    ASSERT_TRUE(f.size() == 5 || (f.size() == 6 && f[5] == "e=1"));
    const Number x = from_hex(f[1]), e = from_hex(f[2]), m = from_hex(f[3]), want = from_hex(f[4]);
    const size_t n = x.size();
    Number y(n, GARBAGE);
    EXPECT_EQ(mpModExp(y.data(), x.data(), e.data(), m.data(), n), 0);
    EXPECT_EQ(to_hex(y), to_hex(want));
    Number in_place = x;  // the result may overwrite the base it is computed from
    mpModExp(in_place.data(), in_place.data(), e.data(), m.data(), n);
    EXPECT_EQ(to_hex(in_place), to_hex(want));
}

void check_divide(const std::vector<std::string>& f) {
    ASSERT_EQ(f.size(), 5u);
    const Number u = from_hex(f[1]), v = from_hex(f[2]), want_q = from_hex(f[3]);
    const Number want_r = resized(from_hex(f[4]), u.size());
    Number q(u.size(), GARBAGE), r(u.size(), GARBAGE);
    EXPECT_EQ(mpDivide(q.data(), r.data(), u.data(), u.size(), v.data(), v.size()), 0);
    EXPECT_EQ(to_hex(q), to_hex(want_q));
    EXPECT_EQ(to_hex(r), to_hex(want_r));
    Number mod(v.size(), GARBAGE);
    EXPECT_EQ(mpModulo(mod.data(), u.data(), u.size(), v.data(), v.size()), 0);
    EXPECT_EQ(to_hex(mod), to_hex(resized(want_r, v.size())));
}

void check_multiply(const std::vector<std::string>& f) {
    ASSERT_EQ(f.size(), 4u);
    const Number u = from_hex(f[1]), v = from_hex(f[2]), want = from_hex(f[3]);
    Number w(2 * u.size(), GARBAGE);
    mpMultiply(w.data(), u.data(), v.data(), u.size());
    EXPECT_EQ(to_hex(w), to_hex(want));
}

TEST(MpVectors, EveryLineOfTheFile) {
    const auto lines = read_vectors("mp_vectors.txt");
    ASSERT_FALSE(lines.empty()) << "vector file missing under " << KVC_VECTORS_DIR;
    std::map<std::string, int> count;
    for (const auto& line : lines) {
        SCOPED_TRACE("mp_vectors.txt line " + std::to_string(line.line_no));
        const std::string& kind = line.fields[0];
        ++count[kind];
        if (kind == "modexp") check_modexp(line.fields);
        else if (kind == "divide") check_divide(line.fields);
        else if (kind == "multiply") check_multiply(line.fields);
        else ADD_FAILURE() << "no check for vector kind '" << kind << "'";
    }
    EXPECT_GT(count["modexp"], 0);
    EXPECT_GT(count["divide"], 0);
    EXPECT_GT(count["multiply"], 0);
}

TEST(MpDivide, ByItselfAndByALargerNumber) {
    const Number samples[] = {
        {7, 0, 0, 0},                                       // one significant digit
        {0x12345678, 0x9ABCDEF0, 0x1, 0},                   // needs normalising
        {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF},   // top bit already set, no room above
    };
    for (const Number& u : samples) {
        SCOPED_TRACE(to_hex(u));
        Number q(u.size(), GARBAGE), r(u.size(), GARBAGE);
        ASSERT_EQ(mpDivide(q.data(), r.data(), u.data(), u.size(), u.data(), u.size()), 0);
        EXPECT_EQ(to_hex(q), to_hex(resized({1}, u.size())));
        EXPECT_EQ(to_hex(r), to_hex(Number(u.size(), 0)));

        Number larger = resized(u, u.size() + 1);
        larger.back() = 1;
        Number q2(u.size(), GARBAGE), r2(u.size(), GARBAGE);
        ASSERT_EQ(mpDivide(q2.data(), r2.data(), u.data(), u.size(), larger.data(), larger.size()), 0);
        EXPECT_EQ(to_hex(q2), to_hex(Number(u.size(), 0)));
        EXPECT_EQ(to_hex(r2), to_hex(u));
    }
}

TEST(MpDivide, QuotientEstimateTwoTooLargeIsCorrected) {
    // With v = 0x80000000_FFFFFFFF the estimate from the top digits alone,
    // 0x7FFFFFFF_00000000 / 0x80000000 = 0xFFFFFFFE, is two above the true digit.
    const Number u = {0, 0, 0x7FFFFFFF, 0};
    const Number v = {0xFFFFFFFF, 0x80000000, 0, 0};
    const Number q = divide_checked(u, v);
    const uint64_t estimate = ((uint64_t(u[2]) << 32) | u[1]) / v[1];
    EXPECT_EQ(estimate - q[0], 2u);
    EXPECT_EQ(q[1], 0u);
}

TEST(MpDivide, ZeroDivisorIsRefusedWithZeroResults) {
    const Number u = {5, 6, 7};
    const Number zero = {0, 0};
    Number q(3, GARBAGE), r(3, GARBAGE);
    EXPECT_EQ(mpDivide(q.data(), r.data(), u.data(), 3, zero.data(), 2), -1);
    EXPECT_EQ(to_hex(q), to_hex(Number(3, 0)));
    EXPECT_EQ(to_hex(r), to_hex(Number(3, 0)));
    Number mod(2, GARBAGE);
    EXPECT_EQ(mpModulo(mod.data(), u.data(), 3, zero.data(), 2), -1);
    EXPECT_EQ(to_hex(mod), to_hex(zero));
}

// Random divisions over digits that stress carries, borrows and corrections, checked by the
// identity, and again with the quotient or remainder written over the dividend.
TEST(MpDivide, RandomDivisionsSatisfyTheIdentity) {
    std::mt19937 rng(20240601);
    const DIGIT_T special[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0x80000001, 0xFFFFFFFE, 0xFFFFFFFF};
    auto digit = [&] { return rng() % 2 ? DIGIT_T(rng()) : special[rng() % 7]; };
    for (int round = 0; round < 3000; ++round) {
        const size_t un = 1 + rng() % 16, vn = 1 + rng() % 8;
        Number u(un), v(vn);
        for (auto& d : u) d = digit();
        for (auto& d : v) d = digit();
        if (mpSizeof(v.data(), vn) == 0) v[0] = 3;
        const Number q = divide_checked(u, v);

        Number aliased = u, r(un);
        ASSERT_EQ(mpDivide(aliased.data(), r.data(), aliased.data(), un, v.data(), vn), 0);
        EXPECT_EQ(to_hex(aliased), to_hex(q));
        aliased = u;
        Number q2(un);
        ASSERT_EQ(mpDivide(q2.data(), aliased.data(), aliased.data(), un, v.data(), vn), 0);
        EXPECT_EQ(to_hex(q2), to_hex(q));
        EXPECT_EQ(to_hex(aliased), to_hex(r));
        if (HasFailure()) break;  // one reported case is enough
    }
}

TEST(MpModExp, RefusesWhatItCannotCompute) {
    Number x = {2, 0}, e = {10, 0}, m = {1000, 0}, zero = {0, 0};
    Number y(2, GARBAGE);
    EXPECT_EQ(mpModExp(y.data(), x.data(), zero.data(), m.data(), 2), -1);
    EXPECT_EQ(to_hex(y), to_hex(zero));
    y.assign(2, GARBAGE);
    EXPECT_EQ(mpModExp(y.data(), x.data(), e.data(), zero.data(), 2), -1);
    EXPECT_EQ(to_hex(y), to_hex(zero));
    y.assign(2, GARBAGE);
    EXPECT_EQ(mpModExp(y.data(), x.data(), e.data(), m.data(), 0), -1);
    EXPECT_EQ(y[0], GARBAGE);  // nothing to write for zero digits

    const size_t too_long = MP_MAX_DIGITS + 1;
    Number bx = resized(x, too_long), be = resized(e, too_long), bm = resized(m, too_long);
    Number by(too_long, GARBAGE);
    EXPECT_EQ(mpModExp(by.data(), bx.data(), be.data(), bm.data(), too_long), -1);
    EXPECT_EQ(to_hex(by), to_hex(Number(too_long, 0)));

    // The longest accepted length still computes: 2^10 mod 1000 = 24 in 52 digits.
    const size_t longest = MP_MAX_DIGITS;
    Number ly(longest, GARBAGE);
    EXPECT_EQ(mpModExp(ly.data(), resized(x, longest).data(), resized(e, longest).data(),
                       resized(m, longest).data(), longest), 0);
    EXPECT_EQ(to_hex(ly), to_hex(resized({24}, longest)));
}

// The helpers' own boundaries, which the divisions above never reach.
TEST(MpDigitHelpers, Boundaries) {
    const Number b = {0x80000001, 0xF0000000};
    Number a(2, GARBAGE);
    EXPECT_EQ(mpShiftLeft(a.data(), b.data(), 32, 2), 0u);  // too wide: nothing happens
    EXPECT_EQ(mpShiftRight(a.data(), b.data(), 40, 2), 0u);
    EXPECT_EQ(to_hex(a), to_hex(Number(2, GARBAGE)));
    EXPECT_EQ(mpShiftRight(a.data(), b.data(), 0, 2), 0u);  // no shift by the full width
    EXPECT_EQ(to_hex(a), to_hex(b));
    EXPECT_EQ(mpShiftRight(a.data(), b.data(), 4, 2), 0x10000000u);
    EXPECT_EQ(to_hex(a), "0f00000008000000");

    DIGIT_T q = 0, r = 0;
    const DIGIT_T u[2] = {5, 0x80000000};
    EXPECT_EQ(spDivide(&q, &r, u, 0x80000000), 1u);  // quotient 2^32 overflows one digit
    EXPECT_EQ(q, 0u);
    EXPECT_EQ(r, 5u);
    EXPECT_EQ(spDivide(&q, &r, u, 0), 0u);

    DIGIT_T uu[2] = {0, 1};  // 2^32 - 0xFFFF * (1 * 2^16 + 1) = 1
    spMultSub(uu, 0xFFFF, 1, 1);
    EXPECT_EQ(uu[0] | uint64_t(uu[1]) << 32, 1u);
}

TEST(SpPseudoRand, StaysInRange) {
    std::set<DIGIT_T> small_range;
    for (int i = 0; i < 2000; ++i) {
        const DIGIT_T d = spPseudoRand(10, 20);
        ASSERT_GE(d, 10u);
        ASSERT_LE(d, 20u);
        small_range.insert(d);
        const DIGIT_T high = spPseudoRand(0xFFFFFF00u, 0xFFFFFFFFu);  // must not wrap past the top
        ASSERT_GE(high, 0xFFFFFF00u);
    }
    EXPECT_GE(small_range.size(), 5u);
    EXPECT_EQ(spPseudoRand(42, 42), 42u);
    EXPECT_EQ(spPseudoRand(42, 7), 42u);
}

}  // namespace
