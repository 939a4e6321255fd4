// What one client can do to the others: silent and idle connections, runaway
// statements, and how kvcd refuses to start unsafely.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "raw_peer.h"

using namespace kvcd_test;

namespace {

const char kRunaway[] = "WITH RECURSIVE r(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM r) SELECT count(*) FROM r";

std::string login_with(const std::string& settings) {
    return "login database = D user='U' password='P' " + settings + " version = '301'";
}

// Exit status of a kvcd started (after `shell_setup`) with these arguments
// that either refuses to start or stops after a second without clients; its
// log goes to log_path.
int start_status(const std::string& args, const std::string& log_path = "/dev/null",
                 const std::string& shell_setup = "") {
    const std::string line = shell_setup + " exec " + KVCD_PATH + " --port 0 --idle-exit 1 " + args + " >/dev/null 2>" +
                             log_path;
    int rc = std::system(line.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(IsolationLimits, SilentConnectionsDoNotKeepOutALogin) {
    Server server({"--max-pending-logins", "4"});
    std::vector<std::unique_ptr<Client>> silent;
    for (int k = 0; k < 12; ++k) silent.push_back(std::make_unique<Client>(server.port()));
    Client c(server.port());
    ASSERT_EQ(c.login_plain(login_text())[0], 'N');
    EXPECT_EQ(tags(c.exec("SELECT 1")), "AK");
    // The longest-waiting silent ones were cut off to make room.
    EXPECT_TRUE(silent.front()->closed_by_peer(2000));
}

TEST(IsolationLimits, IdleSessionsAreClosed) {
    Server server({"--idle-timeout", "1"});
    Client idle(server.port());
    ASSERT_EQ(idle.login_plain(login_text())[0], 'N');
    EXPECT_TRUE(idle.closed_by_peer(4000));
}

TEST(IsolationLimits, StatementTimeOutStopsARunawayStatement) {
    Server server({"--statement-timeout", "1"});
    Client c(server.port());
    ASSERT_EQ(c.login_plain(login_text())[0], 'N');
    auto r = c.exec(kRunaway);
    ASSERT_EQ(tags(r), "EK");
    EXPECT_NE(r[0].text.find("statement time-out of 1 s"), std::string::npos) << r[0].text;
    EXPECT_EQ(tags(c.exec("SELECT 1")), "AK");
}

// A client that leaves in the middle of a runaway statement inside its write
// transaction frees the lock: another writer gets it within its own wait.
TEST(IsolationLimits, StatementOfADisconnectedClientStops) {
    Server server;
    Client writer(server.port());
    ASSERT_EQ(writer.login_plain(login_with("lock_timeout = 10"))[0], 'N');
    ASSERT_EQ(tags(writer.exec("CREATE TABLE t(a)")), "UK");
    {
        Client leaving(server.port());
        ASSERT_EQ(leaving.login_plain(login_text())[0], 'N');
        ASSERT_EQ(tags(leaving.exec("BEGIN IMMEDIATE")), "UK");
        leaving.send_raw(command(kRunaway));
    }
    auto r = writer.exec("INSERT INTO t VALUES (1)");
    EXPECT_EQ(tags(r), "IK") << (r.empty() ? "" : r[0].text);
}

TEST(IsolationLimits, UnsafeOrImpossibleStartsAreRefused) {
    char dir_template[] = "/tmp/kvcd-start-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    const struct { std::string args; int status; } cases[] = {
        {"--listen 0.0.0.0 --db " + dir + "/a.db", 2},                // nobody named, network-wide
        {"--db " + dir, 1},                                           // a folder
        {"--db " + dir + "/missing/a.db", 1},                         // no such folder
        {"--listen 0.0.0.0 --allow-anyone --db " + dir + "/a.db", 0},  // meant: runs until idle
    };
    for (const auto& k : cases) EXPECT_EQ(start_status(k.args), k.status) << k.args;
    struct stat sb;
    ASSERT_EQ(stat((dir + "/a.db").c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0600u);
    // 256 descriptors cannot serve 1024 sessions of three each: the limit is
    // lowered, and said so.
    EXPECT_EQ(start_status("--db " + dir + "/a.db", dir + "/log", "ulimit -n 256;"), 0);
    EXPECT_NE(read_file(dir + "/log").find("descriptor limit 256: at most 42 sessions"), std::string::npos)
        << read_file(dir + "/log");
    EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
}
