// Prepared statements, executions and procedure calls on the wire: the exact
// command texts, what is sent when, and the connection state they leave.
#include "support/scripted_peer.h"
#include "support/statement_support.h"
#include "support/wire_pair.h"

#include "kvc.h"
#include "kvc_command.h"
#include "kvc_inner.h"
#include "kvc_rowset.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const char kNoDefault[] =
    "[EC023]Error Execute without a default prepare ,or you can KVC_Execute2 with a prepare_name "
    "value\n";

// A prepare reply describing one result column and one parameter.
Bytes described_prepare_reply() {
    WireBuilder b;
    columns(b, {{"id", 5}});
    return b.tag('$').i32(1).str("p1").i32(1).i32(5).i32(4).tag('K');
}

const Bytes kOk = WireBuilder().tag('K');

TEST(PrepareWire, NamesExecutionAndRelease) {
    WirePair wire;
    wire.feed(kOk);
    char sql1[] = "SELECT 1", sql2[] = "SELECT 2";
    EXPECT_EQ(0, KVC_Prepare(wire.handle(), sql1));
    EXPECT_EQ(command_message("PREPARE STC0 AS SELECT 1"), wire.sent());
    EXPECT_EQ(1, wire.conn()->has_prepared);

    // Without a slot the received result is released.
    wire.feed(joined({rows_reply(2), rows_reply(2)}));
    void* result = nullptr;
    EXPECT_EQ(2, KVC_Execute(wire.handle(), &result));
    EXPECT_EQ(2, KVC_Execute(wire.handle(), nullptr));
    EXPECT_EQ(joined({command_message("? STC0 "), command_message("? STC0 ")}), wire.sent());
    ASSERT_NE(nullptr, result);
    EXPECT_EQ(2, static_cast<Result*>(result)->row_count);
    KVC_FreeRowset(&result);

    wire.feed(joined({kOk, kOk}));
    EXPECT_EQ(0, KVC_Prepare(wire.handle(), sql2));
    EXPECT_EQ(joined({command_message("DEALLOCATE STC0 "), command_message("PREPARE STC1 AS SELECT 2")}),
              wire.sent());
    EXPECT_STREQ("STC1", wire.conn()->prepared_name);

    // A named statement takes the next number; releasing by name keeps the
    // default, releasing without a name clears it.
    wire.feed(joined({kOk, kOk, kOk}));
    char name[15] = {0};
    EXPECT_EQ(0, KVC_Prepare2(wire.handle(), "SELECT 3", name));
    EXPECT_STREQ("STC2", name);
    EXPECT_EQ(0, KVC_UnPrepare(wire.handle(), name));
    EXPECT_EQ(1, wire.conn()->has_prepared);
    EXPECT_STREQ("STC1", wire.conn()->prepared_name);
    EXPECT_EQ(0, KVC_UnPrepare(wire.handle(), nullptr));
    EXPECT_EQ(0, wire.conn()->has_prepared);
    EXPECT_EQ(joined({command_message("PREPARE STC2 AS SELECT 3"), command_message("DEALLOCATE STC2 "),
                      command_message("DEALLOCATE STC1 ")}),
              wire.sent());
}

TEST(PrepareWire, Refusals) {
    WirePair wire;
    wire.conn()->has_prepared = 1;
    kv_strcpy_s(wire.conn()->prepared_name, sizeof wire.conn()->prepared_name, "STC4");
    wire.feed(WireBuilder().tag('E').str("busy").tag('K'));
    char sql[] = "SELECT 1";
    EXPECT_EQ(-1, KVC_Prepare(wire.handle(), sql));   // a refused DEALLOCATE stops the prepare
    EXPECT_EQ(command_message("DEALLOCATE STC4 "), wire.sent());
    EXPECT_EQ("busy", text_of(wire.conn()->error_text));
    for (char tag : {'E', 'W'}) {
        wire.feed(WireBuilder().tag(tag).str("no such table").tag('K'));
        EXPECT_EQ(-1, KVC_Prepare(wire.handle(), sql)) << tag;
        EXPECT_EQ(0, wire.conn()->has_prepared);
        EXPECT_EQ("no such table", text_of(wire.conn()->error_text));
    }
    wire.feed(WireBuilder().tag('$').i32(-1).tag('K'));
    EXPECT_EQ(-4, KVC_Prepare(wire.handle(), sql));
    EXPECT_EQ(nullptr, wire.conn()->bound_params);
    EXPECT_EQ(0, wire.conn()->has_prepared);
    EXPECT_EQ(1, lock_value(wire.conn()));
}

TEST(ExecuteWire, RefusedBeforeSending) {
    WirePair wire;
    void* result = nullptr;
    EXPECT_EQ(-1, KVC_Execute(wire.handle(), &result));
    EXPECT_EQ(kNoDefault, text_of(wire.conn()->error_text));
    kvc_set_text(&wire.conn()->error_text, nullptr);
    EXPECT_EQ(-1, KVC_Execute2(wire.handle(), nullptr, nullptr, &result));
    EXPECT_EQ(kNoDefault, text_of(wire.conn()->error_text));
    EXPECT_EQ(Bytes{}, wire.sent());

    // A later prepare replaces the described columns and parameters (a leak
    // shows in the sanitizer build).
    char sql[] = "SELECT id FROM t WHERE id = ?", name[15];
    for (int round = 0; round < 2; ++round) {
        wire.feed(described_prepare_reply());
        EXPECT_EQ(19665, round == 0 ? KVC_Prepare2(wire.handle(), sql, name) : KVC_Prepare(wire.handle(), sql));
        ASSERT_NE(nullptr, wire.conn()->current_result);
        EXPECT_EQ(1, wire.conn()->current_result->column_count);
        ASSERT_NE(nullptr, wire.conn()->bound_params);
        EXPECT_EQ(PARAMS_PREPARED, wire.conn()->bound_params->origin);
        EXPECT_EQ(1, wire.conn()->bound_params->param_count);
    }
    wire.sent();
    char cursor[32];
    EXPECT_EQ(-59, KVC_Execute2(wire.handle(), "STC0", nullptr, &result));
    EXPECT_EQ("[EC059]Error params need values-bind, here params without bindparams-byname or "
              "bindparams-bypos  \n",
              text_of(wire.conn()->error_text));
    EXPECT_EQ(-59, KVC_Execute2(wire.handle(), "STC0", cursor, &result));
    EXPECT_EQ(-59, KVC_Execute(wire.handle(), &result));
    EXPECT_EQ(-59, KVC_Execute_no_query(wire.handle(), "DELETE FROM t"));
    EXPECT_EQ(Bytes{}, wire.sent());
    EXPECT_NE(nullptr, wire.conn()->bound_params);
}

// A server error met by a named statement carries the command text; long
// names and texts go out whole.
TEST(ExecuteWire, NamedStatementErrorCarriesTheCommand) {
    WirePair wire;
    const struct { std::string name, server_text; } cases[] = {{"STC5", "no statement"},
                                                               {"STC" + std::string(400, '7'), std::string(300, 'e')}};
    for (const auto& c : cases) {
        wire.feed(WireBuilder().tag('E').str(c.server_text).tag('K'));
        void* result = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(-1, KVC_Execute2(wire.handle(), c.name.c_str(), nullptr, &result));
        EXPECT_EQ(command_message("? " + c.name + " "), wire.sent());
        EXPECT_EQ("sql:? " + c.name + "  errinfo: " + c.server_text + " \n", text_of(wire.conn()->error_text));
        EXPECT_EQ(reinterpret_cast<void*>(0x1), result) << "the caller's variable is left as it was";
        EXPECT_EQ(1, lock_value(wire.conn()));
    }
    // The same for a cursor whose DECLARE fails.
    wire.feed(WireBuilder().tag('E').str("no statement").tag('K'));
    char cursor[16] = {0};
    void* result = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(-1, KVC_Execute2(wire.handle(), "STC5", cursor, &result));
    EXPECT_EQ(reinterpret_cast<void*>(0x1), result);
}

TEST(ExecuteWire, CursorOverANamedStatement) {
    WirePair wire;
    WireBuilder declared;
    columns(declared, {{"n", 5}}).tag('K');
    wire.feed(joined({declared, kOk}));
    char cursor[33] = {0};
    memset(cursor, 'x', 32);
    void* result = nullptr;
    EXPECT_EQ(0, KVC_Execute2(wire.handle(), "STC3", cursor, &result));
    EXPECT_STREQ("STC3_CUR", cursor);
    EXPECT_EQ(joined({command_message("DECLARE  STC3_CUR CURSOR FOR STC3 "), command_message("OPEN STC3_CUR ;")}),
              wire.sent());
    ASSERT_NE(nullptr, result);
    KVC_FreeRowset(&result);

    // A refused OPEN leaves its text while the status stays the DECLARE's.
    wire.feed(joined({declared, WireBuilder().tag('E').str("cursor exists").tag('K')}));
    EXPECT_EQ(0, KVC_Execute2(wire.handle(), "STC3", cursor, &result));
    EXPECT_EQ("cursor exists", text_of(wire.conn()->error_text));
    KVC_FreeRowset(&result);
}

// The return value slot at the end of the set is not announced in the
// parameter header, and the value comes back into its buffer.
TEST(ProcedureWire, ReturnValueSlotIsNotAnnounced) {
    int32_t input = 7, input_length = 4, returned_length = 0;
    char returned[64] = {0};
    WirePair wire;
    BoundSet params(wire);
    params.bind(1, PARAM_INPUT, 5, &input, 4, &input_length);
    params.bind(2, PARAM_RETURN_VALUE, 2, returned, sizeof returned, &returned_length);
    wire.feed(WireBuilder().tag('O').i32(5).i32(4).i32(42).tag('K'));
    void* result = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(0, KVC_Execute_procesure(wire.handle(), "select f(?)", &result));
    EXPECT_EQ(nullptr, result);
    EXPECT_STREQ("42", returned);
    EXPECT_EQ(2, returned_length);
    EXPECT_EQ(joined({command_message("select f(?)", 1), WireBuilder().i16(0).i16(1).i16(5).i32(4).i32(7)}),
              wire.sent());
    EXPECT_EQ(params.get(), wire.conn()->bound_params);

    // Without a bound set the plain reader answers.
    wire.conn()->bound_params = nullptr;
    wire.feed(WireBuilder().tag('U').i32(3).tag('K'));
    EXPECT_EQ(3, KVC_Execute_procesure(wire.handle(), "call p()", nullptr));
    EXPECT_EQ(command_message("call p()"), wire.sent());
}

TEST(ExecuteWire, DirectExecutionsAndTheLock) {
    WirePair wire;
    wire.feed(WireBuilder().tag('U').i32(5).tag('K'));
    EXPECT_EQ(5, KVC_Execute_no_query(wire.handle(), "UPDATE t SET a = 1"));
    EXPECT_EQ(command_message("UPDATE t SET a = 1"), wire.sent());

    // The identifier of the last inserted row is handed out whole; no
    // message ever names a function's return type.
    wire.feed(WireBuilder().tag('I').str("row-17").tag('I').str("row-18").tag('K'));
    EXPECT_EQ(2, KVC_Execute_no_query(wire.handle(), "INSERT INTO t VALUES (1), (2)"));
    wire.sent();
    char insert_id[32];
    memset(insert_id, 'x', sizeof insert_id);
    EXPECT_EQ(0, KVC_GetLastInsertId(wire.handle(), insert_id));
    EXPECT_STREQ("row-18", insert_id);
    EXPECT_EQ(-3, KVC_GetLastInsertId(wire.handle(), nullptr));
    int c_type = -7;
    EXPECT_EQ(-1, KVC_GetFunReturnType(wire.handle(), &c_type));
    EXPECT_EQ(-7, c_type);

    wire.feed(rows_reply(3));
    void* result = nullptr;
    int cols = 0, affected = -1;
    int64_t rows = 0;
    EXPECT_EQ(3, KVC_ExecwithDataReader(wire.handle(), "SELECT n FROM t", &result, &cols, &rows, &affected));
    EXPECT_EQ(1, cols);
    EXPECT_EQ(3, rows);
    KVC_FreeRowset(&result);

    wire.close_peer();
    EXPECT_EQ(-4, KVC_Execute_no_query(wire.handle(), "UPDATE t SET a = 2"));
    EXPECT_EQ(1, lock_value(wire.conn())) << "a failed read still releases the lock";
    EXPECT_EQ(-3, KVC_Execute_no_query(nullptr, "x"));
    EXPECT_EQ(-3, KVC_Execute_no_query(wire.handle(), nullptr));
}

// Bound values follow the command of a direct execution, and the set serves
// that execution only: a library-made set is released (the sanitizer build
// sees a leak otherwise), a caller's set is detached with its bindings kept.
TEST(ExecuteWire, DirectExecutionsSendAndReleaseTheBoundSet) {
    WirePair wire;
    int32_t value = 42, length = 4;
    const Bytes param = WireBuilder().i16(0).i16(1).i16(5).i32(4).i32(42);
    ASSERT_EQ(0, KVC_BindParamByPos(wire.handle(), 1, 1, 5, &value, 0, &length));
    wire.feed(WireBuilder().tag('U').i32(1).tag('K'));
    EXPECT_EQ(1, KVC_Execute_no_query(wire.handle(), "DELETE FROM t WHERE id = ?"));
    EXPECT_EQ(hex(joined({command_message("DELETE FROM t WHERE id = ?", 1), param})), hex(wire.sent()));
    EXPECT_EQ(nullptr, wire.conn()->bound_params);

    void* params = nullptr;
    ASSERT_EQ(0, KVC_CreateParams(&params));
    ASSERT_EQ(0, KVC_BindParamByPos(&params, 1, 1, 5, &value, 0, &length));
    ASSERT_EQ(0, KVC_BindParams2Conn(wire.handle(), &params));
    wire.feed(rows_reply(2));
    void* result = nullptr;
    int64_t rows = 0;
    EXPECT_EQ(2, KVC_ExecwithDataReader(wire.handle(), "SELECT n FROM t WHERE id = ?", &result, nullptr, &rows,
                                        nullptr));
    EXPECT_EQ(2, rows);
    EXPECT_EQ(hex(joined({command_message("SELECT n FROM t WHERE id = ?", 1), param})), hex(wire.sent()));
    EXPECT_EQ(nullptr, wire.conn()->bound_params);
    EXPECT_EQ(1, static_cast<KVCSParam*>(params)->param_count);
    // Without a new binding the next execution sends no values.
    wire.feed(WireBuilder().tag('U').i32(0).tag('K'));
    EXPECT_EQ(0, KVC_Execute_no_query(wire.handle(), "DELETE FROM t"));
    EXPECT_EQ(hex(command_message("DELETE FROM t")), hex(wire.sent()));
    KVC_FreeRowset(&result);
    EXPECT_EQ(0, KVC_Drop(&params));
}

// One connection's life against the scripted server (clean under the
// sanitizers): every command text in order, one DEALLOCATE at close.
TEST(StatementSession, FromOpenToClose) {
    ScriptedPeer peer;
    WireBuilder one_row;
    columns(one_row, {{"id", 5}});
    int_rows(one_row, 1, 5).tag('K');
    for (const Bytes& reply :
         {described_prepare_reply(), Bytes(one_row), rows_reply(0), kOk, rows_reply(2), kOk,
          Bytes(WireBuilder().tag('O').i32(5).i32(4).i32(42).tag('K')),
          Bytes(WireBuilder().tag('U').i32(3).tag('K')), Bytes(WireBuilder().tag('U').i32(1).tag('K')), kOk})
        peer.script(reply);

    void* conn = nullptr;
    ASSERT_EQ(2, KVC_OpenConn(peer.conn_str("DB=X;USER=U;PWD=P").c_str(), &conn));
    char sql[] = "SELECT id FROM t WHERE id = ?";
    EXPECT_EQ(19665, KVC_Prepare(&conn, sql));
    int32_t id = 5, id_length = 4;
    EXPECT_EQ(0, KVC_BindParamByName(&conn, "P1", 1, 5, &id, 4, nullptr, &id_length));
    void* rs = nullptr;
    EXPECT_EQ(1, KVC_Execute(&conn, &rs));
    KVC_FreeRowset(&rs);
    int cols = 0;
    EXPECT_EQ(0, KVC_ExecwithServerCursorReader(&conn, "SELECT n FROM t", "c1", &rs, &cols, nullptr));
    EXPECT_EQ(1, cols);
    KVC_FreeRowset(&rs);
    EXPECT_EQ(2, KVC_FetchServerCursorRowset(&conn, "c1", &rs));
    KVC_FreeRowset(&rs);
    EXPECT_EQ(0, KVC_CloseCursor(&conn, "c1"));
    char returned[64] = {0};
    int32_t returned_length = 0;
    EXPECT_EQ(0, KVC_BindParamByPos(&conn, 1, 6, 2, returned, sizeof returned, &returned_length));
    EXPECT_EQ(0, KVC_Execute_procesure(&conn, "select f()", nullptr));
    EXPECT_STREQ("42", returned);

    EXPECT_EQ(0, KVC_ResetParams(&conn));
    int32_t ids[3] = {1, 2, 3};
    int id_lengths[3] = {4, 4, 0};
    EXPECT_EQ(0, KVC_BindParamArrayByPos(&conn, 1, 1, 1, 5, 3, ids, sizeof ids, id_lengths));
    EXPECT_EQ(0, KVC_ExecBatch(&conn, "INSERT INTO t VALUES (?)", 3));

    void* lob = nullptr;
    ASSERT_EQ(0, KVC_Create_Lob(&lob));
    EXPECT_EQ(0, KVC_Put_Lob_data(&lob, "payload", 7));
    EXPECT_EQ(0, KVC_Put_Lob_data(&lob, nullptr, -1));
    int lob_length = 0;
    EXPECT_EQ(0, KVC_BindParamByPos(&conn, 1, 1, 42, &lob, 0, &lob_length));
    EXPECT_EQ(1, KVC_Execute_no_query(&conn, "INSERT INTO l VALUES (?)"));
    EXPECT_EQ(0, KVC_Distroy_Lob(&lob));
    EXPECT_EQ(0, KVC_CloseConn(&conn));
    EXPECT_EQ(nullptr, conn);

    ASSERT_TRUE(peer.wait_session(0, [](const ScriptedPeer::Session& s) { return s.closed; }));
    const std::vector<std::string> expected = {
        "PREPARE STC0 AS SELECT id FROM t WHERE id = ?",
        "? STC0 ",
        "DECLARE c1 CURSOR FOR SELECT n FROM t ",
        "OPEN c1 ;",
        "FETCH  20000  FROM  c1 ",
        "CLOSE c1 ",
        "select f()",
        "INSERT INTO t VALUES (?)",
        "INSERT INTO l VALUES (?)",
        "DEALLOCATE STC0 ",
    };
    EXPECT_EQ(expected, peer.session(0).commands);
}

}  // namespace
