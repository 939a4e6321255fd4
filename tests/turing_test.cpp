// Turing keystream: the constant tables and vector files, the published long-run vectors,
// key and IV length handling, and the session rule across its block boundaries.
#include "kvc_turing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <random>
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
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string to_hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::vector<std::string> split_fields(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    for (std::string field; std::getline(in, field, '|');) {
        const size_t first = field.find_first_not_of(" \t\r");
        const size_t last = field.find_last_not_of(" \t\r");
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
    for (size_t b = 0; b < blocks; ++b)
        EXPECT_EQ(turing_gen(&st, out.data() + b * TURING_BLOCK_BYTES), TURING_BLOCK_BYTES);
    return out;
}

// What the session rule must produce: byte k XORed with byte k % 340 of block k / 3400.
Bytes rule_reference(const Bytes& key, const Bytes& plain) {
    const size_t blocks = plain.size() / TURING_SESSION_PERIOD + 1;
    const Bytes stream = keystream_blocks(key, {}, blocks);
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
    ASSERT_EQ(tables["Sbox"].size(), 256u);
    ASSERT_EQ(tables["Qbox"].size(), 256u);
    ASSERT_EQ(tables["Multab"].size(), 256u);
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
            const Bytes want = from_hex(f[4]);
            const size_t offset = std::stoul(f[3]);
            const Bytes stream = keystream_blocks(from_hex(f[1]), from_hex(f[2]),
                                          (offset + want.size()) / TURING_BLOCK_BYTES + 1);
            EXPECT_EQ(to_hex(stream.data() + offset, want.size()), f[4]);
        } else if (f.size() == 4) {
            ++session_lines;
            const Bytes key = from_hex(f[1]), want = from_hex(f[3]);
            ASSERT_EQ(key.size(), 32u);
            const size_t first = std::stoul(f[2]);
            TuringData st;
            turing_session_start(&st, key.data());
            Bytes buf(first + want.size(), 0);
            turing_session_xor(&st, buf.data(), int64_t(buf.size()));
            EXPECT_EQ(to_hex(buf.data() + first, want.size()), f[3]);
        } else {
            ADD_FAILURE() << "unrecognised vector line";
        }
    }
    EXPECT_GT(generator_lines, 0) << "vector file missing under " << KVC_VECTORS_DIR;
    EXPECT_GT(session_lines, 0);
}

// The long-run vectors are described in the file's comments: an indented "#   name: ..." line
// and its continuation lines give the iteration count ("N times"), for the IV run the key
// text (key "..."), and the expected bytes ("the first 20 bytes are <hex>").
struct LongRun {
    long iterations = 0;
    std::string key_text;
    std::string first_bytes;
};

// The text after `marker` in `notes`, up to the first character of `stop`.
std::string after(const std::string& notes, const std::string& marker, const char* stop) {
    const size_t at = notes.find(marker);
    if (at == std::string::npos) return "";
    const size_t from = at + marker.size();
    return notes.substr(from, notes.find_first_of(stop, from) - from);
}

LongRun long_run(const std::string& name) {
    std::string notes;
    bool inside = false;
    for (const std::string& line : read_lines("turing_vectors.txt")) {
        if (line.rfind("#   ", 0) != 0) continue;
        if (line[4] != ' ') inside = line.compare(4, name.size() + 2, name + ": ") == 0;
        if (inside) notes += line + " ";
    }
    LongRun run;
    const size_t times = notes.find(" times");
    if (times != std::string::npos)
        run.iterations = std::stol(notes.substr(notes.find_last_of(' ', times - 1) + 1));
    run.key_text = after(notes, "key \"", "\"");
    run.first_bytes = after(notes, "the first 20 bytes are ", " ;,");
    return run;
}

// The published harness runs this loop on the buffer its first test left behind: the first
// block of the published-1 key and IV. That start, not a zeroed buffer as the file's note has
// it, is what reproduces the published bytes.
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
    Bytes buf(TURING_BLOCK_BYTES, 0);
    TuringData st;
    turing_key(&st, reinterpret_cast<const uint8_t*>(run.key_text.data()), int(run.key_text.size()));
    turing_IV(&st, nullptr, 0);
    turing_gen(&st, buf.data());
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
    const int refused[] = {3, -4, 20, 64};
    for (int length : refused) {
        EXPECT_EQ(turing_IV(&st, iv.data(), length), -1) << length;
        EXPECT_EQ(std::memcmp(&st, &before, sizeof st), 0) << length;
    }
    EXPECT_EQ(turing_IV(&st, nullptr, 4), -1);
    EXPECT_EQ(std::memcmp(&st, &before, sizeof st), 0);
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

    TuringData whole, bytewise, chunked;
    turing_session_start(&whole, key.data());
    turing_session_start(&bytewise, key.data());
    turing_session_start(&chunked, key.data());

    Bytes a = plain, b = plain, c = plain;
    turing_session_xor(&whole, a.data(), int64_t(a.size()));
    for (size_t i = 0; i < b.size(); ++i) turing_session_xor(&bytewise, &b[i], 1);
    for (size_t i = 0; i < c.size();) {
        const size_t run = std::min<size_t>(1 + rng() % 700, c.size() - i);
        turing_session_xor(&chunked, &c[i], int64_t(run));
        i += run;
    }
    EXPECT_EQ(a, want);
    EXPECT_EQ(b, want);
    EXPECT_EQ(c, want);
    EXPECT_EQ(whole.keystream_pos, 7000 % TURING_SESSION_PERIOD);
    EXPECT_EQ(bytewise.keystream_pos, whole.keystream_pos);

    turing_session_xor(&whole, a.data(), 0);  // nothing to do, nothing consumed
    turing_session_xor(&whole, a.data(), -5);
    EXPECT_EQ(a, want);
    EXPECT_EQ(whole.keystream_pos, bytewise.keystream_pos);
}

TEST(TuringSession, TwoStatesFromOneKeyStayIdentical) {
    const Bytes key = counting_key();
    TuringData send, recv;
    turing_session_start(&send, key.data());
    turing_session_start(&recv, key.data());
    for (int round = 0; round < 3; ++round) {
        Bytes x(4100, 0), y(4100, 0);
        turing_session_xor(&send, x.data(), int64_t(x.size()));
        for (size_t i = 0; i < y.size(); i += 41) turing_session_xor(&recv, &y[i], 41);
        EXPECT_EQ(x, y) << "round " << round;
        EXPECT_EQ(std::memcmp(&send, &recv, sizeof send), 0) << "round " << round;
    }
}

}  // namespace
