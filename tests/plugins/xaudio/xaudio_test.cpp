// xaudio.so through its C entry points: real decodes of MP3 files the tests make
// with the lame tool, compared sample for sample with the mpg123 tool.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "DecodeFixtures.h"
#include "TestEnv.h"
#include "XaudioSession.h"

using namespace decodetest;

namespace {

struct Fixture {
    uint32_t rate;
    uint16_t channels;
    double seconds;
    const char* encoderArgs; // lame's, or ffmpeg's after "ffmpeg:"
};

// MP3 files made once per test process and shared by the tests.
const std::string& mp3(const std::string& key) {
    static const std::map<std::string, Fixture> fixtures = {
        {"stereo44", {44100, 2, 2.0, "-b 128"}},
        {"mono22", {22050, 1, 2.0, "-b 64"}},
        {"tagged", {44100, 2, 1.5, "-b 128 --tt Title --ta Artist --add-id3v2"}},
        {"vbr", {44100, 2, 3.0, "-V 2"}},
        // Ten minutes that decode in a fraction of a second: long enough to stop
        // midway whatever the machine's speed.
        {"long", {22050, 1, 600.0, "-b 32 -q 9"}},
        {"mpeg25", {8000, 1, 2.0, "-b 16"}},
        {"freeformat", {44100, 2, 1.0, "--freeformat -b 400"}},
        {"layer2", {44100, 2, 1.0, "ffmpeg:-c:a mp2 -b:a 192k -f mp2"}},
    };
    static std::map<std::string, std::string> made;
    auto it = made.find(key);
    if (it != made.end()) {
        return it->second;
    }
    const Fixture& f = fixtures.at(key);
    std::string dir = testenv::makeDir("mp3");
    std::string path = dir + "/" + key + ".mp3";
    const std::string args = f.encoderArgs;
    const Pcm pcm = sine(f.rate, f.channels, f.seconds, 440.0);
    EXPECT_TRUE(args.rfind("ffmpeg:", 0) == 0 ? encodeWithFfmpeg(pcm, path, args.substr(7))
                                              : encodeMp3(pcm, path, args))
        << "could not encode " << key;
    return made[key] = path;
}

std::string outDir() {
    static std::string dir = testenv::makeDir("out");
    return dir + "/";
}

// Starts a decode of `source` into `target`.
void startDecode(XaudioSession& s, const std::string& source, const std::string& target) {
    s.send(XA_CONTROL_INPUT_OPEN, source);
    s.send(XA_CONTROL_OUTPUT_OPEN, target);
    s.send(XA_CONTROL_PLAY);
}

void expectSamePcm(const std::vector<int16_t>& got, const std::vector<int16_t>& want) {
    ASSERT_EQ(got.size(), want.size());
    size_t differing = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        differing += got[i] != want[i];
    }
    EXPECT_EQ(differing, 0u);
}

} // namespace

TEST(XaudioLibrary, ReportsVersion38AndATextForEveryCode) {
    ASSERT_TRUE(xaudio().library.isLoaded()) << xaudio().library.error();
    uint32_t v = xaudio().xaudio_get_version(XA_VERSION_ID_ASYNC_API);
    EXPECT_EQ((v >> 16) & 0xFF, 3u);
    EXPECT_EQ((v >> 8) & 0xFF, 8u);
    EXPECT_EQ(xaudio().xaudio_get_version(77), 0u);

    std::set<std::string> texts;
    for (int32_t code = XA_SUCCESS; code >= XA_ERROR_LAST; --code) {
        std::string text = xaudio().xaudio_error_string(code);
        EXPECT_FALSE(text.empty()) << code;
        EXPECT_NE(text, "unknown error") << code;
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), size_t(1 - XA_ERROR_LAST)) << "two codes share a text";
    EXPECT_STREQ(xaudio().xaudio_error_string(-1000), "unknown error");
}

TEST(XaudioDecode, StereoStreamMatchesMpg123AndIsClosedBeforeTheEnd) {
    const std::string target = outDir() + "stereo.pcm";
    XaudioSession s;
    ASSERT_NE(s.player, nullptr);
    startDecode(s, mp3("stereo44"), target);
    bool closedAtEnd = false;
    bool ended = s.pump([&](const Note& n) {
        if (n.code() == XA_NOTIFY_PLAYER_STATE && n.b(0) == XA_PLAYER_STATE_EOS) {
            closedAtEnd = !fileOpenInProcess(target);
            return true;
        }
        return n.code() == XA_NOTIFY_NACK;
    });
    ASSERT_TRUE(ended) << "no end of stream";
    EXPECT_TRUE(closedAtEnd) << "end of stream reported while the file was still open";
    EXPECT_EQ(s.states(), (std::vector<int>{XA_PLAYER_STATE_PLAYING, XA_PLAYER_STATE_EOS}));
    EXPECT_TRUE(s.notesOf(XA_NOTIFY_NACK).empty());
    EXPECT_EQ(s.notesOf(XA_NOTIFY_READY).size(), 1u);

    auto params = s.notesOf(XA_NOTIFY_STREAM_PARAMETERS);
    ASSERT_EQ(params.size(), 1u);
    EXPECT_EQ(params[0].d(0), 44100u);
    EXPECT_EQ(params[0].w(4), 128u);
    EXPECT_EQ(params[0].b(6), 2u);

    auto duration = s.notesOf(XA_NOTIFY_STREAM_DURATION);
    ASSERT_EQ(duration.size(), 1u);
    EXPECT_NEAR(double(duration[0].d(0)), 2000.0, 60.0);

    auto positions = s.notesOf(XA_NOTIFY_INPUT_POSITION);
    ASSERT_GE(positions.size(), 2u);
    for (size_t i = 1; i < positions.size(); ++i) {
        EXPECT_GE(positions[i].d(0), positions[i - 1].d(0));
        EXPECT_EQ(positions[i].d(1), uint32_t(XA_DEFAULT_POSITION_RANGE));
    }
    EXPECT_EQ(positions.back().d(0), uint32_t(XA_DEFAULT_POSITION_RANGE));
    auto names = s.notesOf(XA_NOTIFY_INPUT_NAME);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].texts[0], mp3("stereo44"));

    // The header area is left to the caller; the samples follow it.
    const std::string bytes = testenv::readFile(target);
    ASSERT_GT(bytes.size(), 44u);
    EXPECT_EQ(bytes.substr(0, 44), std::string(44, '\0'));
    Pcm reference;
    ASSERT_TRUE(referenceDecode(mp3("stereo44"), reference));
    std::vector<int16_t> pcm = samplesAfter44(target);
    expectSamePcm(pcm, reference.samples);
    EXPECT_NEAR(toneFrequency(pcm, 2, 0, 44100), 440.0, 5.0);
    EXPECT_NEAR(toneFrequency(pcm, 2, 1, 44100), 660.0, 5.0);
}

TEST(XaudioDecode, MonoLowRateTaggedVariableRateLayerTwoAndFreeFormatStreams) {
    struct Row {
        const char* key;
        uint32_t rate;
        uint16_t channels;
        double seconds;
    };
    for (const Row& row : {Row{"mono22", 22050, 1, 2.0}, Row{"tagged", 44100, 2, 1.5},
                           Row{"vbr", 44100, 2, 3.0}, Row{"mpeg25", 8000, 1, 2.0},
                           Row{"freeformat", 44100, 2, 1.0}, Row{"layer2", 44100, 2, 1.0}}) {
        SCOPED_TRACE(row.key);
        const std::string target = outDir() + row.key + ".pcm";
        XaudioSession s;
        startDecode(s, mp3(row.key), target);
        ASSERT_TRUE(s.playToEnd());
        auto params = s.notesOf(XA_NOTIFY_STREAM_PARAMETERS);
        ASSERT_EQ(params.size(), 1u);
        EXPECT_EQ(params[0].d(0), row.rate);
        EXPECT_EQ(params[0].b(6), row.channels);
        Pcm reference;
        ASSERT_TRUE(referenceDecode(mp3(row.key), reference));
        EXPECT_EQ(reference.rate, row.rate);
        std::vector<int16_t> pcm = samplesAfter44(target);
        expectSamePcm(pcm, reference.samples);
        // The encoders may pad the end by a few frames.
        const double decodedSeconds = double(pcm.size()) / row.channels / row.rate;
        EXPECT_NEAR(decodedSeconds, row.seconds, 0.2);
        auto duration = s.notesOf(XA_NOTIFY_STREAM_DURATION);
        ASSERT_EQ(duration.size(), 1u);
        EXPECT_NEAR(double(duration[0].d(0)), decodedSeconds * 1000.0, 60.0);
        EXPECT_NEAR(toneFrequency(pcm, row.channels, 0, row.rate), 440.0, 5.0);
    }
}

TEST(XaudioCommands, RefusalsAreNackedWithTheCommandAndACode) {
    const std::string blocker = outDir() + "a-file";
    testenv::writeFile(blocker, "x");
    struct Row {
        int32_t command;
        std::string argument;
        int16_t code;
    };
    const Row rows[] = {
        {XA_CONTROL_PLAY, "", XA_ERROR_NO_INPUT},
        {XA_CONTROL_INPUT_OPEN, outDir() + "missing.mp3", XA_ERROR_INPUT_NOT_FOUND},
        {XA_CONTROL_INPUT_OPEN, outDir(), XA_ERROR_INPUT_NOT_A_FILE},
        {XA_CONTROL_OUTPUT_OPEN, blocker + "/out.wav", XA_ERROR_OUTPUT_OPEN},
        {XA_CONTROL_OUTPUT_OPEN, outDir(), XA_ERROR_OUTPUT_OPEN},
        {XA_CONTROL_OUTPUT_OPEN, "", XA_ERROR_INVALID_PARAMETERS},
        {XA_CONTROL_CODEC_SEND_MESSAGE, "", XA_ERROR_NOT_IMPLEMENTED},
        {XA_CONTROL_SET_OUTPUT_VOLUME, "", XA_ERROR_NOT_IMPLEMENTED},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.command);
        XaudioSession s;
        if (row.command == XA_CONTROL_INPUT_OPEN || row.command == XA_CONTROL_OUTPUT_OPEN) {
            s.send(row.command, row.argument);
        } else {
            s.send(row.command);
        }
        ASSERT_TRUE(s.pump([](const Note& n) { return n.code() == XA_NOTIFY_NACK; }, 5000));
        const Note nack = s.notesOf(XA_NOTIFY_NACK).front();
        EXPECT_EQ(nack.b(0), row.command);
        EXPECT_EQ(int16_t(nack.w(2)), row.code);
        EXPECT_STRNE(xaudio().xaudio_error_string(int16_t(nack.w(2))), "unknown error");
    }
    // Play with an input but no output.
    XaudioSession s;
    s.send(XA_CONTROL_INPUT_OPEN, mp3("stereo44"));
    s.send(XA_CONTROL_PLAY);
    ASSERT_TRUE(s.pump([](const Note& n) { return n.code() == XA_NOTIFY_NACK; }, 5000));
    EXPECT_EQ(int16_t(s.notesOf(XA_NOTIFY_NACK).front().w(2)), XA_ERROR_NO_OUTPUT);
}

TEST(XaudioCommands, ClosingWhatIsClosedIsNoFailure) {
    XaudioSession s;
    s.send(XA_CONTROL_OUTPUT_CLOSE);
    s.send(XA_CONTROL_INPUT_CLOSE);
    s.send(XA_CONTROL_INPUT_OPEN, mp3("stereo44"));
    s.send(XA_CONTROL_OUTPUT_OPEN, outDir() + "closed-twice.pcm");
    for (int i = 0; i < 2; ++i) {
        s.send(XA_CONTROL_OUTPUT_CLOSE);
        s.send(XA_CONTROL_INPUT_CLOSE);
        s.send(XA_CONTROL_OUTPUT_RESET);
    }
    s.send(XA_CONTROL_SYNCHRONIZE);
    ASSERT_TRUE(s.pump([](const Note& n) {
        return n.code() == XA_NOTIFY_ACK && n.b(0) == XA_CONTROL_SYNCHRONIZE;
    }));
    EXPECT_TRUE(s.notesOf(XA_NOTIFY_NACK).empty());
    EXPECT_EQ(s.notesOf(XA_NOTIFY_ACK).size(), 11u);
    EXPECT_FALSE(fileOpenInProcess(outDir() + "closed-twice.pcm"));
}

TEST(XaudioCommands, OutputCloseMidStreamLeavesAFinishedPrefixBeforeItReturns) {
    const std::string target = outDir() + "cut.pcm";
    Pcm reference;
    ASSERT_TRUE(referenceDecode(mp3("long"), reference));
    XaudioSession s;
    startDecode(s, mp3("long"), target);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    s.send(XA_CONTROL_OUTPUT_CLOSE);
    // Right after the call the file is closed and no longer grows.
    EXPECT_FALSE(fileOpenInProcess(target));
    const off_t size = fileSize(target);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(fileSize(target), size);

    std::vector<int16_t> pcm = samplesAfter44(target);
    ASSERT_LT(pcm.size(), reference.samples.size()) << "the decode was not cut midway";
    EXPECT_EQ((size - 44) % 2, 0);
    EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), reference.samples.begin()));

    s.send(XA_CONTROL_SYNCHRONIZE);
    ASSERT_TRUE(s.pump([](const Note& n) {
        return n.code() == XA_NOTIFY_ACK && n.b(0) == XA_CONTROL_SYNCHRONIZE;
    }));
    EXPECT_EQ(s.states().back(), XA_PLAYER_STATE_STOPPED);
    EXPECT_TRUE(s.notesOf(XA_NOTIFY_NACK).empty());
}

TEST(XaudioCommands, PauseHoldsTheWritesAndPlayResumesWithoutLoss) {
    const std::string target = outDir() + "paused.pcm";
    XaudioSession s;
    startDecode(s, mp3("long"), target);
    s.send(XA_CONTROL_PAUSE);
    const off_t size = fileSize(target);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(fileSize(target), size);
    s.send(XA_CONTROL_PLAY);
    ASSERT_TRUE(s.playToEnd());
    auto states = s.states();
    EXPECT_EQ(states, (std::vector<int>{XA_PLAYER_STATE_PLAYING, XA_PLAYER_STATE_PAUSED,
                                        XA_PLAYER_STATE_PLAYING, XA_PLAYER_STATE_EOS}));
    Pcm reference;
    ASSERT_TRUE(referenceDecode(mp3("long"), reference));
    expectSamePcm(samplesAfter44(target), reference.samples);
}

TEST(XaudioCommands, StopClosesTheOutputAndRewindsTheInput) {
    const std::string first = outDir() + "stopped.pcm";
    const std::string second = outDir() + "after-stop.pcm";
    XaudioSession s;
    startDecode(s, mp3("long"), first);
    s.send(XA_CONTROL_STOP);
    EXPECT_FALSE(fileOpenInProcess(first));
    s.send(XA_CONTROL_PLAY); // no output any more
    ASSERT_TRUE(s.pump([](const Note& n) { return n.code() == XA_NOTIFY_NACK; }));
    EXPECT_EQ(int16_t(s.notesOf(XA_NOTIFY_NACK).front().w(2)), XA_ERROR_NO_OUTPUT);

    s.send(XA_CONTROL_OUTPUT_OPEN, second);
    s.send(XA_CONTROL_PLAY);
    ASSERT_TRUE(s.playToEnd());
    Pcm reference;
    ASSERT_TRUE(referenceDecode(mp3("long"), reference));
    expectSamePcm(samplesAfter44(second), reference.samples);
}

TEST(XaudioPlayer, DeletedMidDecodeWithNotificationsInFlight) {
    std::vector<Posted> inFlight;
    {
        XaudioSession s;
        startDecode(s, mp3("long"), outDir() + "deleted.pcm");
        s.send(XA_CONTROL_GET_INPUT_NAME); // a notification that carries a text
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        xaudio().player_delete(s.player);
        s.player = nullptr;
        inFlight = s.window.drain();
    }
    ASSERT_GT(inFlight.size(), 5u);
    EXPECT_FALSE(fileOpenInProcess(outDir() + "deleted.pcm"));

    // Messages of a player since deleted mean nothing to a new one.
    XaudioSession other;
    for (const Posted& p : inFlight) {
        XA_Message m{};
        EXPECT_NE(xaudio().params_to_message(other.player, &m, p.number, p.wparam, p.lparam), 0);
    }
}

TEST(XaudioMessages, OnlyThePlayersOwnUntranslatedMessagesAreRecognised) {
    XaudioSession s;
    s.send(XA_CONTROL_PING);
    Posted ready{}, pong{};
    ASSERT_TRUE(s.window.next(ready, std::chrono::seconds(5)));
    ASSERT_TRUE(s.window.next(pong, std::chrono::seconds(5)));
    XA_Message m{};
    EXPECT_NE(xaudio().params_to_message(s.player, &m, 0x0400, pong.wparam, pong.lparam), 0);
    EXPECT_NE(xaudio().params_to_message(s.player, &m, pong.number, pong.wparam + 1, pong.lparam),
              0);
    EXPECT_EQ(xaudio().params_to_message(s.player, &m, ready.number, ready.wparam, ready.lparam),
              0);
    EXPECT_EQ(m.code, uint32_t(XA_NOTIFY_READY));
    EXPECT_EQ(xaudio().params_to_message(s.player, &m, pong.number, pong.wparam, pong.lparam), 0);
    EXPECT_EQ(m.code, uint32_t(XA_NOTIFY_PONG));
    EXPECT_NE(xaudio().params_to_message(s.player, &m, pong.number, pong.wparam, pong.lparam), 0)
        << "a message is translated only once";
    EXPECT_GE(pong.number, 0x9000u);
}

namespace {

// The nice values of this process's threads.
std::vector<int> threadNiceValues() {
    std::vector<int> values;
    DIR* dir = opendir("/proc/self/task");
    while (dir) {
        dirent* entry = readdir(dir);
        if (!entry) {
            break;
        }
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::string stat =
            testenv::readFile(std::string("/proc/self/task/") + entry->d_name + "/stat");
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        // Field 19 of the line is the nice value; the stream starts at field 3.
        for (int i = 3; i <= 19 && fields >> field; ++i) {
        }
        values.push_back(std::stoi(field));
    }
    if (dir) {
        closedir(dir);
    }
    return values;
}

} // namespace

TEST(XaudioPlayer, LowPriorityLowersTheDecodingThread) {
    XaudioSession s;
    EXPECT_EQ(xaudio().player_get_priority(s.player), XA_PRIORITY_NORMAL);
    EXPECT_EQ(xaudio().player_set_priority(s.player, 9), XA_ERROR_INVALID_PARAMETERS);
    ASSERT_EQ(xaudio().player_set_priority(s.player, XA_PRIORITY_LOW), XA_SUCCESS);
    EXPECT_EQ(xaudio().player_get_priority(s.player), XA_PRIORITY_LOW);
    // The thread has applied its priority once it reports itself ready.
    ASSERT_TRUE(s.pump([](const Note& n) { return n.code() == XA_NOTIFY_READY; }));
    auto nice = threadNiceValues();
    errno = 0;
    int own = getpriority(PRIO_PROCESS, 0);
    EXPECT_EQ(std::count(nice.begin(), nice.end(), own + 5), 1);
}

TEST(XaudioBadInput, EndsWithARefusalOrACleanEndInBoundedTime) {
    const std::string dir = testenv::makeDir("bad") + "/";
    // The valid stream with tags around it, and cut short.
    const std::string valid = testenv::readFile(mp3("stereo44"));
    std::string hugeTag = "ID3";
    hugeTag += std::string("\x04\x00\x00", 3);
    const uint32_t tagSize = 8 * 1024 * 1024; // synchsafe: 7 bits per byte
    for (int shift : {21, 14, 7, 0}) {
        hugeTag.push_back(char((tagSize >> shift) & 0x7F));
    }
    hugeTag += std::string(tagSize, '\0');
    testenv::writeFile(dir + "huge-tag.mp3", hugeTag + valid);
    testenv::writeFile(dir + "truncated.mp3", valid.substr(0, valid.size() * 3 / 5 + 7));
    testenv::writeFile(dir + "empty.mp3", "");
    std::mt19937 random(4);
    std::string noise(64 * 1024, '\0');
    for (char& c : noise) {
        c = char(random());
    }
    testenv::writeFile(dir + "random.mp3", noise);
    writeWav(dir + "wave.mp3", sine(44100, 2, 1.0, 440.0));

    struct Row {
        const char* name;
        bool mustDecode; // a stream libmpg123 can decode: compared with mpg123
    };
    for (const Row& row :
         {Row{"huge-tag.mp3", true}, Row{"truncated.mp3", true}, Row{"empty.mp3", false},
          Row{"random.mp3", false}, Row{"wave.mp3", false}}) {
        SCOPED_TRACE(row.name);
        const std::string source = dir + row.name;
        const std::string target = dir + row.name + ".pcm";
        XaudioSession s;
        startDecode(s, source, target);
        bool ended = false;
        bool nacked = false;
        ASSERT_TRUE(s.pump(
            [&](const Note& n) {
                ended = n.code() == XA_NOTIFY_PLAYER_STATE && n.b(0) == XA_PLAYER_STATE_EOS;
                nacked = n.code() == XA_NOTIFY_NACK;
                return ended || nacked;
            },
            10000))
            << "neither an end nor a refusal";
        if (row.mustDecode) {
            ASSERT_TRUE(ended);
            Pcm reference;
            ASSERT_TRUE(referenceDecode(source, reference));
            expectSamePcm(samplesAfter44(target), reference.samples);
        }
        if (nacked) {
            const Note nack = s.notesOf(XA_NOTIFY_NACK).front();
            EXPECT_TRUE(nack.b(0) == XA_CONTROL_INPUT_OPEN || nack.b(0) == XA_CONTROL_PLAY);
        }
    }
}
