#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QStandardPaths>
#include <QThread>
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "FakeServices.h"
#include "TestEnv.h"
#include "platform/Registry.h"
#include "settings/ContextMenus.h"
#include "settings/ShellAssociation.h"

using platform::Registry;
using platform::RegistryRoot;

namespace {

const char* kRightsText = "You don't have enought rights to write CLASSES_ROOT registry. Please "
                          "contact your system administrator.";
const char* kDecodeMenu = "kio/servicemenus/mp3tunewright-decode-to-wave.desktop";
const char* kCompressMenu = "kio/servicemenus/mp3tunewright-compress-to-mp3.desktop";
const char* kDecodeScript = "nautilus/scripts/Decode to WAVE";

std::string selfPath() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string quotedCommand(const std::string& executable) {
    return "\"" + executable + "\" \"%1\"";
}

std::string envOrEmpty(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Each test gets its own registry root and data folder, so associations made by
// one test never satisfy the next.
class ShellAssociation : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : kSavedVariables) {
            saved.push_back(envOrEmpty(name));
        }
        static int counter = 0;
        base = testenv::makeDir("shell-" + std::to_string(++counter));
        useFolders(base + "/registry", base + "/data");
        // No Thunar here unless a test puts its default file in place.
        setenv("XDG_CONFIG_HOME", (base + "/config").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (base + "/xdg").c_str(), 1);
    }

    void TearDown() override {
        for (size_t i = 0; i < saved.size(); ++i) {
            setenv(kSavedVariables[i], saved[i].c_str(), 1);
        }
    }

    void useFolders(const std::string& registryDir, const std::string& dataHome) {
        setenv("TUNEWRIGHT_REGISTRY_DIR", registryDir.c_str(), 1);
        setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
        data = dataHome;
        applications = dataHome + "/applications";
    }

    std::string action(const char* relative) const { return data + "/" + relative; }

    // Every file an association writes.
    static std::vector<std::string> actionFiles() {
        std::vector<std::string> files;
        for (const auto& format : settings::MenuFormats()) {
            for (const std::string& file : format->files()) {
                files.push_back(file);
            }
        }
        return files;
    }

    Registry classes() const { return Registry(RegistryRoot::ClassesRoot); }

    std::string mp3Command(const std::string& fileClass) const {
        return classes()
            .readString(fileClass + "\\shell\\Decode to WAVE\\command", "")
            .value_or("<absent>");
    }
    std::string wavCommand(const std::string& fileClass) const {
        return classes()
            .readString(fileClass + "\\shell\\Compress to MP3\\command", "")
            .value_or("<absent>");
    }

    std::vector<platform::MessageBoxRequest>& boxes() { return services.dialogs->shown; }

    static constexpr const char* kSavedVariables[] = {"TUNEWRIGHT_REGISTRY_DIR", "XDG_DATA_HOME",
                                                      "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS"};
    testenv::FakeServices services;
    std::vector<std::string> saved;
    std::string base;
    std::string data;
    std::string applications;
    const std::string self = selfPath();
};

TEST_F(ShellAssociation, FreshSystemIsAssociatedOnceWithMessage) {
    EXPECT_FALSE(settings::IsShellAssociated());

    settings::ShellAssociationDialogue();

    ASSERT_EQ(boxes().size(), 1u);
    EXPECT_EQ(boxes()[0].text, "Tunewright is now associated with MP3 and WAV files");
    EXPECT_EQ(boxes()[0].caption, "OK");
    EXPECT_EQ(boxes()[0].icon, platform::Icon::Information);
    EXPECT_EQ(boxes()[0].buttons, unsigned(platform::Ok));

    EXPECT_EQ(classes().readString(".MP3", ""), "MPEGLayer3.File");
    EXPECT_EQ(classes().readString(".WAV", ""), "WaveForm.File");
    EXPECT_EQ(mp3Command("MPEGLayer3.File"), quotedCommand(self));
    EXPECT_EQ(wavCommand("WaveForm.File"), quotedCommand(self));
    // The class keys get the verb subtree and nothing else.
    EXPECT_EQ(classes().subKeys("MPEGLayer3.File").size(), 1u);
    EXPECT_EQ(classes().subKeys("MPEGLayer3.File\\shell").size(), 1u);
    EXPECT_FALSE(classes().valueType("MPEGLayer3.File", "").has_value());

    // Every file manager's actions, all pointing at the launcher script, which
    // holds the program's path; nothing in "Open With".
    for (const std::string& file : actionFiles()) {
        EXPECT_TRUE(testenv::fileExists(file)) << file;
    }
    EXPECT_EQ(actionFiles().size(), 11u);
    EXPECT_TRUE(contains(testenv::readFile(settings::MenuLauncherPath()),
                         "\nprogram=" + settings::ShellQuote(self) + "\n"));
    EXPECT_TRUE(contains(testenv::readFile(action(kDecodeMenu)),
                         "\nMimeType=audio/mpeg;inode/directory;\n"));
    EXPECT_TRUE(contains(testenv::readFile(action(kCompressMenu)), "\nMimeType=audio/x-wav;"));
    EXPECT_FALSE(testenv::fileExists(applications));

    EXPECT_TRUE(settings::IsShellAssociated());
    settings::ShellAssociationDialogue();
    EXPECT_EQ(boxes().size(), 1u);
}

TEST_F(ShellAssociation, OpenWithEntriesOfEarlierVersionsAreRemoved) {
    // Earlier versions registered the verbs for the MIME types in "Open With",
    // where they could become the default opener; a user's own file by the same
    // name that is no such entry stays.
    const std::string old = applications + "/mp3tunewright-decode-to-wave.desktop";
    const std::string users = applications + "/mp3tunewright-compress-to-mp3.desktop";
    ASSERT_EQ(testenv::run("mkdir -p '" + applications + "'"), 0);
    testenv::writeFile(old, "[Desktop Entry]\nType=Application\nName=Decode to WAVE\n"
                            "Exec=\"/opt/tw/mp3tunewright\" %f\nMimeType=audio/mpeg;\n");
    testenv::writeFile(users, "[Desktop Entry]\nType=Application\nName=My own\nExec=me\n");
    settings::AssociateShell();
    EXPECT_TRUE(settings::IsShellAssociated());
    EXPECT_FALSE(testenv::fileExists(old));
    EXPECT_TRUE(testenv::fileExists(users));

    testenv::writeFile(old, "[Desktop Entry]\nType=Application\nName=Decode to WAVE\n"
                            "Exec=\"/opt/tw/mp3tunewright\" %f\nMimeType=audio/mpeg;\n");
    EXPECT_FALSE(settings::IsShellAssociated());
    EXPECT_TRUE(settings::DeassociateShell());
    EXPECT_FALSE(testenv::fileExists(old));
    EXPECT_TRUE(testenv::fileExists(users));
}

TEST_F(ShellAssociation, ExtensionOfAnotherClassKeepsItsClass) {
    ASSERT_TRUE(classes().createKey(".mp3"));
    ASSERT_TRUE(classes().writeString(".mp3", "", "Player.AssocFile.MP3"));
    ASSERT_TRUE(classes().createKey("Player.AssocFile.MP3\\shell\\open\\command"));
    ASSERT_TRUE(
        classes().writeString("Player.AssocFile.MP3\\shell\\open\\command", "", "player \"%1\""));
    // An extension key whose class is empty gets the program's own class.
    ASSERT_TRUE(classes().createKey(".WAV"));
    ASSERT_TRUE(classes().writeString(".WAV", "", ""));

    settings::ShellAssociationDialogue();

    EXPECT_EQ(classes().readString(".MP3", ""), "Player.AssocFile.MP3");
    EXPECT_EQ(mp3Command("Player.AssocFile.MP3"), quotedCommand(self));
    EXPECT_EQ(classes().readString("Player.AssocFile.MP3\\shell\\open\\command", ""),
              "player \"%1\"");
    EXPECT_FALSE(classes().keyExists("MPEGLayer3.File"));
    EXPECT_EQ(classes().readString(".WAV", ""), "WaveForm.File");
    EXPECT_EQ(wavCommand("WaveForm.File"), quotedCommand(self));
    EXPECT_TRUE(settings::IsShellAssociated());
}

TEST_F(ShellAssociation, MovedExecutableIsRewrittenEverywhere) {
    const std::string old = "/opt/old place/mp3tunewright";
    settings::AssociateShell(old);
    EXPECT_TRUE(settings::IsShellAssociated(old));
    EXPECT_FALSE(settings::IsShellAssociated());

    settings::ShellAssociationDialogue();

    ASSERT_EQ(boxes().size(), 1u);
    EXPECT_EQ(boxes()[0].text, "Tunewright is now associated with MP3 and WAV files");
    EXPECT_EQ(mp3Command("MPEGLayer3.File"), quotedCommand(self));
    EXPECT_EQ(wavCommand("WaveForm.File"), quotedCommand(self));
    for (const std::string& file : actionFiles()) {
        EXPECT_FALSE(contains(testenv::readFile(file), old)) << file;
    }
    EXPECT_TRUE(settings::IsShellAssociated());
}

TEST_F(ShellAssociation, CommandDifferingOnlyInCaseCountsAsMissing) {
    settings::AssociateShell();
    std::string shouted = quotedCommand(self);
    std::transform(shouted.begin(), shouted.end(), shouted.begin(), ::toupper);
    ASSERT_NE(shouted, quotedCommand(self));
    ASSERT_TRUE(
        classes().writeString("MPEGLayer3.File\\shell\\Decode to WAVE\\command", "", shouted));
    EXPECT_FALSE(settings::IsShellAssociated());

    settings::ShellAssociationDialogue();
    EXPECT_EQ(boxes().size(), 1u);
    EXPECT_EQ(mp3Command("MPEGLayer3.File"), quotedCommand(self));
}

TEST_F(ShellAssociation, OnlyTheWavVerbMissingRewritesBoth) {
    settings::AssociateShell();
    ASSERT_TRUE(classes().deleteKey("WaveForm.File\\shell\\Compress to MP3"));
    EXPECT_FALSE(settings::IsShellAssociated());

    settings::ShellAssociationDialogue();
    EXPECT_EQ(boxes().size(), 1u);
    EXPECT_EQ(mp3Command("MPEGLayer3.File"), quotedCommand(self));
    EXPECT_EQ(wavCommand("WaveForm.File"), quotedCommand(self));
    EXPECT_TRUE(settings::IsShellAssociated());
}

TEST_F(ShellAssociation, EditedDeletedOrNonExecutableActionsAreWrittenAgain) {
    settings::AssociateShell();
    std::string original = testenv::readFile(action(kCompressMenu));
    ASSERT_EQ(unlink(action(kDecodeMenu).c_str()), 0);
    EXPECT_FALSE(settings::IsShellAssociated());

    settings::AssociateShell();
    EXPECT_TRUE(settings::IsShellAssociated());
    testenv::writeFile(action(kCompressMenu), original + "X-Edited=true\n");
    EXPECT_FALSE(settings::IsShellAssociated());

    settings::ShellAssociationDialogue();
    EXPECT_EQ(boxes().size(), 1u);
    EXPECT_EQ(testenv::readFile(action(kCompressMenu)), original);
    EXPECT_TRUE(settings::IsShellAssociated());

    // A script that lost its execute bit is not offered by the file manager.
    ASSERT_EQ(chmod(action(kDecodeScript).c_str(), 0644), 0);
    EXPECT_FALSE(settings::IsShellAssociated());
    settings::AssociateShell();
    struct stat st {};
    ASSERT_EQ(stat(action(kDecodeScript).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST_F(ShellAssociation, RemovalThenRestartAssociatesAgain) {
    settings::AssociateShell();
    services.dialogs->answer(platform::Ok);

    settings::ShellRemovalDialogue();

    ASSERT_EQ(boxes().size(), 2u);
    EXPECT_EQ(boxes()[0].text, "Are you sure ? You will be unable to convert files from "
                               "Window's Explorer popup menu after this procedure.");
    EXPECT_EQ(boxes()[0].caption, "Sure ?");
    EXPECT_EQ(boxes()[0].icon, platform::Icon::Question);
    EXPECT_EQ(boxes()[0].buttons, unsigned(platform::Ok | platform::Cancel));
    EXPECT_EQ(boxes()[1].text, "Shell association removed successfully");
    EXPECT_EQ(boxes()[1].caption, "Success");
    EXPECT_EQ(boxes()[1].icon, platform::Icon::None);

    // The verbs and the entries go; the extensions, classes and "shell" keys stay.
    EXPECT_FALSE(classes().keyExists("MPEGLayer3.File\\shell\\Decode to WAVE"));
    EXPECT_FALSE(classes().keyExists("WaveForm.File\\shell\\Compress to MP3"));
    EXPECT_TRUE(classes().keyExists("MPEGLayer3.File\\shell"));
    EXPECT_TRUE(classes().keyExists("WaveForm.File\\shell"));
    EXPECT_EQ(classes().readString(".MP3", ""), "MPEGLayer3.File");
    EXPECT_EQ(classes().readString(".WAV", ""), "WaveForm.File");
    for (const std::string& file : actionFiles()) {
        EXPECT_FALSE(testenv::fileExists(file)) << file;
    }
    EXPECT_FALSE(settings::IsShellAssociated());

    settings::ShellAssociationDialogue();
    ASSERT_EQ(boxes().size(), 3u);
    EXPECT_EQ(boxes()[2].text, "Tunewright is now associated with MP3 and WAV files");
    EXPECT_TRUE(settings::IsShellAssociated());
}

TEST_F(ShellAssociation, RemovalCancelledChangesNothing) {
    settings::AssociateShell();
    services.dialogs->answer(platform::Cancel);
    settings::ShellRemovalDialogue();
    EXPECT_EQ(boxes().size(), 1u);
    EXPECT_TRUE(settings::IsShellAssociated());
}

TEST_F(ShellAssociation, RemovalAfterMp3ChangedClassFailsAndKeepsTheOldVerb) {
    settings::AssociateShell();
    ASSERT_TRUE(classes().writeString(".MP3", "", "OtherPlayer.File"));
    services.dialogs->answer(platform::Ok);

    settings::ShellRemovalDialogue();

    ASSERT_EQ(boxes().size(), 2u);
    EXPECT_EQ(boxes()[1].text, "Failed to remove shell association");
    EXPECT_EQ(boxes()[1].caption, "Error");
    EXPECT_EQ(boxes()[1].icon, platform::Icon::Error);
    EXPECT_EQ(mp3Command("MPEGLayer3.File"), quotedCommand(self));
    EXPECT_FALSE(classes().keyExists("WaveForm.File\\shell\\Compress to MP3"));
    EXPECT_EQ(classes().readString(".MP3", ""), "OtherPlayer.File");
}

TEST_F(ShellAssociation, RemovalRemovesVerbsPointingToOtherPrograms) {
    settings::AssociateShell("/usr/bin/some-other-program");
    EXPECT_TRUE(settings::DeassociateShell());
    EXPECT_FALSE(classes().keyExists("MPEGLayer3.File\\shell\\Decode to WAVE"));
    EXPECT_FALSE(classes().keyExists("WaveForm.File\\shell\\Compress to MP3"));
}

TEST_F(ShellAssociation, RemovalLeavesReadOnlyFilesAloneAndFails) {
    settings::AssociateShell();
    std::string file = classes().file();
    std::string before = testenv::readFile(file);
    ASSERT_EQ(chmod(file.c_str(), 0444), 0);
    ASSERT_EQ(chmod(action(kDecodeMenu).c_str(), 0444), 0);

    EXPECT_FALSE(settings::DeassociateShell());

    EXPECT_EQ(testenv::readFile(file), before);
    EXPECT_TRUE(testenv::fileExists(action(kDecodeMenu)));
    EXPECT_FALSE(testenv::fileExists(action(kCompressMenu)));
    chmod(file.c_str(), 0644);
    chmod(action(kDecodeMenu).c_str(), 0644);
}

TEST_F(ShellAssociation, ReadOnlyClassesRootShowsRightsMessageAndWritesNothing) {
    ASSERT_TRUE(classes().createKey("Unrelated"));
    std::string file = classes().file();
    std::string before = testenv::readFile(file);
    ASSERT_EQ(chmod(file.c_str(), 0444), 0);

    settings::ShellAssociationDialogue();

    ASSERT_EQ(boxes().size(), 1u);
    EXPECT_EQ(boxes()[0].text, kRightsText);
    EXPECT_EQ(boxes()[0].caption, "Error");
    EXPECT_EQ(boxes()[0].icon, platform::Icon::Error);
    EXPECT_EQ(testenv::readFile(file), before);
    for (const std::string& path : actionFiles()) {
        EXPECT_FALSE(testenv::fileExists(path)) << path;
    }
    chmod(file.c_str(), 0644);
}

TEST_F(ShellAssociation, UnwritableFoldersShowRightsMessageAndWriteNothing) {
    // Paths below a regular file cannot be created, not even by root.
    testenv::writeFile(base + "/plain-file", "x");
    struct Case {
        const char* name;
        std::string registryDir;
        std::string dataHome;
    };
    const Case cases[] = {
        {"classes root", base + "/plain-file/registry", base + "/data1"},
        {"action folders", base + "/registry2", base + "/plain-file/data"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        useFolders(c.registryDir, c.dataHome);
        boxes().clear();
        EXPECT_FALSE(settings::CanWriteClassesRoot());
        ASSERT_EQ(boxes().size(), 1u);
        EXPECT_EQ(boxes()[0].text, kRightsText);
        EXPECT_FALSE(testenv::fileExists(classes().file()));
        EXPECT_FALSE(testenv::fileExists(action(kDecodeMenu)));
    }
}

TEST_F(ShellAssociation, ActionThatCannotBeReplacedShowsRightsMessage) {
    // A folder in the action's place, and an action the user made read-only.
    ASSERT_EQ(testenv::run("mkdir -p '" + action(kDecodeMenu) + "'"), 0);
    EXPECT_FALSE(settings::CanWriteClassesRoot());
    ASSERT_EQ(rmdir(action(kDecodeMenu).c_str()), 0);

    testenv::writeFile(action(kCompressMenu), "[Desktop Entry]\nType=Service\n");
    ASSERT_EQ(chmod(action(kCompressMenu).c_str(), 0444), 0);
    EXPECT_FALSE(settings::CanWriteClassesRoot());
    ASSERT_EQ(boxes().size(), 2u);
    EXPECT_EQ(boxes()[1].text, kRightsText);
    EXPECT_FALSE(classes().keyExists(".MP3"));

    ASSERT_EQ(chmod(action(kCompressMenu).c_str(), 0644), 0);
    EXPECT_TRUE(settings::CanWriteClassesRoot());
    // The probe leaves an empty extension key behind.
    EXPECT_TRUE(classes().keyExists(".MP3"));
    EXPECT_FALSE(classes().valueType(".MP3", "").has_value());
}

TEST_F(ShellAssociation, FailedWriteAfterRightsTestIsAnErrorAndLeavesItIncomplete) {
    testenv::writeFile(base + "/plain-file", "x");
    useFolders(base + "/registry", base + "/plain-file/data");
    EXPECT_THROW(settings::AssociateShell(), settings::ShellAssociationError);
    // The registry half was written; the next check still finds it incomplete.
    EXPECT_EQ(mp3Command("MPEGLayer3.File"), quotedCommand(self));
    EXPECT_FALSE(settings::IsShellAssociated());
}

TEST(MenuQuoting, EachFormatsQuotingKeepsEveryByte) {
    struct Row {
        const char* text;
        const char* shell;
        const char* exec;
        const char* keyFile;
        const char* xml;
    };
    const Row rows[] = {
        {"/opt/tw", "'/opt/tw'", R"("/opt/tw")", "/opt/tw", "/opt/tw"},
        {"/a b/it's", R"('/a b/it'\''s')", R"("/a b/it's")", "/a b/it's", "/a b/it&apos;s"},
        {"/100%/$x/`y`", "'/100%/$x/`y`'", R"("/100%%/\$x/\`y\`")", "/100%/$x/`y`", "/100%/$x/`y`"},
        {R"(/a"b\c)", R"('/a"b\c')", R"("/a\"b\\c")", R"(/a"b\\c)", R"(/a&quot;b\c)"},
        {" lead<&>", "' lead<&>'", R"(" lead<&>")", R"(\slead<&>)", " lead&lt;&amp;&gt;"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(settings::ShellQuote(row.text), row.shell) << row.text;
        EXPECT_EQ(settings::ExecQuote(row.text), row.exec) << row.text;
        EXPECT_EQ(settings::KeyFileValue(row.text), row.keyFile) << row.text;
        EXPECT_EQ(settings::XmlEscape(row.text), row.xml) << row.text;
    }
    EXPECT_TRUE(settings::IsValidUtf8("caf\xc3\xa9"));
    EXPECT_FALSE(settings::IsValidUtf8("caf\xe9"));
}

} // namespace
