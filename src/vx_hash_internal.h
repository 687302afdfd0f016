// MurmurHash3 x64 (the word vx_hash_murmur3_64 returns) over input that
// arrives in pieces: feeding the pieces in order gives the same value as
// hashing them joined, whatever their sizes.
#ifndef VX_HASH_INTERNAL_H
#define VX_HASH_INTERNAL_H

#include "vexal.h"

typedef struct hash_stream {
    uint64_t h1, h2;
    uint64_t len;        // bytes fed so far
    uint8_t tail[16];    // the last bytes of an unfinished block
    uint32_t pending;    // how many of them
} hash_stream;

void hash_stream_init(hash_stream *s, uint64_t seed);
void hash_stream_feed(hash_stream *s, const void *data, uint64_t size);
// The hash of everything fed so far; the stream may go on after.
uint64_t hash_stream_value(const hash_stream *s);

// MurmurHash3's 64-bit finaliser: every input bit moves every output bit.
static inline uint64_t hash_fmix64(uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdull;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ull;
    k ^= k >> 33;
    return k;
}

#endif
