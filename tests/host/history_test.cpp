// The connection history file and its text form.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/config/store.h"
#include "core/config/temp_folder.h"
#include "core/json.h"
#include "core/util.h"
#include "host/history.h"
#include "support/log_capture.h"
#include "support/utc_time.h"

namespace {

bool failingTime(int64_t, LocalTimeParts&) { return false; }

Json parsed(const std::string& text) {
    Json v;
    EXPECT_TRUE(Json::parse(text, v)) << text;
    return v;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t at; (at = text.find("\r\n", start)) != std::string::npos; start = at + 2)
        out.push_back(text.substr(start, at - start));
    EXPECT_EQ(start, text.size()) << "text must end with a line break";
    return out;
}

std::string fileText(const std::wstring& path) { return spanToString(readFile(path)); }

}  // namespace

TEST(HistoryText, LinesOfRecords) {
    struct Case {
        const char* record;
        const char* line;
    } cases[] = {
        {R"({"name":"사무실","at":1700000000,"how":"비밀번호","route":"직접"})",
         "11월 14일 22:13  사무실  (비밀번호 · 직접 · 연결 중)"},
        {R"({"name":"집","at":1704445380,"how":"등록한 기기","route":"중계","end":1704445410})",
         "01월 05일 09:03  집  (등록한 기기 · 중계 · 1분 안)"},
        {R"({"name":"a","at":1704445380.9,"how":"h","route":"","end":1704448979.9})",
         "01월 05일 09:03  a  (h · 59분)"},
        {R"({"name":"a","at":1704445380,"how":"h","route":"r","end":1704449040})",
         "01월 05일 09:03  a  (h · r · 1시간 1분)"},
        {R"({"name":"a","at":1704445380,"how":"h","route":"r","end":1704452580})",
         "01월 05일 09:03  a  (h · r · 2시간 0분)"},
        // An end before the start still reads as a short session.
        {R"({"name":"a","at":1704445380,"how":"h","end":1704445000})", "01월 05일 09:03  a  (h · 1분 안)"},
        // Wrong kinds count as empty text or 0.
        {R"({"name":7,"at":"x","how":null,"route":5,"end":"y"})", "01월 01일 00:00    ( · 1분 안)"},
        {R"({"at":0,"end":600})", "01월 01일 00:00    ( · 10분)"},
        // Out-of-range times are clamped, not converted blindly.
        {R"({"name":"a","at":1e300,"how":"h","end":-1e300})", "01월 01일 00:00  a  (h · 1분 안)"},
        {R"([1,2])", "01월 01일 00:00    ( · 연결 중)"},
    };
    for (const Case& c : cases) {
        Json records;
        records.push(parsed(c.record));
        EXPECT_EQ(formatHistory(records, 30, utcTime), std::string(c.line) + "\r\n") << c.record;
    }
}

TEST(HistoryText, HugeDurationStaysAWholeNumberOfHours) {
    Json records = parsed(R"([{"name":"a","at":-5,"how":"h","end":1e300}])");
    std::string line = formatHistory(records, 30, utcTime);
    EXPECT_EQ(line.rfind("01월 01일 00:00  a  (h · ", 0), 0u) << line;
    EXPECT_NE(line.find("시간 "), std::string::npos) << line;
}

TEST(HistoryText, TimeIsLeftOutWhenItCannotBeConverted) {
    Json records = parsed(R"([{"name":"a","at":1700000000,"how":"h","route":"r"}])");
    EXPECT_EQ(formatHistory(records, 30, failingTime), "  a  (h · r · 연결 중)\r\n");
}

TEST(HistoryText, EmptyOrWrongKindSaysNobodyConnected) {
    for (const char* text : {"[]", "{}", "{\"name\":\"a\"}", "null"})
        EXPECT_EQ(formatHistory(parsed(text), 30, utcTime), "아직 접속한 기기가 없습니다.") << text;
}

TEST(HistoryText, ShowsTheNewestRecordsUpToTheLimit) {
    Json records;
    for (int i = 0; i < 100; ++i) {
        Json r;
        r.set("name", "pc" + std::to_string(i));
        r.set("at", 1700000000 - 60 * i);
        r.set("how", "h");
        records.push(r);
    }
    std::vector<std::string> shown = lines(formatHistory(records, 30, utcTime));
    ASSERT_EQ(shown.size(), 30u);
    EXPECT_EQ(shown.front(), "11월 14일 22:13  pc0  (h · 연결 중)");
    EXPECT_EQ(shown.back(), "11월 14일 21:44  pc29  (h · 연결 중)");
    EXPECT_EQ(formatHistory(records, 0, utcTime), "");
    EXPECT_EQ(formatHistory(records, -1, utcTime), "");
}

class HistoryFile : public ::testing::Test {
protected:
    TempFolder folder;
    std::wstring path = folder / L"connections.json";
    ConnectionHistory history{path};
};

TEST_F(HistoryFile, AddedRecordsComeBackNewestFirst) {
    EXPECT_EQ(history.load().size(), 0u);
    double first = history.add("사무실", "비밀번호", "직접");
    double second = history.add("집", "등록한 기기", "중계");
    Json records = history.load();
    ASSERT_EQ(records.size(), 2u);
    const Json& newest = records.at(0);
    ASSERT_EQ(newest.members.size(), 4u);
    EXPECT_EQ(newest.members[0].first, "name");
    EXPECT_EQ(newest.members[1].first, "at");
    EXPECT_EQ(newest.members[2].first, "how");
    EXPECT_EQ(newest.members[3].first, "route");
    EXPECT_EQ(newest.get("name").text, "집");
    EXPECT_EQ(newest.get("at").number, second);  // exact: the record is found again by this value
    EXPECT_EQ(newest.get("how").text, "등록한 기기");
    EXPECT_EQ(newest.get("route").text, "중계");
    EXPECT_EQ(records.at(1).get("at").number, first);
    EXPECT_EQ(records.at(1).get("name").text, "사무실");
    EXPECT_FALSE(pathExists(path + L".tmp"));
}

TEST_F(HistoryFile, KeepsTheNewestHundred) {
    Json records;
    for (int i = 0; i < 100; ++i) {
        Json r;
        r.set("name", "old" + std::to_string(i));
        r.set("at", 1000 - i);
        records.push(r);
    }
    history.save(records);
    history.add("new", "h", "r");
    Json now = history.load();
    ASSERT_EQ(now.size(), 100u);
    EXPECT_EQ(now.at(0).get("name").text, "new");
    EXPECT_EQ(now.at(1).get("name").text, "old0");
    EXPECT_EQ(now.at(99).get("name").text, "old98");
}

TEST_F(HistoryFile, EndingClosesEveryOpenRecordOfThatTimeOnce) {
    history.save(parsed(R"([{"name":"a","at":5.5},{"name":"b","at":5.5},{"name":"c","at":5.5,"end":6},)"
                        R"({"name":"d","at":7}])"));
    double before = nowSeconds();
    history.end(5.5);
    Json records = history.load();
    ASSERT_EQ(records.size(), 4u);
    for (size_t i : {0u, 1u}) {
        ASSERT_TRUE(records.at(i).get("end").isNumber());
        EXPECT_GE(records.at(i).get("end").number, before);
        EXPECT_EQ(records.at(i).members.back().first, "end");
    }
    EXPECT_EQ(records.at(2).get("end").number, 6);
    EXPECT_FALSE(records.at(3).has("end"));

    std::string once = fileText(path);
    history.end(5.5);
    EXPECT_EQ(fileText(path), once);
}

TEST_F(HistoryFile, EndedRecordShowsItsDuration) {
    double at = history.add("a", "h", "r");
    history.end(at);
    EXPECT_EQ(lines(history.text(30, failingTime)), (std::vector<std::string>{"  a  (h · r · 1분 안)"}));
}

TEST_F(HistoryFile, AnObjectIsShownAsEmptyAndKeptAsideOnTheNextRecord) {
    ASSERT_TRUE(writeFileAtomic(path, asBytes(std::string("{\"name\":\"x\"}"))));
    EXPECT_EQ(history.text(30, utcTime), "아직 접속한 기기가 없습니다.");
    history.add("a", "h", "r");
    EXPECT_EQ(history.load().size(), 1u);
    EXPECT_EQ(fileText(path + L".bad"), "{\"name\":\"x\"}");
}

TEST_F(HistoryFile, DamagedFileIsKeptAsideBeforeTheNextWrite) {
    std::string damaged = "[{\"name\":\"a\",";
    ASSERT_TRUE(writeFileAtomic(path, asBytes(damaged)));
    EXPECT_EQ(history.load().size(), 0u);
    EXPECT_EQ(fileText(path), damaged) << "reading alone changes nothing";
    history.end(1);
    EXPECT_EQ(fileText(path + L".bad"), damaged);
    EXPECT_EQ(fileText(path), "[]");
}

TEST_F(HistoryFile, EmptyFileIsSimplyReplaced) {
    ASSERT_TRUE(writeFileAtomic(path, ByteSpan()));
    history.add("a", "h", "r");
    EXPECT_EQ(history.load().size(), 1u);
    EXPECT_FALSE(pathExists(path + L".bad"));
}

TEST_F(HistoryFile, UncreatableTemporaryFileLeavesTheOldFile) {
    history.add("a", "h", "r");
    std::string before = fileText(path);
    createFolder(path + L".tmp");  // a folder in the way of the temporary file
    history.add("b", "h", "r");
    EXPECT_EQ(fileText(path), before);
    EXPECT_EQ(history.load().size(), 1u);
}

TEST_F(HistoryFile, UnreadableFileIsLeftInPlaceAndTheWriteSkipped) {
    // Something there that cannot be read (here a folder; on Windows also a file another program
    // holds without sharing) says nothing about the records it holds: none may be lost.
    createFolder(path);
    ASSERT_TRUE(pathExists(path));
    LogCapture log;
    history.add("a", "h", "r");
    history.end(1);
    EXPECT_TRUE(pathExists(path));
    EXPECT_FALSE(pathExists(path + L".bad"));
    EXPECT_EQ(log.count("이번 기록은 건너뜀"), 2);
}
