#include "core/json.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <map>
#include <system_error>

#include "core/util.h"

namespace {

// Lookups of anything missing return this; threads may still look things up while the
// process exits, so it is never destroyed.
const Json& sharedNull() {
    static const Json* null = new Json();
    return *null;
}

void dumpString(const std::string& s, std::string& out) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (char ch : s) {
        unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 0x0F];
            } else {
                out += ch;
            }
        }
    }
    out += '"';
}

// std::to_chars rather than printf: the same text on every C runtime and in every locale.
void dumpNumber(double v, std::string& out) {
    char buf[64];
    std::to_chars_result r;
    if (!std::isfinite(v)) {
        out += "null";
        return;
    }
    if (v == std::floor(v) && std::fabs(v) < 9e15)
        r = std::to_chars(buf, buf + sizeof buf, static_cast<long long>(v));
    else
        r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 17);
    out.append(buf, r.ptr);
}

void dumpValue(const Json& j, std::string& out) {
    switch (j.tag) {
    case Json::kBool: out += j.boolean ? "true" : "false"; break;
    case Json::kNumber: dumpNumber(j.number, out); break;
    case Json::kString: dumpString(j.text, out); break;
    case Json::kArray:
        out += '[';
        for (size_t i = 0; i < j.items.size(); ++i) {
            if (i) out += ',';
            dumpValue(j.items[i], out);
        }
        out += ']';
        break;
    case Json::kObject:
        out += '{';
        for (size_t i = 0; i < j.members.size(); ++i) {
            if (i) out += ',';
            dumpString(j.members[i].first, out);
            out += ':';
            dumpValue(j.members[i].second, out);
        }
        out += '}';
        break;
    default: out += "null"; break;
    }
}

void appendUtf8(uint32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Decimal magnitude class of a number text that the converter found out of range:
// true when it is too large (overflow), false when it is too small (underflow to zero).
bool tooLarge(const char* p, const char* end) {
    if (p < end && *p == '-') ++p;
    int64_t pos = 0;  // power of ten of the first significant digit, plus one
    bool seenNonZero = false, seenPoint = false;
    int64_t intDigits = 0, leadingFractionZeros = 0;
    for (; p < end; ++p) {
        if (*p == '.') {
            seenPoint = true;
        } else if (*p >= '0' && *p <= '9') {
            if (*p != '0') seenNonZero = true;
            if (!seenPoint) {
                if (seenNonZero) ++intDigits;
            } else if (!seenNonZero) {
                ++leadingFractionZeros;
            }
        } else {
            break;
        }
    }
    if (!seenNonZero) return false;
    pos = intDigits > 0 ? intDigits : -leadingFractionZeros;
    int64_t exp = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool neg = false;
        if (p < end && (*p == '+' || *p == '-')) neg = *p++ == '-';
        for (; p < end && *p >= '0' && *p <= '9'; ++p)
            if (exp < 1000000) exp = exp * 10 + (*p - '0');
        if (neg) exp = -exp;
    }
    return pos + exp > 0;
}

class Parser {
public:
    Parser(std::string_view text, size_t maxValues)
        : p_(text.data()), end_(text.data() + text.size()), valuesLeft_(maxValues) {}

    bool document(Json& out) {
        if (!value(out)) return false;
        skipSpace();
        return p_ == end_;
    }

private:
    const char* p_;
    const char* end_;
    int depth_ = 0;
    size_t valuesLeft_;  // the budget: a text of tiny values must not build gigabytes of them

    void skipSpace() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }

    bool literal(const char* word) {
        const char* q = p_;
        for (; *word; ++word, ++q)
            if (q == end_ || *q != *word) return false;
        p_ = q;
        return true;
    }

    bool value(Json& out) {
        if (depth_ >= Json::kMaxDepth || valuesLeft_ == 0) return false;
        --valuesLeft_;
        ++depth_;
        bool ok = valueBody(out);
        --depth_;
        return ok;
    }

    bool valueBody(Json& out) {
        skipSpace();
        if (p_ == end_) return false;
        char c = *p_;
        if (c == '{') return object(out);
        if (c == '[') return array(out);
        if (c == '"') {
            out = Json(std::string());
            return string(out.text);
        }
        if (c == 't' && literal("true")) { out = Json(true); return true; }
        if (c == 'f' && literal("false")) { out = Json(false); return true; }
        if (c == 'n' && literal("null")) { out = Json(); return true; }
        if (c == '-' || (c >= '0' && c <= '9')) return number(out);
        return false;
    }

    bool number(Json& out) {
        double v = 0;
        auto r = std::from_chars(p_, end_, v, std::chars_format::general);
        if (r.ptr == p_) return false;
        if (r.ec == std::errc::result_out_of_range) {
            if (tooLarge(p_, r.ptr)) return false;
            v = *p_ == '-' ? -0.0 : 0.0;
        } else if (r.ec != std::errc()) {
            return false;
        }
        // "1e999", "-inf" and "-nan" would be stored and written back as text nothing reads.
        if (!std::isfinite(v)) return false;
        p_ = r.ptr;
        out = Json(v);
        return true;
    }

    bool hex4(uint32_t& cp) {
        if (end_ - p_ < 4) return false;
        cp = 0;
        for (int i = 0; i < 4; ++i) {
            int h = hexDigitValue(static_cast<unsigned char>(p_[i]));
            if (h < 0) return false;
            cp = cp * 16 + uint32_t(h);
        }
        p_ += 4;
        return true;
    }

    // At the opening quote; reads up to and including the closing quote.
    bool string(std::string& out) {
        ++p_;
        while (true) {
            const char* start = p_;
            while (p_ < end_ && *p_ != '"' && *p_ != '\\') ++p_;
            out.append(start, p_);
            if (p_ == end_) return false;
            if (*p_ == '"') {
                ++p_;
                return true;
            }
            ++p_;  // backslash
            if (p_ == end_) return false;
            char e = *p_++;
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                uint32_t cp;
                if (!hex4(cp)) return false;
                if (cp >= 0xD800 && cp <= 0xDBFF && end_ - p_ >= 2 && p_[0] == '\\' && p_[1] == 'u') {
                    const char* second = p_;
                    p_ += 2;
                    uint32_t lo;
                    if (!hex4(lo)) return false;
                    if (lo >= 0xDC00 && lo <= 0xDFFF) {
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                    } else {
                        // Not a pair: the high half stands alone, the next escape is read on its own.
                        p_ = second;
                    }
                }
                appendUtf8(cp, out);
                break;
            }
            default: return false;
            }
        }
    }

    bool array(Json& out) {
        ++p_;
        out = Json();
        out.tag = Json::kArray;
        skipSpace();
        if (p_ < end_ && *p_ == ']') {
            ++p_;
            return true;
        }
        while (true) {
            Json item;
            if (!value(item)) return false;
            out.push(std::move(item));
            skipSpace();
            if (p_ == end_) return false;
            char c = *p_++;
            if (c == ']') return true;
            if (c != ',') return false;
        }
    }

    // A repeated key replaces the earlier member's value in place, as Json::set does. Past a few
    // members the keys are found through an index: scanning every member for each new one made a
    // large object from a peer cost quadratic time (minutes for a few megabytes).
    static constexpr size_t kIndexFrom = 16;

    static void addMember(Json& out, std::map<std::string, size_t>& index, std::string key, Json member) {
        if (out.members.size() < kIndexFrom) {
            out.set(key, std::move(member));
            return;
        }
        if (index.empty())
            for (size_t i = 0; i < out.members.size(); ++i) index.emplace(out.members[i].first, i);
        auto [at, added] = index.emplace(key, out.members.size());
        if (added)
            out.members.emplace_back(std::move(key), std::move(member));
        else
            out.members[at->second].second = std::move(member);
    }

    bool object(Json& out) {
        ++p_;
        out = Json();
        out.tag = Json::kObject;
        skipSpace();
        if (p_ < end_ && *p_ == '}') {
            ++p_;
            return true;
        }
        std::map<std::string, size_t> index;
        while (true) {
            skipSpace();
            if (p_ == end_ || *p_ != '"') return false;
            std::string key;
            if (!string(key)) return false;
            skipSpace();
            if (p_ == end_ || *p_ != ':') return false;
            ++p_;
            Json member;
            if (!value(member)) return false;
            addMember(out, index, std::move(key), std::move(member));
            skipSpace();
            if (p_ == end_) return false;
            char c = *p_++;
            if (c == '}') return true;
            if (c != ',') return false;
        }
    }
};

}  // namespace

Json& Json::operator=(const Json& other) {
    if (this != &other) {
        Json copy(other);
        swap(copy);
    }
    return *this;
}

Json& Json::operator=(Json&& other) noexcept {
    if (this != &other) {
        Json moved(std::move(other));
        swap(moved);
    }
    return *this;
}

void Json::swap(Json& other) noexcept {
    std::swap(tag, other.tag);
    std::swap(boolean, other.boolean);
    std::swap(number, other.number);
    text.swap(other.text);
    items.swap(other.items);
    members.swap(other.members);
}

const Json& Json::get(std::string_view key) const {
    if (tag != kObject) return sharedNull();
    for (const auto& m : members)
        if (m.first == key) return m.second;
    return sharedNull();
}

bool Json::has(std::string_view key) const {
    if (tag != kObject) return false;
    for (const auto& m : members)
        if (m.first == key) return true;
    return false;
}

const Json& Json::at(size_t index) const {
    if (tag != kArray || index >= items.size()) return sharedNull();
    return items[index];
}

size_t Json::size() const {
    if (tag == kArray) return items.size();
    if (tag == kObject) return members.size();
    return 0;
}

std::string Json::asString(const std::string& fallback) const { return tag == kString ? text : fallback; }

bool Json::asBool(bool fallback) const { return tag == kBool ? boolean : fallback; }

double Json::asNumber(double fallback) const { return tag == kNumber ? number : fallback; }

Json& Json::set(const std::string& key, Json value) {
    tag = kObject;
    for (auto& m : members) {
        if (m.first == key) {
            m.second = std::move(value);
            return m.second;
        }
    }
    members.emplace_back(key, std::move(value));
    return members.back().second;
}

void Json::push(Json value) {
    tag = kArray;
    items.push_back(std::move(value));
}

std::string Json::dump() const {
    std::string out;
    dumpTo(out);
    return out;
}

void Json::dumpTo(std::string& out) const { dumpValue(*this, out); }

bool Json::parse(std::string_view text, Json& out, size_t maxValues) {
    out = Json();
    Parser parser(text, maxValues);
    return parser.document(out);
}
