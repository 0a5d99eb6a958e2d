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
#include "settings/ShellAssociation.h"

using platform::Registry;
using platform::RegistryRoot;

namespace {

const char* kRightsText = "You don't have enought rights to write CLASSES_ROOT registry. Please "
                          "contact your system administrator.";
const char* kDecodeEntry = "mp3tunewright-decode-to-wave.desktop";
const char* kCompressEntry = "mp3tunewright-compress-to-mp3.desktop";

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
        savedRegistryDir = envOrEmpty("TUNEWRIGHT_REGISTRY_DIR");
        savedDataHome = envOrEmpty("XDG_DATA_HOME");
        static int counter = 0;
        base = testenv::makeDir("shell-" + std::to_string(++counter));
        useFolders(base + "/registry", base + "/data");
    }

    void TearDown() override {
        setenv("TUNEWRIGHT_REGISTRY_DIR", savedRegistryDir.c_str(), 1);
        setenv("XDG_DATA_HOME", savedDataHome.c_str(), 1);
    }

    void useFolders(const std::string& registryDir, const std::string& dataHome) {
        setenv("TUNEWRIGHT_REGISTRY_DIR", registryDir.c_str(), 1);
        setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
        applications = dataHome + "/applications";
    }

    std::string entry(const char* name) const { return applications + "/" + name; }

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

    // desktop-file-validate prints nothing and exits 0 for a clean entry.
    void expectValidEntry(const std::string& path) {
        std::string report = base + "/validate.txt";
        int status = testenv::run("desktop-file-validate '" + path + "' > '" + report + "' 2>&1");
        EXPECT_EQ(status, 0) << testenv::readFile(report);
        EXPECT_EQ(testenv::readFile(report), "");
    }

    std::vector<platform::MessageBoxRequest>& boxes() { return services.dialogs->shown; }

    testenv::FakeServices services;
    std::string savedRegistryDir;
    std::string savedDataHome;
    std::string base;
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

    std::string decode = testenv::readFile(entry(kDecodeEntry));
    std::string compress = testenv::readFile(entry(kCompressEntry));
    EXPECT_TRUE(contains(decode, "\nName=Decode to WAVE\n"));
    EXPECT_TRUE(contains(decode, "\nMimeType=audio/mpeg;\n"));
    EXPECT_TRUE(contains(decode, "\nExec=\"" + self + "\" %f\n"));
    EXPECT_TRUE(contains(compress, "\nName=Compress to MP3\n"));
    EXPECT_TRUE(contains(compress, "\nMimeType=audio/x-wav;audio/wav;audio/vnd.wave;\n"));
    EXPECT_TRUE(contains(compress, "\nExec=\"" + self + "\" %f\n"));
    expectValidEntry(entry(kDecodeEntry));
    expectValidEntry(entry(kCompressEntry));

    EXPECT_TRUE(settings::IsShellAssociated());
    settings::ShellAssociationDialogue();
    EXPECT_EQ(boxes().size(), 1u);
}

TEST_F(ShellAssociation, MimeCacheOffersBothCommandsUntilRemoval) {
    if (QStandardPaths::findExecutable("update-desktop-database").isEmpty()) {
        GTEST_SKIP() << "update-desktop-database is not installed";
    }
    settings::AssociateShell();
    std::string cache = testenv::readFile(applications + "/mimeinfo.cache");
    EXPECT_TRUE(contains(cache, "audio/mpeg=" + std::string(kDecodeEntry) + ";")) << cache;
    for (const char* type : {"audio/x-wav", "audio/wav", "audio/vnd.wave"}) {
        EXPECT_TRUE(contains(cache, std::string(type) + "=" + kCompressEntry + ";")) << cache;
    }

    EXPECT_TRUE(settings::DeassociateShell());
    cache = testenv::readFile(applications + "/mimeinfo.cache");
    EXPECT_FALSE(contains(cache, "mp3tunewright")) << cache;
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
    EXPECT_FALSE(contains(testenv::readFile(entry(kDecodeEntry)), old));
    EXPECT_FALSE(contains(testenv::readFile(entry(kCompressEntry)), old));
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

TEST_F(ShellAssociation, EditedOrDeletedDesktopEntriesAreWrittenAgain) {
    settings::AssociateShell();
    std::string original = testenv::readFile(entry(kCompressEntry));
    ASSERT_EQ(unlink(entry(kDecodeEntry).c_str()), 0);
    EXPECT_FALSE(settings::IsShellAssociated());

    settings::AssociateShell();
    EXPECT_TRUE(settings::IsShellAssociated());
    testenv::writeFile(entry(kCompressEntry), original + "X-Edited=true\n");
    EXPECT_FALSE(settings::IsShellAssociated());

    settings::ShellAssociationDialogue();
    EXPECT_EQ(boxes().size(), 1u);
    EXPECT_EQ(testenv::readFile(entry(kCompressEntry)), original);
    EXPECT_TRUE(settings::IsShellAssociated());
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
    EXPECT_FALSE(testenv::fileExists(entry(kDecodeEntry)));
    EXPECT_FALSE(testenv::fileExists(entry(kCompressEntry)));
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
    ASSERT_EQ(chmod(entry(kDecodeEntry).c_str(), 0444), 0);

    EXPECT_FALSE(settings::DeassociateShell());

    EXPECT_EQ(testenv::readFile(file), before);
    EXPECT_TRUE(testenv::fileExists(entry(kDecodeEntry)));
    EXPECT_FALSE(testenv::fileExists(entry(kCompressEntry)));
    chmod(file.c_str(), 0644);
    chmod(entry(kDecodeEntry).c_str(), 0644);
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
    EXPECT_FALSE(testenv::fileExists(entry(kDecodeEntry)));
    EXPECT_FALSE(testenv::fileExists(entry(kCompressEntry)));
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
        {"applications", base + "/registry2", base + "/plain-file/data"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        useFolders(c.registryDir, c.dataHome);
        boxes().clear();
        EXPECT_FALSE(settings::CanWriteClassesRoot());
        ASSERT_EQ(boxes().size(), 1u);
        EXPECT_EQ(boxes()[0].text, kRightsText);
        EXPECT_FALSE(testenv::fileExists(classes().file()));
        EXPECT_FALSE(testenv::fileExists(entry(kDecodeEntry)));
    }
}

TEST_F(ShellAssociation, EntryThatCannotBeReplacedShowsRightsMessage) {
    // A folder in the entry's place, and an entry the user made read-only.
    ASSERT_EQ(testenv::run("mkdir -p '" + entry(kDecodeEntry) + "'"), 0);
    EXPECT_FALSE(settings::CanWriteClassesRoot());
    ASSERT_EQ(rmdir(entry(kDecodeEntry).c_str()), 0);

    testenv::writeFile(entry(kCompressEntry), "[Desktop Entry]\nType=Application\n");
    ASSERT_EQ(chmod(entry(kCompressEntry).c_str(), 0444), 0);
    EXPECT_FALSE(settings::CanWriteClassesRoot());
    ASSERT_EQ(boxes().size(), 2u);
    EXPECT_EQ(boxes()[1].text, kRightsText);
    EXPECT_FALSE(classes().keyExists(".MP3"));

    ASSERT_EQ(chmod(entry(kCompressEntry).c_str(), 0644), 0);
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

TEST(DesktopExecLine, QuotesThePathAndLeavesTheFieldCodeBare) {
    struct Row {
        const char* path;
        const char* exec;
    };
    const Row rows[] = {
        {"/opt/tw/mp3tunewright", R"("/opt/tw/mp3tunewright" %f)"},
        {"/opt/my apps/tw", R"("/opt/my apps/tw" %f)"},
        {"/opt/100%/tw", R"("/opt/100%%/tw" %f)"},
        {"/opt/a\"b/tw", R"("/opt/a\\"b/tw" %f)"},
        {"/opt/a\\b/tw", R"("/opt/a\\\\b/tw" %f)"},
        {"/opt/$HOME/tw", R"("/opt/\\$HOME/tw" %f)"},
        {"/opt/a`b/tw", R"("/opt/a\\`b/tw" %f)"},
        {"/opt/it's;(x)/tw", R"("/opt/it's;(x)/tw" %f)"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(settings::DesktopExecLine(row.path), row.exec) << row.path;
    }
}

TEST_F(ShellAssociation, EntriesForAnAwkwardPathAreOfferedAndLaunchOneProcessPerFile) {
    // A stand-in executable in a folder whose name needs every kind of escaping;
    // it logs its argument count and first argument.
    std::string dir = base + "/we ird \"quoted\" $dollar \\back `tick` it's";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    std::string program = dir + "/tw";
    std::string log = base + "/launches.txt";
    testenv::writeFile(program, "#!/bin/sh\nprintf '%s:%s\\n' \"$#\" \"$1\" >> '" + log + "'\n");
    ASSERT_EQ(chmod(program.c_str(), 0755), 0);

    settings::AssociateShell(program);
    expectValidEntry(entry(kDecodeEntry));
    expectValidEntry(entry(kCompressEntry));
    EXPECT_TRUE(settings::IsShellAssociated(program));

    if (QStandardPaths::findExecutable("gio").isEmpty()) {
        GTEST_SKIP() << "gio is not installed; the entries were only validated";
    }
    // GIO reads the entries as GTK file managers do: each is registered for its
    // types, so "Open With" offers it ...
    struct Offer {
        const char* type;
        const char* entry;
    };
    for (Offer offer : {Offer{"audio/mpeg", kDecodeEntry}, Offer{"audio/x-wav", kCompressEntry},
                        Offer{"audio/vnd.wave", kCompressEntry}}) {
        std::string listing = base + "/mime.txt";
        ASSERT_EQ(testenv::run("XDG_DATA_DIRS='" + base + "/none' timeout 20 gio mime " +
                               offer.type + " > '" + listing + "' 2>&1"),
                  0);
        std::string text = testenv::readFile(listing);
        EXPECT_TRUE(contains(text, "Registered applications:\n\t" + std::string(offer.entry)))
            << text;
    }
    // ... and two selected files start two processes with one file each.
    std::string a = base + "/a song.mp3";
    std::string b = base + "/b.mp3";
    ASSERT_EQ(testenv::run("timeout 20 gio launch '" + entry(kDecodeEntry) + "' '" + a + "' '" + b +
                           "' > /dev/null 2>&1"),
              0);
    QElapsedTimer waited;
    waited.start();
    std::string lines;
    while (waited.elapsed() < 10000) {
        lines = testenv::readFile(log);
        if (std::count(lines.begin(), lines.end(), '\n') >= 2) {
            break;
        }
        QThread::msleep(20);
    }
    EXPECT_TRUE(contains(lines, "1:" + a + "\n")) << lines;
    EXPECT_TRUE(contains(lines, "1:" + b + "\n")) << lines;
}

TEST_F(ShellAssociation, EntriesWithPercentInThePathValidate) {
    settings::AssociateShell("/opt/100% pure/mp3tunewright");
    expectValidEntry(entry(kDecodeEntry));
    EXPECT_TRUE(contains(testenv::readFile(entry(kDecodeEntry)),
                         "\nExec=\"/opt/100%% pure/mp3tunewright\" %f\n"));
}

} // namespace
