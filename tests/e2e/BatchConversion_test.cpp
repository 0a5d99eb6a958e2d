// Batch conversion with real processes: one process converts, later ones hand their
// names over; every file is converted once and the process ends with its batch.

#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <thread>

#include "TestEnv.h"
#include "e2e_support.h"
#include "settings/Settings.h"
#include "tests/app/audio_check.h"

namespace {

std::string runtimeDir() {
    return std::string(std::getenv("TUNEWRIGHT_RUNTIME_DIR")) + "/";
}

using testenv::listDir;

double modifiedAt(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return 0;
    }
    return st.st_mtim.tv_sec + st.st_mtim.tv_nsec / 1e9;
}

double now() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

size_t countOf(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// Settings of the user the processes run as, written where they read them.
void saveSettings(const std::string& decoded, const std::string& encoded, bool openDir) {
    e2e::saveSettings(decoded, encoded, [openDir](settings::SettingsRecord& r) {
        r.Overwrite = 0;
        r.PlaySound = 1;
        r.OpenDir = openDir ? 1 : 0;
    });
}

// An ALSA configuration whose default playback device writes what it plays into a
// file, so the completion sound can be checked without a sound card.
e2e::Options soundToFile(const std::string& played) {
    const std::string conf = testenv::root() + "alsa-playback.conf";
    testenv::writeFile(conf, "pcm.!default {\n  type file\n  slave.pcm \"null\"\n  file \"" +
                                 played + "\"\n  format \"raw\"\n}\n");
    e2e::Options options;
    options.env["ALSA_CONFIG_PATH"] = "/usr/share/alsa/alsa.conf:" + conf;
    return options;
}

bool waitForFile(const std::string& path, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (testenv::fileExists(path)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

} // namespace

TEST(BatchConversion, TwentyProcessesHandTheirFilesToTheFirstAndEachIsConvertedOnce) {
    const std::string sources = testenv::makeDir("batch-sources") + "/";
    const std::string decoded = testenv::root() + "batch-out/decoded";
    const std::string encoded = testenv::root() + "batch-out/encoded";
    saveSettings(decoded, encoded, true);
    const std::string played = testenv::root() + "played.raw";
    e2e::Options options = soundToFile(played);

    struct Source {
        std::string name;
        double seconds;
        int rate;
        int channels;
        bool mp3;
    };
    std::vector<Source> files{{"first.wav", 3.0, 44100, 2, false}};
    for (int i = 0; i < 20; ++i) {
        const bool mp3 = i % 4 == 3;
        const int rate = (i % 3 == 0) ? 22050 : 44100;
        files.push_back({"song " + std::to_string(i) + (mp3 ? ".mp3" : ".wav"), 0.4 + 0.05 * i,
                         rate, 1 + i % 2, mp3});
    }
    for (const Source& s : files) {
        if (s.mp3) {
            apptest::makeMp3(sources + s.name, s.seconds, s.rate, s.channels);
        } else {
            apptest::makeWav(sources + s.name, s.seconds, s.rate, s.channels);
        }
    }

    e2e::Process first = e2e::start(e2e::programPath(), {sources + files[0].name}, options);
    ASSERT_TRUE(waitForFile(runtimeDir() + "active.flg", 10000));
    for (size_t i = 1; i < files.size(); ++i) {
        EXPECT_EQ(e2e::run(e2e::programPath(), {sources + files[i].name}, 10000, options), 1)
            << files[i].name;
    }
    const int code = e2e::wait(first, 120000);
    const double endedAt = now();
    ASSERT_EQ(code, 0) << e2e::errors(first);

    // Every file once, under its own name, and decoding to what went in.
    std::set<std::string> expectedEncoded, expectedDecoded;
    double lastOutput = 0;
    // Jobs may run ahead on other cores, but the last entry of the queue is the
    // last job shown: its kind's directory is opened.
    const std::string lastOutputDir = files.back().mp3 ? decoded : encoded;
    for (const Source& s : files) {
        const std::string base = s.name.substr(0, s.name.rfind('.'));
        const std::string out =
            s.mp3 ? decoded + "/" + base + ".WAV" : encoded + "/" + base + ".MP3";
        (s.mp3 ? expectedDecoded : expectedEncoded).insert(base + (s.mp3 ? ".WAV" : ".MP3"));
        // MP3 output is always stereo; decoding keeps the stream's channels.
        apptest::expectTone(out, s.seconds, s.rate, s.mp3 ? s.channels : 2);
        lastOutput = std::max(lastOutput, modifiedAt(out));
    }
    const std::vector<std::string> enc = listDir(encoded);
    const std::vector<std::string> dec = listDir(decoded);
    EXPECT_EQ(std::set<std::string>(enc.begin(), enc.end()), expectedEncoded);
    EXPECT_EQ(std::set<std::string>(dec.begin(), dec.end()), expectedDecoded);

    // The batch ends three ticks after its last job was shown (at most a tick
    // after the last write).
    EXPECT_GE(endedAt - lastOutput, 1.3);
    EXPECT_LE(endedAt - lastOutput, 3.7);

    // Completion: the sound played, the last job's directory opened once.
    const std::string errors = e2e::errors(first);
    EXPECT_EQ(countOf(errors, "[shell] open "), 1u) << errors;
    EXPECT_EQ(countOf(errors, "[shell] open " + lastOutputDir + "\n"), 1u) << errors;
    // No job reported anything, and a converting process never looks for CD drives.
    EXPECT_EQ(countOf(errors, "[message box]"), 0u) << errors;
    EXPECT_GE(apptest::fileSize(played), 35280);

    // Nothing left behind in the runtime folder.
    EXPECT_TRUE(listDir(runtimeDir()).empty());
}

TEST(BatchConversion, EveryArgumentRelativeNamesCaseVariantsAndMissingFiles) {
    const std::string sources = testenv::makeDir("names") + "/";
    const std::string encoded = testenv::root() + "names-out/encoded";
    saveSettings(testenv::root() + "names-out/decoded", encoded, false);
    apptest::makeWav(sources + "My Song.wav", 0.5);
    apptest::makeWav(sources + "-dash.wav", 0.4);
    apptest::makeWav(sources + "second.wav", 0.3, 22050, 1);
    apptest::makeWav(sources + "case.wav", 0.6);
    apptest::makeWav(sources + "CASE.wav", 0.9, 22050, 1);
    testenv::makeDir("names/folder.wav");

    // Every argument is one whole name: a blank stays inside its name, and "--"
    // lets a relative name start with '-'.
    e2e::Options inSources;
    inSources.cwd = sources;
    e2e::Process first = e2e::start(
        e2e::programPath(), {"--", sources + "My Song.wav", "-dash.wav", "second.wav"}, inSources);
    ASSERT_TRUE(waitForFile(runtimeDir() + "active.flg", 10000));
    EXPECT_EQ(e2e::run(e2e::programPath(), {"case.wav"}, 10000, inSources), 1);
    EXPECT_EQ(e2e::run(e2e::programPath(), {sources + "CASE.wav"}, 10000), 1);
    EXPECT_EQ(e2e::run(e2e::programPath(), {sources + "missing.wav"}, 10000), 1);
    EXPECT_EQ(e2e::run(e2e::programPath(), {sources + "folder.wav"}, 10000), 1);
    ASSERT_EQ(e2e::wait(first, 60000), 0) << e2e::errors(first);

    apptest::expectTone(encoded + "/My Song.MP3", 0.5, 44100, 2);
    apptest::expectTone(encoded + "/-dash.MP3", 0.4, 44100, 2);
    apptest::expectTone(encoded + "/second.MP3", 0.3, 22050, 2);
    apptest::expectTone(encoded + "/case.MP3", 0.6, 44100, 2);
    apptest::expectTone(encoded + "/CASE.MP3", 0.9, 22050, 2);
    EXPECT_EQ(listDir(encoded).size(), 5u);
    const std::string errors = e2e::errors(first);
    EXPECT_EQ(countOf(errors, "Unable to find source file: " + sources + "missing.wav"), 1u)
        << errors;
    // A folder is walked for its audio files; this one holds none.
    EXPECT_EQ(countOf(errors, sources + "folder.wav/: no file to convert"), 1u) << errors;
    EXPECT_TRUE(testenv::fileExists(sources + "folder.wav"));
    EXPECT_FALSE(testenv::fileExists(runtimeDir() + "active.flg"));
}

TEST(BatchConversion, MissingDecodeSourceFailsOnlyItsEntry) {
    const std::string sources = testenv::makeDir("ending") + "/";
    const std::string encoded = testenv::root() + "ending-out/encoded";
    saveSettings(testenv::root() + "ending-out/decoded", encoded, true);
    apptest::makeWav(sources + "after.wav", 0.5);

    e2e::Process first = e2e::start(e2e::programPath(), {sources + "gone.mp3"});
    ASSERT_TRUE(waitForFile(runtimeDir() + "active.flg", 10000));
    EXPECT_EQ(e2e::run(e2e::programPath(), {sources + "after.wav"}, 10000), 1);
    ASSERT_EQ(e2e::wait(first, 30000), 0);

    const std::string errors = e2e::errors(first);
    EXPECT_EQ(countOf(errors, "Unable to find source file: " + sources + "gone.mp3"), 1u) << errors;
    // The name handed over is converted and the batch ends with its completion.
    apptest::expectTone(encoded + "/after.MP3", 0.5, 44100, 2);
    EXPECT_EQ(countOf(errors, "[shell] open"), 1u) << errors;
    EXPECT_FALSE(testenv::fileExists(runtimeDir() + "active.flg"));
    EXPECT_TRUE(listDir(runtimeDir()).empty());
}

TEST(BatchConversion, RoundTripIsSampleExactAndARefusedDecodeLeavesNoWav) {
    const std::string sources = testenv::makeDir("round") + "/";
    const std::string decoded = testenv::root() + "round-out/decoded";
    const std::string encoded = testenv::root() + "round-out/encoded";
    saveSettings(decoded, encoded, false);
    apptest::makeWav(sources + "round.wav", 2.0);
    testenv::writeFile(sources + "junk.mp3", std::string(20000, '\x11'));

    ASSERT_EQ(e2e::run(e2e::programPath(), {sources + "round.wav"}, 60000), 0);
    ASSERT_EQ(e2e::run(e2e::programPath(), {sources + "junk.mp3"}, 60000), 0);
    ASSERT_EQ(e2e::run(e2e::programPath(), {encoded + "/round.MP3"}, 60000), 0);

    // WAV -> MP3 -> WAV gives back exactly the samples that went in.
    const std::string back = decoded + "/round.WAV";
    EXPECT_EQ(apptest::capture("soxi -s " + apptest::quoted(back)), "88200\n");
    apptest::expectTone(back, 2.0, 44100, 2);
    // The decode the decoder refused left nothing in the decoded folder.
    EXPECT_EQ(listDir(decoded), std::vector<std::string>{"round.WAV"});
}

TEST(BatchConversion, AConversionProcessWithoutDrivesShowsNoBox) {
    const std::string sources = testenv::makeDir("nobox") + "/";
    const std::string encoded = testenv::root() + "nobox-out/encoded";
    saveSettings(testenv::root() + "nobox-out/decoded", encoded, false);
    apptest::makeWav(sources + "tone.wav", 0.5);

    // The program's own start-up with every box printed: a box about CD drives
    // would show up here.
    e2e::Process p = e2e::start(testenv::appDir() + "held_box_program", {sources + "tone.wav"});
    EXPECT_EQ(e2e::wait(p, 30000), 0) << e2e::errors(p);
    EXPECT_EQ(e2e::output(p), "");
    apptest::expectTone(encoded + "/tone.MP3", 0.5, 44100, 2);
    EXPECT_EQ(listDir(encoded).size(), 1u);
    EXPECT_TRUE(listDir(runtimeDir()).empty());
}

// A tagged MP3 decoded by the program and the WAV encoded back: both files carry the
// seven fields as ffprobe reads them.
TEST(BatchConversion, TagsSurviveDecodeAndEncode) {
    const std::string sources = testenv::makeDir("tagged") + "/";
    const std::string decoded = testenv::root() + "tagged-out/decoded";
    const std::string encoded = testenv::root() + "tagged-out/encoded";
    saveSettings(decoded, encoded, false);
    e2e::Options options = soundToFile(testenv::root() + "tagged-played.raw");
    apptest::makeWav(sources + "plain.wav", 1.0);
    const std::string lame = "lame --quiet -b 128 --id3v2-only --tt 'Ein Lied' --ta 'Die Band' "
                             "--tl 'Das Album' --ty 2001 --tn 4/9 --tg Rock --tc 'Eine Notiz' '" +
                             sources + "plain.wav' '" + sources + "song.mp3'";
    ASSERT_EQ(testenv::run(lame), 0) << lame;

    auto expectFields = [](const std::string& file) {
        SCOPED_TRACE(file);
        auto tags = testenv::probeTags(file);
        EXPECT_EQ(tags["title"], "Ein Lied");
        EXPECT_EQ(tags["artist"], "Die Band");
        EXPECT_EQ(tags["album"], "Das Album");
        EXPECT_EQ(tags["date"], "2001");
        EXPECT_EQ(tags["track"], "4/9");
        EXPECT_EQ(tags["genre"], "Rock");
        EXPECT_EQ(tags["comment"], "Eine Notiz");
    };
    e2e::Process decode = e2e::start(e2e::programPath(), {sources + "song.mp3"}, options);
    ASSERT_EQ(e2e::wait(decode, 60000), 0) << e2e::errors(decode);
    expectFields(decoded + "/song.WAV");
    apptest::expectTone(decoded + "/song.WAV", 1.0, 44100, 2);

    e2e::Process encode = e2e::start(e2e::programPath(), {decoded + "/song.WAV"}, options);
    ASSERT_EQ(e2e::wait(encode, 60000), 0) << e2e::errors(encode);
    expectFields(encoded + "/song.MP3");
    apptest::expectTone(encoded + "/song.MP3", 1.0, 44100, 2);
    EXPECT_EQ(countOf(e2e::errors(decode) + e2e::errors(encode), "tags not written"), 0u);
}
