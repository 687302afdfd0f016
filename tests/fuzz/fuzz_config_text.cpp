// Configuration text (vx_config_load_string, and vx_config_load on the same
// bytes as a file).
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = fuzz::scratch("input.conf");
    vx_config *config = vx_config_create(nullptr);
    if (!config) return 0;
    vx_str text = {(char *)data, size};
    vx_config_load_string(config, &text);
    vx_str key = fuzz::view("index.type");
    vx_config_get_string(config, &key, nullptr);
    vx_config_get_int(config, &key, 0);
    vx_config_destroy(config);

    fuzz::write_file(path, data, size);
    config = vx_config_create(nullptr);
    if (!config) return 0;
    vx_str view = fuzz::view(path);
    vx_config_load(config, &view);
    vx_config_destroy(config);
    return 0;
}
