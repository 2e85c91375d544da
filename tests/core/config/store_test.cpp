#include "core/config/store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "core/config/temp_folder.h"
#include "core/json.h"

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

std::string slurp(const std::wstring& path) { return spanToString(readFile(path)); }

void put(const std::wstring& path, const std::string& text) {
    std::ofstream out(fs::path(path), std::ios::binary | std::ios::trunc);
    out << text;
    ASSERT_TRUE(out.good());
}

// The path of config.json in the profile folder under `base`, which is created.
std::wstring profileConfig(const TempFolder& base) {
    fs::create_directory(base.path() / "Tavrel");
    return base / L"Tavrel" + kPathSeparator + L"config.json";
}

}  // namespace

TEST(ProfileSuffix, FromArguments) {
    struct Case {
        std::vector<std::wstring> args;
        std::wstring suffix;
    };
    const Case cases[] = {
        {{L"tavrel.exe"}, L""},
        {{L"tavrel.exe", L"--profile", L"work"}, L"-work"},
        {{L"tavrel.exe", L"--profile", L"a", L"--profile", L"b"}, L"-b"},
        {{L"tavrel.exe", L"--profile", L"a", L"--profile"}, L"-a"},
        {{L"tavrel.exe", L"--profile"}, L""},
        {{L"tavrel.exe", L"x", L"--profile"}, L""},
        {{L"tavrel.exe", L"--Profile", L"a"}, L""},
        {{L"tavrel.exe", L"--profile=a"}, L""},
        {{L"--profile", L"a"}, L""},  // the first argument is the program itself
        {{L"tavrel.exe", L"--profile", L"\uC5C5\uBB34"}, L"-\uC5C5\uBB34"},
        {{}, L""},
    };
    for (const Case& c : cases) EXPECT_EQ(profileSuffixFromArgs(c.args), c.suffix);
}

TEST(ProfileName, OnlyOneFolderNameComponent) {
    struct Case {
        std::wstring name;
        bool valid;
    };
    const Case cases[] = {
        {L"work", true},
        {L"\uC5C5\uBB34", true},
        {L"a b", true},
        {L"a.b", true},
        {L".a", true},
        {L"CONSOLE", true},
        {L"COM10", true},
        {std::wstring(64, L'x'), true},
        {std::wstring(65, L'x'), false},
        {L"", false},
        {L".", false},
        {L"..", false},
        {L"a\\b", false},
        {L"a/b", false},
        {L"..\\x", false},
        {L"c:x", false},
        {L"a*", false},
        {L"a?", false},
        {L"a\"b", false},
        {L"a<b", false},
        {L"a>b", false},
        {L"a|b", false},
        {L"a\tb", false},
        {std::wstring(L"a\0b", 3), false},
        {L"a.", false},  // the system drops a trailing dot: "a." would share the folder of "a"
        {L"a ", false},
        {L"CON", false},
        {L"con", false},
        {L"nul.txt", false},
        {L"Com1", false},
        {L"LPT9", false},
        {L"AUX .x", false},
    };
    for (const Case& c : cases) EXPECT_EQ(validProfileName(c.name), c.valid) << std::string(c.name.begin(), c.name.end());
}

TEST(ProfileName, FoldingIgnoresLetterCaseOnly) {
    struct Case {
        std::wstring a, b;
        bool same;
    };
    const Case cases[] = {
        {L"work", L"WORK", true},
        {L"Work", L"wORK", true},
        {L"\u00C4rger", L"\u00E4RGER", true},       // Latin-1
        {L"\u0141\u00F3d\u017A", L"\u0142\u00D3D\u0179", true},  // Latin Extended-A, both pair orders
        {L"\u0394\u03A9", L"\u03B4\u03C9", true},   // Greek
        {L"\u0416\u0401", L"\u0436\u0451", true},   // Cyrillic
        {L"\uFF37", L"\uFF57", true},                 // full-width
        {L"\u0178", L"\u00FF", true},
        {L"\uC5C5\uBB34", L"\uC5C5\uBB34", true},
        {L"work", L"work2", false},
        {L"a-b", L"a_b", false},
        {L"\u00D7", L"\u00F7", false},  // signs, not letters
        {L"\u0130", L"i", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(foldProfileName(c.a) == foldProfileName(c.b), c.same) << std::string(c.a.begin(), c.a.end());
    EXPECT_EQ(foldProfileName(L"-WORK"), L"-work");
}

TEST(ProfileSuffix, ThisProcessHasNone) {
    EXPECT_EQ(profileSuffix(), L"");
}

TEST(ReadFile, MissingFileOrFolderGivesNothing) {
    TempFolder dir;
    Bytes out{1, 2, 3};
    EXPECT_FALSE(tryReadFile(dir / L"missing", out));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(readFile(dir / L"missing").empty());
    EXPECT_FALSE(tryReadFile(dir.wide(), out));
}

TEST(ReadFile, ReadsRawBytesToTheEnd) {
    TempFolder dir;
    std::string content = std::string("a\r\nb\x1a\0c\n", 8) + std::string(200000, '\xfe');
    put(dir / L"f.bin", content);
    Bytes out;
    ASSERT_TRUE(tryReadFile(dir / L"f.bin", out));
    EXPECT_EQ(spanToString(out), content);
    put(dir / L"empty", "");
    EXPECT_TRUE(tryReadFile(dir / L"empty", out));
    EXPECT_TRUE(out.empty());
}

TEST(WriteFileAtomic, CreatesThenReplacesAndLeavesNoTemporaryFile) {
    TempFolder dir;
    std::wstring path = dir / L"config.json";
    std::string first = std::string("one\r\n\0two", 9);
    ASSERT_TRUE(writeFileAtomic(path, asBytes(first)));
    EXPECT_EQ(slurp(path), first);
    ASSERT_TRUE(writeFileAtomic(path, asBytes(std::string("2"))));
    EXPECT_EQ(slurp(path), "2");
    ASSERT_TRUE(writeFileAtomic(path, ByteSpan()));
    EXPECT_TRUE(pathExists(path));
    EXPECT_EQ(slurp(path), "");
    EXPECT_FALSE(pathExists(path + L".tmp"));
}

TEST(WriteFileAtomic, TemporaryFileThatCannotBeCreatedKeepsTheOldFile) {
    TempFolder dir;
    std::wstring path = dir / L"config.json";
    put(path, "old");
    fs::create_directory(fs::path(path + L".tmp"));  // nothing can be opened under this name
    EXPECT_FALSE(writeFileAtomic(path, asBytes(std::string("new"))));
    EXPECT_EQ(slurp(path), "old");
}

TEST(WriteFileAtomic, FailedMoveReportsFailureAndLeavesTheTargetAlone) {
    TempFolder dir;
    std::wstring path = dir / L"occupied";
    fs::create_directory(fs::path(path));
    put(path + kPathSeparator + L"inside", "keep");
    EXPECT_FALSE(writeFileAtomic(path, asBytes(std::string("new"))));
    EXPECT_EQ(slurp(path + kPathSeparator + L"inside"), "keep");
    EXPECT_FALSE(pathExists(path + L".tmp"));
}

TEST(WriteFileAtomic, MissingFolderFails) {
    TempFolder dir;
    EXPECT_FALSE(writeFileAtomic(dir / L"no" + kPathSeparator + L"file", asBytes(std::string("x"))));
}

#ifndef _WIN32
// A file-size limit makes the write itself fail part way, as a full disk would.
TEST(WriteFileAtomic, WriteThatFailsPartWayKeepsTheOldFile) {
    TempFolder dir;
    std::wstring path = dir / L"password.bin";
    put(path, "old");
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool ok = writeFileAtomic(path, asBytes(std::string(100000, 'x')));
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(ok);
    EXPECT_EQ(slurp(path), "old");
    EXPECT_FALSE(pathExists(path + L".tmp"));
}
#endif

TEST(MoveAside, NeverOverwritesWhatWasKeptBefore) {
    TempFolder dir;
    std::wstring path = dir / L"device.key";
    put(path, "first");
    EXPECT_EQ(moveAside(path), path + L".bad");
    put(path, "second");
    EXPECT_EQ(moveAside(path), path + L".bad2");
    EXPECT_EQ(slurp(path + L".bad"), "first");
    EXPECT_EQ(slurp(path + L".bad2"), "second");
    EXPECT_FALSE(pathExists(path));
    EXPECT_EQ(moveAside(path), L"");  // nothing there to move
}

TEST(MoveAside, WhenEveryNameIsTakenTheOldestGoes) {
    TempFolder dir;
    std::wstring path = dir / L"config.json";
    std::vector<std::wstring> names = {path + L".bad"};
    for (int n = 2; n <= 9; ++n) names.push_back(path + L".bad" + std::to_wstring(n));
    for (size_t i = 0; i < names.size(); ++i) put(names[i], "kept " + std::to_string(i + 1));
    put(path, "newest");
    EXPECT_EQ(moveAside(path), path + L".bad9");
    EXPECT_FALSE(pathExists(path));
    for (size_t i = 0; i + 1 < names.size(); ++i) EXPECT_EQ(slurp(names[i]), "kept " + std::to_string(i + 2));
    EXPECT_EQ(slurp(names.back()), "newest");
    // With no file there, nothing that was kept goes.
    EXPECT_EQ(moveAside(path), L"");
    EXPECT_EQ(slurp(names[0]), "kept 2");
}

TEST(ConfigStore, MissingConfigGivesDefaultsAndWritesNothing) {
    TempFolder base;
    ConfigStore store(base.wide(), L"");
    EXPECT_EQ(store.profileDir, base / L"Tavrel");
    EXPECT_EQ(store.configPath, store.profileDir + kPathSeparator + L"config.json");
    EXPECT_TRUE(fs::is_directory(fs::path(store.profileDir)));
    EXPECT_TRUE(store.folderReady);
    EXPECT_FALSE(pathExists(store.configPath));
    AppConfig c = store.get();
    EXPECT_EQ(c.port, 47800);
    EXPECT_FALSE(c.hosting);
    EXPECT_TRUE(c.allowed.empty());
}

TEST(ConfigStore, AProfileFolderThatCannotBeMadeIsReported) {
    TempFolder base;
    put(base / L"Tavrel-f", "a file where the folder goes");
    ConfigStore blocked(base.wide(), L"-f");
    EXPECT_FALSE(blocked.folderReady);
    ConfigStore missingBase(base / L"no-such-folder", L"");
    EXPECT_FALSE(missingBase.folderReady);
    ConfigStore existing(base.wide(), L"-f2");
    ConfigStore again(base.wide(), L"-f2");
    EXPECT_TRUE(again.folderReady);
}

// A store without its folder writes nowhere: not beside a file that took the folder's name, and
// not into the current folder when the system named no base folder at all.
TEST(ConfigStore, WithoutItsFolderAStoreNeitherReadsNorSaves) {
    TempFolder base, current;
    put(base / L"Tavrel-f", "a file where the folder goes");
    const fs::path before = fs::current_path();
    fs::current_path(current.path());
    ConfigStore blocked(base.wide(), L"-f");
    ConfigStore noBase(L"", L"-x");
    for (ConfigStore* store : {&blocked, &noBase}) {
        EXPECT_FALSE(store->folderReady);
        store->update([](AppConfig& c) { c.port = 50002; });
        EXPECT_EQ(store->get().port, 50002);  // the live record still takes the change
    }
    fs::current_path(before);
    EXPECT_EQ(noBase.profileDir, L"Tavrel-x");
    EXPECT_TRUE(fs::is_empty(current.path()));
    EXPECT_EQ(slurp(base / L"Tavrel-f"), "a file where the folder goes");
    EXPECT_EQ(std::distance(fs::directory_iterator(base.path()), fs::directory_iterator()), 1);
}

// One holder of a profile folder's lock at a time, in this process as in any other; the lock goes
// with its holder.
TEST(ProfileLock, OneHolderPerProfileFolderUntilItLetsGo) {
    TempFolder base;
    {
        ProfileLock first(base.wide());
        EXPECT_EQ(first.state(), ProfileLock::State::Held);
        ProfileLock second(base.wide());
        EXPECT_EQ(second.state(), ProfileLock::State::Busy);
    }
    ProfileLock again(base.wide());
    EXPECT_EQ(again.state(), ProfileLock::State::Held);
    ProfileLock nowhere(base / L"no-such-folder");
    EXPECT_EQ(nowhere.state(), ProfileLock::State::Failed);
}

TEST(ConfigStore, UpdateSavesAtOnce) {
    TempFolder base;
    ConfigStore store(base.wide(), L"");
    store.update([](AppConfig& c) {
        c.hosting = true;
        c.port = 50001;
        Peer p;
        p.name = "\uC0AC\uBB34\uC2E4 PC";
        p.key = std::string(43, 'A') + "=";
        c.allowed.push_back(p);
    });
    Json saved;
    ASSERT_TRUE(Json::parse(slurp(store.configPath), saved));
    EXPECT_TRUE(saved.get("hosting").asBool());
    EXPECT_EQ(saved.get("port").asNumber(), 50001);
    EXPECT_FALSE(pathExists(store.configPath + L".tmp"));

    ConfigStore again(base.wide(), L"");
    AppConfig c = again.get();
    EXPECT_TRUE(c.hosting);
    EXPECT_EQ(c.port, 50001);
    ASSERT_EQ(c.allowed.size(), 1u);
    EXPECT_EQ(c.allowed[0].name, "\uC0AC\uBB34\uC2E4 PC");
}

TEST(ConfigStore, ThrowingUpdateChangesNothing) {
    TempFolder base;
    ConfigStore store(base.wide(), L"");
    store.update([](AppConfig& c) { c.port = 50001; });
    std::string before = slurp(store.configPath);
    EXPECT_THROW(store.update([](AppConfig& c) {
        c.port = 2;
        c.hosting = true;
        throw std::runtime_error("half way");
    }),
                 std::runtime_error);
    EXPECT_EQ(store.get().port, 50001);
    EXPECT_FALSE(store.get().hosting);
    EXPECT_EQ(slurp(store.configPath), before);
    // The next update does not carry the abandoned change to the file either.
    store.update([](AppConfig& c) { c.audio = false; });
    ConfigStore again(base.wide(), L"");
    EXPECT_EQ(again.get().port, 50001);
    EXPECT_FALSE(again.get().hosting);
    EXPECT_FALSE(again.get().audio);
}

TEST(ConfigStore, EmptyCallableThrowsAndReleasesTheLock) {
    TempFolder base;
    ConfigStore store(base.wide(), L"");
    EXPECT_THROW(store.update(nullptr), std::bad_function_call);
    EXPECT_FALSE(pathExists(store.configPath));
    store.update([](AppConfig& c) { c.quality = 2; });
    EXPECT_EQ(store.get().quality, 2);
}

TEST(ConfigStore, UnusableConfigIsKeptAsideNotOverwritten) {
    for (std::string text : {"{\"port\": 5", "[]", "null", "\"text\"", "{} x"}) {
        SCOPED_TRACE(text);
        TempFolder base;
        std::wstring config = profileConfig(base);
        put(config, text);
        ConfigStore store(base.wide(), L"");
        EXPECT_EQ(store.get().port, 47800);
        EXPECT_FALSE(pathExists(config));
        EXPECT_EQ(slurp(config + L".bad"), text);
        store.update([](AppConfig& c) { c.port = 50003; });
        EXPECT_EQ(slurp(config + L".bad"), text);
        EXPECT_EQ(ConfigStore(base.wide(), L"").get().port, 50003);
    }
}

TEST(ConfigStore, SecondUnusableConfigGoesBesideTheFirst) {
    TempFolder base;
    std::wstring config = profileConfig(base);
    put(config + L".bad", "earlier");
    put(config, "{oops");
    ConfigStore store(base.wide(), L"");
    EXPECT_EQ(slurp(config + L".bad"), "earlier");
    EXPECT_EQ(slurp(config + L".bad2"), "{oops");
}

// Unusable files may come one after another (an editor that writes something the parser refuses):
// each is kept aside, the newest nine are kept, and saving goes on every time.
TEST(ConfigStore, TenBadFilesInARowNeverStopSaving) {
    TempFolder base;
    std::wstring config = profileConfig(base);
    for (int round = 1; round <= 10; ++round) {
        SCOPED_TRACE(round);
        put(config, "{\"port\":" + std::to_string(round) + ",");
        ConfigStore store(base.wide(), L"");
        EXPECT_EQ(store.get().port, 47800);
        store.update([round](AppConfig& c) { c.port = 50000 + round; });
        EXPECT_EQ(ConfigStore(base.wide(), L"").get().port, 50000 + round);
    }
    EXPECT_EQ(slurp(config + L".bad"), "{\"port\":2,");
    EXPECT_EQ(slurp(config + L".bad9"), "{\"port\":10,");
}

TEST(ConfigStore, UnusableConfigThatCannotBeKeptAsideIsReplacedAtTheNextSave) {
    TempFolder base;
    std::wstring config = profileConfig(base);
    // Every name is taken and the oldest cannot go: it is a folder with something in it.
    fs::create_directory(fs::path(config + L".bad"));
    put(config + L".bad" + kPathSeparator + L"inside", "x");
    for (int n = 2; n <= 9; ++n) put(config + L".bad" + std::to_wstring(n), "older");
    put(config, "{\"port\":50009,\"allowed\":[{\"name\":\"a\"");
    ConfigStore store(base.wide(), L"");
    EXPECT_EQ(store.get().port, 47800);
    store.update([](AppConfig& c) { c.port = 50010; });
    EXPECT_EQ(ConfigStore(base.wide(), L"").get().port, 50010);
    EXPECT_FALSE(pathExists(config + L".tmp"));
}

// Notepad writes UTF-8 with a byte-order mark; the parser itself stays strict.
TEST(ConfigStore, ByteOrderMarkBeforeTheSettingsIsSkipped) {
    const std::string bom = "\xEF\xBB\xBF";
    Json strict;
    EXPECT_FALSE(Json::parse(bom + "{}", strict));
    struct Case {
        std::string text;
        int port;
        bool keptAside;
    };
    const Case cases[] = {
        {bom + "{\"port\":50011}", 50011, false},
        {bom, 47800, false},  // as good as empty: left alone
        {bom + bom + "{\"port\":50011}", 47800, true},
        {"{\"port\":50011}" + bom, 47800, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TempFolder base;
        std::wstring config = profileConfig(base);
        put(config, c.text);
        ConfigStore store(base.wide(), L"");
        EXPECT_EQ(store.get().port, c.port);
        EXPECT_EQ(pathExists(config + L".bad"), c.keptAside);
        if (!c.keptAside) {
            EXPECT_EQ(slurp(config), c.text);  // read, not rewritten
        }
    }
}

TEST(ConfigStore, EmptyConfigLoadsDefaultsAndIsLeftAlone) {
    TempFolder base;
    std::wstring config = profileConfig(base);
    put(config, "");
    ConfigStore store(base.wide(), L"");
    EXPECT_EQ(store.get().port, 47800);
    EXPECT_TRUE(pathExists(config));
    EXPECT_FALSE(pathExists(config + L".bad"));
}

TEST(ConfigStore, FormerFolderOfTheSameProfileMovesIntoPlace) {
    TempFolder base;
    fs::create_directories(base.path() / "Varnoth-work");
    fs::create_directories(base.path() / "Varnoth");
    put(base / L"Varnoth-work" + kPathSeparator + L"config.json", "{\"port\":50002}");
    put(base / L"Varnoth-work" + kPathSeparator + L"device.key", "sealed");
    ConfigStore store(base.wide(), L"-work");
    EXPECT_EQ(store.profileDir, base / L"Tavrel-work");
    EXPECT_EQ(store.get().port, 50002);
    EXPECT_EQ(slurp(store.profileDir + kPathSeparator + L"device.key"), "sealed");
    EXPECT_FALSE(pathExists(base / L"Varnoth-work"));
    EXPECT_TRUE(pathExists(base / L"Varnoth"));  // another profile's folder stays
}

#ifndef _WIN32
// An immutable folder cannot be renamed, even by an administrator: the move fails as it does on
// Windows when a file inside the folder is held open.
class ImmutableFolder {
public:
    explicit ImmutableFolder(const fs::path& path) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
        int flags = 0;
        if (fd_ >= 0 && ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= FS_IMMUTABLE_FL;
            set_ = ::ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0;
        }
    }
    ~ImmutableFolder() {
        int flags = 0;
        if (set_ && ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
            flags &= ~FS_IMMUTABLE_FL;
            ::ioctl(fd_, FS_IOC_SETFLAGS, &flags);
        }
        if (fd_ >= 0) ::close(fd_);
    }
    bool set() const { return set_; }

private:
    int fd_ = -1;
    bool set_ = false;
};

TEST(ConfigStore, FormerFolderThatCannotMoveIsUsedWhereItIs) {
    TempFolder base;
    fs::create_directories(base.path() / "Varnoth");
    put(base / L"Varnoth" + kPathSeparator + L"config.json", "{\"port\":50008}");
    ImmutableFolder pinned(base.path() / "Varnoth");
    if (!pinned.set()) GTEST_SKIP() << "this file system or user cannot make a folder immutable";
    ConfigStore store(base.wide(), L"");
    EXPECT_EQ(store.profileDir, base / L"Varnoth");
    EXPECT_EQ(store.get().port, 50008);
    EXPECT_FALSE(pathExists(base / L"Tavrel"));
}
#endif

TEST(ConfigStore, FormerFolderStaysWhenBothExist) {
    TempFolder base;
    fs::create_directories(base.path() / "Varnoth");
    fs::create_directories(base.path() / "Tavrel");
    put(base / L"Varnoth" + kPathSeparator + L"config.json", "{\"port\":50004}");
    put(base / L"Tavrel" + kPathSeparator + L"config.json", "{\"port\":50005}");
    ConfigStore store(base.wide(), L"");
    EXPECT_EQ(store.get().port, 50005);
    EXPECT_EQ(slurp(base / L"Varnoth" + kPathSeparator + L"config.json"), "{\"port\":50004}");
}

TEST(ConfigStore, WorksUnderANonAsciiFolder) {
    TempFolder temp;
    std::wstring base = temp / L"\uC124\uC815 \uD3F4\uB354";
    createFolder(base);
    ASSERT_TRUE(pathExists(base));
    {
        ConfigStore store(base, L"-\uD55C");
        EXPECT_EQ(store.profileDir, base + kPathSeparator + L"Tavrel-\uD55C");
        store.update([](AppConfig& c) { c.port = 50006; });
    }
    EXPECT_EQ(ConfigStore(base, L"-\uD55C").get().port, 50006);
}

TEST(ConfigStore, ConcurrentUpdatesAreAppliedInOneOrder) {
    TempFolder base;
    ConfigStore store(base.wide(), L"");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i) store.update([](AppConfig& c) { ++c.quality; });
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(store.get().quality, 40);
    EXPECT_EQ(ConfigStore(base.wide(), L"").get().quality, 40);
}

// The test program has named a throw-away folder in place of the user's (support/test_profile.cpp).
TEST(ConfigStore, ProcessWideStoreUsesTheProfileBase) {
    ConfigStore& store = configStore();
    EXPECT_EQ(&store, &configStore());
    EXPECT_NE(profileBase(), roamingAppDataFolder());
    EXPECT_EQ(store.profileDir, profileBase() + kPathSeparator + L"Tavrel");
    EXPECT_TRUE(pathExists(store.profileDir));
}
