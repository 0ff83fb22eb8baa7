// The key tree: named elements in a hierarchy addressed by "/"-separated
// paths. Each element hashes its children over 20 sorted bucket chains.
#pragma once

#include <cstdint>

constexpr int DATA_BASE_BUCKETS = 20;

struct data_base_element {
    char* name;                                      // stored just after the record
    int32_t depth;                                   // -1 for the root
    char* value;                                     // owned, released by free_data_base
    data_base_element* children[DATA_BASE_BUCKETS];  // bucket chain heads
    data_base_element* parent;
    data_base_element* next;   // next in the parent's bucket chain
    data_base_element* alias;  // element this one stands for
};

struct data_base {
    char* name;  // stored just after the record
    data_base_element* root;
};

// A list of elements; owns its nodes, never the elements.
struct dataBaseList {
    data_base_element* element;
    dataBaseList* next;
};

// Releases a value stored in the tree; its result is ignored.
using data_base_value_release = void (*)(void*);

// A new tree named name with an empty root, or null.
data_base* new_data_base(const char* name);
// A new element under parent (may be null) with chain successor next, or null
// after the FATAL log line.
data_base_element* new_data_base_element(data_base_element* parent, const char* name,
                                         data_base_element* next);
// The child called name, created if missing; null if it cannot be created.
data_base_element* get_data_base_child_element(data_base_element* element, const char* name);
// The child called name, or null; creates nothing.
data_base_element* get_existing_data_base_child_element(data_base_element* element,
                                                        const char* name);
// 1 when the element has any child, else 0.
int has_data_base_child_element(data_base_element* element);
// The element named by key (relative to context when given), created along
// the way; the root for a key without components; null on allocation failure
// or an alias cycle.
data_base_element* get_data_base_element(data_base* tree, const char* key,
                                         data_base_element* context);
// The element named by key, or null; creates nothing.
data_base_element* get_existing_data_base_element(data_base* tree, const char* key,
                                                  data_base_element* context);
// Makes the element at key an alias of the element at target; returns it, or null.
data_base_element* add_data_base_alias(data_base* tree, const char* key, const char* target);
// The element's ancestor at depth (itself at its own depth), or null.
data_base_element* get_data_base_ansestor_element(data_base_element* element, int depth);
// Writes the element's canonical key ("/a/b") into buffer and returns it. The
// buffer must hold DATA_BASE_KEY_SIZE bytes; a longer key is cut to fit.
constexpr int DATA_BASE_KEY_SIZE = 512;
char* get_data_base_element_key(data_base_element* element, char* buffer);
// A new list node for element, or null.
dataBaseList* new_data_base_list(data_base_element* element);
// Pre-order list of the element's subtree (the root itself never listed),
// the children merged from the heads of the (strcmp-sorted) bucket chains by
// flags: 0 strcmp lowest, 1 strcasecmp lowest, 2 strcmp highest, 3 strcasecmp
// highest; only 0 yields a fully sorted (ascending) order. Aliased children
// are left out with their subtrees. Null for a null or aliased element.
dataBaseList* get_data_base_list(data_base_element* element, unsigned int flags);
// Release the tree / the chain in *slot / the list; each leaves *variable null.
void free_data_base(data_base** tree, data_base_value_release release);
void free_data_base_element(data_base_element** slot, data_base_value_release release);
void free_data_base_list(dataBaseList** list);
