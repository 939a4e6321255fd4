#include "login.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gmp.h>
#include <stdexcept>
#include <strings.h>
#include <unistd.h>

namespace kvcd {

namespace {

bool is_key_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// At text[i]: blanks, a key, blanks, '='? Used to find where a quoted value ends.
bool key_follows(const std::string& t, size_t i) {
    while (i < t.size() && t[i] == ' ') ++i;
    size_t k = i;
    while (k < t.size() && is_key_char(t[k])) ++k;
    if (k == i) return false;
    while (k < t.size() && t[k] == ' ') ++k;
    return k < t.size() && t[k] == '=';
}

}  // namespace

bool parse_login_text(const std::string& t, LoginInfo& out, std::string& error) {
    static const char kPrefix[] = "login ";
    if (t.compare(0, sizeof kPrefix - 1, kPrefix) != 0) {
        error = "login text does not begin with \"login\"";
        return false;
    }
    size_t i = sizeof kPrefix - 1;
    bool saw_version = false;
    while (i < t.size()) {
        while (i < t.size() && t[i] == ' ') ++i;
        if (i >= t.size()) break;
        size_t k = i;
        while (k < t.size() && is_key_char(t[k])) ++k;
        std::string key = t.substr(i, k - i);
        while (k < t.size() && t[k] == ' ') ++k;
        if (key.empty() || k >= t.size() || t[k] != '=') {
            error = "malformed login text near offset " + std::to_string(i);
            return false;
        }
        ++k;
        while (k < t.size() && t[k] == ' ') ++k;
        std::string value;
        if (k < t.size() && t[k] == '\'') {
            size_t q = k + 1;
            for (;;) {
                q = t.find('\'', q);
                if (q == std::string::npos) {
                    error = "unterminated value of " + key;
                    return false;
                }
                if (q + 1 == t.size() || key_follows(t, q + 1)) break;
                ++q;
            }
            value = t.substr(k + 1, q - k - 1);
            i = q + 1;
        } else {
            size_t e = k;
            while (e < t.size() && t[e] != ' ') ++e;
            value = t.substr(k, e - k);
            i = e;
        }
        if (strcasecmp(key.c_str(), "database") == 0) out.database = value;
        else if (strcasecmp(key.c_str(), "user") == 0) out.user = value;
        else if (strcasecmp(key.c_str(), "password") == 0) out.password = value;
        else if (strcasecmp(key.c_str(), "char_set") == 0) out.char_set = value;
        else if (strcasecmp(key.c_str(), "iso_level") == 0) out.iso_level = value;
        else if (strcasecmp(key.c_str(), "current_schema") == 0) out.current_schema = value;
        else if (strcasecmp(key.c_str(), "keyword_filter") == 0) out.keyword_filter = value;
        else if (strcasecmp(key.c_str(), "lock_timeout") == 0) out.lock_timeout = std::atoi(value.c_str());
        else if (strcasecmp(key.c_str(), "auto_commit") == 0) out.auto_commit = strcasecmp(value.c_str(), "off") != 0;
        else if (strcasecmp(key.c_str(), "lob_ret") == 0) out.lob_descriptors = true;
        else if (strcasecmp(key.c_str(), "version") == 0) { out.version = value; saw_version = true; }
        // return_cursor_id and unknown keys change nothing here.
    }
    if (!saw_version) {
        error = "login text has no version";
        return false;
    }
    return true;
}

bool login_text_complete(const std::string& t) {
    if (t.size() < 2 || t.back() != '\'') return false;
    size_t open = t.rfind('\'', t.size() - 2);
    if (open == std::string::npos) return false;
    static const char kPiece[] = " version = ";
    size_t len = sizeof kPiece - 1;
    return open >= len && t.compare(open - len, len, kPiece) == 0;
}

struct RsaKeyPair::Numbers {
    mpz_t n, d;
};

namespace {

void random_bytes(uint8_t* out, size_t len) {
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open /dev/urandom");
    size_t got = 0;
    while (got < len) {
        ssize_t r = ::read(fd, out + got, len - got);
        if (r <= 0) {
            ::close(fd);
            throw std::runtime_error("cannot read /dev/urandom");
        }
        got += static_cast<size_t>(r);
    }
    ::close(fd);
}

// A 128-bit prime whose two top bits are set, so that the product of two has
// its bit 255 set.
void random_prime(mpz_t p) {
    uint8_t b[16];
    random_bytes(b, sizeof b);
    b[0] |= 0xC0;
    mpz_import(p, sizeof b, 1, 1, 0, 0, b);
    mpz_nextprime(p, p);
}

void export_le(const mpz_t v, std::array<uint8_t, 32>& out) {
    out.fill(0);
    size_t count = 0;
    mpz_export(out.data(), &count, -1, 1, 0, 0, v);
}

}  // namespace

RsaKeyPair::RsaKeyPair() : num_(new Numbers) {
    mpz_init(num_->n);
    mpz_init(num_->d);
    mpz_t p, q, phi, e, t;
    mpz_inits(p, q, phi, e, t, nullptr);
    mpz_set_ui(e, 65537);
    for (;;) {
        random_prime(p);
        random_prime(q);
        if (mpz_cmp(p, q) == 0 || mpz_probab_prime_p(p, 30) == 0 || mpz_probab_prime_p(q, 30) == 0) continue;
        mpz_mul(num_->n, p, q);
        if (mpz_sizeinbase(num_->n, 2) != 256) continue;
        mpz_sub_ui(p, p, 1);
        mpz_sub_ui(q, q, 1);
        mpz_mul(phi, p, q);
        if (mpz_invert(num_->d, e, phi) != 0) break;
    }
    export_le(e, e_le_);
    export_le(num_->n, n_le_);
    mpz_clears(p, q, phi, e, t, nullptr);
}

RsaKeyPair::~RsaKeyPair() {
    mpz_clear(num_->n);
    mpz_clear(num_->d);
    delete num_;
}

bool RsaKeyPair::decrypt_block(uint8_t block[32]) const {
    mpz_t c;
    mpz_init(c);
    mpz_import(c, 32, -1, 1, 0, 0, block);
    bool ok = mpz_cmp(c, num_->n) < 0;
    if (ok) {
        mpz_powm(c, c, num_->d, num_->n);
        std::array<uint8_t, 32> m;
        export_le(c, m);
        std::memcpy(block, m.data(), 32);
    }
    mpz_clear(c);
    return ok;
}

void read_encrypted_login(Channel& ch, const RsaKeyPair& rsa, std::array<uint8_t, 32>& key, std::string& text) {
    // The client's buffer holds the key and at most 480 bytes of expanded text.
    constexpr int kMaxTextBlocks = 15;
    uint8_t block[32];
    ch.read_bytes(block, 32);
    if (!rsa.decrypt_block(block)) throw ProtocolError("encrypted login: key block not below the modulus");
    std::memcpy(key.data(), block, 32);
    text.clear();
    for (int b = 0; b < kMaxTextBlocks; ++b) {
        ch.read_bytes(block, 32);
        if (!rsa.decrypt_block(block)) throw ProtocolError("encrypted login: text block not below the modulus");
        // The text's terminator marks the last block; every full block before
        // it carries 30 text bytes and the pair 07 07.
        const void* zero = std::memchr(block, 0, 30);
        if (zero) {
            text.append(reinterpret_cast<const char*>(block), static_cast<const uint8_t*>(zero) - block);
            return;
        }
        if (block[30] != 7 || block[31] != 7) throw ProtocolError("encrypted login: block without its 07 07 pair");
        text.append(reinterpret_cast<const char*>(block), 30);
    }
    throw ProtocolError("encrypted login text longer than 450 characters");
}

std::chrono::milliseconds LoginThrottle::record_failure(const std::string& address) {
    constexpr int kFreeFailures = 3;
    constexpr auto kForget = std::chrono::minutes(10);
    constexpr size_t kMaxAddresses = 10000;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(m_);
    if (entries_.size() >= kMaxAddresses)
        for (auto it = entries_.begin(); it != entries_.end();)
            it = now - it->second.last > kForget ? entries_.erase(it) : std::next(it);
    Entry& e = entries_[address];
    if (now - e.last > kForget) e.failures = 0;
    e.last = now;
    const int over = ++e.failures - kFreeFailures;
    if (over <= 0) return std::chrono::milliseconds(0);
    return std::chrono::milliseconds(over >= 6 ? 5000 : 125 << over);
}

}  // namespace kvcd
