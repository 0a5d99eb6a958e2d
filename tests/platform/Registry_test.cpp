#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestEnv.h"
#include "platform/Paths.h"
#include "platform/Registry.h"

using namespace platform;

namespace {
// Each test starts from an empty registry, also when all run in one process.
class RegistryStore : public ::testing::Test {
protected:
    void SetUp() override { testenv::useFreshRegistry(); }
};
}  // namespace

TEST_F(RegistryStore, RootsAreFilesInTheRegistryFolder) {
    std::string dir = std::getenv("TUNEWRIGHT_REGISTRY_DIR");
    EXPECT_EQ(Registry::rootFile(RegistryRoot::CurrentUser), dir + "/HKEY_CURRENT_USER.json");
    unsetenv("TUNEWRIGHT_REGISTRY_DIR");
    EXPECT_EQ(Registry::rootFile(RegistryRoot::ClassesRoot),
              std::string(std::getenv("XDG_CONFIG_HOME")) +
                  "/mp3tunewright/registry/HKEY_CLASSES_ROOT.json");
    EXPECT_EQ(Registry::rootFile(RegistryRoot::LocalMachine),
              "/etc/xdg/mp3tunewright/registry/HKEY_LOCAL_MACHINE.json");
}

TEST_F(RegistryStore, TypedValuesRoundTripAndWrongTypesFail) {
    Registry reg(RegistryRoot::CurrentUser);
    const std::string key = "\\Software\\Test\\Values";
    EXPECT_FALSE(reg.writeString(key, "Name", "x")) << "writing needs an existing key";
    ASSERT_TRUE(reg.createKey(key));
    EXPECT_TRUE(reg.keyExists("\\Software\\Test"));
    std::string latin1 = "/m\xfcsic/caf\xe9";
    EXPECT_TRUE(reg.writeString(key, "Dir", latin1));
    EXPECT_TRUE(reg.writeString(key, "", "default value"));
    EXPECT_TRUE(reg.writeInteger(key, "Big", 65537));
    EXPECT_TRUE(reg.writeInteger(key, "Negative", -1));

    Registry again(RegistryRoot::CurrentUser);
    EXPECT_EQ(again.readString(key, "Dir"), latin1);
    EXPECT_EQ(again.readString(key, ""), "default value");
    EXPECT_EQ(again.readInteger(key, "Big"), 65537);
    EXPECT_EQ(again.readInteger(key, "Negative"), -1);
    EXPECT_EQ(again.readInteger(key, "Dir"), std::nullopt);
    EXPECT_EQ(again.readString(key, "Big"), std::nullopt);
    EXPECT_EQ(again.readString(key, "Missing"), std::nullopt);
    EXPECT_EQ(again.valueType(key, "Big"), RegistryType::DWord);
}

TEST_F(RegistryStore, NamesAreCaseInsensitiveAndCasePreserving) {
    Registry reg(RegistryRoot::ClassesRoot);
    ASSERT_TRUE(reg.createKey("MPEGLayer3.File\\shell\\Decode to WAVE\\command"));
    EXPECT_TRUE(reg.keyExists("mpeglayer3.file\\SHELL\\decode to wave\\Command"));
    EXPECT_TRUE(reg.writeString("\\.mp3", "", "x") == false);
    ASSERT_TRUE(reg.createKey(".MP3"));
    EXPECT_TRUE(reg.writeString(".mp3", "Value", "1"));
    EXPECT_TRUE(reg.writeString(".MP3", "VALUE", "2"));
    EXPECT_EQ(reg.readString(".Mp3", "value"), "2");
    EXPECT_EQ(reg.subKeys("mpeglayer3.file"), std::vector<std::string>{"shell"});
}

TEST_F(RegistryStore, DeleteKeyRemovesTheSubtreeOnly) {
    Registry reg(RegistryRoot::ClassesRoot);
    ASSERT_TRUE(reg.createKey("Cls\\shell\\Verb\\command"));
    ASSERT_TRUE(reg.createKey("Cls\\shell\\Other"));
    ASSERT_TRUE(reg.createKey("Cls\\shellfish"));
    EXPECT_TRUE(reg.deleteKey("cls\\SHELL\\verb"));
    EXPECT_FALSE(reg.keyExists("Cls\\shell\\Verb\\command"));
    EXPECT_FALSE(reg.keyExists("Cls\\shell\\Verb"));
    EXPECT_TRUE(reg.keyExists("Cls\\shell\\Other"));
    EXPECT_TRUE(reg.keyExists("Cls\\shellfish"));
}

// A root file that does not parse reads as empty and is kept as <file>.bak before a
// write replaces it; one that cannot be read (a FIFO must not block the open) is
// never replaced. Each is named on stderr. Run in a child process, so a
// blocking open fails the test instead of hanging it.
TEST_F(RegistryStore, BrokenRootFilesAreNamedKeptAndNeverBlock) {
    struct Row {
        const char* name;
        std::function<void(const std::string&)> plant;
        bool writable;
    } rows[] = {
        {"not json", [](const std::string& f) { testenv::writeFile(f, "{ not json"); }, true},
        {"FIFO", [](const std::string& f) { ASSERT_EQ(mkfifo(f.c_str(), 0600), 0); }, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        testenv::useFreshRegistry();
        Registry reg(RegistryRoot::CurrentUser);
        ASSERT_TRUE(reg.createKey("Software\\Old"));
        ASSERT_EQ(unlink(reg.file().c_str()), 0);
        row.plant(reg.file());
        const std::string errors = reg.file() + ".stderr";
        pid_t pid = fork();
        if (pid == 0) {
            const int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd < 0 || dup2(fd, STDERR_FILENO) < 0) {
                _exit(99);
            }
            Registry child(RegistryRoot::CurrentUser);
            const bool empty = !child.keyExists("Software\\Old") && !child.keyExists("Software");
            const bool wrote = child.createKey("Software\\New");
            _exit((empty ? 0 : 1) | (wrote ? 2 : 0));
        }
        int status = -1;
        for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; waited += 10) {
            if (waited > 10000) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                ADD_FAILURE() << "the registry blocked";
                break;
            }
            usleep(10000);
        }
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), row.writable ? 2 : 0) << "reads empty; writes as expected";
        EXPECT_NE(testenv::readFile(errors).find(reg.file()), std::string::npos)
            << testenv::readFile(errors);
        if (row.writable) {
            EXPECT_EQ(testenv::readFile(reg.file() + ".bak"), "{ not json");
            EXPECT_TRUE(reg.keyExists("Software\\New"));
        } else {
            EXPECT_FALSE(testenv::fileExists(reg.file() + ".bak"));
            struct stat st {};
            ASSERT_EQ(lstat(reg.file().c_str(), &st), 0);
            EXPECT_FALSE(S_ISREG(st.st_mode)) << "left as it was";
        }
    }
}

TEST_F(RegistryStore, FailedWriteKeepsWhatWasWrittenBefore) {
    std::string dir = testenv::makeDir("blocked");
    setenv("TUNEWRIGHT_REGISTRY_DIR", dir.c_str(), 1);
    Registry reg(RegistryRoot::CurrentUser);
    ASSERT_TRUE(reg.createKey("K"));
    ASSERT_TRUE(reg.writeString("K", "First", "kept"));
    // A folder where the lock file belongs makes every further write fail.
    std::string lockPath = reg.file() + ".lock";
    ASSERT_EQ(unlink(lockPath.c_str()), 0);
    ASSERT_EQ(mkdir(lockPath.c_str(), 0700), 0);
    EXPECT_FALSE(reg.writeString("K", "Second", "lost"));
    EXPECT_FALSE(reg.createKey("K2"));
    EXPECT_EQ(reg.readString("K", "First"), "kept");
    EXPECT_EQ(reg.readString("K", "Second"), std::nullopt);
}

TEST_F(RegistryStore, RootBelowARegularFileIsNotWritable) {
    std::string blocker = testenv::root() + "plainfile";
    testenv::writeFile(blocker, "x");
    setenv("TUNEWRIGHT_REGISTRY_DIR", (blocker + "/reg").c_str(), 1);
    Registry reg(RegistryRoot::ClassesRoot);
    EXPECT_FALSE(reg.writable());
    EXPECT_FALSE(reg.createKey(".MP3"));
    EXPECT_FALSE(reg.keyExists(".MP3"));
}

TEST_F(RegistryStore, ReadOnlyRootFileIsNeverReplaced) {
    Registry reg(RegistryRoot::ClassesRoot);
    ASSERT_TRUE(reg.createKey(".WAV"));
    std::string before = testenv::readFile(reg.file());
    ASSERT_EQ(chmod(reg.file().c_str(), 0444), 0);
    EXPECT_FALSE(reg.writable());
    EXPECT_FALSE(reg.createKey(".MP3"));
    EXPECT_FALSE(reg.writeString(".WAV", "", "WaveForm.File"));
    EXPECT_FALSE(reg.deleteKey(".WAV"));
    EXPECT_EQ(testenv::readFile(reg.file()), before);
}

TEST_F(RegistryStore, ProcessesWritingAtOnceLoseNothing) {
    Registry reg(RegistryRoot::CurrentUser);
    ASSERT_TRUE(reg.createKey("Shared"));
    std::vector<pid_t> children;
    for (int c = 0; c < 4; ++c) {
        pid_t pid = fork();
        if (pid == 0) {
            Registry mine(RegistryRoot::CurrentUser);
            bool ok = true;
            for (int i = 0; i < 25; ++i) {
                ok = mine.writeInteger("Shared", "v" + std::to_string(c) + "_" + std::to_string(i), i) && ok;
            }
            _exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int c = 0; c < 4; ++c) {
        for (int i = 0; i < 25; ++i) {
            EXPECT_EQ(reg.readInteger("Shared", "v" + std::to_string(c) + "_" + std::to_string(i)), i);
        }
    }
}

TEST_F(RegistryStore, AWriterKilledMidRewriteLeavesNoTemporaryForGood) {
    Registry reg(RegistryRoot::CurrentUser);
    ASSERT_TRUE(reg.createKey("K"));
    const std::string dir = parentDir(reg.file());
    auto temporaries = [&] {
        std::vector<std::string> hidden;
        for (const std::string& name : testenv::listDir(dir)) {
            if (name[0] == '.') {
                hidden.push_back(name);
            }
        }
        return hidden;
    };
    // The file-size limit kills the writer in the middle of writing its temporary
    // (SIGXFSZ's default action), as a kill -9 would.
    const pid_t child = fork();
    if (child == 0) {
        const rlimit noCore{0, 0};
        const rlimit size{4096, 4096};
        setrlimit(RLIMIT_CORE, &noCore);
        setrlimit(RLIMIT_FSIZE, &size);
        signal(SIGXFSZ, SIG_DFL);
        Registry(RegistryRoot::CurrentUser).writeString("K", "Big", std::string(65536, 'x'));
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
    ASSERT_EQ(temporaries().size(), 1u) << "the killed writer left its temporary";
    // A writer that still runs keeps its own.
    const std::string live =
        "." + fileName(reg.file()) + "-" + std::to_string(getpid()) + "-Ab12Cd";
    testenv::writeFile(dir + "/" + live, "");

    ASSERT_TRUE(reg.writeString("K", "Small", "v"));
    EXPECT_EQ(temporaries(), std::vector<std::string>{live});
    EXPECT_EQ(reg.readString("K", "Big"), std::nullopt);
}

TEST_F(RegistryStore, RootThatIsALinkIsReadAndWrittenThroughIt) {
    // A dotfile manager keeps the real file elsewhere and links it into place.
    const std::string managed = testenv::makeDir("dotfiles") + "/user.json";
    Registry reg(RegistryRoot::CurrentUser);
    ASSERT_TRUE(reg.createKey("Software\\Linked"));
    ASSERT_TRUE(reg.writeString("Software\\Linked", "Kept", "before"));
    ASSERT_EQ(rename(reg.file().c_str(), managed.c_str()), 0);
    ASSERT_EQ(chmod(managed.c_str(), 0600), 0);
    ASSERT_EQ(symlink(managed.c_str(), reg.file().c_str()), 0);

    EXPECT_EQ(reg.readString("Software\\Linked", "Kept"), "before");
    EXPECT_TRUE(reg.writable());
    ASSERT_TRUE(reg.writeInteger("Software\\Linked", "Added", 5));
    struct stat link {}, target{};
    ASSERT_EQ(lstat(reg.file().c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode)) << "the link stays a link";
    ASSERT_EQ(stat(managed.c_str(), &target), 0);
    EXPECT_EQ(target.st_mode & 07777, 0600u) << "a write keeps the file's mode";
    EXPECT_NE(testenv::readFile(managed).find("Added"), std::string::npos);
    EXPECT_EQ(Registry(RegistryRoot::CurrentUser).readInteger("Software\\Linked", "Added"), 5);
    EXPECT_EQ(reg.snapshot().readString("Software\\Linked", "Kept"), "before");
}

TEST_F(RegistryStore, HexValueWithOtherCharactersIsInvalid) {
    Registry reg(RegistryRoot::CurrentUser);
    auto root = [](const std::string& hex) {
        return "{\"keys\": {\"k\": {\"name\": \"K\", \"values\": {\"v\": {\"name\": \"V\", "
               "\"type\": \"REG_SZ\", \"hex\": \"" +
               hex + "\"}}}}}";
    };
    testenv::writeFile(reg.file(), root("2f6de9"));
    EXPECT_EQ(reg.readString("K", "V"), "/m\xe9");
    for (const char* damaged : {"2f6dzz", "2f 6d", "2f6", "0x2f"}) {
        EXPECT_EQ(RegistrySnapshot::parse(root(damaged)).readString("K", "V"), std::nullopt)
            << damaged;
    }
}
