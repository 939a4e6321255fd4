// A client that breaks the protocol loses its own connection and nobody
// else's; the server keeps serving, and serves many clients at once.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <thread>

#include "raw_peer.h"

using namespace kvcd_test;

namespace {

bool serves(int port) {
    Client c(port);
    return c.login_plain(login_text())[0] == 'N' && tags(c.exec("SELECT 1")) == "AK";
}

}  // namespace

TEST(Robustness, BrokenClientsAreDroppedAndOthersKeepWorking) {
    Server server({"--max-command-bytes", "4096", "--max-value-bytes", "65536", "--max-block-bytes", "65536"});
    Client bystander(server.port());
    ASSERT_EQ(bystander.login_plain(login_text())[0], 'N');
    bystander.exec("CREATE TABLE t(a)");
    const std::string batch_head = param("", 1, 5, be32(1));
    const struct { const char* what; std::string bytes; } cases[] = {
        {"unknown message tag", "Z"},
        {"command length above the limit", "?" + be32(5000)},
        {"negative command length", "?" + be32(-1)},
        {"text without its zero byte", "?" + be32(3) + "abcX" + be32(0)},
        {"parameter count above 4000", command("SELECT ?", 4001)},
        {"negative value length", command("SELECT ?", 1, be16(0) + be16(1) + be16(30) + be32(-5))},
        {"value above the limit", command("SELECT ?", 1, be16(0) + be16(1) + be16(30) + be32(1 << 20))},
        {"name length out of range", command("SELECT ?", 1, be16(-3))},
        {"batch block above the limit", command("INSERT INTO t VALUES (?)", 1 + (2u << 16), batch_head + be32(1 << 20))},
        {"batch row crossing its block",
         command("INSERT INTO t VALUES (?)", 1 + (2u << 16), batch_head + be32(3) + std::string("\x05\0\0", 3))},
        {"more rows than announced",
         command("INSERT INTO t VALUES (?)", 1 + (2u << 16),
                 batch_head + be32(18) + "\x05" + be32(4) + be32(2) + "\x05" + be32(4) + be32(3))},
    };
    for (const auto& k : cases) {
        Client c(server.port());
        ASSERT_EQ(c.login_plain(login_text())[0], 'N');
        c.send_raw(k.bytes);
        EXPECT_TRUE(c.closed_by_peer()) << k.what;
        EXPECT_EQ(tags(bystander.exec("SELECT count(*) FROM t")), "AK") << k.what;
    }
    // Nothing of the refused batches reached the table.
    EXPECT_EQ(get64(*bystander.exec("SELECT count(*) FROM t")[0].rows[0][0]), 0);
}

TEST(Robustness, DisconnectsInTheMiddleOfMessagesLeaveTheServerServing) {
    Server server;
    const std::string whole = command("INSERT INTO t VALUES (?)", 1, param("", 1, 30, std::string(1000, 'x')));
    for (size_t cut : {size_t(1), size_t(3), size_t(12), whole.size() / 2, whole.size() - 1}) {
        Client c(server.port());
        ASSERT_EQ(c.login_plain(login_text())[0], 'N');
        c.send_raw(whole.substr(0, cut));
    }
    Client(server.port()).send_raw("login database = D user='U'");  // login broken off
    {
        Client c(server.port());
        c.send_raw("~ssl~");
        c.recv_exact(64);
        c.send_raw(std::string(40, '\0'));  // encrypted login broken off
    }
    EXPECT_TRUE(serves(server.port()));
}

TEST(Robustness, StalledMessageIsDroppedAfterTheStallTime) {
    Server server({"--stall-seconds", "1"});
    Client c(server.port());
    ASSERT_EQ(c.login_plain(login_text())[0], 'N');
    c.send_raw("?" + be32(10) + "SEL");
    EXPECT_TRUE(c.closed_by_peer(4000));
    EXPECT_TRUE(serves(server.port()));
}

// One byte every 100 ms would need far more than the second the login may take.
TEST(Robustness, LoginDrippedByteByByteIsCutAtTheLoginLimit) {
    Server server({"--login-seconds", "1"});
    Client c(server.port());
    const std::string text = login_text();
    bool closed = false;
    for (size_t k = 0; k < text.size() && !closed; ++k) {
        try {
            c.send_raw(text.substr(k, 1));
        } catch (const std::exception&) {
            closed = true;
        }
        closed = closed || c.closed_by_peer(100);
    }
    EXPECT_TRUE(closed);
}

// All connections are open at once; each works from its own thread.
TEST(Robustness, TwoHundredTenConcurrentConnections) {
    Server server;
    constexpr int kClients = 210;
    std::vector<std::unique_ptr<Client>> clients;
    for (int k = 0; k < kClients; ++k) {
        clients.push_back(std::make_unique<Client>(server.port()));
        ASSERT_EQ(clients.back()->login_plain(login_text())[0], 'N') << k;
    }
    clients[0]->exec("CREATE TABLE hits(worker INTEGER)");
    std::vector<std::thread> threads;
    std::vector<int> ok(kClients, 0);
    for (int k = 0; k < kClients; ++k)
        threads.emplace_back([&, k] {
            try {
                ok[size_t(k)] = tags(clients[size_t(k)]->exec("INSERT INTO hits VALUES (" + std::to_string(k) + ")")) == "IK";
            } catch (...) {
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(std::count(ok.begin(), ok.end(), 1), kClients);
    EXPECT_EQ(get64(*clients[0]->exec("SELECT count(DISTINCT worker) FROM hits")[0].rows[0][0]), kClients);
}

TEST(Robustness, SigtermStopsTheServerCleanlyWithClientsConnected) {
    Server server;
    Client c(server.port());
    ASSERT_EQ(c.login_plain(login_text())[0], 'N');
    const int status = server.stop();
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(c.closed_by_peer());
}
