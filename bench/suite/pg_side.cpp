#include "pg_side.h"

#include "canned_rows.h"
#include "types.h"
#include "wire_bytes.h"

#include <libpq-fe.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace suite {

namespace {

constexpr int kTextBuffer = 64;
constexpr int64_t kPgEpochMs = 946684800000LL;   // 2000-01-01 in milliseconds since 1970
constexpr int kFetchBlockRows = kRowPeriod;
const char kFetchSql[] = "select id, big, price, name, stamp from canned";

struct PgColumn {
    const char* name;
    int32_t oid;
    int16_t width;
};
constexpr PgColumn kColumns[5] = {{"id", 23, 4}, {"big", 20, 8}, {"price", 701, 8}, {"name", 25, -1},
                                  {"stamp", 1114, 8}};

std::string timestamp_text(int64_t ms) {
    const int64_t days = ms / 86400000, rest = ms % 86400000;
    int64_t y;
    unsigned m, d;
    kvcd::civil_from_days(days, y, m, d);
    char text[40];
    snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d.%03d", static_cast<int>(y), m, d,
             static_cast<int>(rest / 3600000),
             static_cast<int>(rest / 60000 % 60), static_cast<int>(rest / 1000 % 60), static_cast<int>(rest % 1000));
    return text;
}

// "YYYY-MM-DD HH:MM:SS[.fff]" back to milliseconds, as an application would.
int64_t parse_timestamp(const char* s) {
    auto number = [&s](int digits) {
        int v = 0;
        for (int i = 0; i < digits; ++i) v = v * 10 + (*s++ - '0');
        ++s;   // the separator after it
        return v;
    };
    const int y = number(4), mo = number(2), d = number(2), h = number(2), mi = number(2);
    const int sec = (s[0] - '0') * 10 + (s[1] - '0');
    s += 2;
    int ms = 0;
    if (*s == '.') {
        int scale = 100;
        for (++s; *s >= '0' && *s <= '9'; ++s, scale /= 10) ms += (*s - '0') * scale;
    }
    return kvcd::days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400000 +
           ((h * 60 + mi) * 60 + sec) * 1000LL + ms;
}

// ---- the fake server ------------------------------------------------------------

void message(WireOut& out, char type, const WireOut& body) {
    out.u8(static_cast<uint8_t>(type)).i32(static_cast<int32_t>(body.bytes.size() + 4));
    out.raw(body.bytes.data(), body.bytes.size());
}

WireOut row_description(bool binary) {
    WireOut body;
    body.i16(5);
    for (const PgColumn& c : kColumns) {
        body.raw(c.name, strlen(c.name) + 1).i32(0).i16(0).i32(c.oid).i16(c.width).i32(-1).i16(binary ? 1 : 0);
    }
    WireOut out;
    message(out, 'T', body);
    return out;
}

void data_row(WireOut& out, int64_t row, bool binary) {
    const RowValues v = row_values(row);
    WireOut body;
    body.i16(5);
    if (binary) {
        body.i32(4).i32(v.id).i32(8).i64(v.big).i32(8).f64(v.price).i32(kNameLength).raw(v.name, kNameLength);
        body.i32(8).i64((v.stamp_ms - kPgEpochMs) * 1000);
    } else {
        char price[32];
        const auto printed = std::to_chars(price, price + sizeof price, v.price);   // shortest exact, as the server prints
        const std::string texts[5] = {std::to_string(v.id), std::to_string(v.big), std::string(price, printed.ptr),
                                      std::string(v.name, kNameLength), timestamp_text(v.stamp_ms)};
        for (const std::string& t : texts) body.i32(static_cast<int32_t>(t.size())).raw(t);
    }
    message(out, 'D', body);
}

class PgPeer {
public:
    PgPeer(int fd, int64_t rows) : fd_(fd), rows_(rows) {}

    void serve() {
        if (!startup()) return;
        bool binary = false;
        for (;;) {
            char type;
            std::vector<uint8_t> body;
            if (!read_message(&type, &body)) return;
            if (type == 'X') return;
            if (type == 'B') binary = bind_wants_binary(body);
            if (type == 'Q' && !answer(false, false)) return;
            if (type == 'S' && !answer(binary, true)) return;
        }
    }

private:
    bool startup() {
        uint8_t length[4];
        if (!recv_exact(fd_, length, 4)) return false;
        std::vector<uint8_t> rest(read_be(length, 4) - 4);
        if (!recv_exact(fd_, rest.data(), rest.size())) return false;
        WireOut out, auth, key, ready;
        message(out, 'R', auth.i32(0));
        const char* settings[][2] = {{"server_version", "15.0"}, {"client_encoding", "UTF8"},
                                     {"integer_datetimes", "on"}, {"standard_conforming_strings", "on"},
                                     {"DateStyle", "ISO, MDY"}};
        for (const auto& s : settings) {
            WireOut status;
            status.raw(s[0], strlen(s[0]) + 1).raw(s[1], strlen(s[1]) + 1);
            message(out, 'S', status);
        }
        message(out, 'K', key.i32(4242).i32(1234));
        message(out, 'Z', ready.u8('I'));
        return send_exact(fd_, out.bytes.data(), out.bytes.size());
    }

    bool read_message(char* type, std::vector<uint8_t>* body) {
        uint8_t head[5];
        if (!recv_exact(fd_, head, 5)) return false;
        *type = static_cast<char>(head[0]);
        body->resize(read_be(head + 1, 4) - 4);
        return recv_exact(fd_, body->data(), body->size());
    }

    // Bind: portal, statement, parameter formats, parameters, then result formats.
    static bool bind_wants_binary(const std::vector<uint8_t>& b) {
        size_t at = 0;
        for (int name = 0; name < 2; ++name) at = static_cast<size_t>(std::find(b.begin() + at, b.end(), 0) - b.begin()) + 1;
        at += 2 + 2 * read_be(&b[at], 2);
        const int params = static_cast<int>(read_be(&b[at], 2));
        at += 2;
        for (int p = 0; p < params; ++p) {
            const int32_t length = static_cast<int32_t>(read_be(&b[at], 4));
            at += 4 + static_cast<size_t>(std::max(length, 0));
        }
        const int formats = static_cast<int>(read_be(&b[at], 2));
        return formats > 0 && read_be(&b[at + 2], 2) == 1;
    }

    bool answer(bool binary, bool extended) {
        WireOut head;
        if (extended) {
            WireOut none;
            message(head, '1', none);
            message(head, '2', none);
        }
        const WireOut description = row_description(binary);
        head.raw(description.bytes.data(), description.bytes.size());
        if (!send_exact(fd_, head.bytes.data(), head.bytes.size())) return false;
        const std::vector<uint8_t>& block = binary ? binary_block_ : text_block_;
        std::vector<size_t>& ends = binary ? binary_ends_ : text_ends_;
        if (block.empty()) build_blocks();
        for (int64_t left = rows_; left > 0; left -= kFetchBlockRows) {
            const size_t n = static_cast<size_t>(std::min<int64_t>(left, kFetchBlockRows));
            if (!send_exact(fd_, block.data(), ends[n - 1])) return false;
        }
        WireOut tail, complete, ready;
        complete.raw("SELECT " + std::to_string(rows_));
        complete.u8(0);
        message(tail, 'C', complete);
        message(tail, 'Z', ready.u8('I'));
        return send_exact(fd_, tail.bytes.data(), tail.bytes.size());
    }

    void build_blocks() {
        WireOut binary, text;
        for (int r = 0; r < kFetchBlockRows; ++r) {
            data_row(binary, r, true);
            binary_ends_.push_back(binary.bytes.size());
            data_row(text, r, false);
            text_ends_.push_back(text.bytes.size());
        }
        binary_block_ = std::move(binary.bytes);
        text_block_ = std::move(text.bytes);
    }

    int fd_;
    int64_t rows_;
    std::vector<uint8_t> binary_block_, text_block_;
    std::vector<size_t> binary_ends_, text_ends_;   // end of each row within its block
};

// ---- the client -------------------------------------------------------------------

uint64_t convert_row(const PGresult* res, int row, bool binary) {
    int32_t id;
    int64_t big, stamp;
    double price;
    char name[kTextBuffer];
    const int name_length = std::min(PQgetlength(res, row, 3), kTextBuffer - 1);
    memcpy(name, PQgetvalue(res, row, 3), static_cast<size_t>(name_length));
    name[name_length] = '\0';
    if (binary) {
        id = static_cast<int32_t>(read_be(reinterpret_cast<const uint8_t*>(PQgetvalue(res, row, 0)), 4));
        big = static_cast<int64_t>(read_be(reinterpret_cast<const uint8_t*>(PQgetvalue(res, row, 1)), 8));
        const uint64_t bits = read_be(reinterpret_cast<const uint8_t*>(PQgetvalue(res, row, 2)), 8);
        memcpy(&price, &bits, sizeof price);
        const int64_t micros = static_cast<int64_t>(read_be(reinterpret_cast<const uint8_t*>(PQgetvalue(res, row, 4)), 8));
        stamp = micros / 1000 + kPgEpochMs;
    } else {
        id = static_cast<int32_t>(strtol(PQgetvalue(res, row, 0), nullptr, 10));
        big = strtoll(PQgetvalue(res, row, 1), nullptr, 10);
        price = strtod(PQgetvalue(res, row, 2), nullptr);
        stamp = parse_timestamp(PQgetvalue(res, row, 4));
    }
    return row_checksum(id, big, price, name[kNameLength - 1], stamp);
}

// Folds every row of a result into the checksum; the row count, or -1 for a result without rows.
int64_t convert_result(const PGresult* res, bool binary, uint64_t* checksum) {
    const ExecStatusType status = PQresultStatus(res);
    if (status != PGRES_TUPLES_OK && status != PGRES_SINGLE_TUPLE) return -1;
    const int n = PQntuples(res);
    for (int row = 0; row < n; ++row) *checksum += convert_row(res, row, binary);
    return n;
}

// PQexecParams with binary results, or PQexec with text: the whole reply in one result.
int64_t fetch_whole(PGconn* conn, bool binary, uint64_t* checksum) {
    PGresult* res = binary ? PQexecParams(conn, kFetchSql, 0, nullptr, nullptr, nullptr, nullptr, 1)
                           : PQexec(conn, kFetchSql);
    const int64_t rows = convert_result(res, binary, checksum);
    PQclear(res);
    return rows;
}

// Single-row mode: one result per row, then the closing empty one.
int64_t fetch_row_by_row(PGconn* conn, bool binary, uint64_t* checksum) {
    const int sent = binary ? PQsendQueryParams(conn, kFetchSql, 0, nullptr, nullptr, nullptr, nullptr, 1)
                            : PQsendQuery(conn, kFetchSql);
    if (sent != 1 || PQsetSingleRowMode(conn) != 1) return -1;
    int64_t rows = 0;
    for (PGresult* res; (res = PQgetResult(conn)) != nullptr; PQclear(res)) rows += std::max<int64_t>(convert_result(res, binary, checksum), 0);
    return rows;
}

}  // namespace

const char* pg_mode_name(PgMode mode) {
    switch (mode) {
    case PgMode::BinaryParams: return "binary";
    case PgMode::TextExec: return "text";
    case PgMode::SingleRowBinary: return "single_binary";
    case PgMode::SingleRowText: return "single_text";
    }
    return "?";
}

void pg_peer(int listen_fd, int64_t rows) {
    int fd = accept(listen_fd, nullptr, nullptr);
    if (fd < 0) return;
    PgPeer(fd, rows).serve();
    char byte;
    while (read(fd, &byte, 1) > 0) continue;
    close(fd);
}

RunResult pg_fetch_client(int port, int64_t rows, PgMode mode) {
    RunResult r;
    const uint64_t expected = expected_checksum(rows);
    char info[200];
    snprintf(info, sizeof info,
             "host=127.0.0.1 port=%d user=bench dbname=bench sslmode=disable gssencmode=disable", port);
    PGconn* conn = PQconnectdb(info);
    if (PQstatus(conn) != CONNECTION_OK) {
        snprintf(r.note, sizeof r.note, "PQconnectdb: %s", PQerrorMessage(conn));
        PQfinish(conn);
        return r;
    }
    const bool binary = mode == PgMode::BinaryParams || mode == PgMode::SingleRowBinary;
    const bool single_row = mode == PgMode::SingleRowBinary || mode == PgMode::SingleRowText;
    Stopwatch watch;
    uint64_t checksum = 0;
    const int64_t converted =
        single_row ? fetch_row_by_row(conn, binary, &checksum) : fetch_whole(conn, binary, &checksum);
    r.seconds = watch.stop(&r.rss_growth, &r.cpu_seconds);
    PQfinish(conn);
    r.items = converted;
    r.ok = converted == rows && checksum == expected;
    if (!r.ok)
        snprintf(r.note, sizeof r.note, "%lld of %lld rows, checksum %s", static_cast<long long>(converted),
                 static_cast<long long>(rows), checksum == expected ? "right" : "wrong");
    return r;
}

}  // namespace suite
