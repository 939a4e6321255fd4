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
#include <tuple>
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
    for (size_t i = 0; i < hex.size(); ++i)
        out[i / 8] |= DIGIT_T(std::stoul(hex.substr(hex.size() - 1 - i, 1), nullptr, 16)) << (4 * (i % 8));
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

// Divides with fresh q and r, checks u == q * v + r and r < v (at the longer length of u and
// v, so that neither is cut) and returns {q, r}.
std::pair<Number, Number> divide_checked(const Number& u, const Number& v) {
    Number q(u.size(), GARBAGE), r(u.size(), GARBAGE);
    EXPECT_EQ(mpDivide(q.data(), r.data(), u.data(), u.size(), v.data(), v.size()), 0);
    const size_t len = std::max(u.size(), v.size());
    Number product(2 * len), sum(2 * len);
    mpMultiply(product.data(), resized(q, len).data(), resized(v, len).data(), len);
    mpAdd(sum.data(), product.data(), resized(r, 2 * len).data(), 2 * len);
    EXPECT_EQ(to_hex(sum), to_hex(resized(u, 2 * len))) << "u " << to_hex(u) << " v " << to_hex(v);
    EXPECT_LT(mpCompare(resized(r, len).data(), resized(v, len).data(), len), 0);
    return {q, r};
}

// Lines: modexp | x | e | m | y [| e=1], divide | u | v | q | r, multiply | u | v | w.
TEST(MpVectors, EveryLineOfTheFile) {
    std::ifstream in(std::string(KVC_VECTORS_DIR) + "/mp_vectors.txt");
    std::map<std::string, int> count;
    std::string text;
    for (int line_no = 1; std::getline(in, text); ++line_no) {
        if (text.empty() || text[0] == '#') continue;
        SCOPED_TRACE("mp_vectors.txt line " + std::to_string(line_no));
        std::vector<std::string> f;
        std::stringstream fields(text);
        for (std::string field; std::getline(fields, field, '|');) {
            const size_t first = field.find_first_not_of(" \t\r"), last = field.find_last_not_of(" \t\r");
            f.push_back(first == std::string::npos ? "" : field.substr(first, last - first + 1));
        }
        ++count[f[0]];
        std::vector<Number> n;
        for (size_t i = 1; i < f.size() && f[i] != "e=1"; ++i) n.push_back(from_hex(f[i]));
        if (f[0] == "modexp" && n.size() == 4) {
            Number y(n[0].size(), GARBAGE);
            EXPECT_EQ(mpModExp(y.data(), n[0].data(), n[1].data(), n[2].data(), y.size()), 0);
            EXPECT_EQ(to_hex(y), to_hex(n[3]));
            Number in_place = n[0];  // the result may overwrite the base it is computed from
            mpModExp(in_place.data(), in_place.data(), n[1].data(), n[2].data(), y.size());
            EXPECT_EQ(to_hex(in_place), to_hex(n[3]));
        } else if (f[0] == "divide" && n.size() == 4) {
            const Number& u = n[0];
            const Number& v = n[1];
            Number q(u.size(), GARBAGE), r(u.size(), GARBAGE), mod(v.size(), GARBAGE);
            EXPECT_EQ(mpDivide(q.data(), r.data(), u.data(), u.size(), v.data(), v.size()), 0);
            EXPECT_EQ(to_hex(q), to_hex(n[2]));
            EXPECT_EQ(to_hex(r), to_hex(resized(n[3], u.size())));
            EXPECT_EQ(mpModulo(mod.data(), u.data(), u.size(), v.data(), v.size()), 0);
            EXPECT_EQ(to_hex(mod), to_hex(resized(n[3], v.size())));
        } else if (f[0] == "multiply" && n.size() == 3) {
            Number w(2 * n[0].size(), GARBAGE);
            mpMultiply(w.data(), n[0].data(), n[1].data(), n[0].size());
            EXPECT_EQ(to_hex(w), to_hex(n[2]));
        } else {
            ADD_FAILURE() << "no check for vector line '" << text << "'";
        }
    }
    EXPECT_GT(count["modexp"], 0) << "vector file missing under " << KVC_VECTORS_DIR;
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
        auto [q, r] = divide_checked(u, u);
        EXPECT_EQ(to_hex(q), to_hex(resized({1}, u.size())));
        EXPECT_EQ(to_hex(r), to_hex(Number(u.size(), 0)));
        Number larger = resized(u, u.size() + 1);
        larger.back() = 1;
        std::tie(q, r) = divide_checked(u, larger);
        EXPECT_EQ(to_hex(q), to_hex(Number(u.size(), 0)));
        EXPECT_EQ(to_hex(r), to_hex(u));
    }
}

TEST(MpDivide, QuotientEstimateTwoTooLargeIsCorrected) {
    // From the top digits alone, 0x7FFFFFFF_00000000 / 0x80000000 = 0xFFFFFFFE: two above the truth.
    const Number u = {0, 0, 0x7FFFFFFF, 0};
    const Number v = {0xFFFFFFFF, 0x80000000, 0, 0};
    const Number q = divide_checked(u, v).first;
    EXPECT_EQ(to_hex(q), to_hex({0xFFFFFFFC, 0, 0, 0}));
}

TEST(MpDivide, ZeroDivisorIsRefusedWithZeroResults) {
    const Number u = {5, 6, 7}, zero = {0, 0};
    Number q(3, GARBAGE), r(3, GARBAGE), mod(2, GARBAGE);
    EXPECT_EQ(mpDivide(q.data(), r.data(), u.data(), 3, zero.data(), 2), -1);
    EXPECT_EQ(to_hex(q) + to_hex(r), to_hex(Number(6, 0)));
    EXPECT_EQ(mpModulo(mod.data(), u.data(), 3, zero.data(), 2), -1);
    EXPECT_EQ(to_hex(mod), to_hex(zero));
}

// Random divisions over digits that stress carries, borrows and corrections, checked by the
// identity, and again with the quotient or remainder written over the dividend.
TEST(MpDivide, RandomDivisionsSatisfyTheIdentity) {
    std::mt19937 rng(20240601);
    const DIGIT_T special[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0x80000001, 0xFFFFFFFE, 0xFFFFFFFF};
    auto digit = [&] { return rng() % 2 ? DIGIT_T(rng()) : special[rng() % 7]; };
    for (int round = 0; round < 3000 && !HasFailure(); ++round) {
        const size_t un = 1 + rng() % 16, vn = 1 + rng() % 8;
        Number u(un), v(vn);
        for (auto& d : u) d = digit();
        for (auto& d : v) d = digit();
        if (mpSizeof(v.data(), vn) == 0) v[0] = 3;
        const auto [q, r] = divide_checked(u, v);

        Number aliased = u, scratch(un);
        ASSERT_EQ(mpDivide(aliased.data(), scratch.data(), aliased.data(), un, v.data(), vn), 0);
        EXPECT_EQ(to_hex(aliased), to_hex(q));
        aliased = u;
        ASSERT_EQ(mpDivide(scratch.data(), aliased.data(), aliased.data(), un, v.data(), vn), 0);
        EXPECT_EQ(to_hex(scratch), to_hex(q));
        EXPECT_EQ(to_hex(aliased), to_hex(r));
    }
}

TEST(MpModExp, RefusesWhatItCannotCompute) {
    const size_t longest = MP_MAX_DIGITS, too_long = MP_MAX_DIGITS + 1;
    const Number x = {2}, e = {10}, m = {1000}, zero = {0};
    struct Case {
        Number e, m;
        size_t digits;
        int status;
        Number y;
    } cases[] = {
        {zero, m, 2, -1, {0}}, {e, zero, 2, -1, {0}},
        {e, m, too_long, -1, {0}},
        {e, m, longest, 0, {24}},   // the longest accepted length still computes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.digits);
        Number y(c.digits, GARBAGE);
        EXPECT_EQ(mpModExp(y.data(), resized(x, c.digits).data(), resized(c.e, c.digits).data(),
                           resized(c.m, c.digits).data(), c.digits), c.status);
        EXPECT_EQ(to_hex(y), to_hex(resized(c.y, c.digits)));
    }
    Number y(1, GARBAGE);
    EXPECT_EQ(mpModExp(y.data(), x.data(), e.data(), m.data(), 0), -1);
    EXPECT_EQ(y[0], GARBAGE);  // nothing to write for zero digits
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
        ASSERT_TRUE(d >= 10u && d <= 20u) << d;
        small_range.insert(d);
        ASSERT_GE(spPseudoRand(0xFFFFFF00u, 0xFFFFFFFFu), 0xFFFFFF00u);  // must not wrap past the top
    }
    EXPECT_GE(small_range.size(), 5u);
    EXPECT_EQ(spPseudoRand(42, 42), 42u);
    EXPECT_EQ(spPseudoRand(42, 7), 42u);
}

}  // namespace
