// MurmurHash3 (x86_32 and the first word of x64_128) and the convenience
// hashes built on them. Input is read as little-endian words from any
// alignment, so hashes are the same on every platform.
#include "vx_hash_internal.h"

#include <string.h>

namespace {

inline uint32_t rotl32(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }
inline uint64_t rotl64(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

inline uint32_t load_le32(const unsigned char *p) {
    uint32_t v;
    memcpy(&v, p, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

inline uint64_t load_le64(const unsigned char *p) {
    uint64_t v;
    memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

inline uint32_t fmix32(uint32_t h) {
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    h *= 0xc2b2ae35u;
    h ^= h >> 16;
    return h;
}


const uint32_t C1_32 = 0xcc9e2d51u;
const uint32_t C2_32 = 0x1b873593u;
const uint64_t C1_64 = 0x87c37b91114253d5ull;
const uint64_t C2_64 = 0x4cf5ad432745937full;

inline uint32_t mix_k32(uint32_t k) { return rotl32(k * C1_32, 15) * C2_32; }
inline uint64_t mix_k1_64(uint64_t k) { return rotl64(k * C1_64, 31) * C2_64; }
inline uint64_t mix_k2_64(uint64_t k) { return rotl64(k * C2_64, 33) * C1_64; }

}  // namespace

extern "C" VX_API uint32_t vx_hash_murmur3_32(const void *key, uint64_t len, uint32_t seed) {
    if (!key) len = 0;  // a null key reads nothing: it hashes as the empty input
    const unsigned char *data = static_cast<const unsigned char *>(key);
    uint32_t h = seed;
    uint64_t nblocks = len / 4;
    for (uint64_t i = 0; i < nblocks; i++) {
        h ^= mix_k32(load_le32(data + i * 4));
        h = rotl32(h, 13);
        h = h * 5 + 0xe6546b64u;
    }
    const unsigned char *tail = data + nblocks * 4;
    uint32_t k = 0;
    switch (len & 3) {
    case 3: k ^= uint32_t(tail[2]) << 16; /* fall through */
    case 2: k ^= uint32_t(tail[1]) << 8;  /* fall through */
    case 1:
        k ^= tail[0];
        h ^= mix_k32(k);
    }
    h ^= uint32_t(len);
    return fmix32(h);
}

namespace {

// One 16-byte block of the x64_128 body.
inline void mix_block_64(uint64_t *h1, uint64_t *h2, const unsigned char *block) {
    *h1 ^= mix_k1_64(load_le64(block));
    *h1 = rotl64(*h1, 27);
    *h1 += *h2;
    *h1 = *h1 * 5 + 0x52dce729u;
    *h2 ^= mix_k2_64(load_le64(block + 8));
    *h2 = rotl64(*h2, 31);
    *h2 += *h1;
    *h2 = *h2 * 5 + 0x38495ab5u;
}

// The last rest (< 16) bytes, the length and the final mix; the first word.
inline uint64_t finish_64(uint64_t h1, uint64_t h2, const unsigned char *tail, unsigned rest, uint64_t len) {
    uint64_t k1 = 0, k2 = 0;
    if (rest > 8) {
        for (unsigned i = rest; i > 8; i--) k2 ^= uint64_t(tail[i - 1]) << ((i - 9) * 8);
        h2 ^= mix_k2_64(k2);
    }
    if (rest > 0) {
        unsigned low = rest < 8 ? rest : 8;
        for (unsigned i = low; i > 0; i--) k1 ^= uint64_t(tail[i - 1]) << ((i - 1) * 8);
        h1 ^= mix_k1_64(k1);
    }
    h1 ^= len;
    h2 ^= len;
    h1 += h2;
    h2 += h1;
    h1 = hash_fmix64(h1);
    h2 = hash_fmix64(h2);
    h1 += h2;
    return h1;
}

}  // namespace

extern "C" VX_API uint64_t vx_hash_murmur3_64(const void *key, uint64_t len, uint64_t seed) {
    if (!key) len = 0;  // a null key reads nothing: it hashes as the empty input
    const unsigned char *data = static_cast<const unsigned char *>(key);
    uint64_t h1 = seed, h2 = seed;
    uint64_t nblocks = len / 16;
    for (uint64_t i = 0; i < nblocks; i++) mix_block_64(&h1, &h2, data + i * 16);
    return finish_64(h1, h2, data + nblocks * 16, unsigned(len & 15), len);
}

/* ---- the same hash over input that arrives in pieces ------------------------ */

void hash_stream_init(hash_stream *s, uint64_t seed) {
    s->h1 = s->h2 = seed;
    s->len = 0;
    s->pending = 0;
}

void hash_stream_feed(hash_stream *s, const void *data, uint64_t size) {
    const unsigned char *p = static_cast<const unsigned char *>(data);
    s->len += size;
    if (s->pending) {
        uint64_t take = 16 - s->pending < size ? 16 - s->pending : size;
        memcpy(s->tail + s->pending, p, take);
        s->pending += (uint32_t)take;
        p += take;
        size -= take;
        if (s->pending < 16) return;
        mix_block_64(&s->h1, &s->h2, s->tail);
        s->pending = 0;
    }
    for (; size >= 16; p += 16, size -= 16) mix_block_64(&s->h1, &s->h2, p);
    memcpy(s->tail, p, size);
    s->pending = (uint32_t)size;
}

uint64_t hash_stream_value(const hash_stream *s) { return finish_64(s->h1, s->h2, s->tail, s->pending, s->len); }

extern "C" VX_API uint64_t vx_hash_string(const char *text) {
    if (!text) return 0;
    return vx_hash_murmur3_64(text, strlen(text), 0);
}

extern "C" VX_API uint64_t vx_hash_int(uint64_t value) {
    unsigned char bytes[8];
    for (int i = 0; i < 8; i++) bytes[i] = (unsigned char)(value >> (8 * i));
    return vx_hash_murmur3_64(bytes, 8, 0);
}

extern "C" VX_API uint64_t vx_hash_vector(const float *values, uint32_t dimension) {
    if (!values) return 0;
    return vx_hash_murmur3_64(values, uint64_t(dimension) * 4, 0);
}
