// libkvc's side of the suite: a canned-reply peer speaking the library's wire
// format (plain and encrypted login, one reply per request) and the clients
// that drive the library through its exported functions.
#pragma once

#include "measure.h"

#include <cstdint>

namespace suite {

// Rows per KVC_ExecBatch call: a batch header carries at most 65,535 rows.
constexpr int64_t kBatchRowsPerCall = 62500;

// Exact bytes of the reply to a fetch of `rows` rows.
int64_t kvc_reply_bytes(int64_t rows);

// Shared between the parent and a peer process (an anonymous shared mapping):
// the peer counts the request bytes it received and, when asked, keeps them.
struct RequestRecord {
    int64_t received = 0;
    int64_t kept = 0;
    int64_t capacity = 0;
    unsigned char* bytes = nullptr;   // capacity bytes, in the same mapping
    // Where each kept request ends in `bytes`, and the rows it carried.
    static constexpr int kMaxRequests = 4096;
    int requests = 0;
    int64_t request_end[kMaxRequests] = {};
    int64_t request_rows[kMaxRequests] = {};
    static RequestRecord* make_shared(int64_t capacity);
};

struct KvcPeerPlan {
    enum class Mode {
        Fetch,      // answers each request with the column description and `rows` rows
        Batch,      // reads a batch request whole, answers with its update count
        RawReply,   // after one byte, sends the fetch reply unframed by any login
        RawSink,    // reads `sink_bytes`, then answers with one byte
    };
    Mode mode = Mode::Fetch;
    int64_t rows = 0;
    int64_t sink_bytes = 0;
    RequestRecord* record = nullptr;
    bool keep_request = false;     // Batch: parse the requests and keep their bytes in `record`
    bool expect_kept = false;      // Batch: requests must be the kept ones, byte for byte
};

void kvc_peer(int listen_fd, const KvcPeerPlan& plan);

RunResult kvc_fetch_client(int port, int64_t rows, bool encrypted, bool heap_trim_off);
RunResult kvc_batch_client(int port, int64_t rows);
RunResult raw_recv_client(int port, int64_t bytes);
RunResult raw_send_client(int port, const unsigned char* bytes, int64_t length);

}  // namespace suite
