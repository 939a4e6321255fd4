// Turing keystream generator: key and IV loading, the unrolled generator, and the session
// keystream rule that both directions of an encrypted connection follow.
#include "kvc_turing.h"

#include <cstddef>
#include <cstring>
#include <utility>

namespace {

constexpr int LFSR_LEN = 17;
constexpr int MAX_KEY_BYTES = 32;
constexpr int MAX_KEY_IV_BYTES = 48;   // key and IV words share the 17-word register
constexpr uint32_t IV_LENGTH_TAG = 0x01020300u;

inline uint32_t rotl(uint32_t w, unsigned bits) {
    bits &= 31;
    return bits ? (w << bits) | (w >> (32 - bits)) : w;
}

// Byte i of a word, counted from the most significant (i = 0) down.
inline uint32_t byte_of(uint32_t w, int i) { return (w >> (24 - 8 * i)) & 0xFF; }

inline uint32_t load_be(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// One 4-byte store rather than four byte stores: a byte store may alias anything,
// which would make the compiler reload the register words after every one.
inline void store_be(uint32_t w, uint8_t* p) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    w = __builtin_bswap32(w);
#endif
    memcpy(p, &w, sizeof w);
}

// Mask of byte b of a word (b = 0 is the most significant).
inline uint32_t byte_mask(int b) { return 0xFF000000u >> (8 * b); }

// Keyed S transform S(w, r): rotate left by 8r bits, then one keyed box per byte. Byte i of
// the rotated word is byte (i + r) mod 4 of w, so the boxes index w directly, no rotation.
inline uint32_t keyed_s(const TuringData* st, uint32_t w, int r) {
    return st->keyed_sbox[0][byte_of(w, r & 3)] ^ st->keyed_sbox[1][byte_of(w, (r + 1) & 3)] ^
           st->keyed_sbox[2][byte_of(w, (r + 2) & 3)] ^ st->keyed_sbox[3][byte_of(w, (r + 3) & 3)];
}

inline void pht(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, uint32_t& e) {
    e += a + b + c + d;
    a += e;
    b += e;
    c += e;
    d += e;
}

// Slot of register position i while position 0 sits in slot z.
constexpr int slot(int z, int i) { return (z + i) % LFSR_LEN; }

// One register step with position 0 in slot Z; afterwards position 0 is slot Z + 1.
template <int Z>
inline void step(uint32_t* r) {
    constexpr int p0 = slot(Z, 0);
    r[p0] = r[slot(Z, 15)] ^ r[slot(Z, 4)] ^ (r[p0] << 8) ^ Multab[r[p0] >> 24];
}

// One round of five output words, entered with position 0 in slot Z; r is the register.
template <int Z>
__attribute__((always_inline)) inline void gen_round(const TuringData* st, uint32_t* r, uint8_t* out) {
    step<Z>(r);
    constexpr int z = Z + 1;
    uint32_t a = r[slot(z, 16)], b = r[slot(z, 13)], c = r[slot(z, 6)];
    uint32_t d = r[slot(z, 1)], e = r[slot(z, 0)];
    pht(a, b, c, d, e);
    a = keyed_s(st, a, 0);
    b = keyed_s(st, b, 1);
    c = keyed_s(st, c, 2);
    d = keyed_s(st, d, 3);
    e = keyed_s(st, e, 0);
    pht(a, b, c, d, e);
    step<Z + 1>(r);
    step<Z + 2>(r);
    step<Z + 3>(r);
    constexpr int y = Z + 4;
    a += r[slot(y, 14)];
    b += r[slot(y, 12)];
    c += r[slot(y, 8)];
    d += r[slot(y, 1)];
    e += r[slot(y, 0)];
    store_be(a, out);
    store_be(b, out + 4);
    store_be(c, out + 8);
    store_be(d, out + 12);
    store_be(e, out + 16);
    step<Z + 4>(r);
}

// Each round advances the register by 5 steps, so round k starts at slot 5k mod 17; after
// 17 rounds position 0 is back in its starting slot, which lets every index be a constant.
// The register is worked on as a local copy, which the output stores cannot alias.
// after_round(std::integral_constant<int, k>) runs after round k: other work placed there
// overlaps with the generator's table look-ups.
template <typename AfterRound, std::size_t... Round>
__attribute__((always_inline)) inline void gen_all_rounds(TuringData* st, uint8_t* out,
                                                          AfterRound&& after_round,
                                                          std::index_sequence<Round...>) {
    uint32_t r[LFSR_LEN];
    memcpy(r, st->lfsr, sizeof r);
    ((gen_round<int(5 * Round) % LFSR_LEN>(st, r, out + 20 * Round),
      after_round(std::integral_constant<int, int(Round)>{})),
     ...);
    memcpy(st->lfsr, r, sizeof r);
}

constexpr int ROUNDS = LFSR_LEN;

}  // namespace

uint32_t fixedS(uint32_t w) {
    for (int i = 0; i < 4; ++i) {
        uint32_t b = Sbox[byte_of(w, i)];
        w = ((w ^ rotl(Qbox[b], 8u * unsigned(i))) & ~byte_mask(i)) | (b << (24 - 8 * i));
    }
    return w;
}

void mixwords(uint32_t* words, int n) {
    if (words == nullptr || n < 1) return;
    uint32_t sum = 0;
    for (int i = 0; i < n - 1; ++i) sum += words[i];
    words[n - 1] += sum;
    for (int i = 0; i < n - 1; ++i) words[i] += words[n - 1];
}

void turing_key(TuringData* state, const uint8_t* key, int length) {
    if (state == nullptr) return;
    if (key == nullptr || length < 0) length = 0;
    if (length > MAX_KEY_BYTES) length = MAX_KEY_BYTES;
    const int key_len = length / 4;
    state->key_len = key_len;
    for (int i = 0; i < 8; ++i)  // unused words cleared so a re-keyed state keeps nothing old
        state->key_words[i] = i < key_len ? fixedS(load_be(key + 4 * i)) : 0;
    mixwords(state->key_words, key_len);

    // Each entry runs a chain of dependent look-ups through all key words; the four boxes
    // are independent, so they are computed side by side.
    uint8_t key_bytes[8][4];
    for (int i = 0; i < key_len; ++i)
        for (int b = 0; b < 4; ++b) key_bytes[i][b] = uint8_t(byte_of(state->key_words[i], b));
    for (uint32_t j = 0; j < 256; ++j) {
        uint32_t k0 = j, k1 = j, k2 = j, k3 = j;
        uint32_t w0 = 0, w1 = 0, w2 = 0, w3 = 0;
        for (int i = 0; i < key_len; ++i) {
            const uint8_t* kb = key_bytes[i];
            k0 = Sbox[kb[0] ^ k0];
            k1 = Sbox[kb[1] ^ k1];
            k2 = Sbox[kb[2] ^ k2];
            k3 = Sbox[kb[3] ^ k3];
            w0 ^= rotl(Qbox[k0], unsigned(i));
            w1 ^= rotl(Qbox[k1], unsigned(i + 8));
            w2 ^= rotl(Qbox[k2], unsigned(i + 16));
            w3 ^= rotl(Qbox[k3], unsigned(i + 24));
        }
        state->keyed_sbox[0][j] = (w0 & ~byte_mask(0)) | (k0 << 24);
        state->keyed_sbox[1][j] = (w1 & ~byte_mask(1)) | (k1 << 16);
        state->keyed_sbox[2][j] = (w2 & ~byte_mask(2)) | (k2 << 8);
        state->keyed_sbox[3][j] = (w3 & ~byte_mask(3)) | k3;
    }
}

int turing_IV(TuringData* state, const uint8_t* iv, int length) {
    if (state == nullptr || length < 0 || length % 4 != 0 || (length > 0 && iv == nullptr))
        return -1;
    const int key_len = state->key_len;
    if (key_len < 0 || key_len > 8 || length + 4 * key_len > MAX_KEY_IV_BYTES) return -1;

    uint32_t* r = state->lfsr;
    int i = 0;
    for (int j = 0; j < length; j += 4) r[i++] = fixedS(load_be(iv + j));
    for (int j = 0; j < key_len; ++j) r[i++] = state->key_words[j];
    r[i++] = (uint32_t(key_len) << 4) | uint32_t(length >> 2) | IV_LENGTH_TAG;
    for (int j = 0; i < LFSR_LEN; ++i, ++j) r[i] = keyed_s(state, r[j] + r[i - 1], 0);
    mixwords(r, LFSR_LEN);
    return 0;
}

int turing_gen(TuringData* state, uint8_t* out) {
    if (state == nullptr || out == nullptr) return 0;
    gen_all_rounds(state, out, [](auto) {}, std::make_index_sequence<ROUNDS>{});
    return TURING_BLOCK_BYTES;
}

void turing_session_start(TuringData* state, const uint8_t key[32]) {
    if (state == nullptr) return;
    *state = TuringData{};
    turing_key(state, key, MAX_KEY_BYTES);
    turing_IV(state, nullptr, 0);
    turing_gen(state, state->keystream);
    state->keystream_pos = 0;
}

namespace {

// buf ^= ks over n bytes, 32, 16 and 8 bytes at a time: neither side is aligned (the run
// starts wherever the last one stopped), so words go through memcpy, which compiles to
// single unaligned loads and stores.
template <typename Word>
__attribute__((always_inline)) inline int32_t xor_words(uint8_t* buf, const uint8_t* ks,
                                                        int32_t i, int32_t n) {
    for (; i + int32_t(sizeof(Word)) <= n; i += int32_t(sizeof(Word))) {
        Word a, b;
        memcpy(&a, buf + i, sizeof a);
        memcpy(&b, ks + i, sizeof b);
        a ^= b;
        memcpy(buf + i, &a, sizeof a);
    }
    return i;
}

__attribute__((always_inline)) inline void xor_run(uint8_t* buf, const uint8_t* ks, int32_t n) {
    typedef uint64_t Quad __attribute__((vector_size(32)));
    typedef uint64_t Pair __attribute__((vector_size(16)));
    int32_t i = xor_words<Quad>(buf, ks, 0, n);
    i = xor_words<Pair>(buf, ks, i, n);
    i = xor_words<uint64_t>(buf, ks, i, n);
    for (; i < n; ++i) buf[i] ^= ks[i];
}

// A whole 3400-byte period, starting at position 0: the next block is generated while this
// one is applied, 200 bytes after each of the 17 rounds, so the XOR's loads and stores run
// beside the generator's arithmetic. The current block is read from a copy that is followed
// by its own first 200 bytes, so that no slice wraps.
constexpr int PERIOD_SLICE = TURING_SESSION_PERIOD / ROUNDS;
static_assert(PERIOD_SLICE * ROUNDS == TURING_SESSION_PERIOD, "a slice per round");

__attribute__((always_inline)) inline void xor_period(TuringData* state, uint8_t* buf) {
    uint8_t block[TURING_BLOCK_BYTES + PERIOD_SLICE];
    memcpy(block, state->keystream, TURING_BLOCK_BYTES);
    memcpy(block + TURING_BLOCK_BYTES, state->keystream, PERIOD_SLICE);
    gen_all_rounds(state, state->keystream,
                   [&](auto round) __attribute__((always_inline)) {
                       constexpr int start = PERIOD_SLICE * decltype(round)::value;
                       xor_run(buf + start, block + start % TURING_BLOCK_BYTES, PERIOD_SLICE);
                   },
                   std::make_index_sequence<ROUNDS>{});
}

__attribute__((always_inline)) inline void session_xor(TuringData* state, uint8_t* buf, int64_t len) {
    int32_t pos = state->keystream_pos;
    if (pos < 0 || pos >= TURING_SESSION_PERIOD) pos = 0;  // never index outside the block
    while (len > 0) {
        if (pos == 0 && len >= TURING_SESSION_PERIOD) {
            xor_period(state, buf);
            buf += TURING_SESSION_PERIOD;
            len -= TURING_SESSION_PERIOD;
            continue;
        }
        // A run never crosses a 340-byte boundary, and 3400 is a multiple of 340, so the
        // block change can only fall between runs.
        const int32_t offset = pos % TURING_BLOCK_BYTES;
        int32_t run = TURING_BLOCK_BYTES - offset;
        if (len < run) run = int32_t(len);
        xor_run(buf, state->keystream + offset, run);
        buf += run;
        len -= run;
        pos += run;
        if (pos == TURING_SESSION_PERIOD) {
            turing_gen(state, state->keystream);
            pos = 0;
        }
    }
    state->keystream_pos = pos;
}

// The same loop built twice: the 32-byte words are one AVX2 operation where the processor
// has it, two SSE ones elsewhere. The build stays runnable on any x86-64.
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) void session_xor_avx2(TuringData* state, uint8_t* buf, int64_t len) {
    session_xor(state, buf, len);
}
#endif

void session_xor_portable(TuringData* state, uint8_t* buf, int64_t len) { session_xor(state, buf, len); }

}  // namespace

void turing_session_xor(TuringData* state, uint8_t* buf, int64_t len) {
    if (state == nullptr || buf == nullptr || len <= 0) return;
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) return session_xor_avx2(state, buf, len);
#endif
    session_xor_portable(state, buf, len);
}
