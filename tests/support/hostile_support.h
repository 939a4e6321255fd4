// Building blocks of the hostile-server tests: replies that remember where
// their tags and int32 fields lie (so mutations can aim at them), a seeded
// generator, the mutations themselves, and caller buffers fenced with guard
// bytes.
#pragma once

#include "support/wire_pair.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// A small, fully specified generator (xorshift64*), so that a seed replays
// the same cases with any standard library.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed != 0 ? seed : 0x9E3779B97F4A7C15ull) {}
    uint64_t next() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545F4914F6CDD1Dull;
    }
    // Uniform in [0, n); 0 when n is 0.
    size_t below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(next() % n); }
    bool chance(int percent) { return below(100) < static_cast<size_t>(percent); }
    template <typename T>
    const T& pick(const std::vector<T>& items) { return items[below(items.size())]; }

private:
    uint64_t state_;
};

// A reply under construction, with the offsets of its message tags and of its
// int32 fields (lengths and counts).
struct Reply {
    Bytes bytes;
    std::vector<size_t> tags;
    std::vector<size_t> ints;
};

class ReplyWriter {
public:
    ReplyWriter& tag(char c) { mark(reply_.tags); w_.tag(c); return *this; }
    ReplyWriter& byte(char c) { w_.tag(c); return *this; }
    ReplyWriter& i16(int16_t v) { w_.i16(v); return *this; }
    ReplyWriter& i32(int32_t v) { mark(reply_.ints); w_.i32(v); return *this; }
    ReplyWriter& i64(int64_t v) { w_.i64(v); return *this; }
    ReplyWriter& r4(float v) { w_.r4(v); return *this; }
    ReplyWriter& r8(double v) { w_.r8(v); return *this; }
    ReplyWriter& raw(const Bytes& b) { w_.raw(b); return *this; }
    ReplyWriter& raw(const std::string& s) { w_.raw(s); return *this; }
    ReplyWriter& str(const std::string& s) { i32(static_cast<int32_t>(s.size())); w_.raw(s); return *this; }
    ReplyWriter& append(const Reply& other) {
        const size_t base = w_.bytes().size();
        for (size_t t : other.tags) reply_.tags.push_back(base + t);
        for (size_t i : other.ints) reply_.ints.push_back(base + i);
        w_.raw(other.bytes);
        return *this;
    }
    Reply done() {
        reply_.bytes = w_.bytes();
        return reply_;
    }

private:
    void mark(std::vector<size_t>& where) { where.push_back(w_.bytes().size()); }
    WireBuilder w_;
    Reply reply_;
};

// Tags that no reply of this protocol carries.
inline const std::vector<char>& unknown_tags() {
    static const std::vector<char> tags = {'Z', 'x', '\0', '\x7f', '\xff', '#', 'Q', '?'};
    return tags;
}

// One mutation of a valid reply; what it did is appended to *what.
inline Bytes mutate(const Reply& reply, Rng& rng, std::string* what) {
    Bytes b = reply.bytes;
    auto put32 = [&](size_t at, int32_t v) {
        for (int k = 0; k < 4 && at + k < b.size(); ++k)
            b[at + k] = static_cast<unsigned char>(static_cast<uint32_t>(v) >> (24 - 8 * k));
    };
    auto get32 = [&](size_t at) {
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k) v = v << 8 | (at + k < b.size() ? b[at + k] : 0);
        return static_cast<int32_t>(v);
    };
    switch (rng.below(9)) {
    case 0: {   // bit flips
        const size_t flips = 1 + rng.below(3);
        for (size_t i = 0; i < flips && !b.empty(); ++i) {
            size_t at = rng.below(b.size());
            b[at] ^= static_cast<unsigned char>(1u << rng.below(8));
            *what += "flip@" + std::to_string(at) + " ";
        }
        break;
    }
    case 1: {   // truncation
        size_t at = rng.below(b.size() + 1);
        b.resize(at);
        *what += "cut@" + std::to_string(at) + " ";
        break;
    }
    case 2: {   // byte insertion
        size_t at = rng.below(b.size() + 1);
        b.insert(b.begin() + static_cast<long>(at), static_cast<unsigned char>(rng.below(256)));
        *what += "insert@" + std::to_string(at) + " ";
        break;
    }
    case 3: {   // byte deletion
        if (b.empty()) break;
        size_t at = rng.below(b.size());
        b.erase(b.begin() + static_cast<long>(at));
        *what += "delete@" + std::to_string(at) + " ";
        break;
    }
    case 4:
    case 5: {   // a length or count replaced by a value a server must never send
        if (reply.ints.empty()) break;
        size_t at = rng.pick(reply.ints);
        const uint32_t old = static_cast<uint32_t>(get32(at));
        const std::vector<int32_t> values = {-1, INT32_MIN, INT32_MAX, 0, 4001, 1025, 1048577,
                                             static_cast<int32_t>(old + 1), static_cast<int32_t>(old - 1),
                                             0x7FFFFF00, 65536};
        int32_t v = rng.pick(values);
        put32(at, v);
        *what += "int@" + std::to_string(at) + "=" + std::to_string(v) + " ";
        break;
    }
    case 6: {   // an unknown tag where a message starts
        if (reply.tags.empty()) break;
        size_t at = rng.pick(reply.tags);
        if (at >= b.size()) break;   // an earlier mutation cut it off
        b[at] = static_cast<unsigned char>(rng.pick(unknown_tags()));
        *what += "tag@" + std::to_string(at) + " ";
        break;
    }
    case 7: {   // an end of reply in the middle
        size_t at = reply.tags.empty() ? rng.below(b.size() + 1) : rng.pick(reply.tags);
        at = at < b.size() ? at : b.size();
        b.insert(b.begin() + static_cast<long>(at), 'K');
        *what += "K@" + std::to_string(at) + " ";
        break;
    }
    default: {   // a run of random bytes over part of the reply
        if (b.empty()) break;
        size_t at = rng.below(b.size());
        size_t n = 1 + rng.below(8);
        for (size_t i = at; i < at + n && i < b.size(); ++i) b[i] = static_cast<unsigned char>(rng.below(256));
        *what += "noise@" + std::to_string(at) + " ";
        break;
    }
    }
    return b;
}

inline Bytes random_bytes(Rng& rng, size_t max_length) {
    Bytes b(rng.below(max_length + 1));
    for (auto& c : b) c = static_cast<unsigned char>(rng.below(256));
    // Usually a tag the readers know first, so the noise reaches a body.
    static const char kTags[] = "AEFMWUDIOPK$R*";
    if (!b.empty() && rng.chance(70)) b[0] = static_cast<unsigned char>(kTags[rng.below(sizeof kTags - 1)]);
    return b;
}

// A caller buffer of size bytes between two fences of guard bytes.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t size, unsigned char fill = 0xA5) : size_(size), bytes_(size + 2 * kFence, kGuard) {
        memset(data(), fill, size);
    }
    unsigned char* data() { return bytes_.data() + kFence; }
    int size() const { return static_cast<int>(size_); }
    bool intact() const {
        for (size_t i = 0; i < kFence; ++i)
            if (bytes_[i] != kGuard || bytes_[kFence + size_ + i] != kGuard) return false;
        return true;
    }

private:
    static constexpr size_t kFence = 16;
    static constexpr unsigned char kGuard = 0xCD;
    size_t size_;
    Bytes bytes_;
};
