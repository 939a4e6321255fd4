// Encoding throughput of 100,000 rows of four columns (a 4-byte integer, an
// 8-byte integer, a double and a short text) packed into blocks and written
// to a socket whose other end is drained by a thread. A batch header carries
// at most 65,535 rows, so the rows go as two batches of 50,000.
#include "kvc.h"
#include "kvc_inner.h"
#include "kvc_params.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kRows = 50000;     // per batch
constexpr int kBatches = 2;

struct BatchData {
    std::vector<int32_t> ids;
    std::vector<int64_t> counts;
    std::vector<double> prices;
    std::string names;
    std::vector<int> id_lengths, count_lengths, price_lengths, name_lengths;

    BatchData() {
        for (int r = 0; r < kRows; ++r) {
            ids.push_back(r);
            counts.push_back(static_cast<int64_t>(r) * 1000);
            prices.push_back(r * 0.25);
            const std::string name = "name-" + std::to_string(r);
            names += name;
            name_lengths.push_back(static_cast<int>(name.size()));
        }
        id_lengths.assign(kRows, 4);
        count_lengths.assign(kRows, 8);
        price_lengths.assign(kRows, 8);
    }

    // 0 when all four columns were bound.
    int bind(void** conn) {
        return KVC_BindParamArrayByPos(conn, 1, 4, 1, 5, kRows, ids.data(), kRows * 4,
                                       id_lengths.data()) |
               KVC_BindParamArrayByPos(conn, 2, 4, 1, 6, kRows, counts.data(), kRows * 8,
                                       count_lengths.data()) |
               KVC_BindParamArrayByPos(conn, 3, 4, 1, 8, kRows, prices.data(), kRows * 8,
                                       price_lengths.data()) |
               KVC_BindParamArrayByPos(conn, 4, 4, 1, 11, kRows, &names[0],
                                       static_cast<int64_t>(names.size()), name_lengths.data());
    }
};

// A connection record writing into a socket pair, the far end read and
// dropped by a thread.
struct DrainedConnection {
    Conn_Attrs* conn = nullptr;
    int peer = -1;
    std::atomic<int64_t> drained{0};
    std::thread drain;

    DrainedConnection() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
        conn = static_cast<Conn_Attrs*>(hr_malloc0(sizeof(Conn_Attrs)));
        conn->handle_kind = KVC_HANDLE_CONNECTION;
        kv_strcpy_s(conn->protocol_version, sizeof conn->protocol_version, "301");
        conn->sock_fd = fds[0];
        peer = fds[1];
        drain = std::thread([this] {
            std::vector<char> sink(1 << 16);
            for (;;) {
                ssize_t n = read(peer, sink.data(), sink.size());
                if (n <= 0) return;
                drained += n;
            }
        });
    }
    ~DrainedConnection() {
        if (conn == nullptr) return;
        shutdown(conn->sock_fd, SHUT_RDWR);
        close(conn->sock_fd);
        drain.join();
        close(peer);
        release_bound_params(conn);
        free(conn);
    }
};

void BM_BatchEncoding(benchmark::State& state) {
    BatchData data;
    DrainedConnection link;
    if (link.conn == nullptr) {
        state.SkipWithError("no socket pair");
        return;
    }
    void* handle = link.conn;
    for (auto _ : state) {
        for (int batch = 0; batch < kBatches; ++batch) {
            state.PauseTiming();
            const int bound = data.bind(&handle);
            state.ResumeTiming();
            if (bound != 0) {
                state.SkipWithError("binding refused");
                return;
            }
            kvc_sendparamS(link.conn, link.conn->bound_params);
            rh_flush(link.conn);
        }
    }
    usleep(100000);   // let the drain catch up so the byte count is complete
    state.SetItemsProcessed(state.iterations() * kRows * kBatches);
    state.SetBytesProcessed(link.drained.load());
}
BENCHMARK(BM_BatchEncoding)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
