// The Debian package as a user gets it: its name and control data, its file
// list, and its files unpacked into a temporary root, checked by the desktop's own
// validators and by converting a WAV with the unpacked program.

#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <regex>
#include <sstream>

#include "TestEnv.h"
#include "e2e_support.h"
#include "tests/app/audio_check.h"

namespace {

const std::string kId = "io.github.tunewright.MP3Tunewright";
const int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

Result shell(const std::string& command) {
    static int counter = 0;
    const std::string base = testenv::root() + "shell-" + std::to_string(++counter);
    Result r;
    r.status = testenv::run("(" + command + ") >'" + base + ".out' 2>'" + base + ".err'");
    r.out = testenv::readFile(base + ".out");
    r.err = testenv::readFile(base + ".err");
    return r;
}

using testenv::listDir;

// The one package scripts/package left in the package folder.
std::string package() {
    const std::string found = shell("ls " TW_TEST_PACKAGE_DIR "/*.deb").out;
    EXPECT_EQ(std::count(found.begin(), found.end(), '\n'), 1) << found;
    return found.substr(0, found.find('\n'));
}

// The package unpacked once with dpkg-deb -x; the root, with a trailing '/'.
const std::string& unpacked() {
    static const std::string root = [] {
        const std::string dir = testenv::makeDir("unpacked") + "/";
        Result r = shell("dpkg-deb -x " + apptest::quoted(package()) + " " + apptest::quoted(dir));
        EXPECT_EQ(r.status, 0) << r.err;
        return dir;
    }();
    return root;
}

// The path and type of every entry of `dpkg-deb -c`: "d", "-" or "l -> target".
std::map<std::string, std::string> contents(const std::string& deb) {
    std::map<std::string, std::string> entries;
    std::istringstream lines(shell("dpkg-deb -c " + apptest::quoted(deb)).out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string mode, owner, size, date, time, path;
        fields >> mode >> owner >> size >> date >> time >> path;
        std::string rest;
        std::getline(fields, rest);
        EXPECT_EQ(owner, "root/root") << line;
        entries[path] = mode + rest;
    }
    return entries;
}

} // namespace

TEST(Package, NameAndControlDataComeFromTheChangelogAndTheBinaries) {
    const std::string deb = package();
    ASSERT_FALSE(deb.empty());
    std::smatch m;
    const std::string changelog = testenv::readFile(TW_TEST_SOURCE_DIR "/data/changelog.Debian");
    ASSERT_TRUE(
        std::regex_search(changelog, m, std::regex("^mp3tunewright \\((3\\.32-[0-9]+)\\)")));
    const std::string version = m[1];
    const std::string arch = shell("dpkg --print-architecture | tr -d '\\n'").out;
    EXPECT_EQ(deb.substr(deb.rfind('/') + 1), "mp3tunewright_" + version + "_" + arch + ".deb");

    Result fields = shell("dpkg-deb -f " + apptest::quoted(deb) + " Depends");
    ASSERT_EQ(fields.status, 0) << fields.err;
    // dpkg-shlibdeps found every library the program and its three libraries link.
    for (const char* library :
         {"libc6 (>=", "libqt6widgets6 (>=", "libqt6core6 (>=", "libmp3lame0 (>=",
          "libmpg123-0 (>=", "libcdio19 (>=", "libasound2 (>="}) {
        EXPECT_NE(fields.out.find(library), std::string::npos) << library << "\n" << fields.out;
    }
    EXPECT_EQ(fields.out.find("libasan"), std::string::npos) << fields.out;
}

TEST(Package, HoldsTheProgramFolderTheCommandAndTheDesktopFilesOnly) {
    const std::string deb = package();
    ASSERT_FALSE(deb.empty());
    std::map<std::string, std::string> expected = {
        {"./usr/bin/mp3tunewright", "lrwxrwxrwx -> ../lib/mp3tunewright/mp3tunewright"},
        {"./usr/lib/mp3tunewright/mp3tunewright", "-rwxr-xr-x"},
        {"./usr/lib/mp3tunewright/mp3tunewright-program.so", "-rw-r--r--"},
        {"./usr/lib/mp3tunewright/lame.so", "-rw-r--r--"},
        {"./usr/lib/mp3tunewright/xaudio.so", "-rw-r--r--"},
        {"./usr/lib/mp3tunewright/ffreader.so", "-rw-r--r--"},
        {"./usr/lib/mp3tunewright/libakrip32.so", "-rw-r--r--"},
        {"./usr/lib/mp3tunewright/alldone.wav", "-rw-r--r--"},
        {"./usr/lib/mp3tunewright/mp3tw.html", "-rw-r--r--"},
        {"./usr/share/applications/" + kId + ".desktop", "-rw-r--r--"},
        {"./usr/share/metainfo/" + kId + ".metainfo.xml", "-rw-r--r--"},
        {"./usr/share/icons/hicolor/scalable/apps/" + kId + ".svg", "-rw-r--r--"},
        {"./usr/share/man/man1/mp3tunewright.1.gz", "-rw-r--r--"},
        {"./usr/share/doc/mp3tunewright/copyright", "-rw-r--r--"},
        {"./usr/share/doc/mp3tunewright/changelog.Debian.gz", "-rw-r--r--"},
    };
    for (int size : kIconSizes) {
        const std::string s = std::to_string(size);
        expected["./usr/share/icons/hicolor/" + s + "x" + s + "/apps/" + kId + ".png"] =
            "-rw-r--r--";
    }
    std::map<std::string, std::string> files;
    for (const auto& [path, type] : contents(deb)) {
        if (type[0] != 'd') {
            files[path] = type;
        }
    }
    EXPECT_EQ(files, expected);

    // Removing the package removes what it lists: no configuration file outlives a
    // removal, and no maintainer script runs (the private libraries in the program
    // folder need no ldconfig).
    const std::string control = testenv::makeDir("control") + "/";
    ASSERT_EQ(testenv::run("dpkg-deb -e " + apptest::quoted(deb) + " " + apptest::quoted(control)),
              0);
    EXPECT_EQ(shell("cd " + apptest::quoted(control) + " && ls").out, "control\nmd5sums\n");
    // Without XWayland, a Wayland session needs Qt's Wayland plugin.
    EXPECT_EQ(shell("dpkg-deb -f " + apptest::quoted(deb) + " Recommends").out, "qt6-wayland\n");
    // GNOME Files shows the verbs in its own menu only with its Python extensions.
    EXPECT_EQ(shell("dpkg-deb -f " + apptest::quoted(deb) + " Suggests").out, "python3-nautilus\n");
}

TEST(Package, UnpackedProgramRunsFromItsCommandAndConvertsAWav) {
    const std::string root = unpacked();
    const std::string command = root + "usr/bin/mp3tunewright";
    const std::vector<std::string> folderBefore = listDir(root + "usr/lib/mp3tunewright");

    e2e::Process version = e2e::start(command, {"--version"});
    ASSERT_EQ(e2e::wait(version, 20000), 0) << e2e::errors(version);
    EXPECT_EQ(e2e::output(version), "MP3 Tunewright 3.32\n");

    const std::string sources = testenv::makeDir("package-sources") + "/";
    apptest::makeWav(sources + "tone.wav", 0.5);
    e2e::Process convert = e2e::start(command, {"--", sources + "tone.wav"});
    ASSERT_EQ(e2e::wait(convert, 60000), 0) << e2e::errors(convert);
    // Every library was found beside the program the link points into.
    EXPECT_EQ(e2e::errors(convert).find("DLL"), std::string::npos) << e2e::errors(convert);
    apptest::expectTone(std::string(std::getenv("HOME")) + "/Music/Compressed MP3/tone.MP3", 0.5,
                        44100, 2);
    EXPECT_EQ(listDir(root + "usr/lib/mp3tunewright"), folderBefore);
}

TEST(Package, DesktopEntryMetainfoAndManualPagePassTheirValidators) {
    const std::string share = unpacked() + "usr/share/";
    const std::string desktop = share + "applications/" + kId + ".desktop";
    Result entry = shell("desktop-file-validate " + apptest::quoted(desktop));
    EXPECT_EQ(entry.status, 0);
    EXPECT_EQ(entry.out + entry.err, "");
    // The launcher starts the command without file arguments and shows our icon.
    const std::string text = testenv::readFile(desktop);
    EXPECT_NE(text.find("\nExec=mp3tunewright\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nIcon=" + kId + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nCategories=AudioVideo;Audio;\n"), std::string::npos) << text;

    Result metainfo = shell("appstreamcli validate --no-net " +
                            apptest::quoted(share + "metainfo/" + kId + ".metainfo.xml"));
    EXPECT_EQ(metainfo.status, 0) << metainfo.out << metainfo.err;
    EXPECT_NE(testenv::readFile(share + "metainfo/" + kId + ".metainfo.xml")
                  .find("<launchable type=\"desktop-id\">" + kId + ".desktop</launchable>"),
              std::string::npos);

    // man -l exits 0 even on a broken page: its warnings are the check.
    const std::string page = apptest::quoted(share + "man/man1/mp3tunewright.1.gz");
    Result man = shell("MANWIDTH=80 man --warnings -l " + page);
    EXPECT_EQ(man.status, 0);
    EXPECT_EQ(man.err, "");
    EXPECT_NE(man.out.find("EXIT STATUS"), std::string::npos);
    Result groff = shell("zcat " + page + " | groff -man -ww -z");
    EXPECT_EQ(groff.status, 0);
    EXPECT_EQ(groff.err, "");
}
