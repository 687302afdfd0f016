/* quickstart.c - a minimal host: version, build text, an in-memory database. */
#include <stdio.h>

#include "vexal.h"

int main(void) {
    vx_str version = vx_daded_version();
    vx_str info = vx_daded_build_info();
    vx_daded *db = NULL;
    vx_status st;

    printf("%.*s\n", (int)version.len, version.data);
    printf("%.*s\n", (int)info.len, info.data);

    st = vx_daded_open_ex(NULL, &db);
    if (st != VX_OK) {
        fprintf(stderr, "open failed: %s\n", vx_strerror(st));
        return 1;
    }
    printf("in-memory database open: %d\n", vx_daded_is_open(db));
    st = vx_daded_close(db);
    printf("closed: %s\n", st == VX_OK ? "ok" : vx_strerror(st));
    return st == VX_OK ? 0 : 1;
}
