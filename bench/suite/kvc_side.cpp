#include "kvc_side.h"

#include "canned_rows.h"
#include "channel.h"
#include "cipher.h"
#include "kvc.h"
#include "login.h"
#include "wire_bytes.h"

#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

namespace suite {

namespace {

constexpr int kSendChunk = 256 * 1024;
constexpr int kProtocolVersion = 301;   // batch rows carry a type byte per value
constexpr int kTextBuffer = 64;
const char kFetchSql[] = "select id, big, price, name, stamp from canned";
const char kBatchSql[] = "insert into canned values (?, ?, ?, ?)";

// Server types of the five columns: int, bigint, double, character string, datetime.
constexpr int32_t kColumnTypes[5] = {5, 6, 9, 30, 13};
const char* const kColumnNames[5] = {"ID", "BIG", "PRICE", "NAME", "STAMP"};

WireOut reply_head() {
    WireOut out;
    out.u8('A').i32(5);
    for (int c = 0; c < 5; ++c) {
        out.i32(static_cast<int32_t>(strlen(kColumnNames[c]))).raw(kColumnNames[c], strlen(kColumnNames[c]));
        out.i32(kColumnTypes[c]).i32(0).i32(0);
    }
    return out;
}

void put_row(WireOut& out, int64_t row) {
    const RowValues v = row_values(row);
    out.u8('R').i32(4).i32(v.id).i32(8).i64(v.big).i32(8).f64(v.price);
    out.i32(kNameLength).raw(v.name, kNameLength).i32(8).i64(v.stamp_ms);
}

size_t row_bytes() {
    WireOut one;
    put_row(one, 0);
    return one.bytes.size();
}

// Writes to the socket, enciphering on the way when the session has a keystream.
class Writer {
public:
    Writer(int fd, kvcd::Keystream* keystream) : fd_(fd), keystream_(keystream) {
        if (keystream_ != nullptr) scratch_.resize(kSendChunk);
    }
    bool write(const uint8_t* data, size_t len) {
        if (keystream_ == nullptr) return send_exact(fd_, data, len);
        while (len > 0) {
            const size_t n = std::min(len, scratch_.size());
            memcpy(scratch_.data(), data, n);
            keystream_->apply(scratch_.data(), n);
            if (!send_exact(fd_, scratch_.data(), n)) return false;
            data += n;
            len -= n;
        }
        return true;
    }
    bool write(const std::vector<uint8_t>& bytes) { return write(bytes.data(), bytes.size()); }

private:
    int fd_;
    kvcd::Keystream* keystream_;
    std::vector<uint8_t> scratch_;
};

// Reads requests, deciphering when the session has a keystream and counting
// (and on request keeping) every byte as it arrived.
class Reader {
public:
    Reader(int fd, kvcd::Keystream* keystream, const KvcPeerPlan& plan)
        : fd_(fd), keystream_(keystream), plan_(plan) {}
    bool read(void* out, size_t len) {
        if (!recv_exact(fd_, out, len)) return false;
        if (RequestRecord* record = plan_.record) {
            if (plan_.keep_request && record->kept + static_cast<int64_t>(len) <= record->capacity) {
                memcpy(record->bytes + record->kept, out, len);
                record->kept += static_cast<int64_t>(len);
            }
            record->received += static_cast<int64_t>(len);
        }
        if (keystream_ != nullptr) keystream_->apply(static_cast<uint8_t*>(out), len);
        return true;
    }
    bool i16(int32_t* v) { return number(v, 2); }
    bool i32(int32_t* v) { return number(v, 4); }
    bool skip(int64_t len) {
        uint8_t sink[4096];
        while (len > 0) {
            const size_t n = static_cast<size_t>(std::min<int64_t>(len, sizeof sink));
            if (!read(sink, n)) return false;
            len -= static_cast<int64_t>(n);
        }
        return true;
    }

private:
    bool number(int32_t* v, int width) {
        uint8_t b[4];
        if (!read(b, static_cast<size_t>(width))) return false;
        const uint64_t raw = read_be(b, width);
        *v = width == 2 ? static_cast<int16_t>(raw) : static_cast<int32_t>(raw);
        return true;
    }
    int fd_;
    kvcd::Keystream* keystream_;
    const KvcPeerPlan& plan_;
};

// The login, plain or encrypted, as kvcd plays it; fills the session keystreams.
bool accept_login(int fd, std::unique_ptr<kvcd::Keystream>* from_client,
                  std::unique_ptr<kvcd::Keystream>* to_client) {
    try {
        kvcd::Channel ch(fd, 10000);
        uint8_t head[5];
        ch.read_bytes(head, sizeof head);
        if (memcmp(head, "~ssl~", 5) == 0) {
            kvcd::RsaKeyPair rsa;
            ch.put_bytes(rsa.exponent_le().data(), 32);
            ch.put_bytes(rsa.modulus_le().data(), 32);
            ch.flush();
            std::array<uint8_t, 32> key;
            std::string text;
            kvcd::read_encrypted_login(ch, rsa, key, text);
            *from_client = kvcd::make_session_keystream(key.data());
            *to_client = kvcd::make_session_keystream(key.data());
        } else {
            std::string text(reinterpret_cast<const char*>(head), sizeof head);
            uint8_t buf[512];
            while (!kvcd::login_text_complete(text)) {
                const size_t got = ch.read_some(buf, sizeof buf);
                text.append(reinterpret_cast<const char*>(buf), got);
            }
        }
        // The client sends nothing more before our answer, so ch holds no unread bytes.
        WireOut welcome;
        welcome.u8('N').i32(kProtocolVersion).u8('K');
        return Writer(fd, to_client->get()).write(welcome.bytes);
    } catch (const std::exception&) {
        return false;
    }
}

bool stream_fetch_reply(Writer& out, int64_t rows) {
    static const WireOut head = reply_head();
    static const std::vector<uint8_t> block = [] {
        WireOut rows_out;
        for (int r = 0; r < kRowPeriod; ++r) put_row(rows_out, r);
        return rows_out.bytes;
    }();
    const size_t one_row = row_bytes();
    if (!out.write(head.bytes)) return false;
    for (int64_t left = rows; left > 0; left -= kRowPeriod) {
        const size_t n = static_cast<size_t>(std::min<int64_t>(left, kRowPeriod));
        if (!out.write(block.data(), n * one_row)) return false;
    }
    const uint8_t end = 'K';
    return out.write(&end, 1);
}

// A batch request after its tag: text, header, row 0 with the parameter
// descriptions, then blocks of typed rows. Returns the rows it carried, or -1.
int64_t read_batch(Reader& in, int32_t header) {
    const int params = header & 0xFFFF;
    const int64_t rows = static_cast<uint32_t>(header) >> 16;
    for (int p = 0; p < params; ++p) {
        int32_t name_length, direction, type, length;
        if (!in.i16(&name_length) || !in.skip(name_length) || !in.i16(&direction) || !in.i16(&type) ||
            !in.i32(&length) || !in.skip(length))
            return -1;
    }
    std::vector<uint8_t> block;
    for (int64_t done = 1; done < rows;) {
        int32_t block_length;
        if (!in.i32(&block_length) || block_length <= 0) return -1;
        const size_t size = static_cast<size_t>(block_length);
        if (block.size() < size) block.resize(size);   // grown once, not cleared per block
        if (!in.read(block.data(), size)) return -1;
        for (size_t at = 0; at < size; ++done) {
            for (int p = 0; p < params; ++p) {
                at += 1;   // type byte
                const int64_t length = read_be_i32(&block[at]);
                at += 4 + static_cast<size_t>(std::max<int64_t>(length, 0));
            }
        }
    }
    return rows;
}

// The batch requests of a timed run, checked byte for byte against the ones
// a parsing run kept: a stand-in server that does no work of its own, as the
// raw send's peer does none, so that the client is what the figure measures.
void serve_kept_requests(int fd, const RequestRecord& record) {
    std::vector<uint8_t> chunk(kSendChunk);
    int64_t at = 0;
    for (int k = 0; k < record.requests; ++k) {
        while (at < record.request_end[k]) {
            const size_t n = static_cast<size_t>(std::min<int64_t>(record.request_end[k] - at, kSendChunk));
            if (!recv_exact(fd, chunk.data(), n) || memcmp(chunk.data(), record.bytes + at, n) != 0) return;
            at += static_cast<int64_t>(n);
        }
        WireOut reply;
        reply.u8('U').i32(static_cast<int32_t>(record.request_rows[k])).u8('K');
        if (!send_exact(fd, reply.bytes.data(), reply.bytes.size())) return;
    }
}

void serve_requests(int fd, const KvcPeerPlan& plan, kvcd::Keystream* from_client, kvcd::Keystream* to_client) {
    if (plan.expect_kept && from_client == nullptr && plan.record != nullptr) {
        serve_kept_requests(fd, *plan.record);
        return;
    }
    Reader in(fd, from_client, plan);
    Writer out(fd, to_client);
    for (;;) {
        uint8_t tag;
        int32_t length, header;
        if (!in.read(&tag, 1) || tag != '?' || !in.i32(&length) || length < 0 || !in.skip(length + 1) ||
            !in.i32(&header))
            return;
        if (plan.mode == KvcPeerPlan::Mode::Fetch) {
            if (!stream_fetch_reply(out, plan.rows)) return;
            continue;
        }
        const int64_t rows = read_batch(in, header);
        if (rows < 0) return;
        if (RequestRecord* record = plan.record; plan.keep_request && record->requests < RequestRecord::kMaxRequests) {
            record->request_end[record->requests] = record->kept;
            record->request_rows[record->requests++] = rows;
        }
        WireOut reply;
        reply.u8('U').i32(static_cast<int32_t>(rows)).u8('K');
        if (!out.write(reply.bytes)) return;
    }
}

int connect_loopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

RunResult failed(const char* why) {
    RunResult r;
    snprintf(r.note, sizeof r.note, "%s", why);
    return r;
}

void* open_connection(int port, bool encrypted) {
    char text[160];
    snprintf(text, sizeof text, "IP=127.0.0.1;PORT=%d;DB=bench;USER=bench;PWD=bench%s", port,
             encrypted ? ";SSL=on" : "");
    void* conn = nullptr;
    if (KVC_OpenConn(text, &conn) != 2) {
        if (conn != nullptr) KVC_CloseConn(&conn);
        return nullptr;
    }
    return conn;
}

}  // namespace

int64_t kvc_reply_bytes(int64_t rows) {
    return static_cast<int64_t>(reply_head().bytes.size()) + rows * static_cast<int64_t>(row_bytes()) + 1;
}

RequestRecord* RequestRecord::make_shared(int64_t capacity) {
    const size_t size = sizeof(RequestRecord) + static_cast<size_t>(capacity);
    void* mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return nullptr;
    RequestRecord* record = new (mapping) RequestRecord;
    record->capacity = capacity;
    record->bytes = static_cast<unsigned char*>(mapping) + sizeof(RequestRecord);
    return record;
}

void kvc_peer(int listen_fd, const KvcPeerPlan& plan) {
    int fd = accept(listen_fd, nullptr, nullptr);
    if (fd < 0) return;
    if (plan.mode == KvcPeerPlan::Mode::RawReply || plan.mode == KvcPeerPlan::Mode::RawSink) {
        std::vector<uint8_t> sink(kSendChunk);
        if (plan.mode == KvcPeerPlan::Mode::RawReply) {
            Writer out(fd, nullptr);
            if (recv_exact(fd, sink.data(), 1)) stream_fetch_reply(out, plan.rows);
        } else {
            int64_t left = plan.sink_bytes;
            while (left > 0) {
                const ssize_t n = read(fd, sink.data(), static_cast<size_t>(std::min<int64_t>(left, kSendChunk)));
                if (n <= 0) break;
                left -= n;
            }
            send_exact(fd, "K", 1);
        }
    } else {
        std::unique_ptr<kvcd::Keystream> from_client, to_client;
        if (accept_login(fd, &from_client, &to_client)) serve_requests(fd, plan, from_client.get(), to_client.get());
    }
    // Wait for the client to close first, so that its last read never sees a reset.
    char byte;
    while (read(fd, &byte, 1) > 0) continue;
    close(fd);
}

RunResult kvc_fetch_client(int port, int64_t rows, bool encrypted, bool heap_trim_off) {
    if (heap_trim_off) {
        mallopt(M_TRIM_THRESHOLD, INT_MAX);
        mallopt(M_MMAP_THRESHOLD, 32 << 20);   // glibc's ceiling on 64-bit hosts
    }
    const uint64_t expected = expected_checksum(rows);
    void* conn = open_connection(port, encrypted);
    if (conn == nullptr) return failed("KVC_OpenConn refused");

    RunResult r;
    Stopwatch watch;
    void* result = nullptr;
    int columns = 0, affected = 0;
    int64_t row_count = 0;
    const int status = KVC_ExecwithDataReader(&conn, kFetchSql, &result, &columns, &row_count, &affected);
    uint64_t checksum = 0;
    int64_t converted = 0;
    while (status >= 0 && KVC_ReadNext(&result) == 0) {
        int32_t id = 0;
        int64_t big = 0, stamp = 0;
        double price = 0;
        char name[kTextBuffer] = {0};
        int length = 0;
        KVC_GetData(&result, 1, 5, &id, 4, &length);
        KVC_GetData(&result, 2, 6, &big, 8, &length);
        KVC_GetData(&result, 3, 8, &price, 8, &length);
        KVC_GetData(&result, 4, 2, name, sizeof name, &length);
        KVC_GetData(&result, 5, 23, &stamp, 8, &length);
        checksum += row_checksum(id, big, price, name[kNameLength - 1], stamp);
        ++converted;
    }
    KVC_FreeRowset(&result);
    r.seconds = watch.stop(&r.rss_growth, &r.cpu_seconds);
    KVC_CloseConn(&conn);

    r.items = converted;
    r.payload_bytes = kvc_reply_bytes(rows);
    r.ok = status >= 0 && converted == rows && checksum == expected;
    if (!r.ok)
        snprintf(r.note, sizeof r.note, "status %d, %lld of %lld rows, checksum %s", status,
                 static_cast<long long>(converted), static_cast<long long>(rows),
                 checksum == expected ? "right" : "wrong");
    return r;
}

RunResult kvc_batch_client(int port, int64_t rows) {
    const int n = static_cast<int>(kBatchRowsPerCall);
    std::vector<int32_t> ids(n), lengths4(n, 4), lengths8(n, 8), name_lengths(n, kNameLength);
    std::vector<int64_t> bigs(n);
    std::vector<double> prices(n);
    // Character strings travel as a 4-byte length in host order, then the characters.
    const int name_step = 4 + kNameLength;
    std::vector<char> names(static_cast<size_t>(n) * name_step);
    for (int i = 0; i < n; ++i) {
        const RowValues v = row_values(i);
        ids[i] = v.id;
        bigs[i] = v.big;
        prices[i] = v.price;
        const int32_t prefix = kNameLength;
        memcpy(&names[static_cast<size_t>(i) * name_step], &prefix, 4);
        memcpy(&names[static_cast<size_t>(i) * name_step + 4], v.name, kNameLength);
    }
    void* conn = open_connection(port, false);
    if (conn == nullptr) return failed("KVC_OpenConn refused");

    RunResult r;
    Stopwatch watch;
    int64_t sent = 0;
    int status = 0;
    while (sent < rows && status >= 0) {
        const int m = static_cast<int>(std::min<int64_t>(n, rows - sent));
        if (KVC_BindParamArrayByPos(&conn, 1, 4, 1, 5, m, ids.data(), int64_t{m} * 4, lengths4.data()) != 0 ||
            KVC_BindParamArrayByPos(&conn, 2, 4, 1, 6, m, bigs.data(), int64_t{m} * 8, lengths8.data()) != 0 ||
            KVC_BindParamArrayByPos(&conn, 3, 4, 1, 8, m, prices.data(), int64_t{m} * 8, lengths8.data()) != 0 ||
            KVC_BindParamArrayByPos(&conn, 4, 4, 1, 2, m, names.data(), int64_t{m} * name_step,
                                    name_lengths.data()) != 0) {
            status = -100;
            break;
        }
        status = KVC_ExecBatch(&conn, kBatchSql, m);
        sent += m;
    }
    r.seconds = watch.stop(&r.rss_growth, &r.cpu_seconds);
    KVC_CloseConn(&conn);
    r.items = sent;
    r.ok = status >= 0 && sent == rows;
    if (!r.ok) snprintf(r.note, sizeof r.note, "batch status %d after %lld rows", status, static_cast<long long>(sent));
    return r;
}

RunResult raw_recv_client(int port, int64_t bytes) {
    int fd = connect_loopback(port);
    if (fd < 0) return failed("cannot connect");
    std::vector<uint8_t> discard(kSendChunk);
    RunResult r;
    Stopwatch watch;
    int64_t got = 0;
    if (send_exact(fd, "?", 1)) {
        while (got < bytes) {
            const ssize_t n = recv(fd, discard.data(), discard.size(), 0);
            if (n <= 0) break;
            got += n;
        }
    }
    r.seconds = watch.stop(&r.rss_growth, &r.cpu_seconds);
    close(fd);
    r.items = got;
    r.payload_bytes = got;
    r.ok = got == bytes;
    if (!r.ok) snprintf(r.note, sizeof r.note, "received %lld of %lld bytes", static_cast<long long>(got),
                        static_cast<long long>(bytes));
    return r;
}

RunResult raw_send_client(int port, const unsigned char* bytes, int64_t length) {
    int fd = connect_loopback(port);
    if (fd < 0) return failed("cannot connect");
    RunResult r;
    Stopwatch watch;
    char answer = 0;
    int64_t done = 0;
    while (done < length) {
        const ssize_t n = send(fd, bytes + done, static_cast<size_t>(length - done), MSG_NOSIGNAL);
        if (n <= 0) break;
        done += n;
    }
    const bool answered = recv_exact(fd, &answer, 1);
    r.seconds = watch.stop(&r.rss_growth, &r.cpu_seconds);
    close(fd);
    r.items = done;
    r.payload_bytes = done;
    r.ok = done == length && answered;
    if (!r.ok) snprintf(r.note, sizeof r.note, "sent %lld of %lld bytes", static_cast<long long>(done),
                        static_cast<long long>(length));
    return r;
}

}  // namespace suite
