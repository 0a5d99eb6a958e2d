#include "codec/WavFormat.h"

#include "platform/ByteOrder.h"
#include "platform/FileIO.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace codec {
namespace {

std::uint32_t dataSizeForFileSize(std::uint64_t fileSize) {
    if (fileSize <= kWavHeaderSize) {
        return 0;
    }
    std::uint64_t data = fileSize - kWavHeaderSize;
    return data > std::numeric_limits<std::uint32_t>::max()
               ? std::numeric_limits<std::uint32_t>::max()
               : static_cast<std::uint32_t>(data);
}

// Start offsets of a chunk search stay below this bound.
constexpr std::uint64_t kSearchBound = 10000;

// Reads a file from its start like a sequential stream with a position, as the
// header reader was designed; every read is positioned (pread), so a read past the
// end just comes back short.
class Cursor {
public:
    explicit Cursor(int fd) : fd_(fd) {}

    // Reads up to n bytes at the position and advances by the count read.
    std::size_t read(std::uint8_t* out, std::size_t n) {
        std::size_t done = 0;
        while (done < n) {
            ssize_t got = ::pread(fd_, out + done, n - done, static_cast<off_t>(pos_ + done));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                break;
            }
            done += static_cast<std::size_t>(got);
        }
        pos_ += done;
        return done;
    }

    // A fixed field: false when it could not be read whole.
    bool readExact(std::uint8_t* out, std::size_t n) { return read(out, n) == n; }

    // Byte-wise search for an identifier: read its length at the position, on a
    // mismatch go on one byte further while the read was whole and the next start
    // stays below the bound. On a match the position is one byte past the first
    // letter; otherwise it is where the search stopped.
    bool search(const char* id, std::size_t len) {
        std::uint8_t buf[4];
        for (;;) {
            std::uint64_t start = pos_;
            std::size_t got = read(buf, len);
            if (got == len && std::memcmp(buf, id, len) == 0) {
                pos_ = start + 1;
                return true;
            }
            pos_ = start + 1;
            if (got != len || pos_ >= kSearchBound) {
                return false;
            }
        }
    }

    void skip(std::uint64_t n) { pos_ += n; }
    std::uint64_t position() const { return pos_; }

private:
    int fd_;
    std::uint64_t pos_ = 0;
};

} // namespace

WavHeaderBytes MakeWavHeader(const AudioFormat& format, std::uint32_t dataSize) {
    constexpr std::uint32_t kMaxData = std::numeric_limits<std::uint32_t>::max() - 36;
    if (dataSize > kMaxData) {
        dataSize = kMaxData;
    }
    WavHeaderBytes h{};
    std::memcpy(&h[0], "RIFF", 4);
    platform::putLe32(&h[4], dataSize + 36);
    std::memcpy(&h[8], "WAVEfmt ", 8);
    platform::putLe32(&h[16], 16);
    platform::putLe16(&h[20], 1);
    platform::putLe16(&h[22], format.channels);
    platform::putLe32(&h[24], format.sampleRate);
    platform::putLe32(&h[28], format.byteRate());
    platform::putLe16(&h[32], format.blockAlign());
    platform::putLe16(&h[34], format.bitsPerSample);
    std::memcpy(&h[36], "data", 4);
    platform::putLe32(&h[40], dataSize);
    return h;
}

bool WriteWavHeader(int fd, const AudioFormat& format, std::uint32_t dataSize) {
    WavHeaderBytes h = MakeWavHeader(format, dataSize);
    if (::lseek(fd, 0, SEEK_SET) != 0) {
        return false;
    }
    return platform::writeAll(fd, h.data(), h.size());
}

bool WriteWavHeader(std::FILE* file, const AudioFormat& format, std::uint32_t dataSize) {
    if (!file) {
        return false;
    }
    WavHeaderBytes h = MakeWavHeader(format, dataSize);
    if (std::fseek(file, 0, SEEK_SET) != 0) {
        return false;
    }
    if (std::fwrite(h.data(), 1, h.size(), file) != h.size()) {
        return false;
    }
    return std::fflush(file) == 0;
}

bool WriteWavHeaderForFileSize(int fd, const AudioFormat& format) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return false;
    }
    return WriteWavHeader(fd, format, dataSizeForFileSize(static_cast<std::uint64_t>(st.st_size)));
}

bool WriteWavHeaderForFileSize(std::FILE* file, const AudioFormat& format) {
    if (!file || std::fseek(file, 0, SEEK_END) != 0) {
        return false;
    }
    long size = std::ftell(file);
    if (size < 0) {
        return false;
    }
    return WriteWavHeader(file, format, dataSizeForFileSize(static_cast<std::uint64_t>(size)));
}

bool FinishWavFile(int fd, const AudioFormat& format) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return false;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    std::uint32_t data = dataSizeForFileSize(size);
    const std::uint16_t block = format.blockAlign();
    if (block > 1 && size - kWavHeaderSize == data) {
        data -= data % block;
        if (::ftruncate(fd, static_cast<off_t>(kWavHeaderSize + data)) != 0) {
            return false;
        }
    }
    return WriteWavHeader(fd, format, data);
}

namespace {

// Format tags of the two PCM layouts the encoder reads.
constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;

// Sub-format of an extensible format chunk that holds integer PCM:
// 00000001-0000-0010-8000-00AA00389B71 as it is stored.
constexpr std::uint8_t kPcmSubFormat[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                            0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// The extension of an extensible format chunk: extension size (2), valid bits
// (2), channel mask (4) and the sub-format (16) after the 16 common bytes.
constexpr std::size_t kExtensibleBytes = 24;

bool preadExact(int fd, std::uint8_t* out, std::size_t n, std::uint64_t at) {
    Cursor in(fd);
    in.skip(at);
    return in.readExact(out, n);
}

// Where the format fields and the samples are.
struct ChunkPlaces {
    std::uint64_t fields = 0;       // first byte of the format chunk's body
    std::uint64_t fieldsLength = 0; // bytes of that body the file holds for it
    std::uint32_t dataSize = 0;
    std::uint64_t dataOffset = 0;
};

// A chunk identifier is four printable ASCII characters.
bool isChunkId(const std::uint8_t* id) {
    for (int i = 0; i < 4; ++i) {
        if (id[i] < 0x20 || id[i] > 0x7E) {
            return false;
        }
    }
    return true;
}

enum class Walk { Found, NotThere, Unreliable };

constexpr int kMaxChunks = 4096;

// Follows the chunk lengths of a RIFF/WAVE file from its first chunk (a chunk of
// odd length is followed by a pad byte) until both "fmt " and "data" are found.
// Unreliable when the lengths do not add up: no RIFF/WAVE heading, an identifier
// that is not one, a chunk that runs past the end before both were found, a
// format chunk too short for its fields, more chunks before them than real files
// hold. NotThere when the chunks end exactly at the end of the file without one
// of the two. The RIFF size is not used: many writers leave it wrong.
Walk walkChunks(int fd, std::uint64_t fileSize, ChunkPlaces& places) {
    std::uint8_t head[12];
    if (!preadExact(fd, head, sizeof head, 0) || std::memcmp(head, "RIFF", 4) != 0 ||
        std::memcmp(head + 8, "WAVE", 4) != 0) {
        return Walk::Unreliable;
    }
    bool fmtFound = false;
    bool dataFound = false;
    std::uint64_t at = 12;
    // A file of countless tiny chunks is not walked to its end, one read each.
    for (int chunks = 0; at < fileSize; ++chunks) {
        if (chunks == kMaxChunks) {
            return Walk::Unreliable;
        }
        std::uint8_t chunk[8];
        if (!preadExact(fd, chunk, sizeof chunk, at) || !isChunkId(chunk)) {
            return Walk::Unreliable;
        }
        const std::uint32_t length = platform::getLe32(&chunk[4]);
        const std::uint64_t body = at + 8;
        if (!fmtFound && std::memcmp(chunk, "fmt ", 4) == 0) {
            if (length < 16 || body + 16 > fileSize) {
                return Walk::Unreliable;
            }
            places.fields = body;
            places.fieldsLength = length;
            fmtFound = true;
        } else if (!dataFound && std::memcmp(chunk, "data", 4) == 0) {
            // The data chunk's own length is what the encoder reads, as given,
            // also when the file ends before it (the reads then come back short).
            places.dataSize = length;
            places.dataOffset = body;
            dataFound = true;
        }
        if (fmtFound && dataFound) {
            return Walk::Found;
        }
        const std::uint64_t end = body + length;
        if (end > fileSize) {
            return Walk::Unreliable;
        }
        at = end + (length & 1);
    }
    return at == fileSize || at == fileSize + 1 ? Walk::NotThere : Walk::Unreliable;
}

// The byte-wise search the reader falls back on: the first letters "fmt" after
// the RIFF heading, the format fields after them, then the first letters "data"
// after the fields (each search gives up at the end of the file or when its next
// start would reach 10000, and reading goes on from where it stopped). False when
// a fixed field could not be read whole.
bool searchChunks(int fd, std::uint64_t fileSize, ChunkPlaces& places) {
    Cursor in(fd);
    std::uint8_t buf[7];
    bool whole = true;

    // RIFF identifier, RIFF size and form type: read, not examined.
    std::uint8_t heading[12];
    whole = in.readExact(heading, sizeof heading) && whole;

    in.search("fmt", 3);
    // "mt " and the format chunk length, which is not used.
    whole = in.readExact(buf, 7) && whole;
    places.fields = in.position();
    places.fieldsLength = fileSize > places.fields ? fileSize - places.fields : 0;
    in.skip(16);

    in.search("data", 4);
    in.skip(3);
    std::uint8_t size[4];
    if (in.readExact(size, sizeof size)) {
        places.dataSize = platform::getLe32(size);
    } else {
        whole = false;
    }
    places.dataOffset = in.position();
    return whole;
}

} // namespace

bool ReadWavHeader(int fd, WavHeader& header) {
    header = WavHeader{};
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return false;
    }
    const auto fileSize = static_cast<std::uint64_t>(st.st_size);

    ChunkPlaces places;
    switch (walkChunks(fd, fileSize, places)) {
    case Walk::Found:
        break;
    case Walk::NotThere:
        return false;
    case Walk::Unreliable:
        places = ChunkPlaces{};
        if (!searchChunks(fd, fileSize, places)) {
            return false;
        }
        break;
    }

    std::uint8_t fields[16];
    if (!preadExact(fd, fields, sizeof fields, places.fields)) {
        return false;
    }
    header.formatTag = platform::getLe16(&fields[0]);
    header.channels = platform::getLe16(&fields[2]);
    header.sampleRate = platform::getLe32(&fields[4]);
    header.byteRate = platform::getLe32(&fields[8]);
    header.blockAlign = platform::getLe16(&fields[12]);
    header.bitsPerSample = platform::getLe16(&fields[14]);
    header.dataSize = places.dataSize;
    header.dataOffset = places.dataOffset;

    // Only integer PCM is read: any other coding (float, A-law, mu-law, ADPCM)
    // would be encoded as noise.
    if (header.formatTag == kFormatExtensible) {
        std::uint8_t extension[kExtensibleBytes];
        if (places.fieldsLength < 16 + kExtensibleBytes ||
            !preadExact(fd, extension, sizeof extension, places.fields + 16) ||
            platform::getLe16(&extension[0]) < 22 ||
            std::memcmp(&extension[8], kPcmSubFormat, sizeof kPcmSubFormat) != 0) {
            return false;
        }
    } else if (header.formatTag != kFormatPcm) {
        return false;
    }
    if (header.bitsPerSample != 8 && header.bitsPerSample != 16) {
        return false;
    }
    if (header.channels != 1 && header.channels != 2) {
        return false;
    }
    if (!IsAcceptedSampleRate(header.sampleRate)) {
        return false;
    }
    return ::lseek(fd, static_cast<off_t>(header.dataOffset), SEEK_SET) ==
           static_cast<off_t>(header.dataOffset);
}

} // namespace codec
