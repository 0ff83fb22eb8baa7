#include "config/data_base.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "config/data_base_testing.h"
#include "log/log.h"
#include "strutil/strutil.h"

namespace {

// Key components are cut at this length, so that a single path component
// always fits the fixed scratch buffer of a lookup.
constexpr int COMPONENT_SIZE = 300;

// Allocations still to pass before the one the test hook makes fail; 0 when
// the hook is disarmed.
int allocations_before_failure = 0;

void* tree_alloc(size_t size) {
    if (allocations_before_failure > 0 && --allocations_before_failure == 0) {
        return nullptr;
    }
    return std::malloc(size);
}

// Allocates a record with its name text right behind it, so that freeing the
// record frees the name too.
template <typename Record>
Record* alloc_named_record(const char* name) {
    const size_t length = std::strlen(name);
    void* block = tree_alloc(sizeof(Record) + length + 1);
    if (block == nullptr) {
        return nullptr;
    }
    Record* record = new (block) Record{};
    record->name = reinterpret_cast<char*>(record + 1);
    std::memcpy(record->name, name, length + 1);
    return record;
}

// The next element of an alias chain, or null where the chain ends: at an
// element without alias or one aliased to itself.
data_base_element* alias_step(data_base_element* element) {
    data_base_element* alias = element->alias;
    return alias == element ? nullptr : alias;
}

// The element at the end of the alias chain that starts at element, or null
// when the chain runs in a circle. The tree itself never builds a circle, but
// the alias field is public and a lookup must not spin forever on one, so the
// walk keeps a slow cursor behind the fast one and stops when they meet.
data_base_element* follow_aliases(data_base_element* element) {
    data_base_element* fast = element;
    data_base_element* slow = element;
    for (;;) {
        for (int i = 0; i < 2; ++i) {
            data_base_element* next = alias_step(fast);
            if (next == nullptr) {
                return fast;
            }
            fast = next;
        }
        slow = alias_step(slow);
        if (slow == fast) {
            return nullptr;
        }
    }
}

// Walks a bucket chain for name. Leaves *before on the element preceding the
// result (null at the head); the result is the first element not less than
// name, or the chain's last element when every one is less.
data_base_element* walk_chain(data_base_element* head, const char* name,
                              data_base_element** before) {
    data_base_element* current = head;
    *before = nullptr;
    while (current != nullptr && current->next != nullptr && std::strcmp(name, current->name) > 0) {
        *before = current;
        current = current->next;
    }
    return current;
}

data_base_element* child_element(data_base_element* element, const char* name, bool create) {
    if (element == nullptr || name == nullptr) {
        return nullptr;
    }
    data_base_element*& head = element->children[strhash(DATA_BASE_BUCKETS, name)];
    data_base_element* before = nullptr;
    data_base_element* current = walk_chain(head, name, &before);
    const int order = current == nullptr ? -1 : std::strcmp(name, current->name);
    if (order == 0) {
        return current;
    }
    if (!create) {
        return nullptr;
    }
    // A chain is kept in ascending order so that a lookup can stop at the
    // first greater name and a listing needs only to merge the chain heads.
    if (order > 0) {
        data_base_element* added = new_data_base_element(element, name, nullptr);
        if (added != nullptr) {
            current->next = added;
        }
        return added;
    }
    data_base_element* added = new_data_base_element(element, name, current);
    if (added != nullptr) {
        (before != nullptr ? before->next : head) = added;
    }
    return added;
}

data_base_element* resolve(data_base* tree, const char* key, data_base_element* context,
                           bool create) {
    if (tree == nullptr || key == nullptr) {
        return nullptr;
    }
    char component[COMPONENT_SIZE + 1];
    const char* cursor = key;
    bool more = strsplit('/', &cursor, component, COMPONENT_SIZE) != 0;

    data_base_element* base = tree->root;
    if (context != nullptr) {
        data_base_element* anchor = follow_aliases(context);
        if (anchor == nullptr) {
            return nullptr;
        }
        // A key may restate the context's own path; the part it shares with
        // the context is taken as the context's ancestors themselves.
        data_base_element* matched = nullptr;
        for (int depth = 0; more; ++depth) {
            data_base_element* ancestor = get_data_base_ansestor_element(anchor, depth);
            if (ancestor == nullptr || std::strcmp(ancestor->name, component) != 0) {
                break;
            }
            matched = ancestor;
            more = strsplit('/', &cursor, component, COMPONENT_SIZE) != 0;
        }
        if (matched != nullptr) {
            if (!more) {
                return matched;
            }
            base = matched;
        }
    }
    if (!more) {
        return create ? tree->root : nullptr;
    }

    data_base_element* element = base;
    do {
        element = child_element(element, component, create);
        if (element == nullptr) {
            return nullptr;
        }
        element = follow_aliases(element);
        if (element == nullptr) {
            return nullptr;
        }
    } while (strsplit('/', &cursor, component, COMPONENT_SIZE) != 0);
    return element;
}

using string_selector = int (*)(const char* const*, int);

string_selector selector_for(unsigned int flags) {
    const bool descending = (flags & 2U) != 0;
    const bool ignore_case = (flags & 1U) != 0;
    if (descending) {
        return ignore_case ? get_highest_case_string : get_highest_string;
    }
    return ignore_case ? get_lowest_case_string : get_lowest_string;
}

// Appends the pre-order listing of element's subtree at *tail and leaves
// tail on the link after the last node added. A subtree whose own first node
// cannot be allocated is left out, and the listing goes on without it.
void append_subtree(data_base_element* element, unsigned int flags, dataBaseList**& tail) {
    if (element->depth >= 0) {
        dataBaseList* node = new_data_base_list(element);
        if (node == nullptr) {
            std::fputs("ERROR: Memory allocation error during dataBaseList creation.", stderr);
            return;
        }
        *tail = node;
        tail = &node->next;
    }

    data_base_element* cursors[DATA_BASE_BUCKETS];
    std::memcpy(cursors, element->children, sizeof cursors);
    const string_selector select = selector_for(flags);
    for (;;) {
        const char* names[DATA_BASE_BUCKETS];
        for (int i = 0; i < DATA_BASE_BUCKETS; ++i) {
            // An aliased element stands for another one, which is listed
            // where it sits; listing both would show the target twice.
            while (cursors[i] != nullptr && cursors[i]->alias != nullptr) {
                cursors[i] = cursors[i]->next;
            }
            names[i] = cursors[i] != nullptr ? cursors[i]->name : nullptr;
        }
        const int picked = select(names, DATA_BASE_BUCKETS);
        if (picked < 0) {
            return;
        }
        append_subtree(cursors[picked], flags, tail);
        cursors[picked] = cursors[picked]->next;
    }
}

}  // namespace

void data_base_fail_allocation(int count) {
    allocations_before_failure = count > 0 ? count : 0;
}

data_base* new_data_base(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    data_base* tree = alloc_named_record<data_base>(name);
    if (tree == nullptr) {
        return nullptr;
    }
    tree->root = new_data_base_element(nullptr, "", nullptr);
    if (tree->root == nullptr) {
        std::free(tree);
        return nullptr;
    }
    tree->root->depth = -1;
    return tree;
}

data_base_element* new_data_base_element(data_base_element* parent, const char* name,
                                         data_base_element* next) {
    if (name == nullptr) {
        return nullptr;
    }
    data_base_element* element = alloc_named_record<data_base_element>(name);
    if (element == nullptr) {
        log_message(0, 1, "data_base", "new_data_base_element",
                    "Unable to allocate memory for new database element");
        return nullptr;
    }
    element->parent = parent;
    element->next = next;
    element->depth = parent != nullptr && parent->depth >= 0 ? parent->depth + 1 : 0;
    return element;
}

data_base_element* get_data_base_child_element(data_base_element* element, const char* name) {
    return child_element(element, name, true);
}

data_base_element* get_existing_data_base_child_element(data_base_element* element,
                                                        const char* name) {
    return child_element(element, name, false);
}

int has_data_base_child_element(data_base_element* element) {
    if (element == nullptr) {
        return 0;
    }
    for (data_base_element* head : element->children) {
        if (head != nullptr) {
            return 1;
        }
    }
    return 0;
}

data_base_element* get_data_base_element(data_base* tree, const char* key,
                                         data_base_element* context) {
    return resolve(tree, key, context, true);
}

data_base_element* get_existing_data_base_element(data_base* tree, const char* key,
                                                  data_base_element* context) {
    return resolve(tree, key, context, false);
}

data_base_element* add_data_base_alias(data_base* tree, const char* key, const char* target) {
    data_base_element* element = get_data_base_element(tree, key, nullptr);
    if (element == nullptr) {
        return nullptr;
    }
    data_base_element* destination = get_data_base_element(tree, target, nullptr);
    if (destination == nullptr) {
        return nullptr;
    }
    element->alias = destination;
    return element;
}

data_base_element* get_data_base_ansestor_element(data_base_element* element, int depth) {
    if (element == nullptr || depth > element->depth) {
        return nullptr;
    }
    while (element != nullptr && element->depth != depth) {
        element = element->parent;
    }
    return element;
}

char* get_data_base_element_key(data_base_element* element, char* buffer) {
    constexpr size_t LIMIT = DATA_BASE_KEY_SIZE - 1;
    size_t total = 0;
    for (data_base_element* e = element; e != nullptr && e->depth >= 0; e = e->parent) {
        total += 1 + std::strlen(e->name);
    }
    // The key is written from its end backwards, walking up the parents, and
    // whatever lands beyond the buffer's room is dropped.
    size_t position = total;
    for (data_base_element* e = element; e != nullptr && e->depth >= 0; e = e->parent) {
        const size_t length = std::strlen(e->name);
        position -= length + 1;
        if (position < LIMIT) {
            buffer[position] = '/';
            const size_t room = LIMIT - (position + 1);
            std::memcpy(buffer + position + 1, e->name, length < room ? length : room);
        }
    }
    buffer[total < LIMIT ? total : LIMIT] = '\0';
    return buffer;
}

dataBaseList* new_data_base_list(data_base_element* element) {
    void* block = tree_alloc(sizeof(dataBaseList));
    if (block == nullptr) {
        return nullptr;
    }
    return new (block) dataBaseList{element, nullptr};
}

dataBaseList* get_data_base_list(data_base_element* element, unsigned int flags) {
    if (element == nullptr || element->alias != nullptr) {
        return nullptr;
    }
    dataBaseList* head = nullptr;
    dataBaseList** tail = &head;
    append_subtree(element, flags, tail);
    return head;
}

void free_data_base(data_base** tree, data_base_value_release release) {
    if (tree == nullptr || *tree == nullptr) {
        return;
    }
    free_data_base_element(&(*tree)->root, release);
    std::free(*tree);
    *tree = nullptr;
}

void free_data_base_element(data_base_element** slot, data_base_value_release release) {
    if (slot == nullptr) {
        return;
    }
    while (*slot != nullptr) {
        data_base_element* element = *slot;
        data_base_element* successor = element->next;
        for (data_base_element*& chain : element->children) {
            free_data_base_element(&chain, release);
        }
        if (release != nullptr && element->value != nullptr) {
            release(element->value);
        }
        std::free(element);
        *slot = successor;
    }
}

void free_data_base_list(dataBaseList** list) {
    if (list == nullptr) {
        return;
    }
    while (*list != nullptr) {
        dataBaseList* node = *list;
        *list = node->next;
        std::free(node);
    }
}
