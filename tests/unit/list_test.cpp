#include "common/list.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace lld {
namespace {

struct Sample {
    std::uint32_t value;
    int arrival;
    bool operator==(const Sample&) const = default;
};

// The probe store's comparator: the difference of two unsigned samples.
int difference(const std::uint32_t& a, const std::uint32_t& b) {
    return static_cast<int>(a - b);
}

template <typename T>
std::vector<T> contents(const tList<T>& list) {
    return {list.begin(), list.end()};
}

template <typename T>
int index_of(const tList<T>& list, const T* element) {
    int i = 0;
    for (const T& e : list) {
        if (&e == element) {
            return i;
        }
        ++i;
    }
    return -1;
}

TEST(ListTest, EmptyListYieldsNothing) {
    for (auto list : {tList<std::uint32_t>{}, tList<std::uint32_t>::sorted(difference)}) {
        EXPECT_EQ(list.pop_front(), std::nullopt);
        EXPECT_EQ(list.remove_node(list.end()), std::nullopt);
        EXPECT_EQ(list.remove_if([](std::uint32_t) { return true; }), std::nullopt);
        EXPECT_EQ(list.find_if([](std::uint32_t) { return true; }), nullptr);
        EXPECT_EQ(list.find_key(std::identity{}, 0u), nullptr);
        EXPECT_EQ(list.at(0), nullptr);
        EXPECT_EQ(list.last(), nullptr);
        EXPECT_EQ(list.count(), 0);
    }
}

TEST(ListTest, AtYieldsOnlyPositionsBelowCount) {
    tList<std::uint32_t> single;
    single.push_front(42);
    ASSERT_NE(single.at(0), nullptr);
    EXPECT_EQ(*single.at(0), 42u);
    EXPECT_EQ(single.at(1), nullptr);

    tList<std::uint32_t> list;
    for (std::uint32_t v : {30u, 20u, 10u}) {
        list.push_front(v);
    }
    const struct {
        int pos;
        std::optional<std::uint32_t> expected;
    } cases[] = {{INT_MIN, {}}, {-1, {}}, {0, 10u}, {1, 20u},
                 {2, 30u},      {3, {}},  {4, {}},  {INT_MAX, {}}};
    for (const auto& c : cases) {
        const std::uint32_t* got = list.at(c.pos);
        EXPECT_EQ(got ? std::optional(*got) : std::nullopt, c.expected) << "position " << c.pos;
    }
}

TEST(ListTest, SortedInsertionIsAscendingAndKeepsArrivalOfEqualKeys) {
    const std::vector<std::vector<std::uint32_t>> sequences = {
        {}, {7}, {5, 3, 5, 1}, {1, 2, 3}, {3, 2, 1}, {2, 2, 2}, {4, 1, 4, 1, 0, 9, 4}};
    for (const auto& sequence : sequences) {
        auto list = tList<Sample>::sorted(difference, &Sample::value);
        std::vector<Sample> expected;
        for (int i = 0; i < static_cast<int>(sequence.size()); ++i) {
            list.insert_sorted({sequence[i], i});
            expected.push_back({sequence[i], i});
        }
        std::ranges::stable_sort(expected, {}, &Sample::value);
        EXPECT_EQ(contents(list), expected);
        if (!expected.empty()) {
            ASSERT_NE(list.last(), nullptr);
            EXPECT_EQ(*list.last(), expected.back());
        }
    }

    auto list = tList<Sample>::sorted(difference, &Sample::value);
    for (int i = 0; std::uint32_t v : {5u, 3u, 5u, 1u}) {
        list.insert_sorted({v, i++});
    }
    EXPECT_EQ(contents(list), (std::vector<Sample>{{1, 3}, {3, 1}, {5, 0}, {5, 2}}));
}

TEST(ListTest, InsertSortedWithoutComparatorReadsNewestFirst) {
    tList<std::uint32_t> list;
    for (std::uint32_t v : {5u, 3u, 5u, 1u}) {
        list.insert_sorted(v);
    }
    EXPECT_EQ(contents(list), (std::vector<std::uint32_t>{1, 5, 3, 5}));
}

struct Tracked {
    Tracked(std::uint32_t v, int& counter) : value(v), destroyed(counter) {}
    std::uint32_t value;
    int& destroyed;
    ~Tracked() { ++destroyed; }
};

TEST(ListTest, ClearReleasesHeldElementsOnlyAndListStaysUsable) {
    int destroyed = 0;
    tList<std::unique_ptr<Tracked>> list;
    for (std::uint32_t v : {1u, 2u, 3u}) {
        list.push_front(std::make_unique<Tracked>(v, destroyed));
    }
    std::optional<std::unique_ptr<Tracked>> taken = list.pop_front();
    list.clear();
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.last(), nullptr);
    ASSERT_TRUE(taken && *taken);
    EXPECT_EQ((*taken)->value, 3u);

    list.push_front(std::make_unique<Tracked>(4u, destroyed));
    list.push_front(std::make_unique<Tracked>(5u, destroyed));
    EXPECT_EQ(list.count(), 2);
    EXPECT_EQ((*list.at(0))->value, 5u);
    EXPECT_EQ((*list.last())->value, 4u);
}

struct Entry {
    char name[8];
    std::string label;
    std::uint32_t id;
    std::uint32_t spare;
    sockaddr_in addr;
};

sockaddr_in make_addr(const char* ip, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

Entry make_entry(std::string_view name, std::string label, std::uint32_t id, std::uint32_t spare,
                 sockaddr_in addr) {
    Entry e{{}, std::move(label), id, spare, addr};
    std::memcpy(e.name, name.data(), std::min(name.size(), sizeof e.name));
    return e;
}

TEST(ListTest, FindKeyMatchesTextIgnoringCaseAndOtherKeysExactly) {
    tList<Entry> list;
    // Pushed in reverse so the list reads in this order.
    const Entry entries[] = {
        make_entry("Alpha", "Game-1", 7, 9, make_addr("10.0.0.1", 5000)),
        make_entry("beta", "game-2", 9, 7, make_addr("10.0.0.1", 5001)),
        make_entry("GAMMA", "GAME-1", 9, 0, make_addr("10.0.0.2", 5000)),
        make_entry("FULLNAME", "", UINT32_MAX, 3,
                   make_addr("10.0.0.3", 5000)),  // no room for a NUL
    };
    for (auto it = std::rbegin(entries); it != std::rend(entries); ++it) {
        list.push_front(*it);
    }
    using Search = std::function<const Entry*(const tList<Entry>&)>;
    const struct {
        const char* what;
        Search search;
        int expected;
    } cases[] = {
        {"name ALPHA", [](auto& l) { return l.find_key(&Entry::name, "ALPHA"); }, 0},
        {"name Beta", [](auto& l) { return l.find_key(&Entry::name, std::string("Beta")); }, 1},
        {"name gamma", [](auto& l) { return l.find_key(&Entry::name, "gamma"); }, 2},
        {"name fullname", [](auto& l) { return l.find_key(&Entry::name, "fullname"); }, 3},
        {"name prefix", [](auto& l) { return l.find_key(&Entry::name, "alph"); }, -1},
        {"name longer", [](auto& l) { return l.find_key(&Entry::name, "alphaa"); }, -1},
        {"name empty", [](auto& l) { return l.find_key(&Entry::name, ""); }, -1},
        {"label first of two", [](auto& l) { return l.find_key(&Entry::label, "game-1"); }, 0},
        {"label GAME-2", [](auto& l) { return l.find_key(&Entry::label, "GAME-2"); }, 1},
        {"id 9 not spare", [](auto& l) { return l.find_key(&Entry::id, 9u); }, 1},
        {"id 7 as int", [](auto& l) { return l.find_key(&Entry::id, 7); }, 0},
        {"id 0 only spare", [](auto& l) { return l.find_key(&Entry::id, 0u); }, -1},
        {"id -1", [](auto& l) { return l.find_key(&Entry::id, -1); }, -1},
        {"addr", [](auto& l) { return l.find_key(&Entry::addr, make_addr("10.0.0.2", 5000)); }, 2},
        {"addr port", [](auto& l) { return l.find_key(&Entry::addr, make_addr("10.0.0.1", 5001)); },
         1},
        {"addr none", [](auto& l) { return l.find_key(&Entry::addr, make_addr("10.0.0.1", 5002)); },
         -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(index_of(list, c.search(list)), c.expected) << c.what;
    }
}

TEST(ListTest, WalkMayRemoveWhereItStands) {
    tList<std::uint32_t> list;
    for (std::uint32_t v = 10; v-- > 0;) {
        list.push_front(v);
    }
    std::vector<std::uint32_t> removed;
    for (auto it = list.begin(); it != list.end();) {
        auto next = std::next(it);
        if (*it % 2 == 0) {
            removed.push_back(*list.remove_node(it));
        }
        it = next;
    }
    EXPECT_EQ(removed, (std::vector<std::uint32_t>{0, 2, 4, 6, 8}));
    EXPECT_EQ(contents(list), (std::vector<std::uint32_t>{1, 3, 5, 7, 9}));

    for (auto it = list.begin(); it != list.end();) {
        it = *it % 3 == 0 ? list.erase(it) : std::next(it);
    }
    EXPECT_EQ(contents(list), (std::vector<std::uint32_t>{1, 5, 7}));
    EXPECT_EQ(*list.last(), 7u);

    for (auto it = list.begin(); it != list.end();) {
        it = list.erase(it);
    }
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.last(), nullptr);
    list.push_front(11);
    EXPECT_EQ(contents(list), (std::vector<std::uint32_t>{11}));
}

TEST(ListTest, MoveOnlyElementsAreHandedBack) {
    struct Named {
        std::string name;
        std::uint32_t id;
    };
    auto by_id = [](const std::unique_ptr<Named>& p) { return p->id; };
    auto list = tList<std::unique_ptr<Named>>::sorted(difference, by_id);
    for (auto [name, id] : {std::pair{"c", 3u}, {"a", 1u}, {"b", 2u}, {"a2", 1u}}) {
        list.insert_sorted(std::make_unique<Named>(Named{name, id}));
    }
    const Named* b = list.find_key(by_id, 2u)->get();
    auto by_name = [](const std::unique_ptr<Named>& p) -> const std::string& { return p->name; };
    ASSERT_NE(list.find_key(by_name, "B"), nullptr);
    EXPECT_EQ(list.find_key(by_name, "B")->get(), b);

    std::optional<std::unique_ptr<Named>> first_one =
        list.remove_if([](const auto& p) { return p->id == 1; });
    ASSERT_TRUE(first_one);
    EXPECT_EQ((*first_one)->name, "a");
    EXPECT_EQ((*list.pop_front())->name, "a2");
    EXPECT_EQ(list.pop_front()->get(), b);
    EXPECT_EQ((*list.last())->name, "c");
    EXPECT_EQ(list.count(), 1);
}

// Random operations against a deque that states the ordering rules directly.
TEST(ListTest, RandomOperationsMatchModel) {
    for (bool with_comparator : {false, true}) {
        SCOPED_TRACE(with_comparator ? "sorted" : "plain");
        auto list =
            with_comparator ? tList<Sample>::sorted(difference, &Sample::value) : tList<Sample>{};
        std::deque<Sample> model;
        std::mt19937 rng(20240611);
        auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution(lo, hi)(rng); };
        auto as_opt = [](const Sample* s) { return s ? std::optional(*s) : std::nullopt; };

        for (int step = 0; step < 5000; ++step) {
            const int size = static_cast<int>(model.size());
            const Sample s{static_cast<std::uint32_t>(pick(0, 7)), step};
            auto model_find = std::ranges::find(model, s.value, &Sample::value);
            switch (pick(0, 19)) {
                case 0:
                case 1:
                case 2:
                    list.push_front(s);
                    model.push_front(s);
                    break;
                case 3:
                case 4:
                case 5:
                case 6: {
                    list.insert_sorted(s);
                    auto pos = with_comparator
                                   ? std::ranges::find_if(
                                         model, [&](const Sample& m) { return s.value < m.value; })
                                   : model.begin();
                    model.insert(pos, s);
                    break;
                }
                case 7:
                case 8: {
                    std::optional<Sample> expected;
                    if (!model.empty()) {
                        expected = model.front();
                        model.pop_front();
                    }
                    ASSERT_EQ(list.pop_front(), expected);
                    break;
                }
                case 9:
                case 10: {
                    std::optional<Sample> expected;
                    if (model_find != model.end()) {
                        expected = *model_find;
                        model.erase(model_find);
                    }
                    ASSERT_EQ(list.remove_if([&](const Sample& e) { return e.value == s.value; }),
                              expected);
                    break;
                }
                case 11:
                case 12: {
                    const int pos = pick(0, size);  // size stands for end()
                    std::optional<Sample> expected;
                    if (pos < size) {
                        expected = model[pos];
                        model.erase(model.begin() + pos);
                    }
                    ASSERT_EQ(list.remove_node(std::next(list.begin(), pos)), expected);
                    break;
                }
                case 13:
                case 14:
                    ASSERT_EQ(
                        as_opt(list.find_key(&Sample::value, s.value)),
                        model_find == model.end() ? std::nullopt : std::optional(*model_find));
                    break;
                case 15:
                case 16: {
                    const int pos = pick(-2, size + 1);
                    ASSERT_EQ(as_opt(list.at(pos)),
                              pos >= 0 && pos < size ? std::optional(model[pos]) : std::nullopt);
                    break;
                }
                case 17:
                case 18:
                    ASSERT_EQ(as_opt(list.last()),
                              model.empty() ? std::nullopt : std::optional(model.back()));
                    break;
                default:
                    if (pick(0, 9) == 0) {
                        list.clear();
                        model.clear();
                    }
                    break;
            }
            ASSERT_EQ(list.count(), static_cast<int>(model.size())) << "step " << step;
            ASSERT_TRUE(std::ranges::equal(list, model)) << "step " << step;
        }
    }
}

}  // namespace
}  // namespace lld
