// Collection files: the input is the file; whatever loads is used. Each
// input is tried as it is and once more with its checksums made to match,
// so that mutations reach the parsers behind them.
#include <vector>

#include "fuzz_util.h"

namespace {

uint64_t get_le(const uint8_t *p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; i++) v |= (uint64_t)p[i] << (8 * i);
    return v;
}

void put_le(uint8_t *p, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; i++) p[i] = (uint8_t)(v >> (8 * i));
}

// The collection header's checksum, and the trailing one when the header's
// flag word announces it.
bool reseal(std::vector<uint8_t> &f) {
    if (f.size() < 384 + 16) return false;
    uint8_t *h = &f[192];
    put_le(h + 184, 0, 4);
    put_le(h + 184, vx_hash_murmur3_32(h, 188, 0), 4);
    uint64_t data_offset = get_le(h + 132, 8);
    size_t at = f.size() - 16;
    if ((get_le(h + 164, 8) & 1) && data_offset <= at)
        put_le(&f[at + 8], vx_hash_murmur3_64(&f[data_offset], at - data_offset, 0), 8);
    return true;
}

void load_and_use(const std::string &path, const uint8_t *data, size_t size) {
    fuzz::write_file(path, data, size);
    vx_collection *c = vx_collection_load(nullptr, path.c_str());
    if (c) {
        fuzz::exercise_collection(c);
        vx_collection_destroy(c);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = fuzz::scratch("input.vxcol");
    load_and_use(path, data, size);
    std::vector<uint8_t> sealed(data, data + size);
    if (reseal(sealed)) load_and_use(path, sealed.data(), sealed.size());
    return 0;
}
