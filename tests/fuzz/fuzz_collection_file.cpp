// Collection files: the input is the file; whatever loads is used.
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = fuzz::scratch("input.vxcol");
    fuzz::write_file(path, data, size);
    vx_collection *c = vx_collection_load(nullptr, path.c_str());
    if (c) {
        fuzz::exercise_collection(c);
        vx_collection_destroy(c);
    }
    return 0;
}
