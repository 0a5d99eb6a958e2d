// The 44-byte WAV header writer and the lenient reader.

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "AudioCheck.h"
#include "TestEnv.h"
#include "codec/WavFormat.h"

namespace {

using namespace audiocheck;
using codec::AudioFormat;
using codec::WavHeader;

std::string headerString(const AudioFormat& f, std::uint32_t dataSize) {
    auto h = codec::MakeWavHeader(f, dataSize);
    return std::string(reinterpret_cast<const char*>(h.data()), h.size());
}

TEST(WavHeaderWriter, WritesTheFortyFourBytesExactly) {
    const unsigned char expected[44] = {
        'R',  'I',  'F',  'F',  0x0C, 0x04, 0x00, 0x00, // RIFF, 1000 + 36
        'W',  'A',  'V',  'E',  'f',  'm',  't',  ' ',  // "WAVEfmt "
        16,   0,    0,    0,                            // format chunk length
        1,    0,                                        // PCM
        2,    0,                                        // channels
        0x44, 0xAC, 0x00, 0x00,                         // 44100
        0x10, 0xB1, 0x02, 0x00,                         // 176400
        4,    0,                                        // block align
        16,   0,                                        // bits
        'd',  'a',  't',  'a',  0xE8, 0x03, 0x00, 0x00, // data, 1000
    };
    EXPECT_EQ(headerString(codec::kCdAudioFormat, 1000),
              std::string(reinterpret_cast<const char*>(expected), 44));
}

TEST(WavHeaderWriter, DerivedFieldsFollowTheFormat) {
    struct Row {
        AudioFormat format;
        std::uint32_t byteRate;
        std::uint16_t blockAlign;
    } rows[] = {{{22050, 1, 16}, 44100, 2},
                {{22050, 1, 8}, 22050, 1},
                {{8000, 2, 8}, 16000, 2},
                {{48000, 2, 16}, 192000, 4},
                {{11025, 1, 16}, 22050, 2}};
    for (const Row& r : rows) {
        std::string h = headerString(r.format, 0);
        EXPECT_EQ(get16(h, 22), r.format.channels);
        EXPECT_EQ(get32(h, 24), r.format.sampleRate);
        EXPECT_EQ(get32(h, 28), r.byteRate);
        EXPECT_EQ(get16(h, 32), r.blockAlign);
        EXPECT_EQ(get16(h, 34), r.format.bitsPerSample);
        EXPECT_EQ(get32(h, 4), 36u) << "data size 0 gives RIFF size 36";
        EXPECT_EQ(get32(h, 40), 0u);
    }
}

TEST(WavHeaderWriter, HugeDataSizeKeepsTheRiffSizeIn32Bits) {
    std::string h = headerString(codec::kCdAudioFormat, 0xFFFFFFF0u);
    EXPECT_EQ(get32(h, 4), 0xFFFFFFFFu);
    EXPECT_EQ(get32(h, 40), 0xFFFFFFFFu - 36);
}

TEST(WavHeaderWriter, WritesAtOffsetZeroAndLeavesThePositionAfterTheHeader) {
    std::string path = testenv::root() + "rip.wav";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    // As the ripper does: header with size 0, samples appended, header again.
    ASSERT_TRUE(codec::WriteWavHeader(fd, codec::kCdAudioFormat, 0));
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 44);
    std::string samples(1000, '\x11');
    ASSERT_EQ(::write(fd, samples.data(), samples.size()), 1000);
    ASSERT_TRUE(codec::WriteWavHeader(fd, codec::kCdAudioFormat, 1000));
    ::close(fd);
    std::string file = testenv::readFile(path);
    ASSERT_EQ(file.size(), 1044u);
    EXPECT_EQ(get32(file, 4), 1036u);
    EXPECT_EQ(get32(file, 40), 1000u);
    EXPECT_EQ(file.substr(44), samples);
}

TEST(WavHeaderWriter, HeaderFromTheFileSize) {
    std::string path = testenv::root() + "recorded.wav";
    testenv::writeFile(path, std::string(44, '\0') + std::string(777, '\x22'));
    int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(codec::WriteWavHeaderForFileSize(fd, AudioFormat{22050, 1, 8}));
    ::close(fd);
    std::string file = testenv::readFile(path);
    ASSERT_EQ(file.size(), 821u);
    EXPECT_EQ(get32(file, 4), file.size() - 8);
    EXPECT_EQ(get32(file, 40), 777u);
    EXPECT_EQ(get32(file, 28), 22050u);

    // Through a FILE as well, and a file shorter than the header gets data size 0.
    std::string shortPath = testenv::root() + "short.wav";
    testenv::writeFile(shortPath, "abc");
    std::FILE* f = std::fopen(shortPath.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    ASSERT_TRUE(codec::WriteWavHeaderForFileSize(f, codec::kCdAudioFormat));
    std::fclose(f);
    file = testenv::readFile(shortPath);
    ASSERT_EQ(file.size(), 44u);
    EXPECT_EQ(get32(file, 40), 0u);
    EXPECT_EQ(get32(file, 4), 36u);
}

TEST(WavHeaderWriter, ReportsAFailedWrite) {
    std::string path = testenv::root() + "readonly-fd.wav";
    testenv::writeFile(path, "");
    int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(codec::WriteWavHeader(fd, codec::kCdAudioFormat, 0));
    ::close(fd);
    EXPECT_FALSE(codec::WriteWavHeader(-1, codec::kCdAudioFormat, 0));
    EXPECT_EQ(testenv::readFile(path), "") << "the file stays as it was";
}

// ---- Reader ------------------------------------------------------------------

struct ReadResult {
    bool accepted = false;
    WavHeader header;
    off_t position = -1;
};

ReadResult readHeader(const std::string& bytes) {
    static int n = 0;
    std::string path = testenv::root() + "reader" + std::to_string(++n) + ".wav";
    testenv::writeFile(path, bytes);
    ReadResult r;
    int fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    r.accepted = codec::ReadWavHeader(fd, r.header);
    r.position = ::lseek(fd, 0, SEEK_CUR);
    ::close(fd);
    return r;
}

TEST(WavReader, ReadsTheWrittenHeader) {
    std::string samples(400, '\x05');
    ReadResult r = readHeader(headerString(AudioFormat{44100, 2, 16}, 400) + samples);
    ASSERT_TRUE(r.accepted);
    EXPECT_EQ(r.header.formatTag, 1);
    EXPECT_EQ(r.header.channels, 2);
    EXPECT_EQ(r.header.sampleRate, 44100u);
    EXPECT_EQ(r.header.byteRate, 176400u);
    EXPECT_EQ(r.header.blockAlign, 4);
    EXPECT_EQ(r.header.bitsPerSample, 16);
    EXPECT_EQ(r.header.dataSize, 400u);
    EXPECT_EQ(r.header.dataOffset, 44u);
    EXPECT_EQ(r.position, 44) << "positioned at the first sample byte";
}

std::string padTo(std::size_t offset) {
    // A filler chunk that puts the next chunk at `offset` (offset >= 20).
    return chunk("junk", std::string(offset - 12 - 8, 'x'));
}

// An extensible format chunk (40 bytes) with the given sub-format's first word
// (1 = integer PCM, 3 = float) and the rest of the common GUID.
std::string extensibleFmt(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                          std::uint32_t subFormat) {
    std::string body = fmtChunk(0xFFFE, channels, rate, bits).substr(8);
    put16(body, 22);
    put16(body, bits);
    put32(body, channels == 2 ? 3 : 4);
    put32(body, subFormat);
    body += std::string("\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 12);
    return chunk("fmt ", body);
}

// A literal's bytes, zeros included.
template <std::size_t N> std::string lit(const char (&text)[N]) {
    return std::string(text, N - 1);
}

// The same bytes without the RIFF heading, so the chunk lengths are not followed.
std::string withoutHeading(std::string bytes) {
    bytes.replace(0, 4, "RIFX");
    return bytes;
}

TEST(WavReader, AcceptanceTable) {
    const std::string data = chunk("data", std::string(64, '\0'));
    struct Row {
        const char* name;
        std::string bytes;
        bool accepted;
        std::uint64_t dataOffset; // checked when accepted and not 0
        std::uint32_t dataSize;   // checked when dataOffset is
    } rows[] = {
        {"canonical 44100 stereo 16", wavFile(44100, 2, 16, std::string(64, '\0')), true, 44, 64},
        {"18-byte format chunk", riff(fmtChunk(1, 2, 44100, 16, true) + data), true, 46, 64},
        {"LIST chunk before data",
         riff(fmtChunk(1, 2, 44100, 16) +
              chunk("LIST", std::string("INFOISFT\x06\0\0\0Lavf\0\0", 18)) + data),
         true, 44 + 8 + 18, 64},
        {"fmt after a chunk of 10000 bytes", riff(padTo(10000) + fmtChunk(1, 2, 44100, 16) + data),
         true, 10000 + 24 + 8, 64},
        {"odd chunk with its pad byte",
         riff(fmtChunk(1, 2, 44100, 16) + chunk("LIST", "INFOdata xy") + lit("\0") + data), true,
         36 + 8 + 11 + 1 + 8, 64},
        {"data before fmt", riff(data + fmtChunk(1, 1, 22050, 8)), true, 20, 64},
        {"22050 mono 8-bit", wavFile(22050, 1, 8, "abcd"), true, 44, 4},
        {"8000 stereo 16-bit", wavFile(8000, 2, 16, "abcd"), true, 44, 4},
        {"11025", wavFile(11025, 1, 16, "abcd"), true, 0, 0},
        {"12000", wavFile(12000, 1, 16, "abcd"), true, 0, 0},
        {"16000", wavFile(16000, 2, 8, "abcd"), true, 0, 0},
        {"24000", wavFile(24000, 2, 16, "abcd"), true, 0, 0},
        {"32000", wavFile(32000, 2, 16, "abcd"), true, 0, 0},
        {"48000", wavFile(48000, 2, 16, "abcd"), true, 0, 0},
        {"extensible PCM", riff(extensibleFmt(2, 44100, 16, 1) + data), true, 68, 64},
        {"extensible float rejected", riff(extensibleFmt(2, 44100, 16, 3) + data), false, 0, 0},
        {"extensible cut short rejected", riff(fmtChunk(0xFFFE, 2, 44100, 16, true) + data), false,
         0, 0},
        {"float tag 3 rejected", riff(fmtChunk(3, 2, 44100, 16) + data), false, 0, 0},
        {"96000 rejected", wavFile(96000, 2, 16, "abcd"), false, 0, 0},
        {"44000 rejected", wavFile(44000, 2, 16, "abcd"), false, 0, 0},
        {"24-bit rejected", wavFile(44100, 2, 24, "abcdef"), false, 0, 0},
        {"32-bit rejected", wavFile(44100, 2, 32, "abcdefgh"), false, 0, 0},
        {"3 channels rejected", wavFile(44100, 3, 16, "abcdef"), false, 0, 0},
        {"0 channels rejected", wavFile(44100, 0, 16, "abcd"), false, 0, 0},
        {"no fmt chunk", riff(data), false, 0, 0},
        {"no data chunk", riff(fmtChunk(1, 2, 44100, 16) + chunk("junk", "abcdefgh")), false, 0, 0},
        {"letters data only inside a chunk",
         riff(fmtChunk(1, 2, 44100, 16) + chunk("LIST", lit("INFOdata\x04\0\0\0abcd"))), false, 0,
         0},
        {"empty file", "", false, 0, 0},
        // Where the lengths do not add up, the letters are searched for as before.
        {"no heading: fmt at offset 9999",
         withoutHeading(riff(padTo(9999) + fmtChunk(1, 2, 44100, 16) + data)), true, 9999 + 24 + 8,
         64},
        {"no heading: fmt at offset 10000 rejected",
         withoutHeading(riff(padTo(10000) + fmtChunk(1, 2, 44100, 16) + data)), false, 0, 0},
        {"chunk running past the end: first letters data taken",
         riff(fmtChunk(1, 2, 44100, 16) + lit("LIST\xff\xff\0\0INFOdata\x07\0\0\0") + data), true,
         36 + 8 + 4 + 8, 7},
        {"pad byte missing", riff(fmtChunk(1, 2, 44100, 16) + chunk("LIST", "INFOodd") + data),
         true, 36 + 15 + 8, 64},
        {"no heading: A-law still rejected", withoutHeading(riff(fmtChunk(6, 2, 44100, 8) + data)),
         false, 0, 0},
        {"no heading: extensible PCM", withoutHeading(riff(extensibleFmt(1, 8000, 8, 1) + data)),
         true, 68, 64},
    };
    for (const Row& r : rows) {
        ReadResult got = readHeader(r.bytes);
        EXPECT_EQ(got.accepted, r.accepted) << r.name;
        if (got.accepted && r.dataOffset) {
            EXPECT_EQ(got.header.dataOffset, r.dataOffset) << r.name;
            EXPECT_EQ(got.position, static_cast<off_t>(r.dataOffset)) << r.name;
            EXPECT_EQ(got.header.dataSize, r.dataSize) << r.name;
        }
    }
}

TEST(WavReader, EighteenByteFormatChunkGivesTheRightDataSize) {
    ReadResult r = readHeader(riff(fmtChunk(1, 1, 22050, 8, true) + chunk("data", "0123456789")));
    ASSERT_TRUE(r.accepted);
    EXPECT_EQ(r.header.dataSize, 10u);
    EXPECT_EQ(r.header.channels, 1);
    EXPECT_EQ(r.header.bitsPerSample, 8);
}

TEST(WavReader, TruncatedHeadersAreRejectedLikeABadHeader) {
    std::string whole = wavFile(44100, 2, 16, "");
    ASSERT_EQ(whole.size(), 44u);
    for (std::size_t cut : {0, 4, 11, 12, 15, 20, 24, 30, 35, 36, 38, 40, 43}) {
        EXPECT_FALSE(readHeader(whole.substr(0, cut)).accepted) << "cut at " << cut;
    }
    ReadResult r = readHeader(whole);
    EXPECT_TRUE(r.accepted) << "a header with no samples is still a header";
    EXPECT_EQ(r.header.dataSize, 0u);
}

TEST(WavReader, DataSizeIsTakenFromTheHeaderNotTheFile) {
    std::string bytes = riff(fmtChunk(1, 2, 44100, 16));
    bytes += "data";
    put32(bytes, 1000000);
    bytes += std::string(16, '\0');
    ReadResult r = readHeader(bytes);
    ASSERT_TRUE(r.accepted);
    EXPECT_EQ(r.header.dataSize, 1000000u);
}

TEST(WavReader, UnreadableDescriptorIsRejected) {
    WavHeader h;
    EXPECT_FALSE(codec::ReadWavHeader(-1, h));
}

TEST(WavFormat, AcceptedRatesAreTheNine) {
    int accepted = 0;
    for (std::uint32_t rate = 0; rate <= 100000; ++rate) {
        accepted += codec::IsAcceptedSampleRate(rate);
    }
    EXPECT_EQ(accepted, 9);
    for (std::uint32_t rate : {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000}) {
        EXPECT_TRUE(codec::IsAcceptedSampleRate(rate)) << rate;
    }
}

} // namespace
