#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "config/data_base.h"
#include "stderr_capture.h"
#include "strutil/strutil.h"

namespace {

using Keys = std::vector<std::string>;
using Elements = std::vector<data_base_element*>;

std::string key_of(data_base_element* element) {
    char buffer[DATA_BASE_KEY_SIZE];
    return get_data_base_element_key(element, buffer);
}

class KeyTree : public testing::Test {
  protected:
    void TearDown() override { free_data_base(&tree, std::free); }

    data_base_element* make(const std::string& key, data_base_element* context = nullptr) {
        return get_data_base_element(tree, key.c_str(), context);
    }
    data_base_element* find(const std::string& key, data_base_element* context = nullptr) {
        return get_existing_data_base_element(tree, key.c_str(), context);
    }
    // The rebuilt keys of the listing of key (of the root for null).
    Keys list(const char* key, unsigned int flags = 0) {
        dataBaseList* list = get_data_base_list(key ? find(key) : tree->root, flags);
        Keys keys;
        for (dataBaseList* node = list; node != nullptr; node = node->next)
            keys.push_back(key_of(node->element));
        free_data_base_list(&list);
        EXPECT_EQ(list, nullptr);
        return keys;
    }

    data_base* tree = new_data_base("config");
};

TEST_F(KeyTree, PathsIgnoreExtraSlashesAndCreateMissingElements) {
    EXPECT_EQ(find("family/x/y"), nullptr);
    data_base_element* element = make("family/x/y");
    EXPECT_EQ(make("/family/x/y"), element);
    EXPECT_EQ(find("//family//x/y/"), element);
    EXPECT_EQ((std::vector{find("family")->depth, find("family/x")->depth, element->depth,
                           has_data_base_child_element(find("family/x")),
                           has_data_base_child_element(element)}),
              (std::vector{0, 1, 2, 1, 0}));
    EXPECT_EQ((Elements{make(""), make("//"), find("/")}),
              (Elements{tree->root, tree->root, nullptr}));
    EXPECT_EQ(get_data_base_ansestor_element(element, 0), find("family"));
    EXPECT_EQ(get_data_base_ansestor_element(element, 2), element);
    // Components count by their first 300 characters; a rebuilt key never
    // overruns its buffer.
    const std::string part(300, 'k');
    EXPECT_EQ(make(part + "A/v"), make(part + "B/v"));
    char buffer[DATA_BASE_KEY_SIZE + 64];
    std::memset(buffer, 'Z', sizeof buffer);
    get_data_base_element_key(make(part + "/" + part), buffer);
    EXPECT_EQ(std::string(buffer), ("/" + part + "/" + part).substr(0, DATA_BASE_KEY_SIZE - 1));
    EXPECT_EQ(std::string(buffer + DATA_BASE_KEY_SIZE, 64), std::string(64, 'Z'));
}

TEST_F(KeyTree, ListsSubtreeInPreOrderWhateverTheInsertionOrder) {
    Keys sorted;
    for (unsigned int i = 0; i < 300; ++i)
        sorted.push_back("/n" + std::to_string(i * 7919U % 1000U));
    for (const std::string& key : sorted) get_data_base_child_element(tree->root, key.c_str() + 1);
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(list(nullptr), sorted);  // the root itself is never listed
    for (const std::string& key : sorted) EXPECT_EQ(key_of(find(key)), key);

    for (const char* key : {"x/b", "x/a", "x/B", "x/a/z"}) make(key);
    EXPECT_EQ(list("x"), (Keys{"/x", "/x/B", "/x/a", "/x/a/z", "/x/b"}));
    // Names in buckets of their own, so that the flags alone decide the merge.
    for (const char* name : {"apple", "Banana", "cherry"}) make(std::string("f/") + name);
    EXPECT_EQ(list("f", 1), (Keys{"/f", "/f/apple", "/f/Banana", "/f/cherry"}));
    EXPECT_EQ(list("f", 2), (Keys{"/f", "/f/cherry", "/f/apple", "/f/Banana"}));
}

TEST_F(KeyTree, AliasRedirectsPathsAndHidesFromListing) {
    make("p/q/kept");
    data_base_element* alias = add_data_base_alias(tree, "p/q", "r/s");
    ASSERT_EQ(alias, get_existing_data_base_child_element(find("p"), "q"));
    EXPECT_EQ(key_of(make("p/q/v")), "/r/s/v");
    // An alias on a path through an alias lands on the chain's end.
    EXPECT_EQ(key_of(add_data_base_alias(tree, "p/q", "t")), "/r/s");
    EXPECT_EQ(key_of(make("p/q/v")), "/t/v");
    EXPECT_EQ(get_data_base_list(alias, 0), nullptr);
    EXPECT_EQ(list("p"), (Keys{"/p"}));
    // Cycles end a lookup instead of hanging it; a self-alias ends a chain.
    data_base_element *a = make("a"), *b = make("b"), *c = make("c");
    a->alias = b;
    b->alias = c;
    c->alias = a;
    EXPECT_EQ(make("a/x"), nullptr);
    EXPECT_EQ(make("z", b), nullptr);
    c->alias = c;
    EXPECT_EQ(make("a"), c);
    EXPECT_EQ(key_of(make("b/x")), "/c/x");
}

TEST_F(KeyTree, ContextMatchesItsOwnAncestorsFirst) {
    data_base_element* c = make("a/b/c");
    EXPECT_EQ(make("a/b", c), find("a/b"));
    EXPECT_EQ(key_of(make("a/b/x", c)), "/a/b/x");
    EXPECT_EQ(key_of(make("a/q", c)), "/a/q");
    EXPECT_EQ(key_of(make("b", c)), "/b");  // matching starts at the top
    EXPECT_EQ(find("a/b/missing", c), nullptr);
    EXPECT_EQ(find("", c), nullptr);
    // An aliased context first moves to its target.
    EXPECT_EQ(key_of(make("m/y", add_data_base_alias(tree, "m", "a/b"))), "/a/b/y");
}

TEST_F(KeyTree, AllocationFailureLeavesChainsIntact) {
    // "M", "a" and "u" share a bucket: "a" fails to go in between the two.
    for (const char* name : {"M", "u"})
        ASSERT_EQ(strhash(DATA_BASE_BUCKETS, name), strhash(DATA_BASE_BUCKETS, "a"));
    make("u");
    make("M");
    stderr_of([&] { EXPECT_EQ(make("a"), nullptr); }, 1);  // its log line: test_log
    EXPECT_EQ(list(nullptr), (Keys{"/M", "/u"}));
    stderr_of([&] { EXPECT_EQ(make("a/b/c"), nullptr); }, 2);
    EXPECT_EQ(list(nullptr), (Keys{"/M", "/a", "/u"}));  // "a" stays, without "b"
    stderr_of([&] { EXPECT_EQ(add_data_base_alias(tree, "k", "t"), nullptr); }, 2);
    EXPECT_EQ(find("k")->alias, nullptr);
    for (int failing = 1; failing <= 2; ++failing)  // the tree's record or its root
        stderr_of([] { EXPECT_EQ(new_data_base("config"), nullptr); }, failing);

    make("x/a/deep");
    make("x/b");
    // The node of "x/a" is lost with its subtree; the listing goes on.
    Keys listed;
    EXPECT_EQ(stderr_of([&] { listed = list("x"); }, 2),
              "ERROR: Memory allocation error during dataBaseList creation.");
    EXPECT_EQ(listed, (Keys{"/x", "/x/b"}));
    stderr_of([&] { EXPECT_EQ(get_data_base_list(find("x"), 0), nullptr); }, 1);
}

TEST_F(KeyTree, ReleasesValuesOnlyWithAReleaseFunction) {
    char not_heap[] = "kept";  // freeing it would abort
    make("a/b")->value = not_heap;
    free_data_base(&tree, nullptr);
    tree = new_data_base("config");
    static Keys released;
    for (const char* key : {"x/y", "x"}) make(key)->value = strdup(key);
    free_data_base(&tree, [](void* value) {
        released.emplace_back(static_cast<char*>(value));
        std::free(value);
    });
    EXPECT_EQ(released, (Keys{"x/y", "x"}));  // children before their parent
    EXPECT_EQ(tree, nullptr);
}

}  // namespace
