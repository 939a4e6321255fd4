// Which database a login reaches: one file, one shared in-memory database,
// or one file per login name under a data folder.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "raw_peer.h"

using namespace kvcd_test;

TEST(DatabaseSelection, DataFolderGivesEachLoginNameItsOwnDatabase) {
    char tmpl[] = "/tmp/kvcd-data-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    auto login_to = [](const std::string& database) {
        return "login database = " + database + " user='U' password='P' auto_commit = 'on' version = '301'";
    };
    {
        Server s({"--data-dir", dir});
        Client sales(s.port()), hr(s.port()), sales_again(s.port()), bad(s.port());
        ASSERT_EQ(sales.login_plain(login_to("sales"))[0], 'N');
        ASSERT_EQ(hr.login_plain(login_to("hr"))[0], 'N');
        ASSERT_EQ(sales_again.login_plain(login_to("sales"))[0], 'N');
        ASSERT_EQ(tags(sales.exec("CREATE TABLE orders(id)")), "UK");
        EXPECT_EQ(tags(hr.exec("SELECT * FROM orders")), "EK");
        EXPECT_EQ(tags(sales_again.exec("SELECT * FROM orders")), "AK");
        struct stat sb;
        EXPECT_EQ(stat((dir + "/sales.db").c_str(), &sb), 0);
        const std::string answer = bad.login_plain(login_to("../etc/passwd"));
        ASSERT_EQ(answer[0], 'E');
        EXPECT_NE(answer.find("not valid"), std::string::npos);
    }
    EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
}

TEST(DatabaseSelection, MemoryDatabaseIsSharedByAllConnections) {
    Server s({"--db", ":memory:"});
    Client a(s.port()), b(s.port());
    ASSERT_EQ(a.login_plain(login_text())[0], 'N');
    ASSERT_EQ(b.login_plain(login_text())[0], 'N');
    a.exec("CREATE TABLE t(v); INSERT INTO t VALUES (7)");
    auto r = b.exec("SELECT v FROM t");
    ASSERT_EQ(tags(r), "AK");
    EXPECT_EQ(get64(*r[0].rows[0][0]), 7);
}

TEST(DatabaseSelection, IdleServerStopsByItself) {
    Server s({"--idle-exit", "1"});
    ASSERT_EQ(Client(s.port()).login_plain(login_text())[0], 'N');
    EXPECT_TRUE(s.exits_within(5000));
}
