#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>

#include "config/config.h"
#include "config/config_lookup.h"
#include "config/data_base.h"
#include "config/data_base_testing.h"
#include "log/log.h"
#include "strutil/strutil.h"

namespace {

// Everything body wrote on descriptor 2 (stdio or not), with the failing-th
// allocation of the key tree made to fail meanwhile (0: none).
template <typename Body>
std::string stderr_of(Body&& body, int failing = 0) {
    testing::internal::CaptureStderr();
    data_base_fail_allocation(failing);
    body();
    data_base_fail_allocation(0);
    return testing::internal::GetCapturedStderr();
}

// Leaves the process-wide configuration and logger state as it found them.
class ConfigTest : public testing::Test {
  protected:
    void TearDown() override {
        log_no_config(-1);
        free_config();
        std::remove(path.c_str());
    }
    // Loads content from a file; returns what the loader wrote on standard error.
    std::string load(const std::string& content, int failing = 0) {
        std::ofstream(path) << content;
        return stderr_of([this] { EXPECT_EQ(load_config(path.c_str()), 0); }, failing);
    }
    const std::string path = testing::TempDir() + "tarnwell" + std::to_string(getpid()) + ".config";
};

using Texts = std::vector<std::string>;

template <typename Array>
Texts texts_of(Array array) {
    Texts texts;
    for (; array != nullptr && *array != nullptr; ++array) texts.emplace_back(*array);
    return texts;
}

Texts keys_under(const char* key) {
    char** keys = get_config_keys(key);
    const Texts texts = texts_of(keys);
    free_config_keys(&keys);
    return texts;
}

TEST(ConfigLine, ClassifiesEveryKindOfLine) {
    using Row = std::tuple<std::string, int, const char*, const char*>;
    const Row cases[] = {
        // No entry: results 1 to 7.
        Row{"", 1, "", ""}, Row{"k =  \t", 1, "k", ""}, Row{"  \t \r\n", 2, "", ""},
        Row{"key =   \n", 2, "key", ""}, Row{"   # k = v\n", 3, "", ""}, Row{"=v\n", 4, "=v", ""},
        Row{std::string("\0 = v\n", 6), 5, "", ""}, Row{"key # = value\n", 6, "key", ""},
        Row{std::string("k = \0x\n", 7), 7, "k", ""},
        // Entries: the blanks around a key and a value go.
        Row{" key\t=\t some value \t\r\n", 0, "key", "some value"},
        Row{"key=a=b # c\n", 0, "key", "a=b # c"}, Row{"==v\n", 0, "=", "v"},
        Row{"k = v", 0, "k", "v"}};
    for (const auto& [input, result, key, value] : cases) {
        char got_key[CONFIG_TEXT_MAX + 1] = "", got_value[CONFIG_TEXT_MAX + 1] = "";
        int line = 6;
        FILE* stream = fmemopen(const_cast<char*>(input.data()), input.size(), "r");
        const int got = get_config_line(got_key, got_value, stream, &line, "mem");
        fclose(stream);
        EXPECT_EQ((std::tuple{got, std::string(got_key), std::string(got_value), line}),
                  (std::tuple{result, std::string(key), std::string(value), 7}))
            << input;
    }
}

TEST_F(ConfigTest, WarningsNameTheirPhysicalLineAndLoadingGoesOn) {
    const std::string key(301, 'k'), value(300, 'v'), in = " in file \"" + path + "\"";
    EXPECT_EQ(load("# c\n\nk # = v\n" + key + " = 1\nv = " + value + "X\nw = " + value +
                   " \r\na/b = 1\nx = 5\nx\n/a//b = 2\n"),
              "WARNING: line 4 " + in + ". The key has been truncated\nWARNING: line 5 " + in +
                  ". The value has been truncated\nWARNING line 10" + in +
                  " overwrites key \"/a/b\"\n");
    EXPECT_EQ((Texts{get_config_string(key.substr(0, 300).c_str()), get_config_string("v"),
                     get_config_string("w"), get_config_string("a/b"), get_config_string("x")}),
              (Texts{"1", value, value, "2", "5"}));
    // A line whose element cannot be allocated is left out; the next one loads.
    const std::string err = load("y = 2\nb = 3\n", 1),
                      lost = "WARNING: line 1" + in + " could not be loaded due lack of memory\n";
    EXPECT_NE(err.find(lost), err.npos) << err;
    EXPECT_EQ(get_config_string("y"), nullptr);
    EXPECT_STREQ(get_config_string("b"), "3");
}

TEST_F(ConfigTest, EmptyUntilLoadedAndAgainAfterFree) {
    // Before any tree exists every query finds nothing, and nothing crashes.
    EXPECT_EQ(load_config("/nonexistent/tarnwell.config"), 1);
    EXPECT_EQ(config_loaded(), 0);
    EXPECT_EQ((std::vector<const void*>{get_config_string("log/main"),
                                        find_config_string("log/main"), get_config_keys(nullptr),
                                        get_config_keys("log"), get_config_values("log")}),
              std::vector<const void*>(5, nullptr));
    EXPECT_EQ(load_config("/tmp"), 1);  // a directory: reads fail, the end never comes
    load("a = 1\n");
    EXPECT_EQ(config_loaded(), 1);
    char** kept = get_config_keys(nullptr);
    free_config();
    EXPECT_EQ(config_loaded(), 0);
    EXPECT_EQ(texts_of(kept), Texts{"/a"});  // copies outlive the tree
    free_config_keys(&kept);
    load("b = 2\n");
    EXPECT_EQ(keys_under(nullptr), Texts{"/b"});
}

TEST_F(ConfigTest, NumbersConvertLikeAtoi) {
    load("log/main = 3\nabc = abc\nlead =  42x\nneg = -7\nhex = 0x10\nbig = 4000000000\n");
    const std::pair<const char*, int> numbers[] = {{"/log/main", 3}, {"log//main/", 3}, {"log", 0},
                                                   {"abc", 0},       {"lead", 42},      {"neg", -7},
                                                   {"hex", 0},       {"missing", 0}};
    for (auto [key, number] : numbers)
        EXPECT_EQ((std::pair{get_config_int(key), get_config_long(key)}),
                  (std::pair{number, long{number}}))
            << key;
    EXPECT_TRUE(sizeof(long) == 4 || get_config_long("big") == 4000000000L);
}

TEST_F(ConfigTest, EnumerationIsPreOrderInByteOrderOfValuedKeysOnly) {
    load(
        "/processor/B/family = 3\nprocessor/A/id = 2\nprocessor/A/family = 1\nprocessor = top\n"
        "/ = root\nzz = 9\n");
    EXPECT_EQ(get_config_string("p/missing"), nullptr);  // leaves a valueless element
    EXPECT_EQ(keys_under("/processor/"), (Texts{"/processor", "/processor/A/family",
                                                "/processor/A/id", "/processor/B/family"}));
    EXPECT_EQ(keys_under("processor/Z"), Texts{});
    EXPECT_EQ(keys_under(nullptr).size(), 5u);  // the root's value is never listed
    EXPECT_STREQ(get_config_string("/"), "root");
    const char** values = get_config_values("processor");
    EXPECT_EQ(texts_of(values), (Texts{"top", "1", "2", "3"}));
    free_config_values(&values);
}

// ---- The key tree under the configuration
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
    Texts list(const char* key, unsigned int flags = 0) {
        dataBaseList* list = get_data_base_list(key ? find(key) : tree->root, flags);
        Texts keys;
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
    EXPECT_EQ((std::vector{find("family")->depth, find("family/x")->depth, element->depth,
                           has_data_base_child_element(find("family/x")),
                           has_data_base_child_element(element)}),
              (std::vector{0, 1, 2, 1, 0}));
    EXPECT_EQ(
        (Elements{make("/family/x/y"), find("//family//x/y/"),
                  get_data_base_ansestor_element(element, 2),
                  get_data_base_ansestor_element(element, 0), make(""), make("//"), find("/")}),
        (Elements{element, element, element, find("family"), tree->root, tree->root, nullptr}));
    // Components count by their first 300 characters; a rebuilt key never overruns its buffer.
    const std::string part(300, 'k');
    EXPECT_EQ(make(part + "A/v"), make(part + "B/v"));
    char buffer[DATA_BASE_KEY_SIZE + 64];
    std::memset(buffer, 'Z', sizeof buffer);
    get_data_base_element_key(make(part + "/" + part), buffer);
    EXPECT_EQ(std::string(buffer), ("/" + part + "/" + part).substr(0, DATA_BASE_KEY_SIZE - 1));
    EXPECT_EQ(std::string(buffer + DATA_BASE_KEY_SIZE, 64), std::string(64, 'Z'));
}

TEST_F(KeyTree, ListsSubtreeInPreOrderWhateverTheInsertionOrder) {
    Texts sorted;
    for (unsigned int i = 0; i < 300; ++i)
        sorted.push_back("/n" + std::to_string(i * 7919U % 1000U));
    for (const std::string& key : sorted) get_data_base_child_element(tree->root, key.c_str() + 1);
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(list(nullptr), sorted);  // the root itself is never listed
    for (const std::string& key : sorted) EXPECT_EQ(key_of(find(key)), key);

    for (const char* key : {"x/b", "x/a", "x/B", "x/a/z"}) make(key);
    EXPECT_EQ(list("x"), (Texts{"/x", "/x/B", "/x/a", "/x/a/z", "/x/b"}));
    // Names in buckets of their own, so that the flags alone decide the merge.
    for (const char* name : {"apple", "Banana", "cherry"}) make(std::string("f/") + name);
    EXPECT_EQ(list("f", 1), (Texts{"/f", "/f/apple", "/f/Banana", "/f/cherry"}));
    EXPECT_EQ(list("f", 2), (Texts{"/f", "/f/cherry", "/f/apple", "/f/Banana"}));
}

TEST_F(KeyTree, AliasRedirectsPathsAndHidesFromListing) {
    make("p/q/kept");
    data_base_element* alias = add_data_base_alias(tree, "p/q", "r/s");
    ASSERT_EQ(alias, get_existing_data_base_child_element(find("p"), "q"));
    // An alias on a path through an alias lands on the chain's end.
    EXPECT_EQ((Texts{key_of(make("p/q/v")), key_of(add_data_base_alias(tree, "p/q", "t")),
                     key_of(make("p/q/v"))}),
              (Texts{"/r/s/v", "/r/s", "/t/v"}));
    EXPECT_EQ(std::tuple(get_data_base_list(alias, 0), list("p")),
              std::tuple(nullptr, Texts{"/p"}));
    // Cycles end a lookup instead of hanging it; a self-alias ends a chain.
    data_base_element *a = make("a"), *b = make("b"), *c = make("c");
    a->alias = b;
    b->alias = c;
    c->alias = a;
    EXPECT_EQ((Elements{make("a/x"), make("z", b)}), (Elements{nullptr, nullptr}));
    c->alias = c;
    EXPECT_EQ(std::tuple(make("a"), key_of(make("b/x"))), std::tuple(c, "/c/x"));
}

TEST_F(KeyTree, ContextMatchesItsOwnAncestorsFirst) {
    // Matching starts at the top ("b"); an aliased context first moves to its target.
    data_base_element* c = make("a/b/c");
    EXPECT_EQ((Elements{make("a/b", c), find("a/b/missing", c), find("", c)}),
              (Elements{find("a/b"), nullptr, nullptr}));
    EXPECT_EQ((Texts{key_of(make("a/b/x", c)), key_of(make("a/q", c)), key_of(make("b", c)),
                     key_of(make("m/y", add_data_base_alias(tree, "m", "a/b")))}),
              (Texts{"/a/b/x", "/a/q", "/b", "/a/b/y"}));
}

TEST_F(KeyTree, AllocationFailureLeavesChainsIntact) {
    // "M", "a" and "u" share a bucket: "a" fails to go in between the two.
    for (const char* name : {"M", "u"})
        ASSERT_EQ(strhash(DATA_BASE_BUCKETS, name), strhash(DATA_BASE_BUCKETS, "a"));
    make("u");
    make("M");
    stderr_of([&] { EXPECT_EQ(make("a"), nullptr); }, 1);  // its log line: see the logger below
    EXPECT_EQ(list(nullptr), (Texts{"/M", "/u"}));
    stderr_of([&] { EXPECT_EQ(make("a/b/c"), nullptr); }, 2);
    EXPECT_EQ(list(nullptr), (Texts{"/M", "/a", "/u"}));  // "a" stays, without "b"
    stderr_of([&] { EXPECT_EQ(add_data_base_alias(tree, "k", "t"), nullptr); }, 2);
    EXPECT_EQ(find("k")->alias, nullptr);
    for (int failing = 1; failing <= 2; ++failing)  // the tree's record or its root
        stderr_of([] { EXPECT_EQ(new_data_base("config"), nullptr); }, failing);

    make("x/a/deep");
    make("x/b");
    // The node of "x/a" is lost with its subtree; the listing goes on.
    Texts listed;
    EXPECT_EQ(stderr_of([&] { listed = list("x"); }, 2),
              "ERROR: Memory allocation error during dataBaseList creation.");
    EXPECT_EQ(listed, (Texts{"/x", "/x/b"}));
    stderr_of([&] { EXPECT_EQ(get_data_base_list(find("x"), 0), nullptr); }, 1);
}

TEST_F(KeyTree, ReleasesValuesOnlyWithAReleaseFunction) {
    char not_heap[] = "kept";  // freeing it would abort
    make("a/b")->value = not_heap;
    free_data_base(&tree, nullptr);
    tree = new_data_base("config");
    static Texts released;
    for (const char* key : {"x/y", "x"}) make(key)->value = strdup(key);
    free_data_base(&tree, [](void* value) {
        released.emplace_back(static_cast<char*>(value));
        std::free(value);
    });
    EXPECT_EQ(released, (Texts{"x/y", "x"}));  // children before their parent
    EXPECT_EQ(tree, nullptr);
}

// ---- The logger

// The text with the ctime stamp (weekday, month, blank-padded day, time and
// four-digit year) that starts a line replaced by "@".
std::string stamped(const std::string& text) {
    static const std::regex stamp(
        "(^|\n)[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4} ");
    return std::regex_replace(text, stamp, "$1@");
}

using Log = ConfigTest;

TEST_F(Log, WritesTheLinesItsLevelLetThroughInTheirExactLayout) {
    load("log/module/icd2 = 1\nlog/module/tarnwell/main = -1\nlog/module/tarnwell/do_prog = 9\n");
    EXPECT_EQ(stamped(stderr_of([] {
                  log_message(2, 1, "icd2", "tty_read", "Timeout during read");
                  log_message(1, 3, "icd2", "tty_read", "%s:%2X|%04X", "/dev/x", 5, 0xab);
                  log_message(0, 1, "tarnwell", "main", "never, not even FATAL");
                  log_message(4, 12, "data_base", "f", "debug");
                  log_message(0, 2, "tarnwell", "do_prog", "fatal");
                  log_message(7, 1, "tarnwell", "do_prog", "odd");
                  log_message(-1, 2, "tarnwell", "do_prog", "negative");
              })),
              "@1 3 ERROR   [icd2] [tty_read] /dev/x: 5|00AB\n@4 12 DEBUG   [data_base] [f] debug\n"
              "@0 2 FATAL    [tarnwell] [do_prog] fatal\n@7 1 UNKNOWN [tarnwell] [do_prog] odd\n"
              "@-1 2 UNKNOWN [tarnwell] [do_prog] negative\n");
}

TEST_F(Log, LevelFollowsConfiguredKeysUnlessFixed) {
    const std::tuple<const char*, const char*, const char*, int> cases[] = {
        {"other = 1\n", "icd2", "tty_read", 4},
        {"log/main = 2\nlog/module/icd2 = 4\n", "icd2", "tty_read", 2},
        {"log/main = 0\n", "icd2", "tty_read", 0},
        {"log/main = -3\nlog/default = 3\n", "icd2", "tty_read", 3},
        {"log/module/tarnwell/find_device = 3\nlog/default = 1\n", "tarnwell", "find_device", 3},
        {"log/module/tarnwell/find_device = 3\nlog/default = 1\n", "tarnwell", "main", 1},
        {"log/module/icd2/tty_read = 0\nlog/module/icd2 = 2\n", "icd2", "tty_read", 2},
        {"log/module/icd2 = 0\nlog/default = 3\n", "icd2", "tty_read", 3},
        {"log/default = abc\n", "icd2", "tty_read", 0}};
    for (const auto& [config, module, function, level] : cases) {
        load(config);
        EXPECT_EQ(log_get_level(module, function), level) << config;
        free_config();
    }
    EXPECT_EQ(log_get_level("icd2", "tty_read"), 4);  // nothing loaded
    load("log/default = 2\n");
    for (auto [fixed, level] : {std::pair{3, 3}, {0, 0}, {-1, 2}}) {
        log_no_config(fixed);
        EXPECT_EQ(log_get_level("icd2", "tty_read"), level) << fixed;
    }
}

TEST_F(Log, LookupCreatesNoElementsAndNeverMatchesACutKey) {
    // The function's key is one character too long: the loader cuts it to fit.
    const std::string function(285, 'f');
    load("log/main = 4\nlog/module/icd2 = 2\nlog/module/icd2/" + function + " = 4\n");
    EXPECT_EQ(log_get_level("icd2", function.c_str()), 2);
    EXPECT_EQ(log_get_level(std::string(400, 'm').c_str(), "f"), 4);
    log_get_level("tarnwell", "main");
    EXPECT_EQ(get_existing_data_base_element(configDB, "log/module/tarnwell", nullptr), nullptr);
    EXPECT_EQ(stamped(stderr_of([] { EXPECT_EQ(get_config_string("new/key"), nullptr); }, 1)),
              "@0 1 FATAL    [data_base] [new_data_base_element] "
              "Unable to allocate memory for new database element\n");
    // A module's key as long as a key can be is looked up when its function's is too long.
    free_config();
    const std::string module(288, 'm');
    load("log/module/" + module + " = 2\n");
    EXPECT_EQ(log_get_level(module.c_str(), "f"), 2);
}

TEST_F(Log, BuildMessageAndDeprecatedError) {
    load("log/module/icd2 = 1\nlog/default = 1\n");
    EXPECT_EQ(build_message(3, 4, "icd2", "do_command", "filtered"), nullptr);
    // A "%" in a name is text, never a conversion.
    char* line = build_message(1, 4, "m%s%n", "f%d", "value %04X", 0x1f);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(stamped(line), "@1 4 ERROR   [m%s%n] [f%d] value 001F");
    free(line);
    line = build_message(1, 4, "m", "f", "%s", "");  // an empty message is a line all the same
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(stamped(line), "@1 4 ERROR   [m] [f] ");
    free(line);
    const std::string notice =
        "** Using deprecated method - error() - in module tarnwell, method main.\n";
    EXPECT_EQ(stamped(stderr_of([] {
                  error(3, "tarnwell", "main", "first", "second", 7);
                  error(1, "tarnwell", "main", "first", "second", 8);
              })),
              notice + notice + "@1 8 ERROR   [tarnwell] [main] first second\n");
}

}  // namespace
