// Tags through the file codec: an MP3's ID3 tag survives MP3 -> WAV -> MP3 as ffprobe
// reads it, the audio of every tagged file is byte for byte the untagged output, and
// broken or odd tags never cost a sample.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "AudioCheck.h"
#include "DecodeFixtures.h"
#include "DecodeTestApp.h"
#include "TestEnv.h"
#include "codec/MP3Codec.h"
#include "tags/Tags.h"

namespace {

using codec::TMP3Codec;

std::size_t id3Size(const std::string& bytes) {
    if (bytes.size() < 10 || bytes.compare(0, 3, "ID3") != 0) {
        return 0;
    }
    auto b = [&](int i) { return std::size_t(std::uint8_t(bytes[i]) & 0x7F); };
    return 10 + (b(6) << 21 | b(7) << 14 | b(8) << 7 | b(9)) + ((bytes[5] & 0x10) ? 10 : 0);
}

// An ID3v2 header of `version` around `frames` (a tag size that may lie).
std::string id3v2(int version, const std::string& frames, std::size_t claimed) {
    std::string s = "ID3";
    s += char(version);
    s += '\0';
    s += '\0';
    for (int shift : {21, 14, 7, 0}) {
        s += char((claimed >> shift) & 0x7F);
    }
    return s + frames;
}

// A text frame of ID3v2.3 (plain size) with an encoding byte and raw text bytes.
std::string frame23(const std::string& id, char encoding, const std::string& text) {
    std::string body = std::string(1, encoding) + text;
    std::string s = id;
    for (int shift : {24, 16, 8, 0}) {
        s += char((body.size() >> shift) & 0xFF);
    }
    return s + std::string(2, '\0') + body;
}

std::string id3v1(const std::string& title, const std::string& artist) {
    std::string s = "TAG";
    auto field = [&s](const std::string& text, std::size_t width) {
        s += text.substr(0, width) + std::string(width - std::min(width, text.size()), '\0');
    };
    field(title, 30);
    field(artist, 30);
    field("", 30);
    field("1999", 4);
    field("", 30);
    s += char(12); // genre: Other
    return s;
}

// A valid 1x1 grey PNG, so readers that look at pictures find a picture.
const std::string kPng(
    "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x00\x01\x00\x00\x00"
    "\x01\x08\x00\x00\x00\x00\x3a\x7e\x9b\x55\x00\x00\x00\x0a\x49\x44\x41\x54\x78\x9c\x63\x60\x00"
    "\x00\x00\x02\x00\x01\x48\xaf\xa4\x71\x00\x00\x00\x00\x49\x45\x4e\x44\xae\x42\x60\x82",
    67);

tags::TagSet fullTags() {
    tags::TagSet t;
    t.title = "Sörens Lied";
    t.artist = "The Artist";
    t.album = "Ein Album";
    t.albumArtist = "Various";
    t.date = "2019";
    t.genre = "Jazz";
    t.comment = "a comment";
    t.track = 3;
    t.trackTotal = 12;
    return t;
}

void expectSevenFields(const std::map<std::string, std::string>& probed) {
    auto get = [&probed](const char* key) {
        auto it = probed.find(key);
        return it == probed.end() ? std::string("<missing>") : it->second;
    };
    EXPECT_EQ(get("title"), "Sörens Lied");
    EXPECT_EQ(get("artist"), "The Artist");
    EXPECT_EQ(get("album"), "Ein Album");
    EXPECT_EQ(get("date").substr(0, 4), "2019");
    EXPECT_EQ(get("track"), "3/12");
    EXPECT_EQ(get("genre"), "Jazz");
    EXPECT_EQ(get("comment"), "a comment");
}

class Tags : public ::testing::Test {
protected:
    void SetUp() override {
        decodetest::ensureApplication();
        dir_ =
            testenv::makeDir(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "/";
        ASSERT_EQ(codec_.LoadEncoder(testenv::appDir()), 0);
        ASSERT_EQ(codec_.InitDecoder(""), 0);
    }

    std::string path(const std::string& name) const { return dir_ + name; }

    void encode(const std::string& source, const std::string& target) {
        ASSERT_EQ(codec_.OpenEncode(source, target), 0);
        std::uint16_t progress = 0;
        int code = 0;
        for (int steps = 0; code == 0 && steps < 100000; ++steps) {
            code = codec_.EncodeStep(progress);
        }
        EXPECT_EQ(code, 8);
        EXPECT_EQ(codec_.CloseEncode(), 0);
    }

    int decode(const std::string& source, const std::string& target) {
        int code = codec_.OpenDecode(source, target);
        QElapsedTimer timer;
        timer.start();
        while (code == 0) {
            if (timer.elapsed() > 30000) {
                ADD_FAILURE() << "the decode did not end";
                break;
            }
            QCoreApplication::processEvents();
            std::uint16_t progress = 0;
            code = codec_.DecodeStep(progress);
            QCoreApplication::processEvents();
        }
        EXPECT_EQ(codec_.CloseDecode(), 0);
        return code;
    }

    // A plain stereo tone and its untagged MP3 and WAV as the codec makes them.
    void makePlain() {
        decodetest::writeWav(path("source.wav"), decodetest::sine(44100, 2, 2.0, 440.0));
        encode(path("source.wav"), path("plain.mp3"));
        ASSERT_EQ(decode(path("plain.mp3"), path("plain.wav")), 8);
        plainMp3_ = testenv::readFile(path("plain.mp3"));
        plainWav_ = testenv::readFile(path("plain.wav"));
        ASSERT_GT(plainMp3_.size(), 1000u);
        ASSERT_NE(plainMp3_.substr(0, 3), "ID3") << "an untagged WAV gives no tag";
        ASSERT_EQ(plainWav_.size(), 44 + audiocheck::get32(plainWav_, 40))
            << "an untagged MP3 gives a bare WAV";
    }

    // The decoded WAV's header and audio, without what follows the data chunk and
    // without the RIFF size, the one header field that counts the tag chunks.
    static std::string wavAudio(const std::string& wav) {
        return wav.substr(8, 36 + audiocheck::get32(wav, 40));
    }

    TMP3Codec codec_;
    std::string dir_;
    std::string plainMp3_;
    std::string plainWav_;
};

using testenv::FileSizeLimit;

} // namespace

TEST_F(Tags, TaggedMp3ToWavAndBackKeepsTheSevenFieldsAndTheAudio) {
    makePlain();
    // A tagged MP3: our encoder's output with a tag and a cover picture.
    testenv::writeFile(path("tagged.mp3"), plainMp3_);
    tags::TagSet t = fullTags();
    t.pictures.push_back({"image/png", 3, "cover", kPng});
    std::string why;
    ASSERT_TRUE(tags::WriteMp3Tags(path("tagged.mp3"), t, why)) << why;
    std::string tagged = testenv::readFile(path("tagged.mp3"));
    EXPECT_EQ(tagged.substr(0, 4), std::string("ID3\x04", 4));
    EXPECT_TRUE(tagged.substr(id3Size(tagged)) == plainMp3_) << "the audio frames moved or changed";
    EXPECT_NE(tagged.substr(tagged.size() - 128, 3), "TAG") << "no ID3v1 trailer";
    // A file that has a tag gets it replaced, the audio staying as it was.
    testenv::writeFile(path("retagged.mp3"), tagged);
    tags::TagSet other;
    other.title = "Other";
    ASSERT_TRUE(tags::WriteMp3Tags(path("retagged.mp3"), other, why)) << why;
    const std::string retagged = testenv::readFile(path("retagged.mp3"));
    EXPECT_TRUE(retagged.substr(id3Size(retagged)) == plainMp3_);
    EXPECT_EQ(tags::ReadMp3Tags(path("retagged.mp3")).title, "Other");

    ASSERT_EQ(decode(path("tagged.mp3"), path("tagged.wav")), 8);
    std::string wav = testenv::readFile(path("tagged.wav"));
    EXPECT_TRUE(wavAudio(wav) == wavAudio(plainWav_)) << "header or samples differ";
    ASSERT_GT(wav.size(), plainWav_.size());
    EXPECT_EQ(audiocheck::get32(wav, 4), wav.size() - 8);
    const std::string after = wav.substr(plainWav_.size());
    EXPECT_NE(after.find("LIST"), std::string::npos);
    EXPECT_NE(after.find("INFO"), std::string::npos);
    EXPECT_NE(after.find("ID3 "), std::string::npos);
    expectSevenFields(testenv::probeTags(path("tagged.wav")));
    EXPECT_EQ(tags::ReadWavTags(path("tagged.wav")).albumArtist, "Various");
    EXPECT_TRUE(tags::ReadWavTags(path("tagged.wav")).pictures.empty()) << "dropped on decode";

    // Back to MP3: the same tag, and the same frames as the untagged WAV gives.
    encode(path("plain.wav"), path("again.mp3"));
    encode(path("tagged.wav"), path("round.mp3"));
    const std::string again = testenv::readFile(path("again.mp3"));
    const std::string round = testenv::readFile(path("round.mp3"));
    ASSERT_NE(again.substr(0, 3), "ID3");
    ASSERT_GT(id3Size(round), 0u);
    EXPECT_TRUE(round.substr(id3Size(round)) == again) << "the audio differs from the untagged";
    expectSevenFields(testenv::probeTags(path("round.mp3")));
    EXPECT_EQ(testenv::probeTags(path("round.mp3"))["album_artist"], "Various");
}

TEST_F(Tags, WavChunksBecomeAnId3Tag) {
    makePlain();
    using namespace audiocheck;
    const std::string fmt = plainWav_.substr(12, 24);
    const std::string data = plainWav_.substr(36);

    // INFO alone, written by an older program in Latin-1.
    // Odd-sized fields are followed by a pad byte.
    std::string info = "INFO" + chunk("INAM", std::string("Caf\xe9\0", 5)) + '\0' +
                       chunk("IART", std::string("Ren\xe9\0", 5)) + '\0' + chunk("IPRT", "7") +
                       '\0' + chunk("ICRD", "2001-02-03");
    testenv::writeFile(path("info.wav"), riff(fmt + data + chunk("LIST", info)));
    encode(path("info.wav"), path("info.mp3"));
    auto probed = testenv::probeTags(path("info.mp3"));
    EXPECT_EQ(probed["title"], "Café");
    EXPECT_EQ(probed["artist"], "René");
    EXPECT_EQ(probed["track"], "7");
    EXPECT_EQ(probed["date"], "2001-02-03");

    // An "id3 " chunk with a picture: the picture is kept on encode.
    testenv::writeFile(path("pic.mp3"), plainMp3_);
    tags::TagSet t = fullTags();
    const std::string picture = kPng;
    t.pictures.push_back({"image/png", 3, "", picture});
    std::string why;
    ASSERT_TRUE(tags::WriteMp3Tags(path("pic.mp3"), t, why)) << why;
    std::string id3 = testenv::readFile(path("pic.mp3"));
    id3.resize(id3Size(id3));
    testenv::writeFile(path("id3.wav"), riff(fmt + data + chunk("id3 ", id3)));
    encode(path("id3.wav"), path("id3.mp3"));
    tags::TagSet back = tags::ReadMp3Tags(path("id3.mp3"));
    ASSERT_EQ(back.pictures.size(), 1u);
    EXPECT_TRUE(back.pictures[0].data == picture);
    EXPECT_EQ(back.pictures[0].mimeType, "image/png");
    expectSevenFields(testenv::probeTags(path("id3.mp3")));

    // Both encodes carry exactly the frames of the untagged encode of the same audio.
    encode(path("plain.wav"), path("again.mp3"));
    const std::string again = testenv::readFile(path("again.mp3"));
    for (const char* name : {"info.mp3", "id3.mp3"}) {
        std::string bytes = testenv::readFile(path(name));
        EXPECT_TRUE(bytes.substr(id3Size(bytes)) == again) << name;
    }
}

TEST_F(Tags, BadTagsNeverCostASample) {
    makePlain();
    // The reference: what the decoder makes of the same bytes, as the mpg123 tool sees it.
    auto expectDecodedLikeMpg123 = [this](const std::string& name) {
        SCOPED_TRACE(name);
        const std::string wavName = path(name + ".wav");
        EXPECT_EQ(decode(path(name), wavName), 8);
        std::string wav = testenv::readFile(wavName);
        ASSERT_GE(wav.size(), 44u);
        decodetest::Pcm reference;
        ASSERT_TRUE(decodetest::referenceDecode(path(name), reference));
        std::string audio = wav.substr(44, audiocheck::get32(wav, 40));
        EXPECT_EQ(audio.size(), reference.samples.size() * 2);
        EXPECT_TRUE(audio == std::string(reinterpret_cast<const char*>(reference.samples.data()),
                                         reference.samples.size() * 2));
        EXPECT_EQ(audiocheck::get32(wav, 4), wav.size() - 8);
    };

    // Latin-1 text in an ID3v2.3 tag and in an ID3v1 trailer.
    testenv::writeFile(path("latin1.mp3"), id3v2(3, frame23("TIT2", 0, "Caf\xe9"), 30) + plainMp3_ +
                                               id3v1("", "Ren\xe9"));
    expectDecodedLikeMpg123("latin1.mp3");
    auto probed = testenv::probeTags(path("latin1.mp3.wav"));
    EXPECT_EQ(probed["title"], "Café");
    EXPECT_EQ(probed["artist"], "René");

    // A frame that says UTF-8 but is not; a frame size running past the tag.
    testenv::writeFile(path("badutf8.mp3"),
                       id3v2(4, frame23("TIT2", 3, "\xff\xfe\xc3(x"), 16) + plainMp3_);
    expectDecodedLikeMpg123("badutf8.mp3");
    std::string overrun = frame23("TPE1", 0, "abc");
    overrun[7] = '\x7f';
    testenv::writeFile(path("overrun.mp3"), id3v2(3, overrun, 13) + plainMp3_);
    expectDecodedLikeMpg123("overrun.mp3");

    // A tag size that lies (larger than the tag, and larger than the file).
    testenv::writeFile(path("lying.mp3"), id3v2(3, frame23("TIT2", 0, "x"), 2000) + plainMp3_);
    expectDecodedLikeMpg123("lying.mp3");
    testenv::writeFile(path("truncated.mp3"),
                       id3v2(3, frame23("TIT2", 0, "x"), 100000000) + plainMp3_.substr(0, 5000));
    EXPECT_TRUE(tags::ReadMp3Tags(path("truncated.mp3")).pictures.empty());
    decode(path("truncated.mp3"), path("truncated.wav"));

    // A 64 KiB comment goes through the WAV and back.
    tags::TagSet t;
    t.title = "long";
    t.comment = std::string(65536, 'c');
    testenv::writeFile(path("long.mp3"), plainMp3_);
    std::string why;
    ASSERT_TRUE(tags::WriteMp3Tags(path("long.mp3"), t, why)) << why;
    ASSERT_EQ(decode(path("long.mp3"), path("long.wav")), 8);
    EXPECT_TRUE(wavAudio(testenv::readFile(path("long.wav"))) == wavAudio(plainWav_));
    encode(path("long.wav"), path("long2.mp3"));
    EXPECT_EQ(tags::ReadMp3Tags(path("long2.mp3")).comment.size(), 65536u);

    // A LIST chunk whose size runs past the end of the file: the encode is untouched.
    using namespace audiocheck;
    std::string wav = plainWav_ + "LIST";
    put32(wav, 1000000);
    wav += "INFOINAM";
    put32(wav, 5);
    wav += std::string("abcd\0", 5);
    testenv::writeFile(path("runaway.wav"), wav);
    encode(path("runaway.wav"), path("runaway.mp3"));
    encode(path("plain.wav"), path("again.mp3"));
    std::string runaway = testenv::readFile(path("runaway.mp3"));
    EXPECT_TRUE(runaway.substr(id3Size(runaway)) == testenv::readFile(path("again.mp3")));
}

TEST_F(Tags, AFileThatCannotBeTaggedStaysAsItWas) {
    makePlain();
    std::string why;
    // A WAV whose header does not describe the file (a stopped rip, say) is left alone.
    std::string stopped = plainWav_;
    stopped[40] = stopped[41] = stopped[42] = stopped[43] = 0;
    testenv::writeFile(path("stopped.wav"), stopped);
    EXPECT_FALSE(tags::WriteWavTags(path("stopped.wav"), fullTags(), why));
    EXPECT_TRUE(testenv::readFile(path("stopped.wav")) == stopped);

    // A header-only WAV (nothing recorded) stays 44 bytes.
    testenv::writeFile(path("empty.wav"), plainWav_.substr(0, 36) + "data" + std::string(4, '\0'));
    EXPECT_TRUE(tags::WriteWavTags(path("empty.wav"), fullTags(), why));
    EXPECT_EQ(testenv::readFile(path("empty.wav")).size(), 44u);

    // A disk that fills up while the tag is written: the MP3's copy comes out short
    // and is thrown away; the WAV's half-written chunks are cut off again.
    testenv::writeFile(path("full.mp3"), plainMp3_);
    testenv::writeFile(path("full.wav"), plainWav_);
    {
        testenv::FileSizeLimit limit(plainWav_.size() + 20);
        EXPECT_FALSE(tags::WriteWavTags(path("full.wav"), fullTags(), why));
    }
    EXPECT_TRUE(testenv::readFile(path("full.wav")) == plainWav_);
    {
        testenv::FileSizeLimit limit(plainMp3_.size() / 2);
        EXPECT_FALSE(tags::WriteMp3Tags(path("full.mp3"), fullTags(), why));
    }
    EXPECT_FALSE(why.empty());
    EXPECT_TRUE(testenv::readFile(path("full.mp3")) == plainMp3_);
    EXPECT_EQ(testenv::run("ls -A '" + dir_ + "' | grep -q '^.tw-tag'"), 1) << "a copy was left";

    // A copy left by a writer killed while tagging goes with the next tag write in
    // its folder; a running writer's stays.
    const pid_t gone = ::fork();
    if (gone == 0) {
        ::_exit(0);
    }
    ::waitpid(gone, nullptr, 0);
    const std::string dead = path(".tw-tag-" + std::to_string(gone) + "-0");
    const std::string alive = path(".tw-tag-" + std::to_string(::getpid()) + "-999");
    testenv::writeFile(dead, plainMp3_);
    testenv::writeFile(alive, plainMp3_);
    testenv::writeFile(path("next.mp3"), plainMp3_);
    EXPECT_TRUE(tags::WriteMp3Tags(path("next.mp3"), fullTags(), why)) << why;
    EXPECT_FALSE(testenv::fileExists(dead));
    EXPECT_TRUE(testenv::fileExists(alive));
}
