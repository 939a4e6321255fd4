// Turing keystream: the constant tables and vector files, the published long-run vectors,
// key and IV length handling, and the session rule across its block boundaries.
#include "kvc_inner.h"
#include "kvc_turing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#ifndef KVC_VECTORS_DIR
#define KVC_VECTORS_DIR "/work/shared/vectors"
#endif

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<std::string> read_lines(const std::string& name) {
    std::ifstream in(std::string(KVC_VECTORS_DIR) + "/" + name);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

Bytes from_hex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string to_hex(const uint8_t* p, size_t n) {
    std::string s;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(two, sizeof two, "%02x", p[i]);
        s += two;
    }
    return s;
}

std::vector<std::string> split_fields(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    for (std::string field; std::getline(in, field, '|');) {
        const size_t first = field.find_first_not_of(" \t\r"), last = field.find_last_not_of(" \t\r");
        fields.push_back(first == std::string::npos ? "" : field.substr(first, last - first + 1));
    }
    return fields;
}

// The first `blocks` generator outputs for a key and IV, back to back.
Bytes keystream_blocks(const Bytes& key, const Bytes& iv, size_t blocks) {
    TuringData st{};
    turing_key(&st, key.data(), int(key.size()));
    EXPECT_EQ(turing_IV(&st, iv.empty() ? nullptr : iv.data(), int(iv.size())), 0);
    Bytes out(blocks * TURING_BLOCK_BYTES);
    for (size_t b = 0; b < blocks; ++b) EXPECT_EQ(turing_gen(&st, out.data() + b * TURING_BLOCK_BYTES), TURING_BLOCK_BYTES);
    return out;
}

// What the session rule must produce: byte k XORed with byte k % 340 of block k / 3400.
Bytes rule_reference(const Bytes& key, const Bytes& plain) {
    const Bytes stream = keystream_blocks(key, {}, plain.size() / TURING_SESSION_PERIOD + 1);
    Bytes out = plain;
    for (size_t k = 0; k < out.size(); ++k)
        out[k] ^= stream[(k / TURING_SESSION_PERIOD) * TURING_BLOCK_BYTES + k % TURING_BLOCK_BYTES];
    return out;
}

Bytes counting_key() {
    Bytes key(32);
    for (int i = 0; i < 32; ++i) key[i] = uint8_t(i);
    return key;
}

TEST(TuringTables, MatchThePublishedTables) {
    std::map<std::string, std::vector<uint32_t>> tables;
    std::string current;
    for (const std::string& line : read_lines("turing_tables.txt")) {
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            current = line.substr(1, line.find(']') - 1);
            continue;
        }
        std::stringstream in(line);
        for (std::string word; in >> word;) tables[current].push_back(uint32_t(std::stoul(word, nullptr, 16)));
    }
    ASSERT_EQ(tables["Sbox"].size() + tables["Qbox"].size() + tables["Multab"].size(), 768u);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(Sbox[i], tables["Sbox"][i]) << "Sbox " << i;
        EXPECT_EQ(Qbox[i], tables["Qbox"][i]) << "Qbox " << i;
        EXPECT_EQ(Multab[i], tables["Multab"][i]) << "Multab " << i;
    }
}

// Generator lines: name | key | iv | offset | bytes. Session lines: name | key | byte number | bytes.
TEST(TuringVectors, EveryLineOfTheFile) {
    int generator_lines = 0, session_lines = 0, line_no = 0;
    for (const std::string& line : read_lines("turing_vectors.txt")) {
        ++line_no;
        if (line.empty() || line[0] == '#') continue;
        const auto f = split_fields(line);
        SCOPED_TRACE("turing_vectors.txt line " + std::to_string(line_no) + " " + f[0]);
        if (f.size() == 5) {
            ++generator_lines;
            const size_t offset = std::stoul(f[3]), length = f[4].size() / 2;
            const Bytes stream = keystream_blocks(from_hex(f[1]), from_hex(f[2]), (offset + length) / TURING_BLOCK_BYTES + 1);
            EXPECT_EQ(to_hex(stream.data() + offset, length), f[4]);
        } else if (f.size() == 4) {
            ++session_lines;
            const Bytes key = from_hex(f[1]);
            ASSERT_EQ(key.size(), 32u);
            const size_t first = std::stoul(f[2]);
            TuringData st;
            turing_session_start(&st, key.data());
            Bytes buf(first + f[3].size() / 2, 0);
            turing_session_xor(&st, buf.data(), int64_t(buf.size()));
            EXPECT_EQ(to_hex(buf.data() + first, buf.size() - first), f[3]);
        } else {
            ADD_FAILURE() << "unrecognised vector line";
        }
    }
    EXPECT_GT(generator_lines, 0) << "vector file missing under " << KVC_VECTORS_DIR;
    EXPECT_GT(session_lines, 0);
}

// A long-run vector is described in the file's comments: an indented "#   name: ..." line and
// its continuations give the iteration count, for the IV run the key text, and the result.
struct LongRun {
    long iterations = 0;
    std::string key_text, first_bytes;
};

LongRun long_run(const std::string& name) {
    std::string notes;
    bool inside = false;
    for (const std::string& line : read_lines("turing_vectors.txt")) {
        if (line.rfind("#   ", 0) != 0) continue;
        if (line[4] != ' ') inside = line.compare(4, name.size() + 2, name + ": ") == 0;
        if (inside) notes += line + " ";
    }
    LongRun run;
    std::smatch m;
    if (std::regex_search(notes, m, std::regex("(\\d+) times"))) run.iterations = std::stol(m[1]);
    if (std::regex_search(notes, m, std::regex("key \"([^\"]*)\""))) run.key_text = m[1];
    if (std::regex_search(notes, m, std::regex("the first 20 bytes are ([0-9a-f]{40})"))) run.first_bytes = m[1];
    return run;
}

// The published harness runs this loop on the buffer its first test left behind: the first
// block of the published-1 key and IV (not a zeroed buffer, as the file's note has it).
TEST(TuringLongRun, IteratedKeying) {
    const LongRun run = long_run("iterated");
    ASSERT_GT(run.iterations, 0);
    ASSERT_EQ(run.first_bytes.size(), 40u);
    std::vector<std::string> first_test;
    for (const std::string& line : read_lines("turing_vectors.txt"))
        if (line.rfind("published-1 ", 0) == 0) first_test = split_fields(line);
    ASSERT_EQ(first_test.size(), 5u);
    Bytes buf = keystream_blocks(from_hex(first_test[1]), from_hex(first_test[2]), 1);
    TuringData st;
    for (long i = 0; i < run.iterations; ++i) {
        turing_key(&st, buf.data(), 20);
        turing_IV(&st, nullptr, 0);
        turing_gen(&st, buf.data());
    }
    EXPECT_EQ(to_hex(buf.data(), 20), run.first_bytes);
}

TEST(TuringLongRun, IvReloading) {
    const LongRun run = long_run("iv-test");
    ASSERT_GT(run.iterations, 0);
    ASSERT_FALSE(run.key_text.empty());
    ASSERT_EQ(run.first_bytes.size(), 40u);
    Bytes buf = keystream_blocks(Bytes(run.key_text.begin(), run.key_text.end()), {}, 1);
    TuringData st{};
    turing_key(&st, reinterpret_cast<const uint8_t*>(run.key_text.data()), int(run.key_text.size()));
    for (long i = 0; i < run.iterations; ++i) {
        ASSERT_EQ(turing_IV(&st, buf.data(), 4), 0);
        turing_gen(&st, buf.data());
    }
    EXPECT_EQ(to_hex(buf.data(), 20), run.first_bytes);
}

TEST(TuringKey, LengthIsRoundedDownAndCapped) {
    Bytes key(40);
    for (size_t i = 0; i < key.size(); ++i) key[i] = uint8_t(0x30 + 7 * i);
    auto keyed = [&](const uint8_t* k, int length) {
        TuringData st{};
        turing_key(&st, k, length);
        EXPECT_EQ(turing_IV(&st, nullptr, 0), 0);
        Bytes out(TURING_BLOCK_BYTES);
        turing_gen(&st, out.data());
        return out;
    };
    const std::pair<int, int> same_as[] = {{33, 32}, {40, 32}, {1000, 32}, {31, 28}, {29, 28},
                                           {7, 4},   {3, 0},   {-8, 0}};
    for (const auto& [given, used] : same_as)
        EXPECT_EQ(keyed(key.data(), given), keyed(key.data(), used)) << given << " bytes";
    EXPECT_EQ(keyed(nullptr, 16), keyed(key.data(), 0));
    EXPECT_NE(keyed(key.data(), 32), keyed(key.data(), 28));  // the cut really changes the key
}

TEST(TuringIV, RefusedLengthsLeaveTheStateUntouched) {
    TuringData st{};
    const Bytes key = counting_key();
    turing_key(&st, key.data(), 32);
    const Bytes iv(64, 0x5A);
    const TuringData before = st;
    // Not a multiple of 4, negative, missing, or more than 48 bytes together with the key.
    for (auto [data, length] : {std::pair<const uint8_t*, int>{iv.data(), 3}, {iv.data(), -4},
                                {iv.data(), 20}, {iv.data(), 64}, {nullptr, 4}}) {
        EXPECT_EQ(turing_IV(&st, data, length), -1) << length;
        EXPECT_EQ(std::memcmp(&st, &before, sizeof st), 0) << length;
    }
    EXPECT_EQ(turing_IV(&st, iv.data(), 16), 0);  // 16 + 32 is exactly the limit
    turing_key(&st, nullptr, 0);
    EXPECT_EQ(turing_IV(&st, iv.data(), 48), 0);
    EXPECT_EQ(turing_IV(&st, iv.data(), 52), -1);
}

// 7000 bytes cross two 3400-byte block changes and many 340-byte wraps.
TEST(TuringSession, CallSizesDoNotChangeTheStream) {
    const Bytes key = counting_key();
    std::mt19937 rng(7);
    Bytes plain(7000);
    for (auto& b : plain) b = uint8_t(rng());
    const Bytes want = rule_reference(key, plain);

    TuringData whole, bytewise, chunked, offset;
    for (TuringData* st : {&whole, &bytewise, &chunked, &offset}) turing_session_start(st, key.data());
    Bytes a = plain, b = plain, c = plain, d = plain;
    turing_session_xor(&whole, a.data(), int64_t(a.size()));
    // A call that starts inside a period and then covers a whole one.
    turing_session_xor(&offset, d.data(), 100);
    turing_session_xor(&offset, d.data() + 100, int64_t(d.size()) - 100);
    for (size_t i = 0; i < b.size(); ++i) turing_session_xor(&bytewise, &b[i], 1);
    for (size_t i = 0, run; i < c.size(); i += run) {
        run = std::min<size_t>(1 + rng() % 700, c.size() - i);
        turing_session_xor(&chunked, &c[i], int64_t(run));
    }
    EXPECT_EQ(a, want);
    EXPECT_EQ(b, want);
    EXPECT_EQ(c, want);
    EXPECT_EQ(d, want);
    EXPECT_EQ(bytewise.keystream_pos, 7000 % TURING_SESSION_PERIOD);

    turing_session_xor(&whole, a.data(), 0);  // nothing to do, nothing consumed
    turing_session_xor(&whole, a.data(), -5);
    EXPECT_EQ(a, want);
    EXPECT_EQ(whole.keystream_pos, bytewise.keystream_pos);
}

// The connection's two directions start from the same block and then each
// advance by its own traffic only.
TEST(TuringSession, ConnectionDirectionsStartAlikeAndAdvanceApart) {
    const Bytes key = counting_key();
    Conn_Attrs* conn = static_cast<Conn_Attrs*>(hr_malloc0(sizeof(Conn_Attrs)));
    ASSERT_EQ(init_turing_key(conn, key.data(), 32), 0);
    EXPECT_EQ(std::memcmp(conn->send_cipher, conn->recv_cipher, sizeof(TuringData)), 0);
    Bytes sent(5000, 0), received(100, 0);
    encrypt_buff(conn, sent.data(), int(sent.size()));
    decrypt_buff(conn, received.data(), int(received.size()));
    EXPECT_EQ(sent, rule_reference(key, Bytes(5000, 0)));
    EXPECT_EQ(received, Bytes(sent.begin(), sent.begin() + 100));
    EXPECT_EQ(conn->recv_cipher->keystream_pos, 100);
    release_turing_keys(conn);
    EXPECT_EQ(conn->send_cipher, nullptr);
    free(conn);
}

}  // namespace
