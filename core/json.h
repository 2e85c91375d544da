// Json: the one structured-data value of the program (configuration, peer records, relay lines,
// session control messages). Compact writer and a bounded recursive-descent parser.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

class Json {
public:
    // Values of `tag`.
    static constexpr int kNull = 0;
    static constexpr int kBool = 1;
    static constexpr int kNumber = 2;
    static constexpr int kString = 3;
    static constexpr int kArray = 4;
    static constexpr int kObject = 5;

    // Deepest nesting `parse` accepts; every value counts, the top-level one is level 1.
    static constexpr int kMaxDepth = 64;
    // Values `parse` builds at most unless told otherwise (every value counts: containers, array
    // elements and members' values; keys are part of their member): what one message from a peer
    // may hold, a few MiB at most however the text is shaped.
    static constexpr size_t kMaxValues = 32768;

    // Every field is kept; `tag` says which one is meaningful.
    int tag = kNull;
    bool boolean = false;
    double number = 0;
    std::string text;                                  // UTF-8 bytes, not validated
    std::vector<Json> items;                           // array elements
    std::vector<std::pair<std::string, Json>> members; // object members, in insertion order

    Json() = default;
    Json(const Json&) = default;
    Json(Json&&) noexcept = default;
    // Both assignments build the new value first, so `j = j.get("a")` and
    // `j = std::move(j.items[0])` are safe.
    Json& operator=(const Json& other);
    Json& operator=(Json&& other) noexcept;
    ~Json() = default;
    void swap(Json& other) noexcept;

    Json(bool value) : tag(kBool), boolean(value) {}
    Json(double value) : tag(kNumber), number(value) {}
    // Integers of any width are numbers (without this, Json(5) would be ambiguous with bool).
    template <class T>
        requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
    Json(T value) : tag(kNumber), number(static_cast<double>(value)) {}
    Json(std::string value) : tag(kString), text(std::move(value)) {}
    // Keeps Json("abc") a string rather than a bool.
    Json(const char* value) : tag(kString), text(value ? value : "") {}

    // The member with that key (first match, exact bytes), or the shared null.
    const Json& get(std::string_view key) const;
    bool has(std::string_view key) const;
    // The element at index of an array, or the shared null.
    const Json& at(size_t index) const;
    // Elements of an array, members of an object, 0 otherwise.
    size_t size() const;

    std::string asString(const std::string& fallback = std::string()) const;
    bool asBool(bool fallback = false) const;
    // Convert to an integer only through checkedTrunc (core/util.h).
    double asNumber(double fallback = 0) const;

    // Makes this an object; replaces an existing member's value in place or appends a new member.
    // The reference stays valid until the next member is added.
    Json& set(const std::string& key, Json value);
    // Makes this an array and appends.
    void push(Json value);

    bool isNull() const { return tag == kNull; }
    bool isBool() const { return tag == kBool; }
    bool isNumber() const { return tag == kNumber; }
    bool isString() const { return tag == kString; }
    bool isArray() const { return tag == kArray; }
    bool isObject() const { return tag == kObject; }

    // Compact text, no whitespace. Non-finite numbers are written as null (no reader accepts them).
    std::string dump() const;
    void dumpTo(std::string& out) const;

    // Parses one whole document (surrounding whitespace allowed). Returns false on any syntax error,
    // nesting deeper than kMaxDepth, more than maxValues values, a number that is not finite, or
    // trailing text; never throws for bad input. After false, `out` holds a partial value (never
    // more than maxValues values) that callers discard.
    static bool parse(std::string_view text, Json& out, size_t maxValues = kMaxValues);
};
