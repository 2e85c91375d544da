#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <string>

#include "core/json.h"

namespace {

using namespace std::string_literals;

std::string nested(int depth, const std::string& inner) {
    return std::string(size_t(depth), '[') + inner + std::string(size_t(depth), ']');
}

bool parses(const std::string& text) {
    Json j;
    return Json::parse(text, j);
}

TEST(Json, ParseAcceptsAndRejects) {
    struct Case { std::string text; bool ok; };
    const Case cases[] = {
        {"", false},
        {" \t\r\n", false},
        {"null", true},
        {" true \n", true},
        {"false x", false},
        {"1 2", false},
        {"{}", true},
        {"{ }", true},
        {"[ ]", true},
        {"{\"a\":1,}", false},
        {"[1,]", false},
        {"[,1]", false},
        {"[1 2]", false},
        {"{\"a\" 1}", false},
        {"{a:1}", false},
        {"{\"a\":1", false},
        {"[1", false},
        {"\"abc", false},
        {"\"a\\x\"", false},
        {"\"\\u12g4\"", false},
        {"\"\\u12\"", false},
        {"\"\\", false},
        {"tru", false},
        {"nul", false},
        {"truex", false},
        {"+1", false},
        {".5", false},
        {"-", false},
        {"{\"a\":[1,{\"b\":null}],\"c\":\"d\"}", true},
        {"[1]\0"s, false},
        {"{\"a\"\t:\n1 , \"b\" : 2 }", true},
        // Not finite: nothing could read these back once written.
        {"1e999", false},
        {"-1e999", false},
        {"[1e400]", false},
        {"-inf", false},
        {"-nan", false},
        {"-infinity", false},
        {"1e-400", true},
        // Only decimal forms are numbers, whatever the C runtime's strtod would take.
        {"0x10", false},
        {"[-0x1p3]", false},
    };
    for (const auto& c : cases) EXPECT_EQ(parses(c.text), c.ok) << c.text;
}

TEST(Json, NestingLimitCountsEveryValue) {
    EXPECT_TRUE(parses(nested(64, "")));
    EXPECT_FALSE(parses(nested(64, "1")));
    EXPECT_FALSE(parses(nested(65, "")));
    EXPECT_TRUE(parses(nested(63, "1")));
    EXPECT_TRUE(parses(nested(63, "\"s\"")));
    std::string objects;
    for (int i = 0; i < 63; ++i) objects += "{\"k\":";
    EXPECT_TRUE(parses(objects + "0" + std::string(63, '}')));
    EXPECT_TRUE(parses(objects + "[]" + std::string(63, '}')));
    EXPECT_FALSE(parses(objects + "[0]" + std::string(63, '}')));
    // Far deeper input fails without exhausting the stack.
    EXPECT_FALSE(parses(std::string(1000000, '[')));
    EXPECT_FALSE(parses(nested(200000, "")));
}

// Values in a parsed tree, the root included.
size_t valueCount(const Json& j) {
    size_t n = 1;
    for (const Json& item : j.items) n += valueCount(item);
    for (const auto& member : j.members) n += valueCount(member.second);
    return n;
}

TEST(Json, ValueBudgetCountsEveryValue) {
    struct Case { std::string text; size_t needs; };
    const Case cases[] = {
        {"0", 1},
        {"{}", 1},
        {"[0,0]", 3},
        {"[[],[]]", 3},
        {"{\"a\":[1],\"b\":\"c\"}", 4},
        {"{\"a\":1,\"a\":2}", 3},  // a repeated key counts each value it was given
    };
    for (const Case& c : cases) {
        Json j;
        EXPECT_TRUE(Json::parse(c.text, j, c.needs)) << c.text;
        EXPECT_FALSE(Json::parse(c.text, j, c.needs - 1)) << c.text;
        // What a refused text left behind (an untouched null when it could build nothing).
        EXPECT_TRUE(j.isNull() || valueCount(j) <= c.needs - 1) << c.text;
    }
    // Without a budget of its own a parse takes at most Json::kMaxValues values.
    std::string zeros = "[0";
    for (size_t i = 2; i < Json::kMaxValues; ++i) zeros += ",0";
    zeros += "]";
    Json j;
    EXPECT_TRUE(Json::parse(zeros, j));
    EXPECT_EQ(valueCount(j), Json::kMaxValues);
    zeros.insert(1, "0,");
    EXPECT_FALSE(Json::parse(zeros, j));
    EXPECT_LE(valueCount(j), Json::kMaxValues);
}

TEST(Json, NumbersDumpIntegralAndFractionalForms) {
    struct Case { double v; const char* text; };
    const Case cases[] = {
        {3.0, "3"},
        {-0.0, "0"},
        {-42.0, "-42"},
        {1e15, "1000000000000000"},
        {8999999999999999.0, "8999999999999999"},
        {9e15, "9000000000000000"},
        {-9e15, "-9000000000000000"},
        {0.1, "0.10000000000000001"},
        {1.5, "1.5"},
        {1e300, "1.0000000000000001e+300"},
        {1e-7, "9.9999999999999995e-08"},
        {std::numeric_limits<double>::infinity(), "null"},
        {-std::numeric_limits<double>::infinity(), "null"},
        {std::nan(""), "null"},
    };
    for (const auto& c : cases) EXPECT_EQ(Json(c.v).dump(), c.text) << c.v;
    EXPECT_EQ(Json(65535).dump(), "65535");
    EXPECT_EQ(Json(int64_t(-5)).dump(), "-5");
}

TEST(Json, NumbersParseTheSameInAnyLocale) {
    // A decimal-comma locale must not change how "1.5" reads or dumps.
    const char* old = std::setlocale(LC_ALL, nullptr);
    std::string saved = old ? old : "C";
    for (const char* name : {"de_DE.UTF-8", "de_DE", "German_Germany.1252", "ko_KR.UTF-8"})
        if (std::setlocale(LC_ALL, name)) break;
    Json j;
    bool ok = Json::parse("[1.5,-2.25e2,1e-400,0]", j);
    std::string dumped = j.dump();
    std::setlocale(LC_ALL, saved.c_str());
    ASSERT_TRUE(ok);
    EXPECT_EQ(j.at(0).asNumber(), 1.5);
    EXPECT_EQ(j.at(1).asNumber(), -225.0);
    EXPECT_EQ(j.at(2).asNumber(), 0.0);
    EXPECT_EQ(dumped, "[1.5,-225,0,0]");
}

TEST(Json, NumberRoundTripIsExact) {
    for (double v : {0.1, 1.0 / 3, -2.5e-300, 123456789.125, 1.7976931348623157e308, 5e-324}) {
        Json j;
        ASSERT_TRUE(Json::parse(Json(v).dump(), j)) << v;
        EXPECT_EQ(j.asNumber(), v);
    }
}

TEST(Json, StringEscapesOnDump) {
    EXPECT_EQ(Json(std::string("a\x01z", 3)).dump(), "\"a\\u0001z\"");
    EXPECT_EQ(Json("a/b").dump(), "\"a/b\"");
    EXPECT_EQ(Json("q\"b\\n\nr\rt\t").dump(), "\"q\\\"b\\\\n\\nr\\rt\\t\"");
    EXPECT_EQ(Json(std::string("\x1f\x7f\xc3\xa9", 4)).dump(), "\"\\u001f\x7f\xc3\xa9\"");
    EXPECT_EQ(Json(std::string("\0", 1)).dump(), "\"\\u0000\"");
    Json o;
    o.set("k\"ey", 1);
    EXPECT_EQ(o.dump(), "{\"k\\\"ey\":1}");
}

TEST(Json, StringEscapesOnParse) {
    struct Case { const char* text; std::string want; };
    const Case cases[] = {
        {"\"\\u00e9\"", "\xC3\xA9"},
        {"\"\\u00E9\"", "\xC3\xA9"},
        {"\"\\u0041\"", "A"},
        {"\"\\u0000\"", std::string("\0", 1)},
        {"\"\\uD83D\\uDE00\"", "\xF0\x9F\x98\x80"},
        {"\"\\ud83d\\ude00\"", "\xF0\x9F\x98\x80"},
        {"\"\\uD83Dx\"", "\xED\xA0\xBDx"},   // lone high half: its three-byte form
        {"\"\\uDE00\"", "\xED\xB8\x80"},     // lone low half
        // A high half followed by an escape that is not a low half: both stand alone,
        // and the second may itself begin a pair.
        {"\"\\uD83D\\u0041\"", "\xED\xA0\xBD" "A"},
        {"\"\\uD800\\uD83D\\uDE00\"", "\xED\xA0\x80\xF0\x9F\x98\x80"},
        {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\/\b\f\n\r\t"},
        {"\"\xEA\xB0\x80\x01\"", "\xEA\xB0\x80\x01"},  // raw bytes copied unchanged
    };
    for (const auto& c : cases) {
        Json j;
        ASSERT_TRUE(Json::parse(c.text, j)) << c.text;
        EXPECT_EQ(j.asString("?"), c.want) << c.text;
    }
    EXPECT_FALSE(parses("\"\\uD83D\\u12\""));
    EXPECT_FALSE(parses("\"\\uD83D\\uZZZZ\""));
}

TEST(Json, KoreanTextRoundTrips) {
    const std::string name = "\xEA\xB9\x80\xEC\xB2\xA0\xEC\x88\x98\xEC\x9D\x98 \"PC\"";  // 김철수의 "PC"
    Json o;
    o.set("이름", name);
    std::string text = o.dump();
    Json back;
    ASSERT_TRUE(Json::parse(text, back));
    EXPECT_EQ(back.get("이름").asString(), name);
    EXPECT_EQ(back.dump(), text);
}

TEST(Json, RepeatedKeyKeepsFirstPositionAndLastValue) {
    Json j;
    ASSERT_TRUE(Json::parse("{\"a\":1,\"b\":2,\"a\":3}", j));
    ASSERT_EQ(j.size(), 2u);
    EXPECT_EQ(j.members[0].first, "a");
    EXPECT_EQ(j.get("a").asNumber(), 3);
    EXPECT_EQ(j.dump(), "{\"a\":3,\"b\":2}");
}

std::string key(int i) {
    std::string k = "k";
    k += std::to_string(i);
    return k;
}

TEST(Json, RepeatedKeysInLargeObjectsKeepFirstPositionAndLastValue) {
    for (int members : {15, 16, 17, 1000}) {
        SCOPED_TRACE(members);
        Json source;
        for (int i = 0; i < members; ++i) source.set(key(i), i);
        std::string text = source.dump();
        text.pop_back();
        // Repeats of the first, a middle and the last key, the first one twice.
        const int middle = members / 2;
        Json repeats;
        repeats.set(key(0), "a");
        repeats.set(key(middle), "b");
        repeats.set(key(members - 1), "c");
        std::string more = repeats.dump();
        text += ',';
        text.append(more, 1, more.size() - 2);
        text += ",\"k0\":\"d\",\"new\":true}";
        Json j;
        ASSERT_TRUE(Json::parse(text, j));
        ASSERT_EQ(j.size(), size_t(members) + 1);
        for (int i = 0; i < members; ++i) EXPECT_EQ(j.members[size_t(i)].first, key(i));
        EXPECT_EQ(j.members.back().first, "new");
        EXPECT_EQ(j.get("k0").asString(), "d");
        EXPECT_EQ(j.get(key(middle)).asString(), "b");
        EXPECT_EQ(j.get(key(members - 1)).asString(), "c");
        EXPECT_EQ(j.get("k1").asNumber(), 1);
    }
}

TEST(Json, LookupsOfMissingThingsGiveTheSharedNull) {
    Json o;
    ASSERT_TRUE(Json::parse("{\"n\":5,\"s\":\"x\",\"a\":[1,2],\"o\":{\"k\":true}}", o));
    const Json& missing = o.get("nope");
    EXPECT_TRUE(missing.isNull());
    EXPECT_EQ(&o.get("n").get("k"), &missing);
    EXPECT_EQ(&o.get("s").get("k"), &missing);
    EXPECT_EQ(&o.get("a").get("k"), &missing);
    EXPECT_EQ(&o.at(0), &missing);
    EXPECT_EQ(&o.get("a").at(2), &missing);
    EXPECT_EQ(&o.get("x").get("y").at(3).get("z"), &missing);
    EXPECT_EQ(o.get("a").at(1).asNumber(), 2);
    EXPECT_TRUE(o.get("o").get("k").asBool());
    EXPECT_FALSE(o.has("nope"));
    EXPECT_TRUE(o.has("n"));
    EXPECT_FALSE(o.get("a").has("0"));
    EXPECT_EQ(o.get("s").size(), 0u);
    EXPECT_EQ(o.get("a").size(), 2u);
    EXPECT_EQ(o.size(), 4u);
    EXPECT_EQ(Json("Key").get("Key").tag, Json::kNull);
    // Keys are exact bytes.
    EXPECT_FALSE(o.has("N"));
}

TEST(Json, AccessorsGiveFallbackOnWrongType) {
    Json n(2.5), s("x"), b(true), nul;
    EXPECT_EQ(n.asString("fb"), "fb");
    EXPECT_EQ(s.asString("fb"), "x");
    EXPECT_EQ(s.asNumber(7), 7);
    EXPECT_EQ(n.asNumber(7), 2.5);
    EXPECT_TRUE(b.asBool(false));
    EXPECT_TRUE(nul.asBool(true));
    EXPECT_FALSE(n.asBool(false));
    EXPECT_EQ(Json("abc").tag, Json::kString);
    EXPECT_EQ(Json(std::string("abc")).tag, Json::kString);
    EXPECT_EQ(Json(0).tag, Json::kNumber);
    EXPECT_EQ(Json(false).tag, Json::kBool);
    EXPECT_EQ(Json(size_t(3)).asNumber(), 3);
}

TEST(Json, BuildingAndDumping) {
    Json o;
    o.set("name", "PC");
    o.set("port", 47800);
    o.set("on", true);
    o.set("none", Json());
    Json arr;
    arr.push(1);
    arr.push("two");
    arr.push(Json());
    o.set("list", arr);
    Json& inner = o.set("inner", Json());
    inner.set("k", 0.5);
    EXPECT_EQ(o.dump(),
              "{\"name\":\"PC\",\"port\":47800,\"on\":true,\"none\":null,\"list\":[1,\"two\",null],"
              "\"inner\":{\"k\":0.5}}");
    // set replaces in place.
    o.set("port", 1);
    EXPECT_EQ(o.members[1].first, "port");
    EXPECT_EQ(o.get("port").asNumber(), 1);
    std::string out = "x";
    Json().dumpTo(out);
    Json::parse("[]", arr);
    arr.dumpTo(out);
    EXPECT_EQ(out, "xnull[]");
    EXPECT_EQ(Json().dump(), "null");
    Json emptyObj;
    emptyObj.tag = Json::kObject;
    EXPECT_EQ(emptyObj.dump(), "{}");
}

TEST(Json, CopiesAreDeepAndSelfAssignmentIsSafe) {
    Json a;
    ASSERT_TRUE(Json::parse("{\"x\":{\"y\":[1,{\"z\":2}]}}", a));
    Json b = a;
    b.set("x", 5);
    EXPECT_EQ(a.get("x").get("y").at(1).get("z").asNumber(), 2);
    Json c;
    c = a;
    a.set("x", Json());
    EXPECT_EQ(c.dump(), "{\"x\":{\"y\":[1,{\"z\":2}]}}");
    // Assigning a value from inside itself.
    c = c.get("x");
    EXPECT_EQ(c.dump(), "{\"y\":[1,{\"z\":2}]}");
    c = std::move(c.members[0].second);
    EXPECT_EQ(c.dump(), "[1,{\"z\":2}]");
    c = std::move(c.items[1]);
    EXPECT_EQ(c.dump(), "{\"z\":2}");
    Json& self = c;
    c = self;
    EXPECT_EQ(c.dump(), "{\"z\":2}");
    c.set("again", c);
    EXPECT_EQ(c.dump(), "{\"z\":2,\"again\":{\"z\":2}}");
    Json moved = std::move(c);
    EXPECT_EQ(moved.size(), 2u);
}

TEST(Json, ParseRoundTripOfDumpIsIdentity) {
    const char* docs[] = {
        "{\"device\":\"\xED\x95\x9C\xEA\xB8\x80\",\"hosting\":true,\"port\":47800,\"peers\":[{\"id\":\"abc\","
        "\"addrs\":[\"10.0.0.1:47800\"],\"seen\":1765000000.25}],\"relay\":{\"host\":\"\",\"port\":0}}",
        "[[],{},\"\",0,-1,true,false,null]",
        "\"\\u0001\\n\"",
    };
    for (const char* d : docs) {
        Json j;
        ASSERT_TRUE(Json::parse(d, j)) << d;
        EXPECT_EQ(j.dump(), d);
    }
}

}  // namespace
