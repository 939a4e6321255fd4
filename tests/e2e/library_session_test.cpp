// The library against kvcd: realistic sessions through the public interface.
#include <cstring>
#include <thread>
#include <vector>

#include "e2e_support.h"

using namespace kvcd_e2e;
using kvcd_test::Server;

namespace {

constexpr int kRows = 10000;

// Column values of row r, made the same way when binding and when checking.
struct RowValues {
    int8_t flag, tiny;
    int16_t small;
    int32_t integer;
    int64_t big, stamp;
    float real;
    double dbl;
    std::string numeric, date, time, text, binary;
    bool null_row;
};

RowValues values_of(int r) {
    RowValues v;
    v.flag = int8_t(r % 2);
    v.tiny = int8_t(r % 200 - 100);
    v.small = int16_t(r * 3 - 15000);
    v.integer = r * 1000 - 5000000;
    v.big = int64_t(r) * 10000000000LL - 7;
    v.stamp = 1600000000000LL + int64_t(r) * 1001;
    v.real = float(r) * 0.5f;
    v.dbl = r / 3.0;
    v.numeric = std::to_string(r) + ".25";
    char buf[32];
    std::snprintf(buf, sizeof buf, "20%02d-%02d-%02d", r % 100, 1 + r % 12, 1 + r % 28);
    v.date = buf;
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", r % 24, r % 60, (r * 7) % 60);
    v.time = buf;
    v.text = "row " + std::to_string(r) + std::string(size_t(r % 30), '*');
    v.binary = std::string{char(r & 0xFF), char(r >> 8), '\0', char(0xFF)};
    v.null_row = r % 7 == 3;
    return v;
}

// An array of one C type as the library's array binding reads it.
struct Column {
    int c_type;
    std::string block;
    std::vector<int> lengths;
    void add_fixed(const void* p, int width, bool null) {
        block.append(static_cast<const char*>(p), size_t(width));
        lengths.push_back(null ? 0 : width);
    }
    void add_packed(const std::string& s, bool null) {
        block += s;
        lengths.push_back(null ? 0 : int(s.size()));
    }
    void add_prefixed(const std::string& s, bool null) {
        int32_t n = int32_t(s.size());
        block.append(reinterpret_cast<const char*>(&n), 4);
        block += s;
        lengths.push_back(null ? 0 : n);
    }
};

}  // namespace

TEST(LibrarySession, TenThousandRowsOfEveryTypeByBatchAndBack) {
    Server server;
    Connection c(conn_string(server.port()));
    ASSERT_EQ(c.status(), 2) << error_of(c.handle());
    c.run("CREATE TABLE every_type(c_bool BOOLEAN, c_tiny TINYINT, c_small SMALLINT, c_int INT4, "
          "c_big BIGINT, c_num DECIMAL(12,2), c_real FLOAT4, c_double DOUBLE, c_date DATE, c_time TIME, "
          "c_stamp DATETIME, c_text VARCHAR(64), c_bin VARBINARY(8))");

    std::vector<Column> cols = {{KVC_C_BOOL, {}, {}},    {KVC_C_TINYINT, {}, {}}, {KVC_C_SHORT, {}, {}},
                                {KVC_C_INT, {}, {}},     {KVC_C_BIGINT, {}, {}},  {KVC_C_NUMERIC, {}, {}},
                                {KVC_C_FLOAT, {}, {}},   {KVC_C_DOUBLE, {}, {}},  {KVC_C_DATE, {}, {}},
                                {KVC_C_TIME, {}, {}},    {KVC_C_TIMESTAMP_MS, {}, {}}, {KVC_C_CHAR, {}, {}},
                                {KVC_C_BINARY, {}, {}}};
    for (int r = 0; r < kRows; ++r) {
        RowValues v = values_of(r);
        cols[0].add_fixed(&v.flag, 1, false);
        cols[1].add_fixed(&v.tiny, 1, false);
        cols[2].add_fixed(&v.small, 2, false);
        cols[3].add_fixed(&v.integer, 4, v.null_row);
        cols[4].add_fixed(&v.big, 8, false);
        cols[5].add_packed(v.numeric, false);
        cols[6].add_fixed(&v.real, 4, false);
        cols[7].add_fixed(&v.dbl, 8, false);
        cols[8].add_packed(v.date, false);
        cols[9].add_packed(v.time, false);
        cols[10].add_fixed(&v.stamp, 8, false);
        cols[11].add_prefixed(v.text, v.null_row);
        cols[12].add_prefixed(v.binary, false);
    }
    cols[5].block.resize(size_t(kRows) * 41);  // the library copies 41 bytes a row for exact numerics
    for (size_t k = 0; k < cols.size(); ++k)
        ASSERT_EQ(KVC_BindParamArrayByPos(c.handle(), int(k + 1), int(cols.size()), KVC_PARAM_IN, cols[k].c_type,
                                          kRows, &cols[k].block[0], int64_t(cols[k].block.size()),
                                          cols[k].lengths.data()),
                  0)
            << k;
    ASSERT_GE(KVC_ExecBatch(c.handle(), "INSERT INTO every_type VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)", kRows), 0)
        << error_of(c.handle());

    Rows rows;
    int columns = 0, affected = 0;
    int64_t count = 0;
    ASSERT_GE(KVC_ExecwithDataReader(c.handle(), "SELECT * FROM every_type ORDER BY rowid", rows.handle(), &columns,
                                     &count, &affected),
              0)
        << error_of(c.handle());
    ASSERT_EQ(columns, 13);
    ASSERT_EQ(count, kRows);
    for (int r = 0; r < kRows; ++r) {
        ASSERT_EQ(KVC_ReadNext(rows.handle()), 0);
        RowValues v = values_of(r);
        SCOPED_TRACE("row " + std::to_string(r));
        EXPECT_EQ(rows.text(1), v.flag ? "T" : "F");
        int32_t i32 = 0;
        ASSERT_EQ(rows.get(2, KVC_C_INT, i32), 0);
        EXPECT_EQ(i32, v.tiny);
        int16_t i16 = 0;
        ASSERT_EQ(rows.get(3, KVC_C_SHORT, i16), 0);
        EXPECT_EQ(i16, v.small);
        if (v.null_row) {
            EXPECT_EQ(rows.get(4, KVC_C_INT, i32), KVC_NULL_VALUE);
            EXPECT_EQ(rows.text(12), "<status -11>");
        } else {
            ASSERT_EQ(rows.get(4, KVC_C_INT, i32), 0);
            EXPECT_EQ(i32, v.integer);
            EXPECT_EQ(rows.text(12), v.text);
        }
        int64_t i64 = 0;
        ASSERT_EQ(rows.get(5, KVC_C_BIGINT, i64), 0);
        EXPECT_EQ(i64, v.big);
        EXPECT_EQ(rows.text(6), v.numeric);
        float f = 0;
        ASSERT_EQ(rows.get(7, KVC_C_FLOAT, f), 0);
        EXPECT_EQ(f, v.real);
        double d = 0;
        ASSERT_EQ(rows.get(8, KVC_C_DOUBLE, d), 0);
        EXPECT_EQ(d, v.dbl);
        EXPECT_EQ(rows.text(9), v.date);
        EXPECT_EQ(rows.text(10), v.time);
        ASSERT_EQ(rows.get(11, KVC_C_TIMESTAMP_MS, i64), 0);
        EXPECT_EQ(i64, v.stamp);
        char bin[8] = {0};
        int len = 0;
        ASSERT_EQ(KVC_GetData(rows.handle(), 13, KVC_C_BINARY, bin, sizeof bin, &len), 0);
        EXPECT_EQ(std::string(bin, size_t(len)), v.binary);
    }
    EXPECT_EQ(KVC_ReadNext(rows.handle()), KVC_NO_MORE);
}

TEST(LibrarySession, PreparedStatementsWithNamedAndPositionalParameters) {
    Server server;
    Connection c(conn_string(server.port()));
    ASSERT_EQ(c.status(), 2);
    c.run("CREATE TABLE people(id INTEGER, name VARCHAR(20))");
    char name[32] = {0};
    ASSERT_EQ(KVC_Prepare2(c.handle(), "INSERT INTO people VALUES (:id, :name)", name), 0) << error_of(c.handle());
    for (int id = 1; id <= 3; ++id) {
        std::string who = "person " + std::to_string(id);
        int id_len = 4, name_len = int(who.size());
        // By name, in the other order than the statement's.
        ASSERT_EQ(KVC_BindParamByName(c.handle(), "NAME", KVC_PARAM_IN, KVC_C_CHAR, &who[0], 0, nullptr, &name_len), 0);
        ASSERT_EQ(KVC_BindParamByName(c.handle(), "id", KVC_PARAM_IN, KVC_C_INT, &id, 0, nullptr, &id_len), 0);
        void* result = nullptr;
        EXPECT_GE(KVC_Execute2(c.handle(), name, nullptr, &result), 0) << error_of(c.handle());
        if (result) KVC_FreeRowset(&result);
        // Later rows bind into a fresh set on the connection, still by name.
    }
    ASSERT_EQ(KVC_Prepare(c.handle(), const_cast<char*>("SELECT name FROM people WHERE id = ?")),
              KVC_PREPARED_WITH_COLUMNS);
    int id = 2, id_len = 4;
    ASSERT_EQ(KVC_BindParamByPos(c.handle(), 1, KVC_PARAM_IN, KVC_C_INT, &id, 0, &id_len), 0);
    Rows rows;
    ASSERT_GE(KVC_Execute(c.handle(), rows.handle()), 0) << error_of(c.handle());
    ASSERT_EQ(KVC_ReadNext(rows.handle()), 0);
    EXPECT_EQ(rows.text(1), "person 2");
    EXPECT_EQ(KVC_UnPrepare(c.handle(), nullptr), 0);
}

TEST(LibrarySession, ServerCursorFetchedInBlocks) {
    Server server;
    Connection c(conn_string(server.port()));
    ASSERT_EQ(c.status(), 2);
    c.run("CREATE TABLE n(i INTEGER)");
    c.run("WITH RECURSIVE s(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM s WHERE i < 250) INSERT INTO n SELECT i FROM s");
    Rows declared;
    int columns = 0;
    ASSERT_EQ(KVC_ExecwithServerCursorReader(c.handle(), "SELECT i FROM n ORDER BY i", "c1", declared.handle(),
                                             &columns, nullptr),
              0)
        << error_of(c.handle());
    EXPECT_EQ(columns, 1);
    int next = 1;
    for (int64_t want : {100, 100, 50, 0}) {
        Rows block;
        int count = 100, cols = 0;
        int64_t got = -1;
        ASSERT_EQ(KVC_FetchRefCursorHead(c.handle(), "c1", block.handle(), &cols, &got, &count), 0);
        ASSERT_EQ(got, want);
        while (KVC_ReadNext(block.handle()) == 0) {
            int64_t v = 0;
            ASSERT_EQ(block.get(1, KVC_C_BIGINT, v), 0);
            EXPECT_EQ(v, next++);
        }
    }
    EXPECT_EQ(KVC_CloseCursor(c.handle(), "c1"), 0);
    EXPECT_EQ(KVC_CloseCursor(c.handle(), "c1"), KVC_ERROR);
}

TEST(LibrarySession, ProcedureWithOutputInOutAndReturnValue) {
    Server server;
    Connection c(conn_string(server.port()));
    ASSERT_EQ(c.status(), 2);
    int64_t amount = 30, balance = 100, previous = 0;
    int amount_len = 8, balance_len = 8, previous_len = 0, status_len = 0;
    char status_text[64] = {0};
    ASSERT_EQ(KVC_BindParamByPos(c.handle(), 1, KVC_PARAM_IN, KVC_C_BIGINT, &amount, 0, &amount_len), 0);
    ASSERT_EQ(KVC_BindParamByPos(c.handle(), 2, KVC_PARAM_INOUT, KVC_C_BIGINT, &balance, 8, &balance_len), 0);
    ASSERT_EQ(KVC_BindParamByPos(c.handle(), 3, KVC_PARAM_OUT, KVC_C_BIGINT, &previous, 8, &previous_len), 0);
    ASSERT_EQ(KVC_BindParamByPos(c.handle(), 4, KVC_PARAM_RETURN, KVC_C_CHAR, status_text, 63, &status_len), 0);
    EXPECT_GE(KVC_Execute_procesure(c.handle(), "CALL kvc_account(?, ?, ?)", nullptr), 0) << error_of(c.handle());
    EXPECT_EQ(balance, 130);
    EXPECT_EQ(previous, 100);
    EXPECT_EQ(std::string(status_text, size_t(status_len)), "ok");
    KVC_ResetParams(c.handle());
}

TEST(LibrarySession, RefusedLoginAndDeadAddressInTheList) {
    Server server({"--user", "U", "--password", "P"});
    {
        void* conn = nullptr;
        std::string str = "IP=127.0.0.1;PORT=" + std::to_string(server.port()) + ";DB=D;USER=U;PWD=wrong";
        EXPECT_EQ(KVC_OpenConn(str.c_str(), &conn), KVC_LOGIN_FAILED);
        EXPECT_NE(error_of(&conn), "");
        KVC_CloseConn(&conn);
    }
    // 127.0.0.2 has no listener: the open moves on to the live address.
    std::string str = "IPS=127.0.0.2,127.0.0.1;PORT=" + std::to_string(server.port()) + ";DB=D;USER=U;PWD=P";
    for (int attempt = 0; attempt < 4; ++attempt) {
        void* ips = nullptr;
        void* conn = nullptr;
        ASSERT_EQ(KVC_OpenConn_Ips(str.c_str(), -1, &ips, &conn), 0) << error_of(&conn);
        char value[64] = {0};
        int type = 0;
        EXPECT_EQ(KVC_Execute_query_with_one(&conn, "SELECT 41 + 1", value, &type), 0);
        EXPECT_STREQ(value, "42");
        KVC_CloseConn(&conn);
        Release_IpsAttrs(&ips);
    }
}

namespace {

// A 5 MiB value through a LOB parameter and back, inline or by descriptor.
void lob_round_trip(const std::string& conn_str) {
    Connection c(conn_str);
    ASSERT_EQ(c.status(), 2) << error_of(c.handle());
    c.run("CREATE TABLE IF NOT EXISTS docs(id INTEGER, body BLOB)");
    c.run("DELETE FROM docs");
    std::string content(5u << 20, '\0');
    for (size_t k = 0; k < content.size(); ++k) content[k] = char((k * 131) >> 3);
    void* lob = nullptr;
    ASSERT_EQ(KVC_Create_Lob(&lob), 0);
    for (size_t off = 0; off < content.size(); off += 700000)
        KVC_Put_Lob_data(&lob, content.data() + off, int(std::min<size_t>(700000, content.size() - off)));
    KVC_Put_Lob_data(&lob, nullptr, -1);
    int zero = 0;
    ASSERT_EQ(KVC_BindParamByPos(c.handle(), 1, KVC_PARAM_IN, KVC_C_BLOB, &lob, 0, &zero), 0);
    EXPECT_EQ(KVC_Execute_no_query(c.handle(), "INSERT INTO docs VALUES (1, ?)"), 1) << error_of(c.handle());
    KVC_Distroy_Lob(&lob);

    Rows rows;
    int columns = 0, affected = 0;
    int64_t count = 0;
    ASSERT_GE(KVC_ExecwithDataReader(c.handle(), "SELECT body FROM docs", rows.handle(), &columns, &count, &affected),
              0);
    ASSERT_EQ(KVC_ReadNext(rows.handle()), 0);
    void* back = nullptr;
    ASSERT_EQ(KVC_Create_Lob(&back), 0);
    int len = 0;
    ASSERT_EQ(KVC_GetData(rows.handle(), 1, KVC_C_BLOB, &back, 0, &len), 0) << error_of(c.handle());
    std::string read(content.size() + 10, '\0');
    int got = KVC_Get_Lob_data(&back, &read[0], int(read.size()));
    KVC_Distroy_Lob(&back);
    ASSERT_EQ(got, int(content.size()));
    read.resize(size_t(got));
    EXPECT_TRUE(read == content);
}

}  // namespace

TEST(LibrarySession, FiveMebibyteLobInlineAndByDescriptor) {
    Server server;
    lob_round_trip(conn_string(server.port()));
    lob_round_trip(conn_string(server.port(), ";LOB_RET=on"));
}

TEST(LibrarySession, EncryptedConnectionCarriesQueriesAndLobs) {
    Server server({"--user", "U", "--password", "P"});
    Connection c(conn_string(server.port(), ";USE_SSL=on"));
    ASSERT_EQ(c.status(), 2) << error_of(c.handle());
    EXPECT_EQ(c.single_int("SELECT 6 * 7"), 42);
    lob_round_trip(conn_string(server.port(), ";USE_SSL=on;LOB_RET=on"));
}

TEST(LibrarySession, BrokenRawClientsLeaveLibraryClientsServed) {
    Server server;
    Connection c(conn_string(server.port()));
    ASSERT_EQ(c.status(), 2);
    {
        kvcd_test::Client raw(server.port());
        raw.login_plain(kvcd_test::login_text());
        raw.send_raw("?" + kvcd_test::be32(0x7FFFFFFF));  // oversized length
        EXPECT_TRUE(raw.closed_by_peer());
    }
    {
        kvcd_test::Client raw(server.port());
        raw.login_plain(kvcd_test::login_text());
        raw.send_raw(kvcd_test::command("SELECT 1").substr(0, 7));  // gone mid-message
    }
    EXPECT_EQ(c.single_int("SELECT 1 + 1"), 2);
}
