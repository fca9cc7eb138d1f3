// The storage directory: state round trip and save pacing, read-only modes, damaged
// files, atomic replacement, planted links, preset limits, two hosts in one directory,
// parameters.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "atomic_file.h"
#include "parameters.h"
#include "session.h"
#include "settings.h"
#include "state_store.h"
#include "test_support.h"

namespace zephrane::engine {
namespace {

using enginetest::fileExists;
using enginetest::LogCapture;
using enginetest::readFile;
using enginetest::ScratchDir;
using enginetest::writeFile;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

std::shared_ptr<Session> openSession(const StoreOptions& options, const Session::StartValues& start = {}) {
    bool joined = false;
    return Session::open(options, start, joined);
}

StoreOptions in(const ScratchDir& dir) {
    StoreOptions options;
    options.dir = dir.path();
    return options;
}

void set(Session& session, const std::string& patch) {
    json inForce;
    ASSERT_EQ(session.set(json::parse(patch), inForce), "");
}

TEST(StateFile, RoundTripsThroughAFreshSession) {
    ScratchDir dir;
    {
        auto session = openSession(in(dir));
        set(*session, R"({"in":{"gain":-7.5},"limiter":{"release":250}})");
        session->flush();
    }
    EXPECT_TRUE(json::accept(readFile(dir.file("state.json"))));
    auto again = openSession(in(dir));
    EXPECT_EQ(again->settings()["in"]["gain"], -7.5);
    EXPECT_EQ(again->settings()["limiter"]["release"], 250.0);
    EXPECT_EQ(again->settings()["out"]["gain"], 0.0);
}

TEST(StateFile, SavedAtMostAboutOnceASecond) {
    ScratchDir dir;
    auto session = openSession(in(dir));
    Clock::time_point t0 = Clock::now();
    set(*session, R"({"in":{"gain":-1}})");
    session->saveIfDue(t0);
    EXPECT_EQ(json::parse(readFile(dir.file("state.json")))["in"]["gain"], -1.0);
    set(*session, R"({"in":{"gain":-2}})");
    session->saveIfDue(t0 + std::chrono::milliseconds(500));
    EXPECT_EQ(json::parse(readFile(dir.file("state.json")))["in"]["gain"], -1.0);
    session->saveIfDue(t0 + std::chrono::milliseconds(1001));
    EXPECT_EQ(json::parse(readFile(dir.file("state.json")))["in"]["gain"], -2.0);
}

TEST(StateFile, NothingChangedNothingWritten) {
    ScratchDir dir;
    auto session = openSession(in(dir));
    session->saveIfDue(Clock::now());
    session->flush();
    EXPECT_FALSE(fileExists(dir.file("state.json")));
}

TEST(ReadOnly, StorageReadOnlyWritesNothingAtAll) {
    ScratchDir dir;
    writeFile(dir.file("state.json"), R"({"in":{"gain":-3}})");
    StoreOptions options = in(dir);
    options.storageReadOnly = true;
    auto session = openSession(options);
    EXPECT_EQ(session->settings()["in"]["gain"], -3.0);
    set(*session, R"({"in":{"gain":-9}})");
    session->flush();
    EXPECT_NE(session->savePreset("p"), "");
    EXPECT_EQ(dir.list(), std::vector<std::string>{"state.json"});
    EXPECT_EQ(json::parse(readFile(dir.file("state.json")))["in"]["gain"], -3.0);
}

TEST(ReadOnly, ReadOnlyStorageIsNotCreated) {
    ScratchDir dir;
    StoreOptions options = in(dir);
    options.dir = dir.file("missing");
    options.storageReadOnly = true;
    auto session = openSession(options);
    session->flush();
    EXPECT_FALSE(fileExists(options.dir));
}

TEST(ReadOnly, StateReadOnlyStillWritesPresets) {
    ScratchDir dir;
    StoreOptions options = in(dir);
    options.stateReadOnly = true;
    auto session = openSession(options);
    set(*session, R"({"in":{"gain":-9}})");
    session->flush();
    EXPECT_FALSE(fileExists(dir.file("state.json")));
    EXPECT_EQ(session->savePreset("p"), "");
    EXPECT_EQ(session->loadPreset("p"), "");
    EXPECT_TRUE(fileExists(dir.file("presets/p.json")));
    EXPECT_TRUE(fileExists(dir.file("onair.json")));
}

TEST(Storage, MissingDirectoryIsCreated) {
    ScratchDir dir;
    StoreOptions options = in(dir);
    options.dir = dir.file("a/b/c");
    auto session = openSession(options);
    set(*session, R"({"out":{"gain":2}})");
    session->flush();
    EXPECT_TRUE(fileExists(dir.file("a/b/c/state.json")));
}

TEST(Storage, UncreatableDirectoryWarnsAndRunsWithoutSaving) {
    ScratchDir dir;
    LogCapture log;
    writeFile(dir.file("plain"), "x");
    StoreOptions options = in(dir);
    options.dir = dir.file("plain/sub");
    auto session = openSession(options);
    set(*session, R"({"out":{"gain":2}})");
    session->flush();
    EXPECT_TRUE(log.contains(3, "running without saving"));
    EXPECT_EQ(session->settings()["out"]["gain"], 2.0);
}

TEST(Damaged, UnreadableStateIsKeptAsideAndDefaultsUsed) {
    ScratchDir dir;
    LogCapture log;
    writeFile(dir.file("state.json"), "{\"in\":{\"gain\":-3");  // cut short
    auto session = openSession(in(dir));
    EXPECT_EQ(session->settings()["in"]["gain"], 0.0);
    EXPECT_TRUE(log.contains(2, "is damaged"));
    std::vector<std::string> files = dir.list();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].rfind("state.json.damaged-", 0), 0u) << files[0];
    EXPECT_EQ(readFile(dir.file(files[0])), "{\"in\":{\"gain\":-3");
    // A second damaged file on the same second gets a name of its own.
    session.reset();
    writeFile(dir.file("state.json"), "[]");
    openSession(in(dir));
    EXPECT_EQ(dir.list().size(), 2u);
}

TEST(Damaged, ReadOnlyStorageLeavesTheDamagedFileAlone) {
    ScratchDir dir;
    LogCapture log;
    writeFile(dir.file("state.json"), "garbage");
    StoreOptions options = in(dir);
    options.storageReadOnly = true;
    auto session = openSession(options);
    EXPECT_EQ(session->settings()["in"]["gain"], 0.0);
    EXPECT_EQ(dir.list(), std::vector<std::string>{"state.json"});
    EXPECT_TRUE(log.contains(2, "is damaged"));
}

TEST(Damaged, ReadOnlyStateLeavesTheDamagedFileAlone) {
    ScratchDir dir;
    writeFile(dir.file("state.json"), "{{{");
    StoreOptions options = in(dir);
    options.stateReadOnly = true;
    auto session = openSession(options);
    EXPECT_EQ(session->settings()["in"]["gain"], 0.0);
    EXPECT_EQ(dir.list(), std::vector<std::string>{"state.json"});
}

TEST(Damaged, BadValuesAreDroppedAndTheOriginalKept) {
    ScratchDir dir;
    LogCapture log;
    writeFile(dir.file("state.json"), R"({"in":{"gain":999},"out":{"gain":-4},"eq":{}})");
    auto session = openSession(in(dir));
    EXPECT_EQ(session->settings()["in"]["gain"], 0.0);
    EXPECT_EQ(session->settings()["out"]["gain"], -4.0);
    EXPECT_TRUE(log.contains(3, "in.gain"));
    EXPECT_EQ(dir.list().size(), 1u);  // moved aside, rewritten at the next save
    EXPECT_EQ(dir.list()[0].rfind("state.json.damaged-", 0), 0u);
}

TEST(AtomicFile, ReplacesWholeAndLeavesNoTemporaryFile) {
    ScratchDir dir;
    writeFile(dir.file("f.json"), "old");
    EXPECT_EQ(writeFileAtomically(dir.path(), "f.json", "new content"), "");
    EXPECT_EQ(readFile(dir.file("f.json")), "new content");
    EXPECT_EQ(dir.list(), std::vector<std::string>{"f.json"});
}

TEST(AtomicFile, FailedWriteKeepsTheOldFile) {
    ScratchDir dir;
    writeFile(dir.file("f.json"), "old");
    // The target is a directory that cannot be replaced by a file: the rename fails.
    std::filesystem::create_directory(dir.file("d.json"));
    writeFile(dir.file("d.json/inside"), "x");
    EXPECT_NE(writeFileAtomically(dir.path(), "d.json", "new"), "");
    EXPECT_EQ(readFile(dir.file("d.json/inside")), "x");
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"d.json", "f.json"}));
}

TEST(AtomicFile, FileNamesThatLeaveTheDirectoryAreRefused) {
    for (const char* name : {"", ".", "..", "../x", "a/b", "a\\b", "x..y", "/etc/passwd", "bad\nname"}) {
        EXPECT_NE(checkFileName(name), "") << name;
    }
    for (const char* name : {"state.json", "studio 2.json", "r\xc3\xa4um"}) {
        EXPECT_EQ(checkFileName(name), "") << name;
    }
}

TEST(AtomicFile, PlantedLinksAtTheTemporaryNamesAreNeitherFollowedNorReplaced) {
    enginetest::ScratchDir dir;
    enginetest::ScratchDir elsewhere;
    unsigned next = nextTemporarySequence();
    std::vector<std::string> victims;
    for (unsigned i = 0; i < 8; ++i) {
        std::string victim = elsewhere.file("victim" + std::to_string(i));
        enginetest::writeFile(victim, "untouched");
        ::chmod(victim.c_str(), 0644);
        ASSERT_EQ(::symlink(victim.c_str(), dir.file(temporaryFileName("key.pem", next + i)).c_str()), 0);
        victims.push_back(victim);
    }
    mode_t umask = ::umask(0);  // the mode asked for, whatever the umask
    std::string written = writeFileAtomically(dir.path(), "key.pem", "SECRET", 0600);
    ::umask(umask);
    ASSERT_EQ(written, "");
    EXPECT_EQ(enginetest::readFile(dir.file("key.pem")), "SECRET");
    struct stat info {};
    ASSERT_EQ(::lstat(dir.file("key.pem").c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    for (const std::string& victim : victims) {
        EXPECT_EQ(enginetest::readFile(victim), "untouched");
        ASSERT_EQ(::stat(victim.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0644u);
    }
}

TEST(AtomicFile, GivesUpWhenEveryTemporaryNameIsTaken) {
    enginetest::ScratchDir dir;
    unsigned next = nextTemporarySequence();
    for (unsigned i = 0; i < 64; ++i) {
        ASSERT_EQ(::symlink("/nonexistent", dir.file(temporaryFileName("f", next + i)).c_str()), 0);
    }
    EXPECT_NE(writeFileAtomically(dir.path(), "f", "x"), "");
    EXPECT_FALSE(enginetest::fileExists(dir.file("f")));
}

TEST(Presets, NewNamesAndTheirNumberAreCapped) {
    enginetest::ScratchDir dir;
    StoreOptions options;
    options.dir = dir.path();
    StateStore store(options);
    store.prepare();
    json settings = defaultSettings();
    EXPECT_EQ(store.savePreset("Morning show_2.v-1", settings), "");
    EXPECT_EQ(store.savePreset(std::string(64, 'a'), settings), "");
    for (const std::string& bad :
         {std::string(65, 'a'), std::string(".hidden"), std::string("a/b"), std::string("tab\there"),
          std::string("caf\xc3\xa9"), std::string("a;b"), std::string("")}) {
        EXPECT_NE(store.savePreset(bad, settings).find("preset name refused"), std::string::npos) << bad;
    }
    // A preset stored under a name no longer given out stays loadable and deletable.
    std::filesystem::create_directories(dir.path() + "/presets");
    enginetest::writeFile(dir.path() + "/presets/caf\xc3\xa9;old.json", settings.dump());
    std::string error;
    EXPECT_TRUE(store.loadPreset("caf\xc3\xa9;old", error)) << error;
    EXPECT_EQ(store.deletePreset("caf\xc3\xa9;old"), "");

    for (size_t i = store.listPresets().size(); i < kMaxPresets; ++i) {
        ASSERT_EQ(store.savePreset("p" + std::to_string(i), settings), "");
    }
    EXPECT_EQ(store.listPresets().size(), kMaxPresets);
    std::string full = store.savePreset("one too many", settings);
    EXPECT_NE(full.find("delete one first"), std::string::npos) << full;
    EXPECT_EQ(store.savePreset("p10", settings), "");  // replacing one is fine
    EXPECT_EQ(store.deletePreset("p10"), "");
    EXPECT_EQ(store.savePreset("one too many", settings), "");
}

TEST(SharedDirectory, TwoHostsNeverTouchEachOthersFiles) {
    ScratchDir dir;
    StoreOptions first = in(dir);
    first.stateName = "first.json";
    first.onairName = "first-onair.json";
    StoreOptions second = in(dir);
    second.stateName = "second.json";
    second.onairName = "second-onair.json";
    auto a = openSession(first);
    auto b = openSession(second);
    set(*a, R"({"in":{"gain":-1}})");
    set(*b, R"({"in":{"gain":-2}})");
    a->flush();
    b->flush();
    ASSERT_EQ(a->savePreset("shared"), "");
    ASSERT_EQ(b->loadPreset("shared"), "");
    b->flush();
    EXPECT_EQ(json::parse(readFile(dir.file("first.json")))["in"]["gain"], -1.0);
    EXPECT_EQ(json::parse(readFile(dir.file("second.json")))["in"]["gain"], -1.0);  // from the preset
    EXPECT_TRUE(fileExists(dir.file("second-onair.json")));
    EXPECT_FALSE(fileExists(dir.file("first-onair.json")));
    EXPECT_EQ(a->settings()["in"]["gain"], -1.0);
    EXPECT_TRUE(a->onair()["onair"].is_null());
}

TEST(SharedDirectory, OnAirIsRestoredWithTheState) {
    ScratchDir dir;
    {
        auto session = openSession(in(dir));
        ASSERT_EQ(session->savePreset("news"), "");
        ASSERT_EQ(session->loadPreset("news"), "");
    }
    auto again = openSession(in(dir));
    EXPECT_EQ(again->onair()["onair"], "news");
    EXPECT_TRUE(again->onair()["since"].is_string());
}

TEST(SharedDirectory, SameStateNameJoinsTheLiveSession) {
    ScratchDir dir;
    auto a = openSession(in(dir));
    set(*a, R"({"in":{"gain":-11}})");
    bool joined = false;
    auto b = Session::open(in(dir), {{"in.gain", -1.0}}, joined);
    EXPECT_TRUE(joined);
    EXPECT_EQ(b, a);
    EXPECT_EQ(b->settings()["in"]["gain"], -11.0);  // live value, not the start value
}

TEST(Parameters, StorageKeysAndStartValues) {
    ZephraneParameters parameters;
    parameters.values = {{"STATE_FILENAME", "s.json"},
                         {"STATE_ONAIR", "o.json"},
                         {"STORAGE_RO", "1"},
                         {"STATE_RO", "0"},
                         {"in.gain", "-6"},
                         {"limiter.release", "20"}};
    ProcessOptions options;
    std::string error;
    ASSERT_TRUE(readProcessOptions(&parameters, "/srv/x", options, error)) << error;
    EXPECT_EQ(options.store.dir, "/srv/x");
    EXPECT_EQ(options.store.stateName, "s.json");
    EXPECT_EQ(options.store.onairName, "o.json");
    EXPECT_TRUE(options.store.storageReadOnly);
    EXPECT_FALSE(options.store.stateReadOnly);
    ASSERT_EQ(options.startValues.size(), 2u);
    EXPECT_EQ(options.startValues[0].first, "in.gain");
    EXPECT_EQ(options.startValues[0].second, -6.0);
}

TEST(Parameters, BadKeysAndValuesAreWarnedAndIgnored) {
    LogCapture log;
    ZephraneParameters parameters;
    parameters.values = {{"VOLUME", "3"}, {"in.gain", "loud"}, {"out.gain", "99"}};
    ProcessOptions options;
    std::string error;
    ASSERT_TRUE(readProcessOptions(&parameters, "/srv/x", options, error));
    EXPECT_TRUE(options.startValues.empty());
    EXPECT_TRUE(log.contains(3, "VOLUME is unknown"));
    EXPECT_TRUE(log.contains(3, "in.gain ignored"));
    EXPECT_TRUE(log.contains(3, "[-80, 24]"));
}

TEST(Parameters, FileNamesOutsideTheDirectoryAreRefused) {
    for (const char* name : {"../state.json", "sub/state.json", ".."}) {
        ZephraneParameters parameters;
        parameters.values = {{"STATE_FILENAME", name}};
        ProcessOptions options;
        std::string error;
        EXPECT_FALSE(readProcessOptions(&parameters, "/srv/x", options, error)) << name;
        EXPECT_NE(error.find("STATE_FILENAME"), std::string::npos);
    }
}

TEST(Parameters, StartValueOverridesTheStoredOne) {
    ScratchDir dir;
    writeFile(dir.file("state.json"), R"({"in":{"gain":-3},"out":{"gain":-4}})");
    auto session = openSession(in(dir), {{"in.gain", -6.0}});
    EXPECT_EQ(session->settings()["in"]["gain"], -6.0);
    EXPECT_EQ(session->settings()["out"]["gain"], -4.0);
}

}  // namespace
}  // namespace zephrane::engine
