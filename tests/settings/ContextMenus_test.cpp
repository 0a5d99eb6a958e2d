// The context-menu actions as the file managers themselves read and run them:
// KDE's KIO, libfm-qt (PCManFM-Qt), GLib's key-file and markup parsers (Nemo,
// Thunar), the shell (GNOME Files and Caja scripts) and Debian's Python with the
// real Nautilus typelib (GNOME Files' menu extension).
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QThread>
#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "FakeServices.h"
#include "TestEnv.h"
#include "settings/ContextMenus.h"
#include "settings/Settings.h"
#include "settings/ShellAssociation.h"

namespace {

std::string readers() {
    return TW_MENU_READERS_DIR;
}

std::string q(const std::string& text) {
    return settings::ShellQuote(text);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// Writes a file, creating its folders.
void put(const std::string& path, const std::string& bytes) {
    testenv::run("mkdir -p " + settings::ShellQuote(path.substr(0, path.rfind('/'))));
    testenv::writeFile(path, bytes);
}

bool has(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

// Names a file manager must hand over intact, each a separate argument.
const std::vector<std::string> kHostileNames = {
    "a b.mp3",   "it's.mp3", "$HOME.mp3",   "`date`.mp3",     "%f 100%.mp3",
    "-lead.mp3", "q\"d.mp3", "lat\xe9.mp3", "semi;colon.MP3", "back\\slash.mp3",
};

class ContextMenus : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : kSaved) {
            const char* value = std::getenv(name);
            saved.emplace_back(value ? value : "");
        }
        static int counter = 0;
        base = testenv::makeDir("menus-" + std::to_string(++counter));
        setenv("TUNEWRIGHT_REGISTRY_DIR", (base + "/registry").c_str(), 1);
        setenv("XDG_DATA_HOME", (base + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (base + "/config").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (base + "/xdg").c_str(), 1);
        // The system's folders stay behind ours: the readers need its MIME database.
        setenv("XDG_DATA_DIRS", (base + "/share:/usr/local/share:/usr/share").c_str(), 1);
        // GNOME Files without Python extensions, unless a test installs the loader.
        setenv("TUNEWRIGHT_NAUTILUS_EXTENSIONS_DIR", (base + "/nautilus-extensions").c_str(), 1);

        // A stand-in program in a folder whose name needs every kind of quoting
        // and is not UTF-8; it writes each run's arguments, one per line, and a
        // line "." after them.
        const std::string dir = base + "/we ird \"q\" $d `t` it's 100% \xe9";
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        program = dir + "/tw";
        log = base + "/runs.txt";
        put(program, "#!/bin/sh\nfor a do printf '%s\\n' \"$a\"; done >> " + q(log) +
                         "\necho . >> " + q(log) + "\n");
        ASSERT_EQ(chmod(program.c_str(), 0755), 0);

        files = base + "/files/";
        ASSERT_EQ(testenv::run("mkdir -p " + q(files)), 0);
        ASSERT_EQ(testenv::run("sox -q -n -r 44100 -c 2 -b 16 " + q(files + "tone.wav") +
                               " synth 0.2 sine 440 && lame --quiet " + q(files + "tone.wav") +
                               " " + q(files + "tone.mp3")),
                  0);
    }

    void TearDown() override {
        for (size_t i = 0; i < saved.size(); ++i) {
            setenv(kSaved[i], saved[i].c_str(), 1);
        }
    }

    // Copies of the test MP3 (or WAV) under the given names; their full paths.
    std::vector<std::string> copies(const std::vector<std::string>& names, const char* from) {
        std::vector<std::string> paths;
        for (const std::string& name : names) {
            std::string path = files + name;
            put(path, testenv::readFile(files + from));
            paths.push_back(path);
        }
        return paths;
    }

    // Runs a command line, returning what it printed; the status goes to `status`.
    std::string output(const std::string& command, int* status = nullptr) {
        std::string out = base + "/out.txt";
        int code =
            testenv::run("cd " + q(files) + " && " + command + " > " + q(out) + " 2>/dev/null");
        if (status) {
            *status = code;
        }
        return testenv::readFile(out);
    }

    std::string reader(const char* name) const { return q(readers() + "/" + name); }

    std::string join(const std::vector<std::string>& paths) const {
        std::string out;
        for (const std::string& path : paths) {
            out += " " + q(path);
        }
        return out;
    }

    // The runs of the stand-in program: each the list of its arguments. Waits a
    // bounded time for `expected` runs, since file managers start it detached.
    std::vector<std::vector<std::string>> runs(size_t expected) {
        QElapsedTimer waited;
        waited.start();
        std::vector<std::vector<std::string>> out;
        do {
            out.clear();
            std::vector<std::string> current;
            for (const std::string& line : lines(testenv::readFile(log))) {
                if (line == ".") {
                    out.push_back(current);
                    current.clear();
                } else {
                    current.push_back(line);
                }
            }
            if (out.size() >= expected) {
                break;
            }
            QThread::msleep(20);
        } while (waited.elapsed() < 15000);
        std::remove(log.c_str());
        return out;
    }

    std::string action(const std::string& relative) const { return base + "/data/" + relative; }

    static constexpr const char* kSaved[] = {
        "TUNEWRIGHT_REGISTRY_DIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME",
        "XDG_CONFIG_DIRS",         "XDG_DATA_DIRS", "TUNEWRIGHT_NAUTILUS_EXTENSIONS_DIR"};
    testenv::FakeServices services;
    std::vector<std::string> saved;
    std::string base, program, log, files;
};

#define REQUIRE_READERS()                                                                          \
    if (readers().empty()) {                                                                       \
        GTEST_SKIP() << "the file managers' libraries are not installed";                          \
    }

TEST_F(ContextMenus, KdeAndPcmanfmOfferEachVerbForItsTypeOnly) {
    REQUIRE_READERS();
    settings::AssociateShell(program);
    const std::string mp3 = files + "tone.mp3";
    // Real files of other types the encoder reads.
    ASSERT_EQ(testenv::run("cd " + q(files) +
                           " && ffmpeg -nostdin -v error -i tone.wav tone.flac"
                           " && ffmpeg -nostdin -v error -i tone.wav -c:a aac tone.m4a"
                           " && mkdir Album"),
              0);
    struct Row {
        std::string file;
        bool decode;
        bool compress;
    } rows[] = {{mp3, true, false},
                {files + "tone.wav", false, true},
                {files + "tone.flac", false, true},
                {files + "tone.m4a", false, true},
                {files + "Album", true, true}};
    for (const char* tool : {"kio_menu_reader", "fm_actions_reader"}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(tool) + " " + row.file);
            std::vector<std::string> offered = lines(output(reader(tool) + " " + q(row.file)));
            EXPECT_EQ(has(offered, "Decode to WAVE"), row.decode);
            EXPECT_EQ(has(offered, "Compress to MP3"), row.compress);
        }
    }

    // Removing the association takes the actions out of the menus.
    ASSERT_TRUE(settings::DeassociateShell());
    EXPECT_FALSE(has(lines(output(reader("kio_menu_reader") + " " + q(mp3))), "Decode to WAVE"));
    EXPECT_FALSE(has(lines(output(reader("fm_actions_reader") + " " + q(mp3))), "Decode to WAVE"));
}

TEST_F(ContextMenus, EveryFileManagerStartsOneProcessWithExactlyTheSelectedNames) {
    REQUIRE_READERS();
    settings::AssociateShell(program);
    // The MP3s and a folder: "Decode to WAVE" is offered on both and says so
    // for the folder.
    std::vector<std::string> mp3s = copies(kHostileNames, "tone.mp3");
    mp3s.push_back(files + "Al'bum $x");
    ASSERT_EQ(mkdir(mp3s.back().c_str(), 0755), 0);
    std::vector<std::string> expected = {"--decode-folders", "--"};
    expected.insert(expected.end(), mp3s.begin(), mp3s.end());

    for (const char* tool : {"kio_menu_reader", "fm_actions_reader"}) {
        SCOPED_TRACE(tool);
        // KIO itself decodes file names with the locale's codec, so under a UTF-8
        // locale a name that is not UTF-8 never reaches any of its actions intact.
        std::vector<std::string> selected = mp3s;
        if (std::string(tool) == "kio_menu_reader") {
            selected.erase(std::remove_if(selected.begin(), selected.end(),
                                          [](const std::string& name) {
                                              return !settings::IsValidUtf8(name);
                                          }),
                           selected.end());
        } else {
            // libfm-qt offers an action only when all selected items share one of
            // its MIME types: MP3s and a folder together get nothing there.
            selected.pop_back();
        }
        int status = -1;
        output(reader(tool) + " --run 'Decode to WAVE'" + join(selected), &status);
        EXPECT_EQ(status, 0);
        auto seen = runs(1);
        ASSERT_EQ(seen.size(), 1u);
        ASSERT_GE(seen[0].size(), 2u);
        EXPECT_EQ(seen[0][0], "--decode-folders");
        EXPECT_EQ(seen[0][1], "--");
        EXPECT_EQ(std::set<std::string>(seen[0].begin() + 2, seen[0].end()),
                  std::set<std::string>(selected.begin(), selected.end()));
        EXPECT_EQ(seen[0].size(), selected.size() + 2);
    }

    // Nemo: the key file as GLib reads it, and the command it makes of it.
    const std::string nemo = action("nemo/actions/mp3tunewright-decode-to-wave.nemo_action");
    EXPECT_EQ(lines(output(reader("glib_reader") + " keyfile " + q(nemo) +
                           " 'Nemo Action' Name Selection Extensions Dependencies")),
              (std::vector<std::string>{"Decode to WAVE", "notnone", "mp3;dir;",
                                        settings::MenuLauncherPath() + ";"}));
    std::vector<std::string> nemoArgs =
        lines(output(reader("glib_reader") + " exec " + q(nemo) + " 'Nemo Action'" + join(mp3s)));
    ASSERT_FALSE(nemoArgs.empty());
    EXPECT_EQ(nemoArgs[0], settings::MenuLauncherPath());
    EXPECT_EQ(std::vector<std::string>(nemoArgs.begin() + 1, nemoArgs.end()), expected);

    // That command, run: the launcher starts the program with the names as given.
    std::string command;
    for (const std::string& arg : nemoArgs) {
        command += q(arg) + " ";
    }
    ASSERT_EQ(testenv::run(command), 0);
    auto seen = runs(1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], expected);
}

TEST_F(ContextMenus, ScriptsPassOnOnlyTheirTypeInOneProcess) {
    settings::AssociateShell(program);
    const std::vector<std::string> mp3s = copies(kHostileNames, "tone.mp3");
    const std::vector<std::string> wavs =
        copies({"x.wav", "Y.WAV", "-z.Wav", "n.mp3.wav"}, "tone.wav");
    ASSERT_EQ(mkdir((files + "-Al bum.wav").c_str(), 0755), 0);
    // File managers run scripts in the folder, with names relative to it. Both
    // verbs take folders; "folder" is no folder here.
    std::vector<std::string> selection = {"x.wav", "notes.txt", "folder", "-Al bum.wav"};
    selection.insert(selection.end(), kHostileNames.begin(), kHostileNames.end());
    selection.insert(selection.end(), {"Y.WAV", "-z.Wav", "n.mp3.wav"});

    for (const std::string& folder :
         {base + "/data/nautilus/scripts/", base + "/config/caja/scripts/"}) {
        SCOPED_TRACE(folder);
        ASSERT_EQ(testenv::run("cd " + q(files) + " && " + q(folder + "Decode to WAVE") +
                               join(selection)),
                  0);
        ASSERT_EQ(testenv::run("cd " + q(files) + " && " + q(folder + "Compress to MP3") +
                               join(selection)),
                  0);
        auto seen = runs(2);
        ASSERT_EQ(seen.size(), 2u);
        std::vector<std::string> decoded = {"--decode-folders", "--", "-Al bum.wav"};
        decoded.insert(decoded.end(), kHostileNames.begin(), kHostileNames.end());
        EXPECT_EQ(seen[0], decoded);
        EXPECT_EQ(seen[1], (std::vector<std::string>{"--", "x.wav", "-Al bum.wav", "Y.WAV",
                                                     "-z.Wav", "n.mp3.wav"}));
        // A selection without a matching file starts nothing.
        ASSERT_EQ(testenv::run("cd " + q(files) + " && " + q(folder + "Decode to WAVE") + " x.wav"),
                  0);
        EXPECT_TRUE(runs(0).empty());
    }

    // Two thousand selected files are one process.
    std::string many;
    for (int i = 0; i < 1000; ++i) {
        many += " " + q("song " + std::to_string(i) + ".mp3") + " " +
                q("take " + std::to_string(i) + ".wav");
    }
    ASSERT_EQ(testenv::run("cd " + q(files) + " && " +
                           q(base + "/data/nautilus/scripts/Decode to WAVE") + many),
              0);
    auto seen = runs(1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].size(), 1002u);
    EXPECT_EQ(seen[0].back(), "song 999.mp3");

    // Once the program is gone, the scripts say so and start nothing.
    ASSERT_EQ(std::rename(program.c_str(), (program + ".gone").c_str()), 0);
    EXPECT_NE(testenv::run("cd " + q(files) + " && " +
                           q(base + "/data/nautilus/scripts/Decode to WAVE") +
                           " a.mp3 2>/dev/null"),
              0);
    EXPECT_NE(testenv::run(q(settings::MenuLauncherPath()) + " a.mp3 2>/dev/null"), 0);
    EXPECT_TRUE(runs(0).empty());
}

// GNOME Files with python3-nautilus: the verbs in its own menu through the
// extension, which Debian's Python loads here with the real Nautilus typelib and
// asks as GNOME Files 43 would; the Scripts entries give way to it.
TEST_F(ContextMenus, GnomeFilesExtensionOffersTheVerbsAndStartsTheLauncher) {
    if (testenv::run("/usr/bin/python3 -c \"import gi; gi.require_version('Nautilus', '4.0')\" "
                     "2>/dev/null") != 0) {
        GTEST_SKIP() << "python3-nautilus (the Nautilus typelib) is not installed";
    }
    const std::string extension = settings::NautilusExtensionPath();
    const std::string script = base + "/data/nautilus/scripts/Decode to WAVE";
    settings::AssociateShell(program);
    ASSERT_TRUE(testenv::fileExists(script));
    EXPECT_FALSE(testenv::fileExists(extension));

    // The loader appears (python3-nautilus installed): the extension takes over.
    put(base + "/nautilus-extensions/libnautilus-python.so", "");
    settings::AssociateShell(program);
    EXPECT_TRUE(settings::IsShellAssociated(program));
    ASSERT_TRUE(testenv::fileExists(extension));
    EXPECT_FALSE(testenv::fileExists(script));

    std::vector<std::string> mp3s = copies(kHostileNames, "tone.mp3");
    const std::string wav = files + "tone.wav";
    const std::string album = files + "Al'bum \xe9";
    ASSERT_EQ(mkdir(album.c_str(), 0755), 0);
    const std::string remote = "sftp://host/music/x.mp3";
    const std::string decode = "Decode to WAVE", compress = "Compress to MP3";
    std::vector<std::string> decodeRun = {"--decode-folders", "--"};
    decodeRun.insert(decodeRun.end(), mp3s.begin(), mp3s.end());
    mp3s.push_back(album);
    decodeRun.push_back(album);
    struct Row {
        std::vector<std::string> selection;
        std::vector<std::string> offered;
        std::string run; // the item activated, "" for none
        std::vector<std::string> started;
        std::string options = ""; // " --window": called as GNOME Files 3.x did
    };
    const std::vector<Row> rows = {
        {mp3s, {decode}, decode, decodeRun},
        {{album}, {decode, compress}, compress, {"--", album}},
        {{mp3s[0], wav}, {}, "", {}},
        {{remote}, {}, "", {}},
        {{remote, wav}, {compress}, compress, {"--", wav}},
        {{wav}, {compress}, "", {}, " --window"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.selection));
        int status = -1;
        EXPECT_EQ(
            lines(output("/usr/bin/python3 " + q(TW_NAUTILUS_MENU_DRIVER) + " " + q(extension) +
                             row.options + (row.run.empty() ? "" : " --run " + q(row.run)) +
                             join(row.selection),
                         &status)),
            row.offered);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(runs(row.run.empty() ? 0 : 1),
                  row.run.empty() ? std::vector<std::vector<std::string>>{}
                                  : std::vector<std::vector<std::string>>{row.started});
    }

    EXPECT_TRUE(settings::DeassociateShell());
    EXPECT_FALSE(testenv::fileExists(extension));
}

// Thunar's own parser is GLib's GMarkup; its command line is split as a shell
// line once each name has been quoted.
TEST_F(ContextMenus, ThunarKeepsTheUsersActionsByteForByte) {
    REQUIRE_READERS();
    const std::string uca = base + "/config/Thunar/uca.xml";
    const std::string users =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- mine -->\n<actions>\n"
        "<action>\n\t<icon>x</icon>\n\t<name>Shrink &amp; send</name>\n"
        "\t<unique-id>1700000000-1</unique-id>\n\t<command>shrink %F</command>\n"
        "\t<description>caf\xc3\xa9</description>\n\t<patterns>*.jpg</patterns>\n"
        "\t<image-files/>\n</action>\n</actions>\n";
    put(uca, users);
    ASSERT_EQ(chmod(uca.c_str(), 0600), 0);

    settings::AssociateShell(program);
    std::string written = testenv::readFile(uca);
    // The user's bytes stand as they were, ours go before the end of the list.
    ASSERT_EQ(written.substr(0, users.size() - 11), users.substr(0, users.size() - 11));
    EXPECT_EQ(written.substr(written.size() - 11), "</actions>\n");
    struct stat st {};
    ASSERT_EQ(stat(uca.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    std::vector<std::string> actions = lines(output(reader("glib_reader") + " uca " + q(uca)));
    ASSERT_EQ(actions.size(), 5u);
    EXPECT_EQ(actions[0], "1700000000-1|Shrink & send|*.jpg|shrink %F");
    // Each verb twice: once for its files, once for folders (Thunar wants every
    // selected item to match one action's patterns and kinds).
    const std::string launcher = "'" + settings::MenuLauncherPath() + "'";
    const std::string command = launcher + " --decode-folders -- %F";
    EXPECT_EQ(actions[1], "mp3tunewright-decode-to-wave|Decode to WAVE|*.mp3;*.MP3|" + command);
    EXPECT_EQ(actions[2], "mp3tunewright-decode-to-wave-folders|Decode to WAVE|*|" + command);
    EXPECT_EQ(actions[3].rfind("mp3tunewright-compress-to-mp3|Compress to MP3|*.wav;*.WAV;", 0),
              0u);
    EXPECT_EQ(actions[3].substr(actions[3].rfind('|') + 1), launcher + " -- %F");
    EXPECT_EQ(actions[4],
              "mp3tunewright-compress-to-mp3-folders|Compress to MP3|*|" + launcher + " -- %F");
    std::vector<std::string> args =
        lines(output(reader("glib_reader") + " command " + q(command) + join(kHostileNames)));
    std::vector<std::string> expected = {settings::MenuLauncherPath(), "--decode-folders", "--"};
    expected.insert(expected.end(), kHostileNames.begin(), kHostileNames.end());
    EXPECT_EQ(args, expected);

    // Associating again changes nothing; removing gives back the user's file.
    EXPECT_TRUE(settings::IsShellAssociated(program));
    settings::AssociateShell(program);
    EXPECT_EQ(testenv::readFile(uca), written);
    EXPECT_TRUE(settings::DeassociateShell());
    EXPECT_EQ(testenv::readFile(uca), users);
}

TEST_F(ContextMenus, ThunarStartsFromTheSystemFileAndLeavesABrokenFileAlone) {
    const std::string uca = base + "/config/Thunar/uca.xml";
    // Without Thunar nothing is written for it.
    settings::AssociateShell(program);
    EXPECT_FALSE(testenv::fileExists(uca));

    // With Thunar's default file on the system, the user's file starts from it,
    // so Thunar's own actions stay.
    const std::string system = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                               "<!DOCTYPE actions [\n  <!ELEMENT actions (action)+>\n]>\n"
                               "<actions>\n\n  <action>\n    <name>Open Terminal Here</name>\n"
                               "    <unique-id>terminal</unique-id>\n  </action>\n\n</actions>";
    put(base + "/xdg/Thunar/uca.xml", system);
    EXPECT_FALSE(settings::IsShellAssociated(program));
    settings::AssociateShell(program);
    std::string written = testenv::readFile(uca);
    EXPECT_EQ(written.rfind(system.substr(0, system.size() - 10), 0), 0u) << written;
    EXPECT_NE(written.find("<unique-id>mp3tunewright-compress-to-mp3</unique-id>"),
              std::string::npos);
    EXPECT_TRUE(settings::IsShellAssociated(program));

    // A file that does not parse is left as it is and the failure reported.
    const std::string broken = "<actions><action><name>half";
    put(uca, broken);
    EXPECT_FALSE(settings::IsShellAssociated(program));
    EXPECT_THROW(settings::AssociateShell(program), settings::ShellAssociationError);
    EXPECT_EQ(testenv::readFile(uca), broken);
    // Every other file manager was still served.
    EXPECT_TRUE(
        testenv::fileExists(action("kio/servicemenus/mp3tunewright-decode-to-wave.desktop")));
}

// Thunar installed without a default actions file of the system's; data folders
// whose paths Thunar's command line and uca.xml must survive.
TEST_F(ContextMenus, ThunarWithoutASystemFileAndWithOddDataFolders) {
    REQUIRE_READERS();
    const std::string uca = base + "/config/Thunar/uca.xml";
    const std::string bin = base + "/bin";
    put(bin + "/thunar", "#!/bin/sh\n");
    ASSERT_EQ(chmod((bin + "/thunar").c_str(), 0755), 0);
    const std::string path = std::getenv("PATH");
    setenv("PATH", (bin + ":" + path).c_str(), 1);

    // Thunar replaces %f, %% and the like anywhere in a command.
    setenv("XDG_DATA_HOME", (base + "/da%fta 100%%").c_str(), 1);
    settings::AssociateShell(program);
    std::vector<std::string> actions = lines(output(reader("glib_reader") + " uca " + q(uca)));
    ASSERT_EQ(actions.size(), 4u) << testenv::readFile(uca);
    const std::string command = actions[0].substr(actions[0].rfind('|') + 1);
    std::vector<std::string> args =
        lines(output(reader("glib_reader") + " command " + q(command) + join(kHostileNames)));
    std::vector<std::string> expected = {settings::MenuLauncherPath(), "--decode-folders", "--"};
    expected.insert(expected.end(), kHostileNames.begin(), kHostileNames.end());
    EXPECT_EQ(args, expected);

    // A data folder that is not UTF-8 cannot be named in uca.xml: Thunar is left
    // out, with a word, and the file stays readable.
    setenv("XDG_DATA_HOME", (base + "/d\xe9ta").c_str(), 1);
    testing::internal::CaptureStderr();
    settings::AssociateShell(program);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(uca), std::string::npos) << said;
    int status = -1;
    actions = lines(output(reader("glib_reader") + " uca " + q(uca), &status));
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(actions.empty()) << "the old actions went";
    EXPECT_TRUE(settings::IsShellAssociated(program));
    setenv("PATH", path.c_str(), 1);
}

TEST_F(ContextMenus, AUsersOwnFileWithOurNameIsNeverTouched) {
    const std::string mine = action("nemo/actions/mp3tunewright-decode-to-wave.nemo_action");
    const std::string text = "[Nemo Action]\nName=My own decoder\nExec=mine %F\nExtensions=mp3;\n";
    put(mine, text);
    settings::AssociateShell(program);
    EXPECT_EQ(testenv::readFile(mine), text);
    EXPECT_TRUE(settings::IsShellAssociated(program));
    EXPECT_TRUE(settings::DeassociateShell());
    EXPECT_EQ(testenv::readFile(mine), text);
}

// What a double-click opens, as GIO and xdg-utils decide it, before and after
// associating.
TEST_F(ContextMenus, DefaultOpenersStayAsTheyWere) {
    const std::string share = base + "/share";
    auto defaults = [&] {
        std::string out;
        for (const char* type : {"audio/mpeg", "audio/x-wav", "audio/vnd.wave"}) {
            out += type;
            out += ": " + output("timeout 20 gio mime " + std::string(type) + " | head -n 1");
            out += " / " + output("timeout 20 xdg-mime query default " + std::string(type));
        }
        return out;
    };
    for (bool player : {false, true}) {
        for (bool userChoice : {false, true}) {
            SCOPED_TRACE(std::string(player ? "with" : "without") + " a player, " +
                         (userChoice ? "with" : "without") + " mimeapps.list");
            settings::DeassociateShell();
            testenv::run("rm -rf " + q(share) + " " + q(base + "/config/mimeapps.list"));
            if (player) {
                put(share + "/applications/player.desktop",
                    "[Desktop Entry]\nType=Application\nName=Player\nExec=true %F\n"
                    "MimeType=audio/mpeg;audio/x-wav;\n");
                testenv::run("update-desktop-database -q " + q(share + "/applications"));
            }
            if (userChoice) {
                put(base + "/config/mimeapps.list",
                    "[Default Applications]\naudio/mpeg=player.desktop\n");
            }
            const std::string before = defaults();
            settings::AssociateShell(program);
            EXPECT_EQ(defaults(), before);
            if (player) {
                EXPECT_NE(before.find("player.desktop"), std::string::npos) << before;
            }
        }
    }
}

TEST_F(ContextMenus, AnActionConvertsOddlyNamedMp3sInOneBatchWithoutABox) {
    REQUIRE_READERS();
    const std::string real = testenv::appDir() + "mp3tunewright";
    settings::SettingsRecord record;
    settings::SetDefaultSettings(record);
    record.DecodedDir = base + "/decoded";
    record.EncodedDir = base + "/encoded";
    record.PlaySound = 0;
    record.OpenDir = 0;
    std::string failed;
    ASSERT_TRUE(settings::SaveSettingsRecord(record, &failed)) << failed;
    settings::AssociateShell(real);

    const std::vector<std::string> names = {"it's $x.mp3", "-a `b`.mp3", "c %f.mp3"};
    const std::vector<std::string> mp3s = copies(names, "tone.mp3");
    const std::string errors = base + "/program-errors.txt";
    ASSERT_EQ(testenv::run("TUNEWRIGHT_UNATTENDED=1 " + reader("kio_menu_reader") +
                           " --run 'Decode to WAVE'" + join(mp3s) + " > /dev/null 2> " + q(errors)),
              0);
    QElapsedTimer waited;
    waited.start();
    auto done = [&] {
        for (const std::string& name : names) {
            std::string wav = base + "/decoded/" + name.substr(0, name.size() - 4) + ".WAV";
            if (!testenv::fileExists(wav)) {
                return false;
            }
        }
        return true;
    };
    while (!done() && waited.elapsed() < 30000) {
        QThread::msleep(50);
    }
    EXPECT_TRUE(done());
    // One converting process ran them all, and it asked nothing.
    EXPECT_EQ(testenv::readFile(errors).find("[message box]"), std::string::npos)
        << testenv::readFile(errors);
}

} // namespace
