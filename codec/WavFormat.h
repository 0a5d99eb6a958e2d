#pragma once

// The one description of the WAV files the program reads and writes: every file
// written (decoded MP3, ripped track, recording) gets the same 44-byte header; the
// reader used by the encoder is lenient and accepts longer format chunks and other
// chunks before "data".

#include <array>
#include <cstdint>
#include <cstdio>

#include "codec/Mp3Rates.h"

namespace codec {

// Size of the header every writer puts at offset 0; the samples follow it.
inline constexpr std::uint32_t kWavHeaderSize = 44;

// The audio format triple of a WAV file.
struct AudioFormat {
    std::uint32_t sampleRate = 44100; // Hz
    std::uint16_t channels = 2;       // 1 or 2
    std::uint16_t bitsPerSample = 16; // 8 or 16

    // sampleRate x channels x bits / 8
    std::uint32_t byteRate() const { return sampleRate * blockAlign(); }
    // channels x bits / 8
    std::uint16_t blockAlign() const {
        return static_cast<std::uint16_t>(channels * bitsPerSample / 8);
    }
    friend bool operator==(const AudioFormat&, const AudioFormat&) = default;
};

// The CD audio format: 44100 Hz, stereo, 16-bit.
inline constexpr AudioFormat kCdAudioFormat{44100, 2, 16};

using WavHeaderBytes = std::array<std::uint8_t, kWavHeaderSize>;

// The 44 header bytes for a format and a data size (sample bytes after the header):
// "RIFF", data size + 36, "WAVEfmt ", 16, format tag 1, channels, rate, byte rate,
// block align, bits, "data", data size; little-endian. A data size above
// 0xFFFFFFFF - 36 is clamped so that the RIFF size still fits in 32 bits.
WavHeaderBytes MakeWavHeader(const AudioFormat& format, std::uint32_t dataSize);

// Writes MakeWavHeader(format, dataSize) at offset 0 of an open file and leaves the
// file position at 44, right after the header (so a writer that has just created the
// file appends its samples next). Returns false when the seek or the write failed;
// writers of the design ignore this result, a header that cannot be written leaves
// the file as it was.
bool WriteWavHeader(int fd, const AudioFormat& format, std::uint32_t dataSize);
bool WriteWavHeader(std::FILE* file, const AudioFormat& format, std::uint32_t dataSize);

// Finishes a WAV file whose samples start at offset 44: takes the file's size and
// writes the header with data size = file size - 44 (0 when the file is shorter than
// the header), so RIFF size = file size - 8. Leaves the position at 44.
bool WriteWavHeaderForFileSize(int fd, const AudioFormat& format);
bool WriteWavHeaderForFileSize(std::FILE* file, const AudioFormat& format);

// Finishes a WAV file whose samples start at offset 44, however its writer stopped
// (the end, a cancel, a full disk, a refused decode): the header describes the whole
// sample frames the file holds, and a partial frame left at its end by a short write
// is cut off, so the header and the file agree (RIFF size = file size - 8) and
// readers see every frame written. A file above what a header can describe keeps
// its length. Leaves the position at 44; false when a step failed.
bool FinishWavFile(int fd, const AudioFormat& format);

// The fields the lenient reader takes from a WAV file's header.
struct WavHeader {
    std::uint16_t formatTag = 0; // 1, or 0xFFFE with the PCM sub-format, when accepted
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint32_t byteRate = 0;   // read, not tested
    std::uint16_t blockAlign = 0; // read, not tested
    std::uint16_t bitsPerSample = 0;
    std::uint32_t dataSize = 0;   // from the "data" chunk; bounds what the encoder reads
    std::uint64_t dataOffset = 0; // offset of the first sample byte
};

// Reads the header of an open WAV file. The chunks are followed by their lengths
// from the RIFF heading on (a pad byte after a chunk of odd length) to the first
// "fmt " and "data" chunks; other chunks, however long and whatever letters they
// hold, are passed over. Only when the lengths do not add up (no RIFF/WAVE
// heading, a chunk that runs past the end or an identifier that is not one before
// both are found) does the reader fall back on the byte-wise search for the
// letters "fmt" and "data" (each search gives up when a read comes back short or
// the next start offset would reach 10000; reading then goes on from where it
// stopped). Chunks that add up to the end of the file without a "fmt " or "data"
// chunk are rejected.
// Returns true when the header is accepted: every fixed field could be read, the
// samples are integer PCM (format tag 1, or the extensible tag 0xFFFE with the PCM
// sub-format; float, A-law, mu-law and every other coding are rejected), bits are
// 8 or 16, channels 1 or 2 and the rate is one of the nine accepted rates. On
// success the file position is at the first sample byte (header.dataOffset).
// A file too short to hold the fields is rejected like a bad header.
bool ReadWavHeader(int fd, WavHeader& header);

} // namespace codec
