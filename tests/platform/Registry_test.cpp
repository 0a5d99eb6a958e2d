#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestEnv.h"
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

TEST_F(RegistryStore, UnparsableFileIsKeptAsideAndReadsEmpty) {
    Registry reg(RegistryRoot::CurrentUser);
    ASSERT_TRUE(reg.createKey("Software"));
    testenv::writeFile(reg.file(), "{ not json");
    EXPECT_FALSE(reg.keyExists("Software"));
    ASSERT_TRUE(reg.createKey("Software\\New"));
    EXPECT_TRUE(reg.keyExists("Software\\New"));
    std::string dir = reg.file().substr(0, reg.file().rfind('/'));
    EXPECT_EQ(testenv::run("grep -l 'not json' '" + dir + "'/*.broken-* >/dev/null"), 0)
        << "the damaged file must be kept";
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
