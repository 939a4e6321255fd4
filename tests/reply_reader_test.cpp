// The one reply reader: what it reads does not depend on how the bytes are
// cut into fragments; a reply is read to its end or the connection fails;
// an allocation that fails anywhere leaves no leak and no stray bytes; a
// silent server costs one receive time-out.
#include "support/memory_reply.h"
#include "support/scripted_peer.h"
#include "support/statement_support.h"
#include "support/wire_pair.h"

#include "kvc.h"
#include "kvc_command.h"
#include "kvc_inner.h"
#include "kvc_rowset.h"
#include "kvc_utility.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

// Requests whose own preparations allocate arm the failure only around the
// call itself: arm() and disarm() (which notes whether the failure happened).
long g_armed_at = 0;
bool g_disarmed = false;
bool g_failure_happened = false;
void arm() { kvc_fail_allocation(g_armed_at); }
void disarm() {
    g_failure_happened = !kvc_allocation_failure_pending();
    kvc_fail_allocation(0);
    g_disarmed = true;
}

std::vector<std::string> seed_files(const std::string& dir) {
    std::vector<std::string> files;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d))
            if (strncmp(entry->d_name, "seed-", 5) == 0) files.push_back(dir + "/" + entry->d_name);
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

Bytes file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every reply of the corpus reads the same whole, byte by byte and cut at
// seeded random points, plain and enciphered; so does the request after it.
TEST(ReplyReader, FragmentsDoNotChangeWhatIsRead) {
    const auto files = seed_files(KVC_FUZZ_CORPUS_DIR "/reply_readers");
    ASSERT_GE(files.size(), 20u);
    testing::internal::CaptureStdout();   // the readers' diagnostics
    uint32_t seed = 12345;
    for (const std::string& path : files) {
        ReaderInput input;
        const Bytes data = file_bytes(path);
        ASSERT_TRUE(parse_reader_input(data.data(), data.size(), &input)) << path;
        const std::string whole = read_from_memory(input.kind, input.reply, {}, input.encrypted);
        EXPECT_EQ(read_from_memory(input.kind, input.reply, {0}, input.encrypted), whole) << path;
        for (int trial = 0; trial < 3; ++trial) {
            Bytes cuts(1 + trial * 5);
            for (auto& c : cuts) c = static_cast<unsigned char>((seed = seed * 1103515245u + 12345u) >> 24);
            EXPECT_EQ(read_from_memory(input.kind, input.reply, cuts, input.encrypted), whole) << path;
        }
        // The reply leaves nothing behind: the request after it reads the end of the stream.
        EXPECT_NE(whole.find("| next: status=-4"), std::string::npos) << path << ": " << whole;
    }
    testing::internal::GetCapturedStdout();
}

// ---- the measured faults ---------------------------------------------------------

std::string read_quietly(ReplyReaderKind kind, const Bytes& reply) {
    testing::internal::CaptureStdout();
    std::string out = read_from_memory(kind, reply, {}, false);
    testing::internal::GetCapturedStdout();
    return out;
}

Bytes one_int_column(int rows) {
    WireBuilder b;
    columns(b, {{"n", 5}});
    return int_rows(b, rows);
}

// A reply that breaks off, or that has a tag no message has, fails the
// connection and the call; rows received before an unknown tag are handed
// out; a DEALLOCATE whose error text breaks off still unprepares.
TEST(ReplyReaderFaults, BrokenRepliesFailTheCallAndKeepWhatIsWhole) {
    const Bytes two_rows = one_int_column(2);
    const struct {
        const char* what;
        ReplyReaderKind kind;
        Bytes reply;
        std::string expected;   // the start of what the call leaves
    } cases[] = {
        {"rows cut mid-row after a count", ReplyReaderKind::NoQuery,
         WireBuilder().tag('U').i32(1).raw(two_rows).tag('R').i32(4), "status=-4 | "},
        {"unknown tag then a closed socket", ReplyReaderKind::NoQuery,
         WireBuilder().tag('U').i32(1).tag('Z'), "status=-4 | "},
        {"unknown tag after rows", ReplyReaderKind::Statement,
         WireBuilder().raw(two_rows).tag('Z').tag('K'),
         "status=-4 [kind=4 affected=0 id= text=(none) columns=(none).n%(none):5  rows=2"},
        {"unknown tag after rows of a cursor fetch", ReplyReaderKind::CursorFetch,
         WireBuilder().raw(two_rows).tag('Z'), "status=-4 [kind=4"},
        {"text of a refused DEALLOCATE cut short", ReplyReaderKind::Simple,
         WireBuilder().tag('E').i32(10).raw("abc"), "status=-4 text=(none) | "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string out = read_quietly(c.kind, c.reply);
        EXPECT_EQ(out.compare(0, c.expected.size(), c.expected), 0) << out;
        EXPECT_NE(out.find("failed=1 | next: status=-4"), std::string::npos) << out;
    }

    // The statement is gone on the server whatever it said: has_prepared clears
    // as soon as the reply starts, even when its text never arrives.
    WirePair wire;
    wire.conn()->has_prepared = 1;
    wire.feed(WireBuilder().tag('E').i32(10).raw("abc"));
    wire.close_peer();
    EXPECT_EQ(kvc_cmd_Unprepare(wire.conn(), "STC0"), -4);
    EXPECT_EQ(wire.conn()->has_prepared, 0);
}

// A refused descriptor fetch reports the refusal and keeps the server's text.
TEST(ReplyReaderFaults, RefusedLobFetchKeepsTheServersText) {
    const std::string out = read_quietly(ReplyReaderKind::LobFetch,
                                         WireBuilder().tag('E').str("no such lob").tag('K'));
    EXPECT_EQ(out.rfind("status=-1 length=0 text=no such lob", 0), 0u) << out;
    EXPECT_NE(out.find("error=no such lob"), std::string::npos) << out;
}

// Procedure and single-value replies: one "." per result set, after its
// first 200 rows; the rows after the pause are all kept, none left behind.
TEST(ReplyReaderFaults, PausedRepliesAskOnceAndKeepEveryRow) {
    for (int rows : {450, 1000}) {
        SCOPED_TRACE(rows);
        WirePair wire;
        BoundSet set(wire);
        wire.feed_async(WireBuilder().raw(one_int_column(rows)).tag('K').tag('U').i32(3).tag('K'));
        Result* result = nullptr;
        EXPECT_EQ(recv_noQuery_OP(wire.conn(), &result), rows - 200);
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(result->row_count, rows);
        RhRow** last = nthR(result, rows - 1);
        ASSERT_NE(last, nullptr);
        int length = 0;
        int32_t value = 0;
        memcpy(&value, getData(*last, result->columns, 0, &length), sizeof value);
        EXPECT_EQ(value, rows);
        free_Result(result);
        wire.wait_fed();
        EXPECT_EQ(wire.sent(), Bytes{'.'});
        EXPECT_EQ(recv_noQuery(wire.conn()), 3);
    }
}

// A server that goes silent fails the call after one receive time-out: a
// reply that arrives after one time-out but before three is not read.
TEST(ReplyReaderFaults, SilentServerCostsOneReceiveTimeOut) {
    ScriptedPeer peer;
    void* handle = nullptr;
    ASSERT_EQ(KVC_OpenConn(peer.conn_str("DB=D;USER=U;PWD=P;RECV TIMEOUT=1;CONNECT_TIMEOUT=2").c_str(), &handle), 2);
    Conn_Attrs* conn = static_cast<Conn_Attrs*>(handle);
    EXPECT_EQ(conn->recv_timeout, 1);
    EXPECT_EQ(conn->connect_timeout, 2);
    int status = 0;
    testing::internal::CaptureStdout();
    // The peer answers only once a command arrives, so it is silent until then.
    std::thread call([&] {
        ConnLockGuard lock(conn);
        status = recv_noQuery(conn);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    const Bytes late = command_message("select 1");
    (void)send(conn->sock_fd, late.data(), late.size(), MSG_NOSIGNAL);
    call.join();
    EXPECT_EQ(status, -4);
    EXPECT_EQ(conn->stream_failed, 1);
    EXPECT_EQ(KVC_Execute_no_query(&handle, "next"), -4);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(KVC_CloseConn(&handle), 0);
}

// ---- every allocation of every request fails once --------------------------------

// One request on an open connection: what the caller prepares beforehand
// (not counted), the request itself, and the release of what it got.
struct Scenario {
    const char* name;
    Bytes reply;
    std::function<int(void** conn)> request;
    // A batch whose block buffer cannot be had sends its rows one by one
    // and succeeds: for it a failed allocation may still give success.
    bool may_absorb = false;
};

Bytes every_type_reply() {
    WireBuilder b;
    columns(b, {{"b", 2}, {"t.i1", 3}, {"i2", 4}, {"i4%a", 5}, {"i8", 6}, {"r4", 8}, {"r8", 9},
                {"d", 10}, {"tm", 11}, {"dt", 13}, {"s", 30}, {"dec", 7}, {"lob", 31}, {"z", 5}});
    for (int row = 0; row < 3; ++row) {
        b.tag('R').i32(1).tag('T').i32(1).i8(7).i32(2).i16(-2).i32(4).i32(row).i32(8).i64(-7);
        b.i32(4).r4(1.5f).i32(8).r8(2.25).i32(4).i32(11016).i32(4).i32(3723004).i32(8).i64(1600000000123);
        b.str("cabc").str("-12.50").str("c" + std::string(70, 'x')).i32(row == 1 ? -1 : 0);
        b.tag('W').str("between rows");
    }
    return b.tag('I').str("id-1").tag('U').i32(2).tag('K');
}

// Reads every value of every result as text; a conversion that ran out of
// memory makes the request's status -5.
int fetch_all(void** conn, const char* sql) {
    void* result = nullptr;
    int status = KVC_ExecwithDataReader(conn, sql, &result, nullptr, nullptr, nullptr);
    while (result != nullptr) {
        char text[128];
        int length = 0;
        while (KVC_ReadNext(&result) == 0)
            for (int col = 1; col <= 14; ++col)
                if (KVC_GetData(&result, col, 2, text, sizeof text, &length) == -5) status = -5;
        if (KVC_NextResult(&result) != 0) KVC_FreeRowset(&result);
    }
    return status;
}

// Output slots bound before the request, released after it.
struct OutputSlots {
    void* set = nullptr;
    char out[16];
    double ret = 0;
    int lengths[2] = {0, 0};
    explicit OutputSlots(void** conn) {
        KVC_CreateParams(&set);
        KVC_BindParamByPos(&set, 1, 2, 2, out, sizeof out, &lengths[0]);
        KVC_BindParamByPos(&set, 2, 6, 9, &ret, sizeof ret, &lengths[1]);
        KVC_BindParams2Conn(conn, &set);
    }
    void release(void** conn) {
        static_cast<Conn_Attrs*>(*conn)->bound_params = nullptr;
        KVC_Drop(&set);
    }
};

std::vector<Scenario> scenarios() {
    WireBuilder prepared;
    columns(prepared, {{"a", 5}, {"b", 30}});
    prepared.tag('$').i32(2).str("p1").i32(1).i32(5).i32(4).str("p2").i32(2).i32(30).i32(64).tag('K');
    WireBuilder lob_column;
    columns(lob_column, {{"lob", 31}});
    lob_column.tag('R').str("CABCDEFGHIJKLM_64").tag('K');
    WireBuilder lob_reply;
    columns(lob_reply, {{"lob", 31}});
    lob_reply.tag('R').i32(1).str("0123456789").i32(0).tag('K');
    return {
        {"statement with every type", every_type_reply(), [](void** c) { return fetch_all(c, "select *"); }},
        {"prepare", prepared,
         [](void** c) {
             const int status = KVC_Prepare(c, const_cast<char*>("select ?"));
             disarm();
             KVC_ResetParams(c);   // the next request binds nothing
             return status;
         }},
        {"procedure with output values",
         WireBuilder().tag('O').i32(9).i32(8).r8(4.5).tag('P').i32(0).i32(5).i32(4).i32(42)
             .tag('W').str("w").raw(one_int_column(3)).tag('K'),
         [](void** c) {
             disarm();
             OutputSlots slots(c);
             void* result = nullptr;
             arm();
             const int status = KVC_Execute_procesure(c, "call p(?)", &result);
             disarm();
             KVC_FreeRowset(&result);
             slots.release(c);
             return status;
         }},
        {"batch", WireBuilder().tag('U').i32(3).tag('K'),
         [](void** c) {
             disarm();
             int32_t values[3] = {1, 2, 3};
             int32_t lengths[3] = {4, 4, 4};
             KVC_BindParamArrayByPos(c, 1, 1, 1, 5, 3, values, sizeof values, lengths);
             arm();
             const int status = KVC_ExecBatch(c, "insert into t values (?)", 3);
             disarm();
             KVC_ResetParams(c);
             return status;
         },
         true},
        {"single value past 200 rows", WireBuilder().raw(one_int_column(250)).tag('K'),
         [](void** c) {
             char value[64];
             int type = 0;
             return KVC_Execute_query_with_one(c, "select n", value, &type);
         }},
        {"cursor fetch", WireBuilder().tag('W').str("w").raw(one_int_column(30)).tag('K'),
         [](void** c) {
             void* result = nullptr;
             const int status = KVC_FetchServerCursorRowset(c, "c1", &result);
             KVC_FreeRowset(&result);
             return status;
         }},
        {"LOB fetch", joined({lob_column, lob_reply}),
         [](void** c) {
             disarm();
             void* result = nullptr;
             void* lob = nullptr;
             KVC_Create_Lob(&lob);
             static_cast<Conn_Attrs*>(*c)->lob_ret_descriptor = 1;
             arm();
             int status = KVC_ExecwithDataReader(c, "select lob", &result, nullptr, nullptr, nullptr);
             int length = 0;
             if (status >= 0 && KVC_ReadNext(&result) == 0) status = KVC_GetData(&result, 1, 41, &lob, sizeof lob, &length);
             disarm();
             KVC_Distroy_Lob(&lob);
             KVC_FreeRowset(&result);
             return status;
         }},
    };
}

// Whether the N-th allocation happened, and what the request returned.
struct Attempt {
    bool failed_allocation;
    int status;
};

Attempt attempt(long n, const std::function<int()>& request) {
    testing::internal::CaptureStdout();   // the readers' diagnostics
    g_armed_at = n;
    g_disarmed = false;
    arm();
    const int status = request();
    if (!g_disarmed) disarm();
    testing::internal::GetCapturedStdout();
    return {g_failure_happened, status};
}

// For N = 1, 2, ...: the N-th allocation of the request fails. The request
// reports a failure, and the next request on the connection reads its own
// reply or finds the connection failed; until the request makes fewer than
// N allocations and succeeds. Leaks show under the sanitizer build.
TEST(AllocationFailure, EveryAllocationOfEveryRequest) {
    for (const Scenario& s : scenarios()) {
        SCOPED_TRACE(s.name);
        int runs = 0;
        for (long n = 1;; ++n) {
            WirePair wire;
            wire.feed_async(joined({s.reply, WireBuilder().tag('U').i32(4242).tag('K')}));
            const Attempt a = attempt(n, [&] { return s.request(wire.handle()); });
            if (!a.failed_allocation) {
                EXPECT_GE(a.status, 0) << "run " << n;
                break;
            }
            ++runs;
            if (!s.may_absorb) {
                EXPECT_LT(a.status, 0) << "allocation " << n;
            }
            if (wire.sent().empty()) continue;   // refused before it was sent: no reply to follow
            testing::internal::CaptureStdout();
            const int next = KVC_Execute_no_query(wire.handle(), "next");
            testing::internal::GetCapturedStdout();
            EXPECT_TRUE(next == 4242 || next == -4) << "allocation " << n << ": " << next;
            wire.wait_fed();
        }
        EXPECT_GT(runs, 1);
    }
    for (bool encrypted : {false, true}) {
        SCOPED_TRACE(encrypted ? "encrypted open" : "plain open");
        for (long n = 1;; ++n) {
            ScriptedPeer peer;
            void* handle = nullptr;
            const std::string text = peer.conn_str(encrypted ? "DB=D;USER=U;PWD=P;USE_SSL=on" : "DB=D;USER=U;PWD=P");
            const Attempt a = attempt(n, [&] { return KVC_OpenConn(text.c_str(), &handle); });
            if (!a.failed_allocation) {
                EXPECT_EQ(a.status, 2);
                KVC_CloseConn(&handle);
                break;
            }
            EXPECT_LT(a.status, 0) << "allocation " << n;
            if (handle != nullptr) KVC_CloseConn(&handle);
        }
    }
}

}  // namespace
