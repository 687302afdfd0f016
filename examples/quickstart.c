/* quickstart.c - a first host: an in-memory database with one collection of
 * 8-dimensional vectors tagged with metadata, an HNSW index, and searches
 * with and without a metadata filter. */
#include <stdio.h>
#include <string.h>

#include "vexal.h"

#define DIM 8
#define COUNT 1000

static vx_str text(const char *s) {
    vx_str v;
    v.data = (char *)s;
    v.len = strlen(s);
    return v;
}

/* Prints the hits with the shade stored for each record. (Hits topped up by
 * brute force carry no metadata pointers, so the shade is looked up.) */
static void print_hits(vx_collection *c, const char *title, const vx_search_hit *hits, uint64_t n) {
    uint64_t i;
    printf("%s\n", title);
    for (i = 0; i < n; i++) {
        vx_meta_entry meta[4];
        uint64_t count = 4, m;
        const char *shade = "-";
        if (vx_collection_get_meta(c, hits[i].id, meta, &count) == VX_OK)
            for (m = 0; m < count && m < 4; m++)
                if (meta[m].type == VX_META_STRING) shade = meta[m].value.str.data;
        printf("  id %4llu  distance %8.4f  shade %s\n", (unsigned long long)hits[i].id,
               (double)hits[i].distance, shade);
    }
}

int main(void) {
    static const char *shades[3] = {"red", "green", "blue"};
    vx_str version = vx_daded_version();
    vx_str name = text("colours");
    vx_daded *db = NULL;
    vx_collection *points = NULL;
    vx_search_hit hits[5];
    vx_search_options opt;
    vx_filter only_blue;
    float v[DIM], query[DIM];
    uint64_t i, n;
    int d;
    vx_status st;

    printf("%.*s\n", (int)version.len, version.data);
    st = vx_daded_open_ex(NULL, &db);
    if (st != VX_OK) {
        fprintf(stderr, "open failed: %s\n", vx_error_message(st));
        return 1;
    }
    st = vx_daded_create_collection(db, &name, DIM, &points);
    if (st != VX_OK) {
        fprintf(stderr, "create failed: %s\n", vx_error_message(st));
        vx_daded_close(db);
        return 1;
    }

    /* Insert vectors, each tagged with a shade. */
    vx_srand(42);
    for (i = 0; i < COUNT; i++) {
        vx_meta_entry tag;
        for (d = 0; d < DIM; d++) v[d] = vx_rand_float();
        memset(&tag, 0, sizeof(tag));
        tag.key = text("shade");
        tag.type = VX_META_STRING;
        tag.value.str = text(shades[i % 3]);
        st = vx_collection_insert_with_meta(points, v, &tag, 1, NULL);
        if (st != VX_OK) {
            fprintf(stderr, "insert failed: %s\n", vx_error_message(st));
            vx_daded_close(db);
            return 1;
        }
    }
    st = vx_collection_build_index(points);
    printf("index built: %s, trained: %d\n", st == VX_OK ? "ok" : vx_error_message(st),
           vx_collection_has_index(points));

    for (d = 0; d < DIM; d++) query[d] = 0.5f;
    memset(&opt, 0, sizeof(opt));
    opt.k = 5;
    n = vx_collection_search(points, query, &opt, hits);
    print_hits(points, "nearest five:", hits, n);

    memset(&only_blue, 0, sizeof(only_blue));
    only_blue.kind = VX_FILTER_CONDITION;
    only_blue.key = "shade";
    only_blue.op = VX_OP_EQ;
    only_blue.value.str = text("BLUE"); /* strings compare ignoring case */
    opt.filter = &only_blue;
    n = vx_collection_search(points, query, &opt, hits);
    print_hits(points, "nearest five blue ones:", hits, n);

    fflush(stdout); /* the summary is written straight to descriptor 1 */
    vx_daded_print_info(db);
    st = vx_daded_close(db);
    printf("closed: %s\n", st == VX_OK ? "ok" : vx_error_message(st));
    return st == VX_OK ? 0 : 1;
}
