// The client's one collection type: the stored NAT entries, the probe registry,
// the sorted round-trip samples and the statistics server's subscribers are all
// tLists. Keyed look-ups are linear walks; these lists stay short.
//
// A tList has no lock. Each owner either keeps its list on one thread or guards
// it itself.
#pragma once

#include <cctype>
#include <concepts>
#include <cstring>
#include <functional>
#include <iterator>
#include <list>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

namespace lld {

namespace list_detail {

template <typename K>
concept TextKey = std::is_convertible_v<const K&, std::string_view>;

// A character array field holds NUL-terminated text but may fill its whole
// extent, so it is never read past its end.
template <typename K>
std::optional<std::string_view> as_text(const K& key) {
    using Plain = std::remove_cvref_t<K>;
    if constexpr (std::is_bounded_array_v<Plain> &&
                  std::is_same_v<std::remove_cv_t<std::remove_extent_t<Plain>>, char>) {
        return std::string_view(key, ::strnlen(key, std::extent_v<Plain>));
    } else if constexpr (std::is_pointer_v<Plain>) {
        if (key == nullptr) {
            return std::nullopt;
        }
        return std::string_view(key);
    } else {
        return std::string_view(key);
    }
}

inline bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        // tolower is only defined for values of unsigned char.
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Text ignores letter case, integers compare by value whatever their widths, and
// plain records such as socket addresses compare byte for byte.
template <typename E, typename K>
bool key_equal(const E& element_key, const K& key) {
    using PE = std::remove_cvref_t<E>;
    using PK = std::remove_cvref_t<K>;
    if constexpr (TextKey<E> && TextKey<K>) {
        const auto a = as_text(element_key);
        const auto b = as_text(key);
        return a && b && equal_ignoring_case(*a, *b);
    } else if constexpr (std::integral<PE> && std::integral<PK> && !std::is_same_v<PE, PK>) {
        return std::cmp_equal(element_key, key);
    } else if constexpr (std::is_same_v<PE, PK> && std::is_scalar_v<PE>) {
        return element_key == key;
    } else if constexpr (std::is_same_v<PE, PK> && std::is_trivially_copyable_v<PE>) {
        return std::memcmp(&element_key, &key, sizeof(PE)) == 0;
    } else {
        static_assert(std::equality_comparable_with<const PE&, const PK&>,
                      "find_key needs a text, integer, plain-record or comparable key");
        return element_key == key;
    }
}

// compare(proj(a), proj(b)) yields a signed order.
template <typename Compare, typename Proj, typename T>
concept KeyOrder = std::invocable<const Proj&, const T&> &&
    requires(const Compare& compare, const Proj& proj, const T& element) {
    {
        std::invoke(compare, std::invoke(proj, element), std::invoke(proj, element))
        } -> std::convertible_to<int>;
};

}  // namespace list_detail

// Owns its elements by value. Push and pop at the front take constant time;
// searches, at() and ordered insertion walk from the front.
template <typename T>
class tList {
    using Storage = std::list<T>;

  public:
    using value_type = T;
    using iterator = typename Storage::iterator;
    using const_iterator = typename Storage::const_iterator;

    tList() = default;

    // A list kept in ascending order of compare(proj(a), proj(b)), where a
    // negative result puts a before b. Equal keys keep their order of arrival.
    template <typename Compare, typename Proj = std::identity>
    requires list_detail::KeyOrder<Compare, Proj, T>
    static tList sorted(Compare compare, Proj proj = {}) {
        tList list;
        list.compare_ = [compare = std::move(compare), proj = std::move(proj)](const T& a,
                                                                               const T& b) -> int {
            return std::invoke(compare, std::invoke(proj, a), std::invoke(proj, b));
        };
        return list;
    }

    T& push_front(T value) { return items_.emplace_front(std::move(value)); }

    // Goes before the first element that orders after it, so it lands behind
    // every equal one. Without a comparator this is push_front: newest first.
    T& insert_sorted(T value) {
        if (!compare_ || items_.empty()) {
            return push_front(std::move(value));
        }
        auto pos = items_.begin();
        while (pos != items_.end() && compare_(value, *pos) >= 0) {
            ++pos;
        }
        return *items_.insert(pos, std::move(value));
    }

    std::optional<T> pop_front() {
        if (items_.empty()) {
            return std::nullopt;
        }
        std::optional<T> out{std::move(items_.front())};
        items_.pop_front();
        return out;
    }

    // Hands the element back. A walk that removes where it stands must step to
    // the next position first, or use erase(), which returns it.
    std::optional<T> remove_node(iterator node) {
        if (node == items_.end()) {
            return std::nullopt;
        }
        std::optional<T> out{std::move(*node)};
        items_.erase(node);
        return out;
    }

    iterator erase(const_iterator node) { return items_.erase(node); }

    // Removes only the first match.
    template <typename Pred>
    requires std::predicate<Pred&, const T&> std::optional<T> remove_if(Pred pred) {
        for (auto it = items_.begin(); it != items_.end(); ++it) {
            if (std::invoke(pred, std::as_const(*it))) {
                return remove_node(it);
            }
        }
        return std::nullopt;
    }

    template <typename Pred>
    requires std::predicate<Pred&, const T&> T* find_if(Pred pred) {
        return find_if_in(*this, pred);
    }
    template <typename Pred>
    requires std::predicate<Pred&, const T&>
    const T* find_if(Pred pred) const { return find_if_in(*this, pred); }

    // The first element whose projected key equals key (see key_equal above).
    template <typename Proj, typename Key>
    requires std::invocable<const Proj&, const T&> T* find_key(Proj proj, const Key& key) {
        return find_if_in(*this, key_matcher(proj, key));
    }
    template <typename Proj, typename Key>
    requires std::invocable<const Proj&, const T&>
    const T* find_key(Proj proj, const Key& key) const {
        return find_if_in(*this, key_matcher(proj, key));
    }

    // nullptr for a negative position or one at or past count().
    T* at(int pos) { return at_in(*this, pos); }
    const T* at(int pos) const { return at_in(*this, pos); }

    T* last() { return items_.empty() ? nullptr : &items_.back(); }
    const T* last() const { return items_.empty() ? nullptr : &items_.back(); }

    int count() const { return static_cast<int>(items_.size()); }
    bool empty() const { return items_.empty(); }
    void clear() { items_.clear(); }

    iterator begin() { return items_.begin(); }
    iterator end() { return items_.end(); }
    const_iterator begin() const { return items_.begin(); }
    const_iterator end() const { return items_.end(); }

  private:
    template <typename Proj, typename Key>
    static auto key_matcher(const Proj& proj, const Key& key) {
        return [&proj, &key](const T& element) {
            return list_detail::key_equal(std::invoke(proj, element), key);
        };
    }

    template <typename Self, typename Pred>
    static auto find_if_in(Self& self, Pred&& pred) -> decltype(&*self.items_.begin()) {
        for (auto& element : self.items_) {
            if (std::invoke(pred, std::as_const(element))) {
                return &element;
            }
        }
        return nullptr;
    }

    template <typename Self>
    static auto at_in(Self& self, int pos) -> decltype(&*self.items_.begin()) {
        if (pos < 0 || pos >= self.count()) {
            return nullptr;
        }
        return &*std::next(self.items_.begin(), pos);
    }

    Storage items_;
    std::function<int(const T&, const T&)> compare_;
};

}  // namespace lld
