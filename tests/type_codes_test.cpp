// Server and C type codes, their widths and mappings, and the statement
// classes of fun_sql_type.
#include "kvc.h"
#include "kvc_utility.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

// The published table of server types: slot width and reported C type.
// Codes missing here are 16 / 2.
const std::map<int, std::pair<int, int>> kServerTypes = {
    {1, {16, 2}},  {2, {1, 1}},   {3, {1, 3}},   {4, {2, 4}},   {5, {4, 5}},   {6, {8, 6}},
    {7, {16, 9}},  {8, {4, 7}},   {9, {8, 8}},   {10, {4, 10}}, {11, {4, 11}}, {12, {16, 12}},
    {13, {8, 23}}, {14, {16, 14}}, {15, {4, 21}}, {16, {4, 28}}, {17, {4, 21}}, {18, {4, 21}},
    {19, {4, 21}}, {20, {4, 21}}, {21, {4, 21}}, {22, {4, 21}}, {23, {4, 21}}, {24, {8, 31}},
    {25, {8, 21}}, {26, {8, 21}}, {27, {8, 21}}, {29, {16, 69}}, {30, {16, 2}}, {32, {16, 41}},
    {33, {16, 15}}, {34, {16, 42}}, {45, {16, 2}},
};

TEST(TypeCodes, ServerTypeWidthsAndCTypes) {
    for (int code = -3; code <= 70; ++code) {
        auto it = kServerTypes.find(code);
        const auto expected = it != kServerTypes.end() ? it->second : std::make_pair(16, 2);
        EXPECT_EQ(getTypeLen(code), expected.first) << "server type " << code;
        EXPECT_EQ(getSQLCType(code), expected.second) << "server type " << code;
    }
    EXPECT_EQ(getTypeLen(100000), 16);
}

// C types: the server type announced for a parameter, the bytes reserved per
// array element and whether arrays are copied. Missing codes are 30 / -1 / 0.
struct CTypeRow {
    int sent_as, width, copied;
};
const std::map<int, CTypeRow> kCTypes = {
    {1, {3, 1, 1}},  {3, {3, 1, 1}},  {4, {4, 2, 1}},    {5, {5, 4, 1}},   {6, {6, 8, 1}},
    {7, {8, 4, 1}},  {8, {9, 8, 1}},  {9, {30, 41, 1}},  {15, {33, -1, 0}}, {23, {13, 8, 1}},
    {63, {30, 1, 1}},
};

TEST(TypeCodes, CTypeMappings) {
    for (int code = -3; code <= 130; ++code) {
        auto it = kCTypes.find(code);
        const CTypeRow expected = it != kCTypes.end() ? it->second : CTypeRow{30, -1, 0};
        EXPECT_EQ(getDBTYPE(code), expected.sent_as) << "C type " << code;
        EXPECT_EQ(getDbTypeLen(code), expected.width) << "C type " << code;
        EXPECT_EQ(need_copy_v(code), expected.copied) << "C type " << code;
    }
}

TEST(StatementClass, FirstWordDecides) {
    const std::pair<const char*, int> cases[] = {
        {"  select * from t", 4}, {"select 1; select 2", 9}, {"select 1;", 4},
        {"select 1;abcd", 4}, {"select 1;abcde", 9},   // up to four characters may follow the ";"
        {"MeRgE into t", 1}, {"MERGEX into t", 9}, {"insert into t values (1)", 1}, {"replace into t values (1)", 1},
        {"\r\n update t set a = 1", 2}, {"DELETE from t", 3}, {"create table t (a int)", 5},
        {"alter table t add b int", 6}, {"altered", 9}, {"exec p", 10}, {"EXECUTE p", 10}, {"exe", 9},
        {"stc1", 9}, {"STC1", 4}, {"\tselect 1", 9} /* a tab is not skipped */, {"selec", 9}, {"", 9}, {"   ", 9},
        {"drop table t", 9},
    };
    for (const auto& c : cases) EXPECT_EQ(fun_sql_type(c.first), c.second) << '"' << c.first << '"';
    EXPECT_EQ(fun_sql_type(nullptr), 9);
}

}  // namespace
