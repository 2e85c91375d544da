#include "host/announce.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using Txt = std::vector<std::pair<std::string, std::string>>;

TEST(DnsSdService, NamesAndProperties) {
    struct Row {
        const char* what;
        std::string name;
        std::string suffix;
        std::string accessId;
        std::string instance;
        Txt txt;
    };
    const std::string id = "0123456789abcdef0123456789abcdef";
    const std::vector<Row> rows = {
        {"password logins off", "Office", kServiceSuffix, "", "Office._tavrel._tcp.local", {{"id", id}}},
        {"password logins on", "Office", kServiceSuffix, "042913377", "Office._tavrel._tcp.local",
         {{"id", id}, {"aid", "042913377"}}},
        {"former service type", "Office", kFormerServiceSuffix, "", "Office._varnoth._tcp.local", {{"id", id}}},
        {"a Korean name", "거실 컴퓨터", kServiceSuffix, "", "거실 컴퓨터._tavrel._tcp.local", {{"id", id}}},
        {"dots and backslashes stay in the label", "my.pc\\2", kServiceSuffix, "",
         "my\\.pc\\\\2._tavrel._tcp.local", {{"id", id}}},
    };
    for (const Row& row : rows) {
        DnsSdService service;
        ASSERT_TRUE(buildDnsSdService(row.name, "DESKTOP-7", 47800, row.suffix, id, row.accessId, service))
            << row.what;
        EXPECT_EQ(service.instance, row.instance) << row.what;
        EXPECT_EQ(service.host, "DESKTOP-7.local") << row.what;
        EXPECT_EQ(service.port, 47800) << row.what;
        EXPECT_EQ(service.txt, row.txt) << row.what;
    }
}

std::string repeat(const std::string& part, int times, const std::string& prefix = std::string()) {
    std::string s = prefix;
    for (int i = 0; i < times; ++i) s += part;
    return s;
}

TEST(DnsSdService, LabelIsCutTo63BytesAtACharacterBoundary) {
    const std::string han = "가";  // three bytes
    struct Row {
        const char* what;
        std::string name;
        std::string label;
    };
    const std::vector<Row> rows = {
        {"63 ASCII bytes stay", std::string(63, 'a'), std::string(63, 'a')},
        {"64 ASCII bytes lose one", std::string(64, 'a'), std::string(63, 'a')},
        {"21 Hangul syllables are exactly 63 bytes", repeat(han, 22), repeat(han, 21)},
        {"a syllable across byte 63 goes whole", repeat(han, 21, "a"), repeat(han, 20, "a")},
        // The cut counts the name's own bytes; escaping comes after it.
        {"escapes after the cut", std::string(62, 'a') + "..", std::string(62, 'a') + "\\."},
    };
    for (const Row& row : rows) EXPECT_EQ(dnsSdInstanceLabel(row.name), row.label) << row.what;
}

TEST(DnsSdService, EmptyNameGivesNoRegistration) {
    DnsSdService service;
    EXPECT_FALSE(buildDnsSdService("", "host", 47800, kServiceSuffix, "id", "", service));
}

}  // namespace
