// The exported open, reconnect and close functions, and the address-list
// open with its failover rules, against the scripted peer. Addresses other
// than 127.0.0.1 (127.0.0.2, 127.0.0.3) reach nothing: the peer listens on
// 127.0.0.1 only, so connecting to them is refused at once.
#include "kvc.h"
#include "kvc_inner.h"
#include "kvc_params.h"
#include "kvc_rowset.h"
#include "support/scripted_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <string>
#include <vector>

namespace {

std::string ips_str(const ScriptedPeer& peer, const std::string& list) {
    return "IPS=" + list + ";PORT=" + std::to_string(peer.port()) + ";DB=D;USER=U;PWD=P";
}

// A working list as KVC_OpenConn_Ips would have left it.
void* working_list(const std::vector<std::string>& addresses) {
    Ips_Artrs* list = static_cast<Ips_Artrs*>(hr_malloc0(sizeof(Ips_Artrs)));
    list->addr_count = list->live_count = list->addr_slots = static_cast<int32_t>(addresses.size());
    list->addrs = static_cast<char**>(hr_malloc0(sizeof(char*) * addresses.size()));
    list->failed_addrs = static_cast<char**>(hr_malloc0(sizeof(char*) * (addresses.size() + 1)));
    for (size_t i = 0; i < addresses.size(); ++i) list->addrs[i] = strdup(addresses[i].c_str());
    return list;
}

Ips_Artrs* as_list(void* handle) { return static_cast<Ips_Artrs*>(handle); }
Conn_Attrs* as_conn(void* handle) { return static_cast<Conn_Attrs*>(handle); }
int int_option(int fd, int level, int name) {
    int value = -1;
    socklen_t size = sizeof value;
    return getsockopt(fd, level, name, &value, &size) == 0 ? value : -1;
}

std::string error_of(void* handle) {
    const char* text = handle != nullptr ? as_conn(handle)->error_text : nullptr;
    return text != nullptr ? text : "";
}

TEST(OpenConn, SingleServer) {
    ScriptedPeer peer;
    void* conn = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(KVC_OpenConn(nullptr, &conn), -1);
    EXPECT_EQ(conn, reinterpret_cast<void*>(0x1));   // no handle made

    conn = nullptr;
    ASSERT_EQ(KVC_OpenConn(peer.conn_str("DB=D;USER=U;PWD=P;LOCK_TIMEOUT=20").c_str(), &conn), 2);
    EXPECT_EQ(as_conn(conn)->handle_kind, 1);
    EXPECT_EQ(as_conn(conn)->lock_timeout, 20);
    EXPECT_EQ(as_conn(conn)->recv_timeout, 1800);
    EXPECT_EQ(as_conn(conn)->lock_ready, 1);
    // The socket as the connect left it: options on, the receive time-out, and
    // a close that resets at once.
    const int fd = as_conn(conn)->sock_fd;
    EXPECT_EQ(int_option(fd, SOL_SOCKET, SO_REUSEADDR), 1);
    EXPECT_EQ(int_option(fd, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(int_option(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    timeval timeout{};
    socklen_t timeout_size = sizeof timeout;
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, &timeout_size), 0);
    EXPECT_EQ(timeout.tv_sec, 1800);
    EXPECT_EQ(timeout.tv_usec, 0);
    linger lingering{};
    socklen_t linger_size = sizeof lingering;
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_LINGER, &lingering, &linger_size), 0);
    EXPECT_EQ(lingering.l_onoff, 1);
    EXPECT_EQ(lingering.l_linger, 0);
    EXPECT_EQ(KVC_CloseConn(&conn), 0);
    EXPECT_EQ(conn, nullptr);
    EXPECT_EQ(KVC_CloseConn(&conn), -1);

    // Nothing listens on 127.0.0.2: the handle is made all the same.
    ASSERT_EQ(KVC_OpenConn(("IP=127.0.0.2;PORT=" + std::to_string(peer.port()) + ";DB=D").c_str(), &conn), -8);
    EXPECT_EQ(error_of(conn), "[EC011]Error in build-connect Sock Failure");
    EXPECT_EQ(as_conn(conn)->lock_ready, 1);
    EXPECT_EQ(KVC_CloseConn(&conn), 0);

    // A host name is not resolved.
    ASSERT_EQ(KVC_OpenConn(("IP=localhost;PORT=" + std::to_string(peer.port()) + ";DB=D").c_str(), &conn), -8);
    EXPECT_EQ(KVC_CloseConn(&conn), 0);

    peer.set_welcome(ScriptedPeer::Welcome::RefuseLogin);
    ASSERT_EQ(KVC_OpenConn(peer.conn_str("DB=D").c_str(), &conn), -9);
    EXPECT_EQ(error_of(conn), "[EC012]Error in build-database-connect LOGIN database Failure");
    EXPECT_EQ(KVC_CloseConn(&conn), 0);
}

TEST(OpenConn, HandleChecks) {
    int32_t not_a_connection[4] = {KVC_HANDLE_PARAMS, 0, 0, 0};
    void* handle = not_a_connection;
    EXPECT_EQ(KVC_ReconnectConn(&handle), -3);
    EXPECT_EQ(KVC_CloseConn(&handle), -3);
    EXPECT_EQ(handle, static_cast<void*>(not_a_connection));
    void* none = nullptr;
    EXPECT_EQ(KVC_ReconnectConn(&none), -3);
    EXPECT_EQ(KVC_ReconnectConn(nullptr), -3);
    EXPECT_EQ(KVC_CloseConn(nullptr), -1);
    EXPECT_EQ(Release_IpsAttrs(&none), -1);
    EXPECT_EQ(Release_IpsAttrs(nullptr), -1);
}

TEST(OpenConnIps, FirstOpenBuildsListAndConnects) {
    ScriptedPeer peer;
    void* ips = nullptr;
    void* conn = nullptr;
    EXPECT_EQ(KVC_OpenConn_Ips(nullptr, 0, &ips, &conn), -3);
    EXPECT_EQ(conn, nullptr);

    // A LOCK_TIMEOUT item has no effect on this kind of open.
    ASSERT_EQ(KVC_OpenConn_Ips((ips_str(peer, "127.0.0.1,127.0.0.1") + ";LOCK_TIMEOUT=9").c_str(), 0, &ips, &conn), 0);
    EXPECT_NE(peer.session(0).login_text.find(" lock_timeout = 300 "), std::string::npos);
    ASSERT_NE(ips, nullptr);
    EXPECT_EQ(as_list(ips)->addr_count, 2);
    EXPECT_EQ(as_list(ips)->live_count, 2);
    EXPECT_STREQ(as_conn(conn)->server_ip, "127.0.0.1");
    EXPECT_EQ(as_conn(conn)->lock_ready, 1);
    EXPECT_EQ(as_conn(conn)->has_ips, 1);
    EXPECT_EQ(KVC_CloseConn(&conn), 0);   // the string's own list goes with it
    EXPECT_NE(ips, nullptr);              // the working list is the caller's
    EXPECT_EQ(as_list(ips)->addr_count, 2);
    EXPECT_EQ(Release_IpsAttrs(&ips), 0);
    EXPECT_EQ(ips, nullptr);
}

TEST(OpenConnIps, UnreachableAddressLeavesTheRotation) {
    ScriptedPeer peer;
    void* ips = working_list({"127.0.0.1", "127.0.0.2", "127.0.0.1"});
    void* conn = nullptr;
    srand(7);
    const int expected_draw = rand();
    srand(7);
    // seq 4 picks index 1 (unreachable); the retry picks (4 + 3) % 2 = 1 again,
    // now holding the address moved in from the last live slot.
    ASSERT_EQ(KVC_OpenConn_Ips(ips_str(peer, "127.0.0.9").c_str(), 4, &ips, &conn), 0) << error_of(conn);
    EXPECT_EQ(rand(), expected_draw);   // an existing list draws no random number
    Ips_Artrs* list = as_list(ips);
    EXPECT_EQ(list->live_count, 2);
    EXPECT_STREQ(list->failed_addrs[0], "127.0.0.2");
    EXPECT_STREQ(list->addrs[0], "127.0.0.1");
    EXPECT_STREQ(list->addrs[1], "127.0.0.1");
    EXPECT_EQ(list->addrs[2], nullptr);
    EXPECT_EQ(list->current_index, 1);
    EXPECT_EQ(error_of(conn), "");
    EXPECT_EQ(peer.connection_count(), 1);
    EXPECT_EQ(KVC_CloseConn(&conn), 0);
    EXPECT_EQ(Release_IpsAttrs(&ips), 0);
}

TEST(OpenConnIps, ExistingListIndexFromSeq) {
    ScriptedPeer peer;
    void* ips = working_list({"127.0.0.2", "127.0.0.1", "127.0.0.3", "127.0.0.2"});
    void* conn = nullptr;
    ASSERT_EQ(KVC_OpenConn_Ips(ips_str(peer, "127.0.0.9").c_str(), 5, &ips, &conn), 0);
    EXPECT_EQ(as_list(ips)->current_index, 1);
    EXPECT_EQ(as_list(ips)->live_count, 4);
    EXPECT_EQ(KVC_CloseConn(&conn), 0);
    EXPECT_EQ(Release_IpsAttrs(&ips), 0);
}

TEST(OpenConnIps, EveryAddressFails) {
    ScriptedPeer peer;
    void* ips = nullptr;
    void* conn = nullptr;
    ASSERT_EQ(KVC_OpenConn_Ips(ips_str(peer, "127.0.0.2,127.0.0.3,127.0.0.4").c_str(), 0, &ips, &conn), -8);
    EXPECT_EQ(error_of(conn), "[EC013]Error IPS Connect database Failed,sock build failure!\n");
    Ips_Artrs* list = as_list(ips);
    ASSERT_NE(list, nullptr);
    // Three attempts: two addresses retired, the last one kept.
    EXPECT_EQ(list->live_count, 1);
    ASSERT_NE(list->failed_addrs[0], nullptr);
    ASSERT_NE(list->failed_addrs[1], nullptr);
    EXPECT_EQ(list->failed_addrs[2], nullptr);
    std::vector<std::string> seen = {list->failed_addrs[0], list->failed_addrs[1], list->addrs[0]};
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"127.0.0.2", "127.0.0.3", "127.0.0.4"}));
    EXPECT_EQ(as_conn(conn)->lock_ready, 0);   // only a successful open makes the lock
    EXPECT_EQ(KVC_CloseConn(&conn), 0);

    // The exhausted list, reused, gives up after its single address.
    ASSERT_EQ(KVC_OpenConn_Ips(ips_str(peer, "127.0.0.1").c_str(), 2, &ips, &conn), -8);
    EXPECT_EQ(KVC_CloseConn(&conn), 0);

    // seq -1 replaces it with a fresh list from the string.
    ASSERT_EQ(KVC_OpenConn_Ips(ips_str(peer, "127.0.0.1").c_str(), -1, &ips, &conn), 0);
    EXPECT_EQ(as_list(ips)->addr_count, 1);
    EXPECT_EQ(as_list(ips)->live_count, 1);
    EXPECT_STREQ(as_list(ips)->addrs[0], "127.0.0.1");
    EXPECT_EQ(KVC_CloseConn(&conn), 0);
    EXPECT_EQ(Release_IpsAttrs(&ips), 0);
}

TEST(OpenConnIps, WithoutListOrWithRefusedLogin) {
    ScriptedPeer peer;
    void* ips = nullptr;
    void* conn = nullptr;
    EXPECT_EQ(KVC_OpenConn_Ips(peer.conn_str("DB=D").c_str(), 0, &ips, &conn), -3);
    EXPECT_EQ(error_of(conn).rfind("[EC015]", 0), 0u);
    EXPECT_EQ(ips, nullptr);
    EXPECT_EQ(KVC_CloseConn(&conn), 0);

    peer.set_welcome(ScriptedPeer::Welcome::RefuseLogin);
    ASSERT_EQ(KVC_OpenConn_Ips(ips_str(peer, "127.0.0.1,127.0.0.1").c_str(), 0, &ips, &conn), -9);
    EXPECT_EQ(error_of(conn), "[EC014]IPS LOGIN database Failure,IP is 127.0.0.1  \n");
    EXPECT_EQ(as_list(ips)->live_count, 2);   // a refused login does not retire the address
    EXPECT_EQ(peer.connection_count(), 1);
    EXPECT_EQ(KVC_CloseConn(&conn), 0);
    EXPECT_EQ(Release_IpsAttrs(&ips), 0);
}

// The seed of the last working list built: the one whose second draw is the next rand().
unsigned last_seed(unsigned from) {
    const int next = rand();
    for (unsigned seed = from; seed < from + 100000; ++seed) {
        srand(seed);
        rand();
        if (rand() == next) return seed;
    }
    return 0;
}

TEST(OpenConnIps, EveryNewListIsSeededFromTheTimeAndTheNextCount) {
    ScriptedPeer peer;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const unsigned now = static_cast<unsigned>(time(nullptr));
        void* ips = nullptr;
        void* conn = nullptr;
        ASSERT_EQ(KVC_OpenConn_Ips(ips_str(peer, "127.0.0.1").c_str(), 0, &ips, &conn), 0);
        const unsigned first = last_seed(now);
        KVC_CloseConn(&conn);
        Release_IpsAttrs(&ips);
        // seq -2: after the first failure seq is 1, so the retry builds a second list.
        EXPECT_EQ(KVC_OpenConn_Ips(ips_str(peer, "127.0.0.2,127.0.0.3").c_str(), -2, &ips, &conn), -8);
        const unsigned second = last_seed(now);
        KVC_CloseConn(&conn);
        Release_IpsAttrs(&ips);
        if (static_cast<unsigned>(time(nullptr)) != now) continue;   // the clock moved on
        EXPECT_GT(first, now);
        EXPECT_EQ(second, first + 2);
        return;
    }
}

}  // namespace

namespace {

bool peer_saw_close(const ScriptedPeer::Session& s) { return s.closed; }

TEST(CloseConn, ReleasesServerStatementAndOwnedRecords) {
    ScriptedPeer peer;
    void* conn = nullptr;
    ASSERT_EQ(KVC_OpenConn(peer.conn_str("DB=D;USER=U;PWD=P;USE_SSL=on").c_str(), &conn), 2);
    as_conn(conn)->has_prepared = 1;
    strcpy(as_conn(conn)->prepared_name, "STC7");
    void* callers_set = nullptr;
    ASSERT_EQ(KVC_CreateParams(&callers_set), 0);
    ASSERT_EQ(KVC_BindParams2Conn(&conn, &callers_set), 0);
    as_conn(conn)->current_result = new_result(as_conn(conn), RESULT_ROWS);

    EXPECT_EQ(KVC_CloseConn(&conn), 0);
    EXPECT_EQ(conn, nullptr);
    ASSERT_TRUE(peer.wait_session(0, peer_saw_close));
    EXPECT_EQ(peer.session(0).commands, std::vector<std::string>{"DEALLOCATE STC7 "});
    // The caller's set outlives the connection and is still the caller's to drop.
    EXPECT_EQ(*static_cast<int32_t*>(callers_set), KVC_HANDLE_PARAMS);
    EXPECT_EQ(KVC_Drop(&callers_set), 0);
}

TEST(CloseConn, FailedOpenNeedsNoExchange) {
    ScriptedPeer peer;
    peer.set_welcome(ScriptedPeer::Welcome::RefuseLogin);
    void* conn = nullptr;
    ASSERT_EQ(KVC_OpenConn(peer.conn_str("DB=D").c_str(), &conn), -9);
    // A library-made set goes with the connection.
    as_conn(conn)->bound_params = new_param_set(PARAMS_IMPLICIT);
    EXPECT_EQ(KVC_CloseConn(&conn), 0);
    EXPECT_EQ(conn, nullptr);
    ASSERT_TRUE(peer.wait_session(0, peer_saw_close));
    EXPECT_TRUE(peer.session(0).commands.empty());
}

}  // namespace
