// Runs every figure of the suite side by side and prints one line per figure,
// "NAME VALUE UNIT", and one per ratio, "ratio NAME VALUE". Medians go to
// standard output; every figure's spread goes to standard error.
//   kvc_suite [--runs N] [--rows N] [--only PREFIX]
#include "canned_rows.h"
#include "kvc_side.h"
#include "kvc_turing.h"
#include "measure.h"
#include "pg_side.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace suite;

namespace {

struct Options {
    int runs = 5;
    int64_t rows = 1000000;
    std::string only;   // run just the figures whose name starts with this
};

bool wanted(const Options& o, const char* name) { return o.only.empty() || strncmp(name, o.only.c_str(), o.only.size()) == 0; }

void figure(const std::string& name, double value, const char* unit) {
    // Whole numbers where they are large, so that byte counts read exactly.
    if (value >= 100)
        printf("%s %.0f %s\n", name.c_str(), value, unit);
    else
        printf("%s %.3g %s\n", name.c_str(), value, unit);
    fflush(stdout);
}

void ratio(const char* name, double numerator, double denominator) {
    if (numerator <= 0 || denominator <= 0) return;   // a figure was not measured
    printf("ratio %s %.3f\n", name, numerator / denominator);
    fflush(stdout);
}

double rate(const RunResult& r) { return r.seconds > 0 ? r.items / r.seconds : 0; }
// Rows per second of the client's own CPU time: steadier than wall time on a
// shared machine, reported on standard error beside it.
double cpu_rate(const RunResult& r) { return r.cpu_seconds > 0 ? r.items / r.cpu_seconds : 0; }
double byte_rate(const RunResult& r) { return r.seconds > 0 ? r.payload_bytes / r.seconds : 0; }
double growth(const RunResult& r) { return static_cast<double>(r.rss_growth); }

struct FetchFigures {
    double rows_per_s = 0, bytes_per_s = 0, peak_growth = 0, payload = 0;
    double rows_per_cpu_s = 0;
};

// One fetch run against a fresh canned-reply peer.
OneRun fetch_run(int64_t rows, bool encrypted, bool trim_off) {
    return [=] {
        KvcPeerPlan plan;
        plan.mode = KvcPeerPlan::Mode::Fetch;
        plan.rows = rows;
        return run_once([&](int fd) { kvc_peer(fd, plan); },
                        [&](int port) { return kvc_fetch_client(port, rows, encrypted, trim_off); });
    };
}

FetchFigures fetch_figures(const std::string& name, int64_t rows, const std::vector<RunResult>& results) {
    FetchFigures f;
    f.rows_per_s = median_of(name + "_rows", results, rate);
    f.rows_per_cpu_s = median_of(name + "_rows_per_cpu_s", results, cpu_rate);
    f.bytes_per_s = median_of(name + "_bytes", results, byte_rate);
    f.peak_growth = median_of(name + "_peak_rss", results, growth);
    f.payload = static_cast<double>(kvc_reply_bytes(rows));
    return f;
}

FetchFigures fetch_figure(const std::string& name, int64_t rows, int runs) {
    return fetch_figures(name, rows, measure_in_turns({name}, runs, {fetch_run(rows, false, false)})[0]);
}

void print_fetch(const std::string& name, const FetchFigures& f) {
    figure(name + "_rows", f.rows_per_s, "rows/s");
    figure(name + "_bytes", f.bytes_per_s, "B/s");
    figure(name + "_peak_rss", f.peak_growth, "bytes");
    figure(name + "_payload", f.payload, "bytes");
}

// Enciphering in place with the session keystream, beside memcpy of the same bytes.
RunResult keystream_client(bool cipher) {
    constexpr size_t kBuffer = 1 << 20;
    constexpr int kRounds = 512;
    std::vector<uint8_t> source(kBuffer, 0x5A), target(kBuffer, 0);
    TuringData state{};
    uint8_t key[32];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i * 37 + 11);
    turing_session_start(&state, key);
    RunResult r;
    Stopwatch watch;
    for (int i = 0; i < kRounds; ++i) {
        if (cipher)
            turing_session_xor(&state, source.data(), static_cast<int64_t>(kBuffer));
        else
            memcpy(target.data(), source.data(), kBuffer);
        asm volatile("" : : "r"(source.data()), "r"(target.data()) : "memory");
    }
    r.seconds = watch.stop(&r.rss_growth, &r.cpu_seconds);
    r.items = r.payload_bytes = static_cast<int64_t>(kBuffer) * kRounds;
    r.ok = 1;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--runs") == 0) o.runs = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--rows") == 0) o.rows = atoll(argv[i + 1]);
        else if (strcmp(argv[i], "--only") == 0) o.only = argv[i + 1];
    }

    // Figures that a ratio compares run in turns: the fetches beside the raw
    // receive of the same bytes, the batch beside the raw send, the keystream
    // beside memcpy.
    FetchFigures plain, notrim, ssl;
    std::vector<RunResult> receives;
    const bool raw = wanted(o, "raw");
    if (wanted(o, "fetch") || raw) {
        std::vector<std::string> names;
        std::vector<OneRun> runs;
        if (wanted(o, "fetch")) {
            names = {"fetch", "fetch_notrim", "fetch_ssl"};
            runs = {fetch_run(o.rows, false, false), fetch_run(o.rows, false, true), fetch_run(o.rows, true, false)};
        }
        if (raw) {
            names.push_back("raw_recv");
            runs.push_back([&] {
                KvcPeerPlan reply;
                reply.mode = KvcPeerPlan::Mode::RawReply;
                reply.rows = o.rows;
                return run_once([&](int fd) { kvc_peer(fd, reply); },
                                [&](int port) { return raw_recv_client(port, kvc_reply_bytes(o.rows)); });
            });
        }
        auto results = measure_in_turns(names, o.runs, runs);
        if (raw) {
            receives = std::move(results.back());
            results.pop_back();
        }
        if (!results.empty()) {
            plain = fetch_figures("fetch", o.rows, results[0]);
            print_fetch("fetch", plain);
            notrim = fetch_figures("fetch_notrim", o.rows, results[1]);
            print_fetch("fetch_notrim", notrim);
            ssl = fetch_figures("fetch_ssl", o.rows, results[2]);
            print_fetch("fetch_ssl", ssl);
        }
    }

    double batch_bytes_per_s = 0, raw_send = 0, raw_recv = 0;
    if (wanted(o, "batch") || raw) {
        // One unmeasured batch keeps the exact request bytes for the raw send figure.
        RequestRecord* record = RequestRecord::make_shared(o.rows * 128 + (1 << 20));
        if (record == nullptr) return 1;
        KvcPeerPlan plan;
        plan.mode = KvcPeerPlan::Mode::Batch;
        plan.record = record;
        plan.keep_request = true;
        measure("batch_capture", 0, [&](int fd) { kvc_peer(fd, plan); },
                [&](int port) { return kvc_batch_client(port, o.rows); });
        const int64_t request_bytes = record->kept;
        plan.keep_request = false;
        // Timed runs check every request against the kept, parsed ones.
        plan.expect_kept = record->kept == record->received && record->requests > 0 &&
                           record->request_end[record->requests - 1] == record->kept;
        KvcPeerPlan sink;
        sink.mode = KvcPeerPlan::Mode::RawSink;
        sink.sink_bytes = request_bytes;
        std::vector<std::string> names;
        std::vector<OneRun> runs;
        if (wanted(o, "batch")) {
            names.push_back("batch");
            runs.push_back([&] {
                return run_once([&](int fd) { kvc_peer(fd, plan); }, [&](int port) {
                    RunResult r = kvc_batch_client(port, o.rows);
                    r.payload_bytes = request_bytes;
                    return r;
                });
            });
        }
        if (raw) {
            names.push_back("raw_send");
            runs.push_back([&] {
                return run_once([&](int fd) { kvc_peer(fd, sink); },
                                [&](int port) { return raw_send_client(port, record->bytes, request_bytes); });
            });
        }
        const auto results = measure_in_turns(names, o.runs, runs);
        if (wanted(o, "batch")) {
            const auto& batch = results[0];
            figure("batch_rows", median_of("batch_rows", batch, rate), "rows/s");
            median_of("batch_rows_per_cpu_s", batch, cpu_rate);
            batch_bytes_per_s = median_of("batch_bytes", batch, byte_rate);
            figure("batch_bytes", batch_bytes_per_s, "B/s");
            figure("batch_payload", static_cast<double>(request_bytes), "bytes");
        }
        if (raw) {
            raw_send = median_of("raw_send_bytes", results.back(), byte_rate);
            figure("raw_send_bytes", raw_send, "B/s");
            raw_recv = median_of("raw_recv_bytes", receives, byte_rate);
            figure("raw_recv_bytes", raw_recv, "B/s");
        }
    }

    double best_libpq = 0, best_libpq_cpu = 0;
    if (wanted(o, "libpq")) {
        for (PgMode mode : kPgModes) {
            const std::string name = std::string("libpq_") + pg_mode_name(mode);
            const auto results = measure(name, o.runs, [&](int fd) { pg_peer(fd, o.rows); },
                                         [&](int port) { return pg_fetch_client(port, o.rows, mode); });
            const double rows_per_s = median_of(name + "_rows", results, rate);
            best_libpq_cpu = std::max(best_libpq_cpu, median_of(name + "_rows_per_cpu_s", results, cpu_rate));
            figure(name + "_rows", rows_per_s, "rows/s");
            figure(name + "_peak_rss", median_of(name + "_peak_rss", results, growth), "bytes");
            if (rows_per_s > best_libpq) best_libpq = rows_per_s;
        }
        figure("libpq_best_rows", best_libpq, "rows/s");
    }

    double keystream = 0, copy = 0;
    if (wanted(o, "keystream")) {
        const auto results = measure_in_turns(
            {"keystream", "memcpy"}, o.runs,
            {[] { return run_local_once([](int) { return keystream_client(true); }); },
             [] { return run_local_once([](int) { return keystream_client(false); }); }});
        keystream = median_of("keystream_bytes", results[0], byte_rate);
        figure("keystream_bytes", keystream, "B/s");
        copy = median_of("memcpy_bytes", results[1], byte_rate);
        figure("memcpy_bytes", copy, "B/s");
    }

    double scale_100k = 0, scale_10m = 0;
    if (wanted(o, "scale")) {
        for (int64_t rows : {10000LL, 100000LL, 1000000LL, 10000000LL}) {
            const std::string name = "scale_" + std::to_string(rows);
            const FetchFigures f = fetch_figure(name, rows, rows >= 10000000 ? std::min(o.runs, 3) : o.runs);
            figure(name + "_rows", f.rows_per_s, "rows/s");
            figure(name + "_rss_per_row", f.peak_growth / static_cast<double>(rows), "bytes/row");
            if (rows == 100000) scale_100k = f.rows_per_s;
            if (rows == 10000000) scale_10m = f.rows_per_s;
        }
    }

    ratio("fetch_vs_libpq", plain.rows_per_s, best_libpq);
    ratio("fetch_vs_raw", plain.bytes_per_s, raw_recv);
    ratio("ssl_vs_plain", ssl.rows_per_s, plain.rows_per_s);
    ratio("batch_vs_raw", batch_bytes_per_s, raw_send);
    ratio("fetch_memory", plain.peak_growth, plain.payload);
    ratio("fetch_memory_notrim", notrim.peak_growth, notrim.payload);
    ratio("scale_flatness", scale_10m, scale_100k);
    ratio("keystream_vs_memcpy", keystream, copy);
    // The same comparisons by the clients' own CPU time, which other jobs on
    // a shared machine disturb less than the wall clock.
    if (plain.rows_per_cpu_s > 0 && best_libpq_cpu > 0)
        fprintf(stderr, "cpu ratio fetch_vs_libpq %.3f\n", plain.rows_per_cpu_s / best_libpq_cpu);
    if (plain.rows_per_cpu_s > 0 && ssl.rows_per_cpu_s > 0)
        fprintf(stderr, "cpu ratio ssl_vs_plain %.3f\n", ssl.rows_per_cpu_s / plain.rows_per_cpu_s);
    return 0;
}
