/* Compiled as strict C99: the public header must stand on its own. */
#include "vexal.h"

#include <stdio.h>
#include <string.h>

int main(void) {
    vx_str v = vx_daded_version();
    vx_daded *db = NULL;
    if (v.len != 18 || memcmp(v.data, "Vexal DadED 0.1.32", 18) != 0) return 1;
    if (vx_daded_open_ex(NULL, &db) != VX_OK) return 2;
    if (!vx_daded_is_open(db)) return 3;
    if (vx_daded_close(db) != VX_OK) return 4;
    printf("c header ok\n");
    return 0;
}
