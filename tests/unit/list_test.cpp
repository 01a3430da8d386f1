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

using U32s = std::vector<std::uint32_t>;

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
    tList<std::uint32_t> list;
    list.push_front(42);
    ASSERT_NE(list.at(0), nullptr);
    EXPECT_EQ(*list.at(0), 42u);
    for (const int pos : {INT_MIN, -1, 1, INT_MAX}) {
        EXPECT_EQ(list.at(pos), nullptr) << pos;
    }
}

TEST(ListTest, InsertSortedKeepsArrivalOfEqualKeysOrWithoutComparatorReadsNewestFirst) {
    auto sorted = tList<Sample>::sorted(difference, &Sample::value);
    tList<std::uint32_t> plain;
    for (int i = 0; std::uint32_t v : {5u, 3u, 5u, 1u}) {
        sorted.insert_sorted({v, i++});
        plain.insert_sorted(v);
    }
    EXPECT_EQ(contents(sorted), (std::vector<Sample>{{1, 3}, {3, 1}, {5, 0}, {5, 2}}));
    EXPECT_EQ(*sorted.last(), (Sample{5, 2}));
    EXPECT_EQ(contents(plain), (U32s{1, 5, 3, 5}));
}

TEST(ListTest, ClearReleasesHeldElementsOnlyAndListStaysUsable) {
    tList<std::shared_ptr<int>> list;
    std::vector<std::weak_ptr<int>> watched;
    for (const int v : {1, 2, 3}) {
        watched.push_back(list.push_front(std::make_shared<int>(v)));
    }
    const std::optional<std::shared_ptr<int>> taken = list.pop_front();
    list.clear();
    EXPECT_TRUE(watched[0].expired() && watched[1].expired());
    ASSERT_TRUE(taken && *taken);
    EXPECT_EQ(**taken, 3);
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.last(), nullptr);

    list.push_front(std::make_shared<int>(4));
    list.push_front(std::make_shared<int>(5));
    EXPECT_EQ(list.count(), 2);
    EXPECT_EQ(**list.at(0), 5);
    EXPECT_EQ(**list.last(), 4);
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

TEST(ListTest, FindKeyMatchesTextIgnoringCaseAndOtherKeysExactly) {
    tList<Entry> list;
    const auto add = [&](std::string_view name, std::string label, std::uint32_t id,
                         std::uint32_t spare, sockaddr_in addr) {
        Entry e{{}, std::move(label), id, spare, addr};
        std::memcpy(e.name, name.data(), std::min(name.size(), sizeof e.name));
        list.push_front(e);
    };
    // Pushed in reverse, so positions 0 to 3 read downwards. "FULLNAME" leaves no room for a NUL.
    add("FULLNAME", "", UINT32_MAX, 3, make_addr("10.0.0.3", 5000));
    add("GAMMA", "GAME-1", 9, 0, make_addr("10.0.0.2", 5000));
    add("beta", "game-2", 9, 7, make_addr("10.0.0.1", 5001));
    add("Alpha", "Game-1", 7, 9, make_addr("10.0.0.1", 5000));
    EXPECT_EQ(list.find_key(&Entry::name, "ALPHA"), list.at(0));
    EXPECT_EQ(list.find_key(&Entry::name, std::string("Beta")), list.at(1));
    EXPECT_EQ(list.find_key(&Entry::name, "fullname"), list.at(3));
    EXPECT_EQ(list.find_key(&Entry::name, "alph"), nullptr);
    EXPECT_EQ(list.find_key(&Entry::name, "alphaa"), nullptr);
    EXPECT_EQ(list.find_key(&Entry::label, "game-1"), list.at(0));  // the first of two
    EXPECT_EQ(list.find_key(&Entry::id, 9u), list.at(1));           // the id, not the spare word
    EXPECT_EQ(list.find_key(&Entry::id, 7), list.at(0));            // an int key for a uint32_t
    EXPECT_EQ(list.find_key(&Entry::id, -1), nullptr);              // not UINT32_MAX
    EXPECT_EQ(list.find_key(&Entry::addr, make_addr("10.0.0.2", 5000)), list.at(2));
    EXPECT_EQ(list.find_key(&Entry::addr, make_addr("10.0.0.1", 5001)), list.at(1));
}

TEST(ListTest, WalkMayRemoveWhereItStands) {
    tList<std::uint32_t> list;
    for (std::uint32_t v = 10; v-- > 0;) {
        list.push_front(v);
    }
    U32s removed;
    for (auto it = list.begin(); it != list.end();) {
        auto next = std::next(it);
        if (*it % 2 == 0) {
            removed.push_back(*list.remove_node(it));
        }
        it = next;
    }
    EXPECT_EQ(removed, (U32s{0, 2, 4, 6, 8}));
    EXPECT_EQ(contents(list), (U32s{1, 3, 5, 7, 9}));

    for (auto it = list.begin(); it != list.end();) {
        it = *it % 3 == 0 ? list.erase(it) : std::next(it);
    }
    EXPECT_EQ(contents(list), (U32s{1, 5, 7}));
    EXPECT_EQ(*list.last(), 7u);
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
        // Takes the model's element at `it` out, or yields nullopt at its end.
        auto take = [&model](std::deque<Sample>::iterator it) -> std::optional<Sample> {
            if (it == model.end()) {
                return std::nullopt;
            }
            const Sample s = *it;
            model.erase(it);
            return s;
        };

        for (int step = 0; step < 5000; ++step) {
            const int size = static_cast<int>(model.size());
            const Sample s{static_cast<std::uint32_t>(pick(0, 7)), step};
            const auto model_find = std::ranges::find(model, s.value, &Sample::value);
            const int pos = pick(-2, size + 1);
            const auto after_s = [&s](const Sample& m) { return s.value < m.value; };
            switch (pick(0, 11)) {
                case 0:
                case 1:
                    list.push_front(s);
                    model.push_front(s);
                    break;
                case 2:
                case 3:
                case 4:
                    list.insert_sorted(s);
                    model.insert(
                        with_comparator ? std::ranges::find_if(model, after_s) : model.begin(), s);
                    break;
                case 5:
                    ASSERT_EQ(list.pop_front(), take(model.begin()));
                    break;
                case 6:
                    ASSERT_EQ(list.remove_if([&](const Sample& e) { return e.value == s.value; }),
                              take(model_find));
                    break;
                case 7: {
                    const int at = std::clamp(pos, 0, size);  // size stands for end()
                    ASSERT_EQ(list.remove_node(std::next(list.begin(), at)),
                              take(model.begin() + at));
                    break;
                }
                case 8:
                    ASSERT_EQ(as_opt(list.find_key(&Sample::value, s.value)),
                              as_opt(model_find == model.end() ? nullptr : &*model_find));
                    break;
                case 9:
                    ASSERT_EQ(as_opt(list.at(pos)),
                              as_opt(pos >= 0 && pos < size ? &model[pos] : nullptr));
                    break;
                case 10:
                    ASSERT_EQ(as_opt(list.last()), as_opt(size > 0 ? &model.back() : nullptr));
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
