#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "TestEnv.h"
#include "e2e_support.h"
#include "platform/InstanceFiles.h"

namespace {

std::string le32(uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    }
    return s;
}

std::string runtimeDir() { return std::string(std::getenv("TUNEWRIGHT_RUNTIME_DIR")) + "/"; }

// Holds the instance lock as a running conversion process would.
struct HeldLock {
    HeldLock() { EXPECT_TRUE(lock.acquire(runtimeDir())); }
    platform::InstanceLock lock;
};

}  // namespace

TEST(StartupHandOff, SecondProcessWritesItsNameAndExitsWithOne) {
    HeldLock held;
    int code = e2e::run(e2e::programPath(), {"/music/a b.mp3"}, 20000);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(testenv::readFile(runtimeDir() + "addedmp3.0"),
              le32(2) + le32(14) + "/music/a b.mp3");
}

TEST(StartupHandOff, ThreeNamesAreThreeEntriesInOrder) {
    HeldLock held;
    ASSERT_EQ(e2e::run(e2e::programPath(), {"/a.mp3", "/b c.wav", "/d.ogg"}, 20000), 1);
    EXPECT_EQ(testenv::readFile(runtimeDir() + "addedmp3.0"),
              le32(4) + le32(6) + "/a.mp3" + le32(8) + "/b c.wav" + le32(6) + "/d.ogg");
}

TEST(StartupHandOff, RelativeNameArrivesAbsolute) {
    HeldLock held;
    std::string dir = testenv::makeDir("somewhere");
    e2e::Options options;
    options.cwd = dir;
    ASSERT_EQ(e2e::run(e2e::programPath(), {"song.wav"}, 20000, options), 1);
    char real[4096];
    ASSERT_TRUE(realpath(dir.c_str(), real));
    std::string expected = std::string(real) + "/song.wav";
    EXPECT_EQ(testenv::readFile(runtimeDir() + "addedmp3.0"),
              le32(2) + le32(static_cast<uint32_t>(expected.size())) + expected);
}

TEST(StartupHandOff, NonUtf8NameArrivesByteForByte) {
    HeldLock held;
    std::string name = "/m\xfcsik/caf\xe9 \x80\xff.mp3";
    ASSERT_EQ(e2e::run(e2e::programPath(), {name}, 20000), 1);
    EXPECT_EQ(testenv::readFile(runtimeDir() + "addedmp3.0"),
              le32(2) + le32(static_cast<uint32_t>(name.size())) + name);
}

TEST(StartupHandOff, NamesLongerThan399BytesArriveWhole) {
    HeldLock held;
    std::string name = "/" + std::string(300, 'd') + "/" + std::string(250, 'f') + ".mp3";
    ASSERT_EQ(e2e::run(e2e::programPath(), {name}, 20000), 1);
    std::vector<std::string> entries;
    ASSERT_TRUE(platform::takeHandOffFile(runtimeDir() + "addedmp3.0", entries));
    EXPECT_EQ(entries, std::vector<std::string>{name});
}

TEST(StartupHandOff, FiftyProcessesAtOnceWhileAReaderScans) {
    HeldLock held;
    const int count = 50;
    std::vector<e2e::Process> processes;
    for (int i = 0; i < count; ++i) {
        processes.push_back(e2e::start(e2e::programPath(), {"/f" + std::to_string(i) + ".mp3"}));
    }
    std::multiset<std::string> seen;
    auto scan = [&] {
        for (const std::string& path : platform::listHandOffFiles(runtimeDir())) {
            std::vector<std::string> names;
            if (platform::takeHandOffFile(path, names)) {
                for (auto& n : names) {
                    seen.insert(n);
                }
            }
        }
    };
    int handedOff = 0;
    for (auto& p : processes) {
        scan();
        handedOff += e2e::wait(p, 30000) == 1;
    }
    scan();
    EXPECT_EQ(handedOff, count);
    EXPECT_EQ(seen.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(seen.count("/f" + std::to_string(i) + ".mp3"), 1u) << i;
    }
}

TEST(StartupHandOff, KilledHolderLetsTheNextProcessTakeTheLock) {
    std::string probe = testenv::appDir() + "tw_instance_probe";
    e2e::Process holder = e2e::start(probe, {"hold", runtimeDir()});
    // Wait (bounded) until the holder has the lock.
    for (int i = 0; i < 400 && e2e::output(holder).find("held") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(e2e::output(holder).find("held"), std::string::npos);
    EXPECT_EQ(e2e::run(e2e::programPath(), {"/x.mp3"}, 20000), 1);
    kill(holder.pid, SIGKILL);
    e2e::wait(holder, 5000);
    platform::InstanceLock lock;
    EXPECT_TRUE(lock.acquire(runtimeDir()));
}

TEST(StartupHandOff, StartWithoutNamesNeverTouchesTheLock) {
    {
        // Nobody holds the lock: no lock file appears.
        e2e::Process p = e2e::start(e2e::programPath(), {});
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        EXPECT_FALSE(testenv::fileExists(runtimeDir() + "active.flg"));
        if (e2e::wait(p, 1) < 0) {
            SUCCEED() << "the launcher was still open";
        }
    }
    {
        // Somebody holds it: no hand-off either.
        HeldLock held;
        e2e::Process p = e2e::start(e2e::programPath(), {});
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        EXPECT_TRUE(platform::listHandOffFiles(runtimeDir()).empty());
        int code = e2e::wait(p, 1);
        EXPECT_TRUE(code == -1 || code == 0) << code;
    }
}

TEST(StartupHandOff, RuntimeFolderOpenToOthersIsRefused) {
    std::string dir = testenv::makeDir("shared-runtime");
    chmod(dir.c_str(), 0777);
    e2e::Options options;
    options.env["TUNEWRIGHT_RUNTIME_DIR"] = dir;
    e2e::Process p = e2e::start(e2e::programPath(), {"/a.mp3"}, options);
    EXPECT_EQ(e2e::wait(p, 20000), 2);
    EXPECT_NE(e2e::errors(p).find("open to other users"), std::string::npos) << e2e::errors(p);
    EXPECT_TRUE(platform::listHandOffFiles(dir + "/").empty());
    EXPECT_FALSE(testenv::fileExists(dir + "/active.flg"));
}

TEST(StartupPlatform, WaylandWithAnXServerBesideItUsesTheXPlatform) {
    // With no X server behind DISPLAY the xcb platform cannot start: the program
    // then fails at once, which shows that it chose xcb and not the Wayland one.
    e2e::Options options;
    options.env["WAYLAND_DISPLAY"] = "wayland-test-none";
    options.env["DISPLAY"] = ":97";
    options.env["QT_QPA_PLATFORM"] = "";
    e2e::Process p = e2e::start(e2e::programPath(), {}, options);
    int code = e2e::wait(p, 20000);
    EXPECT_NE(code, 0);
    EXPECT_NE(e2e::errors(p).find("xcb"), std::string::npos) << e2e::errors(p);
}

TEST(StartupGuard, ExceptionWhileCreatingTheWindowsIsShownInABox) {
    // A program folder whose decoder library lacks its entry points: creating the
    // conversion window fails, and start-up must show that in a message box. With
    // no person to answer it, the box keeps the process waiting.
    std::string dir = testenv::makeDir("broken-install") + "/";
    std::string app = testenv::appDir();
    for (const char* f : {"mp3tunewright", "mp3tunewright-program.so", "libakrip32.so", "lame.so"}) {
        ASSERT_EQ(testenv::run("cp '" + app + f + "' '" + dir + "'"), 0) << f;
    }
    ASSERT_EQ(testenv::run("cp '" + app + "tw_test_library.so' '" + dir + "xaudio.so'"), 0);
    std::string wav = dir + "x.wav";
    testenv::writeFile(wav, std::string(44, '\0'));
    e2e::Options options;
    options.env.erase("TUNEWRIGHT_UNATTENDED");
    options.env["TUNEWRIGHT_UNATTENDED"] = "0";
    e2e::Process p = e2e::start(dir + "mp3tunewright", {wav}, options);
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    int code = e2e::wait(p, 1);
    EXPECT_EQ(code, -1) << "the process ended without showing the error: " << e2e::errors(p);
    platform::InstanceLock lock;
    EXPECT_TRUE(lock.acquire(runtimeDir())) << "a killed holder leaves no lock behind";
}
