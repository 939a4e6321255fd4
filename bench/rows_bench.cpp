// Throughput of result reception and value conversion: a reply of 1,000,000
// rows of five columns is fed through a socket pair and received into a
// result; then every value of every row is converted.
#include "kvc_inner.h"
#include "kvc_rowset.h"

#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kRows = 1000000;

void put_be(std::vector<unsigned char>& out, const void* value, size_t n) {
    const unsigned char* bytes = static_cast<const unsigned char*>(value);
    for (size_t i = 0; i < n; ++i) out.push_back(bytes[n - 1 - i]);
}
template <typename T>
void put(std::vector<unsigned char>& out, T v) {
    put_be(out, &v, sizeof v);
}
void put_text(std::vector<unsigned char>& out, const std::string& text) {
    put(out, static_cast<int32_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
}

// 'A', five columns (int, bigint, double, char, date), the rows, 'K'.
const std::vector<unsigned char>& reply() {
    static const std::vector<unsigned char> bytes = [] {
        std::vector<unsigned char> out;
        out.push_back('A');
        const std::pair<const char*, int32_t> columns[] = {{"ID", 5}, {"BIG", 6}, {"PRICE", 9}, {"NAME", 30}, {"DAY", 10}};
        put(out, static_cast<int32_t>(5));
        for (const auto& c : columns) {
            put_text(out, c.first);
            put(out, c.second);
            put(out, int32_t{0});
            put(out, int32_t{0});
        }
        for (int i = 0; i < kRows; ++i) {
            out.push_back('R');
            put(out, int32_t{4});
            put(out, static_cast<int32_t>(i));
            put(out, int32_t{8});
            put(out, static_cast<int64_t>(i) * 1000003);
            put(out, int32_t{8});
            put(out, i * 0.25);
            put_text(out, "name" + std::to_string(i % 100000));
            put(out, int32_t{4});
            put(out, static_cast<int32_t>(i % 40000));
        }
        out.push_back('K');
        return out;
    }();
    return bytes;
}

// A connection record on one end of a socket pair; a writer thread plays the
// server on the other.
struct Link {
    Conn_Attrs* conn = static_cast<Conn_Attrs*>(hr_malloc0(sizeof(Conn_Attrs)));
    int peer = -1;
    Link() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
        conn->handle_kind = KVC_HANDLE_CONNECTION;
        conn->sock_fd = fds[0];
        peer = fds[1];
    }
    ~Link() {
        conn_link_sever(conn);   // the results outlive this stand-in connection, as after a close
        close(conn->sock_fd);
        close(peer);
        free(conn->error_text);
        free(conn);
    }
    std::thread feed(const std::vector<unsigned char>& bytes) {
        return std::thread([this, &bytes] {
            size_t done = 0;
            while (done < bytes.size()) {
                ssize_t n = send(peer, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
                if (n <= 0) return;
                done += static_cast<size_t>(n);
            }
        });
    }
};

Result* receive_reply() {
    Link link;
    std::thread writer = link.feed(reply());
    Result* result = nullptr;
    recv_Query_Rs(link.conn, &result);
    writer.join();
    return result;
}

void BM_ReceiveRows(benchmark::State& state) {
    reply();   // built outside the timing
    for (auto _ : state) {
        Result* result = receive_reply();
        if (result == nullptr || result->row_count != kRows) state.SkipWithError("reception failed");
        state.PauseTiming();
        free_Result(result);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kRows);
    state.counters["bytes/row"] = static_cast<double>(reply().size()) / kRows;
}
BENCHMARK(BM_ReceiveRows)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

// Every column of every row: int and bigint as integers, the double, the
// text and the date as text.
void BM_ConvertRows(benchmark::State& state) {
    Result* result = receive_reply();
    void* handle = result;
    int64_t checksum = 0;
    for (auto _ : state) {
        result->read_pos = 0;
        while (record_next(result) == 0) {
            int32_t id;
            int64_t big;
            double price;
            char name[32], day[16];
            int length;
            KVGetData(&handle, 1, 5, &id, 4, &length);
            KVGetData(&handle, 2, 6, &big, 8, &length);
            KVGetData(&handle, 3, 8, &price, 8, &length);
            KVGetData(&handle, 4, 2, name, sizeof name, &length);
            KVGetData(&handle, 5, 2, day, sizeof day, &length);
            checksum += id + length;
        }
    }
    benchmark::DoNotOptimize(checksum);
    state.SetItemsProcessed(state.iterations() * kRows);
    free_Result(result);
}
BENCHMARK(BM_ConvertRows)->Unit(benchmark::kMillisecond)->Iterations(3);

// Text forms only, the costliest conversions: double and date as text.
void BM_ConvertToText(benchmark::State& state) {
    Result* result = receive_reply();
    void* handle = result;
    for (auto _ : state) {
        result->read_pos = 0;
        while (record_next(result) == 0) {
            char text[64];
            int length;
            KVGetData(&handle, 3, 2, text, sizeof text, &length);
            KVGetData(&handle, 5, 2, text, sizeof text, &length);
            benchmark::DoNotOptimize(text);
        }
    }
    state.SetItemsProcessed(state.iterations() * kRows);
    free_Result(result);
}
BENCHMARK(BM_ConvertToText)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
