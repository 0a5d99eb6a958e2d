// "Compress to MP3" on sources other than the program's own WAVs, through the real
// program: every format made by ffmpeg here, the MP3s judged by ffprobe and ffmpeg.

#include <gtest/gtest.h>

#include <map>
#include <sys/stat.h>
#include <vector>

#include "TestEnv.h"
#include "e2e_support.h"
#include "tests/app/audio_check.h"
#include "tests/codec/AudioCheck.h"

namespace {

using apptest::capture;
using apptest::quoted;

constexpr int kLeftHz = 440;
constexpr int kRightHz = 1000;

const std::map<std::string, std::string> kTags = {
    {"title", "Ein Lied"},    {"artist", "Die Band"},   {"album", "Das Album"},
    {"album_artist", "Alle"}, {"date", "2001"},         {"track", "4/9"},
    {"genre", "Rock"},        {"comment", "Eine Notiz"}};

std::string metadataArgs(bool albumArtist) {
    std::string args;
    for (const auto& [key, value] : kTags) {
        if (key != "album_artist" || albumArtist) {
            args += " -metadata " + key + "=" + quoted(value);
        }
    }
    return args;
}

std::string base64(const std::string& bytes) {
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t v = static_cast<std::uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) {
            v |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
        }
        if (i + 2 < bytes.size()) {
            v |= static_cast<std::uint8_t>(bytes[i + 2]);
        }
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? digits[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? digits[v & 63] : '=';
    }
    return out;
}

// A Vorbis comment METADATA_BLOCK_PICTURE holding `png` as picture type 0 ("Other"),
// the type ffmpeg gives its covers.
std::string pictureComment(const std::string& png) {
    std::string block;
    auto be32 = [&block](std::uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            block += static_cast<char>((v >> shift) & 0xFF);
        }
    };
    be32(0);
    be32(9);
    block += "image/png";
    be32(0);
    for (std::uint32_t v : {32u, 24u, 24u, 0u}) {
        be32(v);
    }
    be32(static_cast<std::uint32_t>(png.size()));
    return base64(block + png);
}

// An ffmpeg command line: left and right sines of different pitch, `frames` frames at
// `rate` (inputs 0 and 1), then further `inputs`, the tones through `filter`, and the
// output `args`.
std::string stereoTones(int rate, long frames, const std::string& inputs, const std::string& filter,
                        const std::string& args, const std::string& out) {
    return "ffmpeg -v error -y -f lavfi -i sine=f=" + std::to_string(kLeftHz) +
           ":r=" + std::to_string(rate) + " -f lavfi -i sine=f=" + std::to_string(kRightHz) +
           ":r=" + std::to_string(rate) + " " + inputs +
           " -filter_complex '[0][1]amerge=inputs=2,atrim=end_sample=" + std::to_string(frames) +
           filter + "[a]' -map '[a]' " + args + " " + quoted(out);
}

long decodedFrames(const std::string& path) {
    return static_cast<long>(
        capture("ffmpeg -v error -i " + quoted(path) + " -f s16le -ac 1 -").size() / 2);
}

std::string probe(const std::string& mp3, const std::string& entries) {
    return capture("ffprobe -v error -show_entries " + entries + " -of csv=p=0 " + quoted(mp3));
}

} // namespace

TEST(AnyAudio, EveryFormatBecomesAnMp3OfItsLengthChannelsTagsAndCover) {
    const std::string dir = testenv::makeDir("any") + "/";
    const std::string encoded = testenv::root() + "any-out";
    e2e::saveSettings(testenv::root() + "any-decoded", encoded);
    const std::string cover = dir + "cover.png";
    ASSERT_EQ(testenv::run("ffmpeg -v error -f lavfi -i color=c=red:s=32x24 -frames:v 1 " +
                           quoted(cover)),
              0);
    const std::string coverInput = "-i " + quoted(cover);
    const std::string withCover = " -map 2 -c:v copy -disposition:v attached_pic";
    const std::string vorbisCover =
        " -metadata METADATA_BLOCK_PICTURE=" + pictureComment(testenv::readFile(cover));

    struct Row {
        std::string name;
        int rate;           // of the source
        std::string inputs; // ffmpeg's further inputs
        std::string filter; // after the tones
        std::string args;   // ffmpeg's output options
        int mp3Rate;
        int kbps;
        bool cover;
        bool albumArtist; // the format can carry one
        // Where the source's length comes from: the frames made (AAC in MP4 too: its
        // track states them exactly in its own timescale, though the edit list rounds
        // them to milliseconds); the frames ffmpeg decodes (its WMA encoder drops the
        // end).
        enum { Made, Decoded } length;
    };
    const long frames = 66000; // about 1.5 s at 44100 Hz; not a multiple of any frame size
    const std::vector<Row> rows = {
        {"flac-24-96.flac", 96000, coverInput, "",
         "-c:a flac -sample_fmt s32" + withCover + metadataArgs(true), 48000, 160, true, true,
         Row::Made},
        {"aac.m4a", 44100, coverInput, "", "-c:a aac" + withCover + metadataArgs(true), 44100, 128,
         true, true, Row::Made},
        {"vorbis.ogg", 44100, "", "", "-c:a libvorbis" + vorbisCover + metadataArgs(true), 44100,
         128, true, true, Row::Made},
        {"opus.opus", 48000, "", "", "-c:a libopus" + vorbisCover + metadataArgs(true), 48000, 160,
         true, true, Row::Made},
        {"mac.aiff", 22050, coverInput, "", "-write_id3v2 1" + withCover + metadataArgs(true),
         22050, 64, true, true, Row::Made},
        // ffmpeg muxes a WMA's picture as a video stream, not as a WM/Picture tag.
        {"windows.wma", 32000, "", "", "-c:a wmav2" + metadataArgs(true), 32000, 96, false, true,
         Row::Decoded},
        {"pack.wv", 44100, "", "", "-c:a wavpack" + metadataArgs(true), 44100, 128, false, true,
         Row::Made},
        {"deep-24bit.wav", 44100, "", "", "-c:a pcm_s24le" + metadataArgs(false), 44100, 128, false,
         false, Row::Made},
        {"float-37800.wav", 37800, "", "", "-c:a pcm_f32le" + metadataArgs(false), 44100, 128,
         false, false, Row::Made},
        // Left and right of a 5.1 file in their places, the other four channels silent.
        {"surround-5.1.wav", 48000, "", ",pan=5.1|FL=c0|FR=c1",
         "-c:a pcm_s16le" + metadataArgs(false), 48000, 160, false, false, Row::Made},
        {"video-clip.mp4", 44100, "-f lavfi -i color=c=blue:s=64x48:r=10:d=2", "",
         "-map 2 -c:v mpeg4 -c:a aac" + metadataArgs(true), 44100, 128, false, true, Row::Made},
    };

    std::vector<std::string> sources;
    for (const Row& row : rows) {
        const std::string command =
            stereoTones(row.rate, frames, row.inputs, row.filter, row.args, dir + row.name);
        ASSERT_EQ(testenv::run(command), 0) << command;
        sources.push_back(dir + row.name);
    }

    e2e::Process p = e2e::start(e2e::programPath(), sources);
    ASSERT_EQ(e2e::wait(p, 240000), 0) << e2e::errors(p);
    EXPECT_EQ(e2e::errors(p).find("[message box]"), std::string::npos) << e2e::errors(p);

    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string mp3 = encoded + "/" + row.name.substr(0, row.name.rfind('.')) + ".MP3";
        ASSERT_TRUE(testenv::fileExists(mp3));
        // ffmpeg honours the LAME frame's delay and padding.
        const audiocheck::Decoded pcm = audiocheck::decodeMp3(mp3);
        ASSERT_TRUE(pcm.ok);
        EXPECT_EQ(pcm.rate, static_cast<std::uint32_t>(row.mp3Rate));
        ASSERT_EQ(pcm.channels, 2);
        EXPECT_EQ(probe(mp3, "stream=bit_rate -select_streams a:0"),
                  std::to_string(row.kbps * 1000) + "\n");
        const std::string source = dir + row.name;
        const long sourceFrames = row.length == Row::Decoded ? decodedFrames(source) : frames;
        const double expected = static_cast<double>(sourceFrames) * row.mp3Rate / row.rate;
        EXPECT_NEAR(static_cast<double>(pcm.frames()), expected, 2.0);
        EXPECT_NEAR(audiocheck::toneFrequency(pcm.channel(0), pcm.rate), kLeftHz, kLeftHz * 0.02);
        EXPECT_NEAR(audiocheck::toneFrequency(pcm.channel(1), pcm.rate), kRightHz, kRightHz * 0.02);

        auto tags = testenv::probeTags(mp3);
        for (const auto& [key, value] : kTags) {
            if (key != "album_artist" || row.albumArtist) {
                EXPECT_EQ(tags[key], value) << key;
            }
        }
        // The cover is an attached picture of the cover's size, whatever type the
        // source gave it.
        EXPECT_EQ(probe(mp3, "stream=codec_type,width,height:stream_disposition=attached_pic"),
                  row.cover ? "audio,0\nvideo,32,24,1\n" : "audio,0\n");
    }
}

// Sources the program must refuse or stop on, all in one batch that goes on after
// each: nothing hangs, nothing but the one named file is read, and a source that
// breaks off midway leaves a finished MP3 of what came before.
TEST(AnyAudio, BadSourcesAreRefusedOrEndedCleanly) {
    const std::string dir = testenv::makeDir("bad") + "/";
    const std::string encoded = testenv::root() + "bad-out";
    e2e::saveSettings(testenv::root() + "bad-decoded", encoded);

    // A neighbour that lists and playlists name: a FIFO without a writer, so a
    // reader that opened it would block and the batch would never end.
    ASSERT_EQ(::mkfifo((dir + "neighbour.wav").c_str(), 0600), 0);
    std::string garbage;
    for (std::uint32_t i = 0, x = 12345; i < 20000; ++i) {
        x = x * 1103515245u + 12345u;
        garbage += static_cast<char>(x >> 24);
    }
    testenv::writeFile(dir + "garbage.flac", garbage);
    testenv::writeFile(dir + "playlist.flac", "#EXTM3U\n#EXT-X-TARGETDURATION:10\n"
                                              "#EXTINF:10,\nneighbour.wav\n#EXT-X-ENDLIST\n");
    testenv::writeFile(dir + "concat.flac", "ffconcat version 1.0\nfile 'neighbour.wav'\n");
    for (const std::string& make :
         {"-f lavfi -i color=c=blue:s=64x48:r=10:d=1 " + quoted(dir + "no-audio.mp4"),
          "-f lavfi -i sine=d=1 -filter_complex '[0]asplit=10[a][b][c][d][e][f][g][h][i][j];"
          "[a][b][c][d][e][f][g][h][i][j]amerge=inputs=10' " +
              quoted(dir + "ten-channels.wav"),
          "-f lavfi -i sine=d=4 " + quoted(dir + "whole.flac")}) {
        ASSERT_EQ(testenv::run("ffmpeg -v error -y " + make), 0) << make;
    }
    const std::string whole = testenv::readFile(dir + "whole.flac");
    testenv::writeFile(dir + "truncated.flac", whole.substr(0, whole.size() / 2));

    struct Row {
        std::string name;
        std::string error; // the codec's text in the job's error box
        bool partialMp3;
    };
    const std::vector<Row> rows = {
        {"garbage.flac", "Bad WAV format!", false},
        {"no-audio.mp4", "Bad WAV format!", false},
        {"playlist.flac", "Bad WAV format!", false},
        {"concat.flac", "Bad WAV format!", false},
        {"ten-channels.wav", "Bad WAV format!", false},
        {"truncated.flac", "Unable to read WAV data!", true},
    };
    std::vector<std::string> sources;
    for (const Row& row : rows) {
        sources.push_back(dir + row.name);
    }
    e2e::Process p = e2e::start(e2e::programPath(), sources);
    ASSERT_EQ(e2e::wait(p, 120000), 0) << e2e::errors(p);

    const std::string errors = e2e::errors(p);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_NE(
            errors.find("Error occured: " + row.error + "  while operating with: " + row.name),
            std::string::npos)
            << errors;
        const std::string mp3 = encoded + "/" + row.name.substr(0, row.name.rfind('.')) + ".MP3";
        EXPECT_EQ(testenv::fileExists(mp3), row.partialMp3);
        if (row.partialMp3) {
            // Decodes without an error, shorter than the source but not empty.
            EXPECT_EQ(capture("ffmpeg -v error -i " + quoted(mp3) + " -f null - 2>&1"), "");
            const long frames = decodedFrames(mp3);
            EXPECT_GT(frames, 0);
            EXPECT_LT(frames, 4 * 44100);
        }
    }
}
