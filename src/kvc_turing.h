#pragma once
// Turing keystream generator and the session keystream rule of an encrypted connection.
// The generator is the published Turing stream cipher; the server runs the same one, so its
// output must match the reference design byte for byte for every key and IV.
#include <cstdint>

// Bytes produced by one turing_gen call (17 rounds of 5 words).
constexpr int TURING_BLOCK_BYTES = 340;
// Bytes of traffic served by one keystream block: each block is used ten times over.
constexpr int TURING_SESSION_PERIOD = 3400;

struct TuringData {            // one per direction of an encrypted connection
    int32_t  key_len;          // number of 32-bit key words, at most 8
    uint32_t key_words[8];
    uint32_t lfsr[17];
    uint32_t keyed_sbox[4][256];
    int32_t  keystream_pos;    // position counter of the session rule, always below 3400
    uint8_t  keystream[340];   // current keystream block
};

extern const uint8_t  Sbox[256];
extern const uint32_t Qbox[256];
extern const uint32_t Multab[256];

// Unkeyed S transform of the cipher, used on key and IV words.
uint32_t fixedS(uint32_t w);
// Pseudo-Hadamard mix of n words in place (n >= 1).
void mixwords(uint32_t* words, int n);
// Loads a key. length is adjusted, never refused: rounded down to a multiple of 4 and capped
// at 32; a negative length or a null key counts as an empty key.
void turing_key(TuringData* state, const uint8_t* key, int length);
// Loads an IV into the register. Returns 0, or -1 with the state untouched when length is
// negative, not a multiple of 4, or together with the key longer than 48 bytes.
int  turing_IV(TuringData* state, const uint8_t* iv, int length);
// Writes the next 340 keystream bytes to out and returns 340.
int  turing_gen(TuringData* state, uint8_t* out);
// Session keystream rule: key with a 32-byte key, empty IV, first block generated, position 0.
void turing_session_start(TuringData* state, const uint8_t key[32]);
// XOR len bytes in place: byte k of a direction uses keystream[k % 340] of block k / 3400;
// a new block is generated when the position reaches 3400. A non-positive len does nothing.
void turing_session_xor(TuringData* state, uint8_t* buf, int64_t len);
