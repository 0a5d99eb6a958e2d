#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "TestEnv.h"
#include "platform/InstanceFiles.h"

using namespace platform;

namespace {

std::string le32(uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    }
    return s;
}

std::string freshDir(const std::string& name) {
    std::string dir = testenv::makeDir(name);
    chmod(dir.c_str(), 0700);
    return dir + "/";
}

} // namespace

TEST(HandOffFile, OneNameWithBlankIsCountTwoLengthAndBytes) {
    EXPECT_EQ(encodeHandOff({"C:\\a b.mp3"}), le32(2) + le32(10) + "C:\\a b.mp3");
}

TEST(HandOffFile, ThreeNamesKeepCommandLineOrder) {
    EXPECT_EQ(encodeHandOff({"/x/1.mp3", "/y/two.wav", "z"}),
              le32(4) + le32(8) + "/x/1.mp3" + le32(10) + "/y/two.wav" + le32(1) + "z");
}

TEST(HandOffFile, DecodingRoundTripsLongAndBinaryNames) {
    std::string longName(4000, 'n');
    std::string latin1 = "/music/caf\xe9 \xff.mp3";
    std::vector<std::string> names{longName, latin1, ""};
    EXPECT_EQ(decodeHandOff(encodeHandOff(names)), names);
}

TEST(HandOffFile, DamagedFilesYieldOnlyTheCompleteEntries) {
    std::string two = le32(3) + le32(3) + "abc" + le32(2) + "de";
    // Cut short inside the second entry, inside a length word, and a bare count.
    EXPECT_EQ(decodeHandOff(two.substr(0, two.size() - 1)), std::vector<std::string>{"abc"});
    EXPECT_EQ(decodeHandOff(two.substr(0, 9)), std::vector<std::string>{});
    EXPECT_TRUE(decodeHandOff(le32(5)).empty());
    EXPECT_TRUE(decodeHandOff("ab").empty());
    // Count 1 holds no entries; a negative or huge count reads what is there.
    EXPECT_TRUE(decodeHandOff(le32(1) + le32(3) + "abc").empty());
    EXPECT_TRUE(decodeHandOff(le32(0x80000000u) + le32(3) + "abc").empty());
    EXPECT_EQ(decodeHandOff(le32(0x7fffffff) + le32(3) + "abc"), std::vector<std::string>{"abc"});
    // A negative or oversized length stops the reader without allocating it.
    EXPECT_EQ(decodeHandOff(le32(3) + le32(1) + "a" + le32(0xfffffff0u) + "xyz"),
              std::vector<std::string>{"a"});
    EXPECT_EQ(decodeHandOff(le32(3) + le32(1) + "a" + le32(0x7ffffff0u) + "xyz"),
              std::vector<std::string>{"a"});
    // An entry ends at its first zero byte.
    EXPECT_EQ(decodeHandOff(le32(2) + le32(5) + std::string("ab\0cd", 5)),
              std::vector<std::string>{"ab"});
}

TEST(HandOffFile, WriterTakesLowestFreeNumber) {
    std::string dir = freshDir("lowest");
    testenv::writeFile(dir + "addedmp3.0", le32(1));
    testenv::writeFile(dir + "addedmp3.2", le32(1));
    std::string error;
    EXPECT_EQ(writeHandOffFile(dir, {"/a.mp3"}, &error), dir + "addedmp3.1") << error;
    EXPECT_EQ(writeHandOffFile(dir, {"/b.mp3"}, &error), dir + "addedmp3.3") << error;
    EXPECT_EQ(testenv::readFile(dir + "addedmp3.1"), le32(2) + le32(6) + "/a.mp3");
    // No temporary file is left behind.
    EXPECT_EQ(listHandOffFiles(dir).size(), 4u);
    EXPECT_EQ(testenv::run("ls -A '" + dir + "' | grep -v '^addedmp3\\.[0-9]*$'"), 1);
}

TEST(HandOffFile, ScanListsPlainNumberedFilesInOrder) {
    std::string dir = freshDir("scan");
    for (const char* n : {"addedmp3.10", "addedmp3.2", "addedmp3.0", "addedmp3.01", "addedmp3.x",
                          "addedmp3.", "other.3"}) {
        testenv::writeFile(dir + n, le32(1));
    }
    mkdir((dir + "addedmp3.5").c_str(), 0700);
    EXPECT_EQ(
        listHandOffFiles(dir),
        (std::vector<std::string>{dir + "addedmp3.0", dir + "addedmp3.2", dir + "addedmp3.10"}));
}

TEST(HandOffFile, TakeReadsQueuesAndDeletes) {
    std::string dir = freshDir("take");
    std::string error;
    std::string path = writeHandOffFile(dir, {"/one.mp3", "/two words.wav"}, &error);
    ASSERT_FALSE(path.empty()) << error;
    std::vector<std::string> names{"/already.mp3"};
    EXPECT_TRUE(takeHandOffFile(path, names));
    EXPECT_EQ(names, (std::vector<std::string>{"/already.mp3", "/one.mp3", "/two words.wav"}));
    EXPECT_FALSE(testenv::fileExists(path));
    EXPECT_FALSE(takeHandOffFile(path, names));
}

TEST(HandOffFile, AWriterWithdrawsOnlyItsOwnFile) {
    std::string dir = freshDir("withdraw");
    std::string error;
    FileIdentity mine;
    const std::string path = writeHandOffFile(dir, {"/mine.wav"}, &error, &mine);
    ASSERT_FALSE(path.empty()) << error;
    // A converter takes it, and another writer publishes the same number.
    std::vector<std::string> names;
    ASSERT_TRUE(takeHandOffFile(path, names));
    FileIdentity theirs;
    ASSERT_EQ(writeHandOffFile(dir, {"/theirs.wav"}, &error, &theirs), path) << error;
    EXPECT_FALSE(withdrawHandOffFile(path, mine));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(testenv::fileExists(path));
    EXPECT_TRUE(withdrawHandOffFile(path, theirs));
    EXPECT_FALSE(testenv::fileExists(path));
}

TEST(HandOffFile, ManyConcurrentWritersNeverShareANumber) {
    std::string dir = freshDir("race");
    const int writers = 50;
    std::vector<pid_t> children;
    for (int i = 0; i < writers; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            std::string error;
            _exit(writeHandOffFile(dir, {"/file" + std::to_string(i) + ".mp3"}, &error).empty()
                      ? 1
                      : 0);
        }
        children.push_back(pid);
    }
    // Read while they write: every file taken must be complete.
    std::multiset<std::string> seen;
    auto scan = [&] {
        for (const std::string& path : listHandOffFiles(dir)) {
            std::vector<std::string> names;
            if (takeHandOffFile(path, names)) {
                ASSERT_EQ(names.size(), 1u) << path;
                seen.insert(names[0]);
            }
        }
    };
    int failed = 0;
    for (pid_t pid : children) {
        scan();
        int status = 0;
        waitpid(pid, &status, 0);
        failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    scan();
    EXPECT_EQ(failed, 0);
    ASSERT_EQ(seen.size(), static_cast<size_t>(writers));
    for (int i = 0; i < writers; ++i) {
        EXPECT_EQ(seen.count("/file" + std::to_string(i) + ".mp3"), 1u) << i;
    }
}

TEST(RuntimeDir, IsCreatedPrivate) {
    std::string dir = testenv::root() + "rt-new";
    setenv("TUNEWRIGHT_RUNTIME_DIR", dir.c_str(), 1);
    std::string error;
    EXPECT_EQ(runtimeDir(&error), dir + "/") << error;
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(RuntimeDir, RefusesFolderOpenToOthers) {
    std::string dir = testenv::makeDir("rt-open");
    chmod(dir.c_str(), 0777);
    setenv("TUNEWRIGHT_RUNTIME_DIR", dir.c_str(), 1);
    std::string error;
    EXPECT_EQ(runtimeDir(&error), "");
    EXPECT_NE(error.find("open to other users"), std::string::npos) << error;
}

TEST(RuntimeDir, RefusesFolderOfAnotherUser) {
    std::string dir = testenv::makeDir("rt-other");
    chmod(dir.c_str(), 0700);
    if (geteuid() != 0) {
        GTEST_SKIP() << "changing a folder's owner needs root";
    }
    ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
    setenv("TUNEWRIGHT_RUNTIME_DIR", dir.c_str(), 1);
    std::string error;
    EXPECT_EQ(runtimeDir(&error), "");
    EXPECT_NE(error.find("another user"), std::string::npos) << error;
}

TEST(RuntimeDir, RefusesAFileInItsPlace) {
    std::string path = testenv::root() + "rt-file";
    testenv::writeFile(path, "x");
    setenv("TUNEWRIGHT_RUNTIME_DIR", path.c_str(), 1);
    std::string error;
    EXPECT_EQ(runtimeDir(&error), "");
}

namespace {

std::string probe() {
    return testenv::appDir() + "tw_instance_probe";
}

// Starts the probe holding the lock and waits until it says so.
pid_t startHolder(const std::string& dir) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        close(pipeFds[0]);
        execl(probe().c_str(), "tw_instance_probe", "hold", dir.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    char buf[8] = {};
    ssize_t n = read(pipeFds[0], buf, sizeof buf - 1);
    close(pipeFds[0]);
    if (n < 4 || std::string(buf, 4) != "held") {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

} // namespace

TEST(InstanceLock, OnlyOneHolderAtATime) {
    std::string dir = freshDir("lock-one");
    InstanceLock first;
    InstanceLock second;
    ASSERT_TRUE(first.acquire(dir));
    EXPECT_TRUE(testenv::fileExists(dir + "active.flg"));
    EXPECT_FALSE(second.acquire(dir));
    first.release();
    EXPECT_FALSE(testenv::fileExists(dir + "active.flg"));
    EXPECT_TRUE(second.acquire(dir));
}

TEST(InstanceLock, KilledHolderNeverBlocksTheNextStart) {
    std::string dir = freshDir("lock-kill");
    pid_t holder = startHolder(dir);
    ASSERT_GT(holder, 0);
    InstanceLock lock;
    EXPECT_FALSE(lock.acquire(dir));
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_TRUE(lock.acquire(dir));
}

TEST(InstanceLock, ChildOfTheHolderDoesNotInheritIt) {
    std::string dir = freshDir("lock-child");
    // The probe takes the lock, starts a long-lived child and exits.
    int status = testenv::run("'" + probe() + "' spawn '" + dir + "' 5 >/dev/null");
    ASSERT_EQ(status, 0);
    InstanceLock lock;
    EXPECT_TRUE(lock.acquire(dir));
    testenv::run("pkill -f '^sleep 5$' >/dev/null 2>&1");
}

TEST(InstanceLock, OnlyAnotherHolderMeansHeld) {
    std::string dir = freshDir("lock-results");
    InstanceLock first, second;
    std::string error;
    ASSERT_EQ(first.tryAcquire(dir, &error), LockResult::Acquired) << error;
    EXPECT_EQ(second.tryAcquire(dir, &error), LockResult::Held);
    first.release();
    EXPECT_EQ(second.reacquire(&error), LockResult::Acquired) << error;
    second.release();

    // A folder or a link at the lock's path cannot be a lock: an error, not "held".
    ASSERT_EQ(mkdir((dir + "active.flg").c_str(), 0700), 0);
    EXPECT_EQ(first.tryAcquire(dir, &error), LockResult::Failed);
    EXPECT_NE(error.find("active.flg"), std::string::npos) << error;
    ASSERT_EQ(rmdir((dir + "active.flg").c_str()), 0);
    const std::string target = dir + "elsewhere";
    ASSERT_EQ(symlink(target.c_str(), (dir + "active.flg").c_str()), 0);
    EXPECT_EQ(first.tryAcquire(dir, &error), LockResult::Failed);
    EXPECT_FALSE(testenv::fileExists(target));
}

TEST(RuntimeFolder, RelativeXdgRuntimeDirIsIgnored) {
    const std::string saved = std::getenv("TUNEWRIGHT_RUNTIME_DIR");
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedXdg = xdg ? xdg : "";
    unsetenv("TUNEWRIGHT_RUNTIME_DIR");
    setenv("XDG_RUNTIME_DIR", "relative/run", 1);
    std::string error;
    const std::string dir = runtimeDir(&error);
    setenv("XDG_RUNTIME_DIR", (testenv::root() + "xdg-runtime").c_str(), 1);
    const std::string absolute = runtimeDir(&error);
    setenv("TUNEWRIGHT_RUNTIME_DIR", saved.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", savedXdg.c_str(), 1);
    EXPECT_EQ(dir, "/tmp/mp3tunewright-" + std::to_string(getuid()) + "/") << error;
    EXPECT_EQ(absolute, testenv::root() + "xdg-runtime/mp3tunewright/");
}

TEST(HandOffFile, TemporariesOfDeadWritersAreRemoved) {
    std::string dir = freshDir("stale");
    pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    ASSERT_GT(child, 0);
    waitpid(child, nullptr, 0);
    const std::string dead = dir + ".addedmp3-" + std::to_string(child) + "-123";
    const std::string alive = dir + ".addedmp3-" + std::to_string(getpid()) + "-456";
    for (const std::string& path : {dead, alive, dir + ".addedmp3-x-1", dir + "addedmp3.0"}) {
        testenv::writeFile(path, le32(1));
    }
    removeStaleHandOffTemporaries(dir);
    EXPECT_FALSE(testenv::fileExists(dead));
    EXPECT_TRUE(testenv::fileExists(alive));
    EXPECT_TRUE(testenv::fileExists(dir + ".addedmp3-x-1"));
    EXPECT_TRUE(testenv::fileExists(dir + "addedmp3.0"));
}
