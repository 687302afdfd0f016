// A database directory: its list file and two collection files, opened
// read-only (nothing is written back). Input: u16 list length, the list
// text, u32 length of a.vxcol, its bytes, then the bytes of b.vxcol.
#include "fuzz_util.h"

namespace {

// Takes n bytes off the front of the input; fewer when it runs out.
size_t take(const uint8_t **data, size_t *size, size_t n) {
    if (n > *size) n = *size;
    *data += n;
    *size -= n;
    return n;
}

uint64_t take_le(const uint8_t **data, size_t *size, int bytes) {
    uint64_t v = 0;
    const uint8_t *p = *data;
    size_t got = take(data, size, (size_t)bytes);
    for (size_t i = 0; i < got; i++) v |= (uint64_t)p[i] << (8 * i);
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string dir = fuzz::scratch("db");
    static const std::string list = dir + "/.vxmeta", a = dir + "/a.vxcol", b = dir + "/b.vxcol";
    static int made = 0;
    if (!made) made = mkdir(dir.c_str(), 0755) == 0;
    size_t n = (size_t)take_le(&data, &size, 2);
    const uint8_t *p = data;
    n = take(&data, &size, n);
    fuzz::write_file(list, p, n);
    n = (size_t)take_le(&data, &size, 4);
    p = data;
    n = take(&data, &size, n);
    fuzz::write_file(a, p, n);
    fuzz::write_file(b, data, size);

    vx_db_config config;
    memset(&config, 0, sizeof(config));
    config.path = fuzz::view(dir);
    config.storage_mode = VX_DB_STORAGE_PERSISTENT;
    config.arena_size = 1 << 20;  // the default 64 MiB would dominate every run
    config.read_only = 1;
    vx_daded *db = nullptr;
    if (vx_daded_open_ex(&config, &db) == VX_OK && db) {
        vx_str names[4];
        uint64_t count = vx_daded_list_collections(db, names, 4);
        for (uint64_t i = 0; i < count && i < 4; i++) {
            vx_collection *c = vx_daded_get_collection(db, &names[i]);
            if (c) fuzz::exercise_collection(c);
        }
        vx_daded_close(db);
    }
    return 0;
}
