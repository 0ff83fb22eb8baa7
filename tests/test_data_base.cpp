#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/data_base.h"
#include "config/data_base_testing.h"
#include "strutil/strutil.h"

namespace {

using Keys = std::vector<std::string>;

std::string key_of(data_base_element* element) {
    char buffer[DATA_BASE_KEY_SIZE];
    return get_data_base_element_key(element, buffer);
}

// Runs body with the count-th allocation failing; returns what it logged.
template <typename Body>
std::string with_failing_allocation(int count, Body body) {
    testing::internal::CaptureStderr();
    data_base_fail_allocation(count);
    body();
    data_base_fail_allocation(0);
    return testing::internal::GetCapturedStderr();
}

class KeyTree : public testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(tree, nullptr); }
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
    for (const char* key : {"/family/x/y", "//family//x/y/"}) {
        EXPECT_EQ(make(key), element) << key;
        EXPECT_EQ(find(key), element) << key;
    }
    EXPECT_EQ(key_of(element), "/family/x/y");
    int depth = 0;
    for (const char* key : {"family", "family/x", "family/x/y"}) {
        EXPECT_EQ(find(key)->depth, depth++) << key;
        EXPECT_EQ(find(key)->value, nullptr) << key;
    }
    for (const char* key : {"", "/", "//"}) {
        EXPECT_EQ(make(key), tree->root) << key;
        EXPECT_EQ(find(key), nullptr) << key;
    }
    EXPECT_EQ(get_existing_data_base_child_element(find("family"), "y"), nullptr);
    EXPECT_EQ(has_data_base_child_element(find("family/x")), 1);
    EXPECT_EQ(has_data_base_child_element(element), 0);
    EXPECT_EQ(get_data_base_ansestor_element(element, 0), find("family"));
    EXPECT_EQ(get_data_base_ansestor_element(element, 2), element);
    EXPECT_EQ(get_data_base_ansestor_element(element, 3), nullptr);
    const std::string stem(300, 'n');  // components count by their first 300 characters
    EXPECT_EQ(make(stem + "A/v"), make(stem + "B/v"));
}

TEST_F(KeyTree, ListsSubtreeInPreOrderWhateverTheInsertionOrder) {
    Keys sorted;
    for (unsigned int i = 0; i < 300; ++i) {
        const std::string name = "n" + std::to_string(i * 7919U % 1000U);
        ASSERT_NE(get_data_base_child_element(tree->root, name.c_str()), nullptr);
        sorted.push_back("/" + name);
    }
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(list(nullptr), sorted);  // the root itself is never listed
    for (const std::string& key : sorted) EXPECT_EQ(key_of(find(key)), key);

    for (const char* key : {"x/b", "x/a", "x/B", "x/a/z"}) make(key);
    EXPECT_EQ(list("x"), (Keys{"/x", "/x/B", "/x/a", "/x/a/z", "/x/b"}));
    // Names in buckets of their own, so that the flags alone decide the merge.
    for (const char* name : {"apple", "Banana", "cherry"}) make(std::string("f/") + name);
    ASSERT_EQ(list("f"), (Keys{"/f", "/f/Banana", "/f/apple", "/f/cherry"}));
    EXPECT_EQ(list("f", 1), (Keys{"/f", "/f/apple", "/f/Banana", "/f/cherry"}));
    EXPECT_EQ(list("f", 2), (Keys{"/f", "/f/cherry", "/f/apple", "/f/Banana"}));
    EXPECT_EQ(list("f", 3), (Keys{"/f", "/f/cherry", "/f/Banana", "/f/apple"}));
}

TEST_F(KeyTree, AliasRedirectsPathsAndHidesFromListing) {
    make("p/q/kept");
    data_base_element* alias = add_data_base_alias(tree, "p/q", "r/s");
    ASSERT_EQ(alias, get_existing_data_base_child_element(find("p"), "q"));
    EXPECT_EQ(key_of(make("p/q/v")), "/r/s/v");
    EXPECT_EQ(find("p/q/kept"), nullptr);
    // An alias on a path through an alias lands on the chain's end.
    EXPECT_EQ(key_of(add_data_base_alias(tree, "p/q", "t")), "/r/s");
    EXPECT_EQ(key_of(make("p/q/v")), "/t/v");
    EXPECT_EQ(get_data_base_list(alias, 0), nullptr);
    EXPECT_EQ(list("p"), (Keys{"/p"}));
    // Cycles end a lookup instead of hanging it; a self-alias ends a chain.
    data_base_element* a = make("a");
    data_base_element* b = make("b");
    a->alias = b;
    b->alias = a;
    EXPECT_EQ(make("a/x"), nullptr);
    EXPECT_EQ(find("b"), nullptr);
    EXPECT_EQ(make("z", a), nullptr);
    data_base_element* c = make("c");
    b->alias = c;  // a -> b -> c -> a
    c->alias = a;
    EXPECT_EQ(make("c"), nullptr);
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
    EXPECT_EQ(key_of(make("a/b/y", add_data_base_alias(tree, "m", "a/b"))), "/a/b/y");
}

TEST_F(KeyTree, KeyRebuildNeverOverrunsItsBuffer) {
    const std::string part(300, 'k');
    char buffer[DATA_BASE_KEY_SIZE + 64];
    std::memset(buffer, 'Z', sizeof buffer);
    get_data_base_element_key(make(part + "/" + part), buffer);
    EXPECT_EQ(std::string(buffer), ("/" + part + "/" + part).substr(0, DATA_BASE_KEY_SIZE - 1));
    EXPECT_EQ(std::string(buffer + DATA_BASE_KEY_SIZE, 64), std::string(64, 'Z'));
}

TEST_F(KeyTree, AllocationFailureLeavesChainsIntact) {
    // "M", "a" and "u" share a bucket: the failed insert sits mid-chain.
    for (const char* name : {"M", "u"})
        ASSERT_EQ(strhash(DATA_BASE_BUCKETS, name), strhash(DATA_BASE_BUCKETS, "a"));
    make("u");
    make("M");
    with_failing_allocation(2,
                            [&] { EXPECT_EQ(make("a/b/c"), nullptr); });  // its log line: test_log
    with_failing_allocation(1, [&] { EXPECT_EQ(make("Q"), nullptr); });
    EXPECT_EQ(list(nullptr), (Keys{"/M", "/a", "/u"}));  // "a" stays, without "b"
    with_failing_allocation(2, [&] { EXPECT_EQ(add_data_base_alias(tree, "k", "t"), nullptr); });
    EXPECT_EQ(find("k")->alias, nullptr);
    for (int failing = 1; failing <= 2; ++failing)  // the tree's record or its root
        with_failing_allocation(failing, [] { EXPECT_EQ(new_data_base("config"), nullptr); });

    make("x/a/deep");
    make("x/b");
    const std::string errors = with_failing_allocation(2, [&] {  // the node of "x/a"
        EXPECT_EQ(list("x"), (Keys{"/x", "/x/b"}));
    });
    EXPECT_EQ(errors, "ERROR: Memory allocation error during dataBaseList creation.");
    with_failing_allocation(1, [&] { EXPECT_EQ(get_data_base_list(find("x"), 0), nullptr); });
}

TEST_F(KeyTree, ReleasesValuesOnlyWithAReleaseFunction) {
    static Keys released;
    const auto note = [](void* value) {
        released.emplace_back(static_cast<char*>(value));
        std::free(value);
    };
    char not_heap[] = "kept";  // freeing it would abort
    make("a/b")->value = not_heap;
    free_data_base(&tree, nullptr);
    EXPECT_EQ(tree, nullptr);
    tree = new_data_base("config");
    for (const char* key : {"x/y", "x", "w"}) make(key)->value = strdup(key);
    data_base_element*& slot = tree->root->children[strhash(DATA_BASE_BUCKETS, "x")];
    free_data_base_element(&slot, note);
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(released, (Keys{"x/y", "x"}));  // children before their parent
    free_data_base(&tree, note);
    EXPECT_EQ(released, (Keys{"x/y", "x", "w"}));
    EXPECT_EQ(tree, nullptr);
}

}  // namespace
