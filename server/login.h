// The login dialogue: the login text's settings, and the RSA key pair that
// wraps the session key of an encrypted login.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "channel.h"

namespace kvcd {

struct LoginInfo {
    std::string database, user, password;
    std::string char_set, iso_level, current_schema, keyword_filter, version;
    int lock_timeout = 0;  // seconds; 0 when not given
    bool auto_commit = true;
    bool lob_descriptors = false;
    bool encrypted = false;
};

// Parses "login database = D user='U' password='P' ... version = 'V'".
// A quoted value ends at the quote that is followed by the end of the text or
// by a blank and the next "key =": passwords may hold quotes and blanks.
bool parse_login_text(const std::string& text, LoginInfo& out, std::string& error);

// True once `text` holds a whole plain login: it always ends with its version piece.
bool login_text_complete(const std::string& text);

class RsaKeyPair {
public:
    // A fresh 256-bit modulus with its top bit set, e = 65537.
    RsaKeyPair();
    ~RsaKeyPair();
    RsaKeyPair(const RsaKeyPair&) = delete;
    RsaKeyPair& operator=(const RsaKeyPair&) = delete;

    // 32-byte little-endian numbers, as the client reads them after "~ssl~".
    const std::array<uint8_t, 32>& exponent_le() const { return e_le_; }
    const std::array<uint8_t, 32>& modulus_le() const { return n_le_; }
    // Decrypts one 32-byte little-endian block in place; false when the block
    // is not a number below the modulus.
    bool decrypt_block(uint8_t block[32]) const;

private:
    struct Numbers;
    Numbers* num_;
    std::array<uint8_t, 32> e_le_{}, n_le_{};
};

// Reads the encrypted login's RSA blocks after "~ssl~" has been read and the
// public key sent: the session key and the login text (0x07 pairs removed).
void read_encrypted_login(Channel& ch, const RsaKeyPair& rsa, std::array<uint8_t, 32>& session_key,
                          std::string& text);

// Slows down password guessing: the first few failed logins from an address
// are refused at once, later ones after a wait that doubles up to 5 s. An
// address is forgotten 10 minutes after its last failure.
class LoginThrottle {
public:
    std::chrono::milliseconds record_failure(const std::string& address);

private:
    struct Entry {
        int failures = 0;
        std::chrono::steady_clock::time_point last;
    };
    std::mutex m_;
    std::unordered_map<std::string, Entry> entries_;
};

}  // namespace kvcd
