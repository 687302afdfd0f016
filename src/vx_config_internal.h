// The configuration tree, shared by the tree and text-format sources.
#ifndef VX_CONFIG_INTERNAL_H
#define VX_CONFIG_INTERNAL_H

#include "vexal.h"

// One key segment with its value. Children form a singly linked list, newest
// first.
struct config_node {
    char *name;          // zero-terminated, in the arena
    vx_config_type type;
    union {
        int64_t i;
        double f;
        char *s;
        int32_t b;
    } value;
    config_node *next;   // next sibling (older)
    config_node *child;  // first child (newest)
    uint64_t name_len;
    int32_t is_set;      // a value was stored here, not just passed through
};

struct config_tree {
    vx_arena *arena;
    config_node *root;
};

struct vx_config {
    vx_arena *arena;
    config_tree *tree;
};

// Walks the segments of a dotted key as splitting at '.' gives them:
// adjacent dots give an empty segment, a trailing dot none, an empty key none.
struct key_cursor {
    const char *pos;
    const char *end;
};

key_cursor key_cursor_start(const char *key);
// Stores the next segment and returns true, or returns false at the end.
bool key_cursor_next(key_cursor *cursor, const char **segment, uint64_t *length);

// The node a key addresses (the root for the empty key), or null.
config_node *config_get_node(const vx_config *config, const char *key);

// Length of a zero-terminated text.
uint64_t config_text_length(const char *text);

// True for the four value types.
inline bool config_type_is_known(vx_config_type type) {
    return type >= VX_CONFIG_INT && type <= VX_CONFIG_BOOL;
}

#endif
