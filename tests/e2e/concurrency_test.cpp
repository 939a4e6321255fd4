// Twenty library connections on twenty threads insert and read at once.
#include <atomic>
#include <thread>
#include <vector>

#include "e2e_support.h"

using namespace kvcd_e2e;
using kvcd_test::Server;

TEST(Concurrency, TwentyThreadsInsertAndReadOnTheirOwnConnections) {
    Server server;
    {
        Connection setup(conn_string(server.port()));
        ASSERT_EQ(setup.status(), 2);
        setup.run("CREATE TABLE hits(worker INTEGER, n INTEGER)");
    }
    constexpr int kThreads = 20, kInserts = 100;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < kThreads; ++w)
        threads.emplace_back([&, w] {
            Connection c(conn_string(server.port()));
            if (c.status() != 2) {
                ++failures;
                return;
            }
            for (int n = 1; n <= kInserts; ++n) {
                std::string sql = "INSERT INTO hits VALUES (" + std::to_string(w) + ", " + std::to_string(n) + ")";
                if (KVC_Execute_no_query(c.handle(), sql.c_str()) != 1) ++failures;
                // Each reader sees at least its own rows so far.
                char value[64] = {0};
                int type = 0;
                std::string count = "SELECT count(*) FROM hits WHERE worker = " + std::to_string(w);
                if (KVC_Execute_query_with_one(c.handle(), count.c_str(), value, &type) != 0 || std::atoi(value) != n)
                    ++failures;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    Connection check(conn_string(server.port()));
    EXPECT_EQ(check.single_int("SELECT count(*) FROM hits"), kThreads * kInserts);
    EXPECT_EQ(check.single_int("SELECT count(DISTINCT worker) FROM hits"), kThreads);
}
