#pragma once

// Audio made by the tests for the decoder tests: sines written as WAV files and
// encoded to MP3 with the lame tool, the reference decode of the mpg123 tool, and
// helpers to read WAV files back and measure a tone.

#include <cstdint>
#include <string>
#include <vector>

namespace decodetest {

struct Pcm {
    uint32_t rate = 0;
    uint16_t channels = 0;
    std::vector<int16_t> samples; // interleaved, left first

    size_t frames() const { return channels ? samples.size() / channels : 0; }
    double seconds() const { return rate ? double(frames()) / rate : 0.0; }
};

// A sine per channel: the left channel at `frequency`, the right one (if any) at 1.5
// times that, so a swap of channels shows.
Pcm sine(uint32_t rate, uint16_t channels, double seconds, double frequency,
         double amplitude = 0.5);

// A plain 44-byte-header 16-bit WAV file.
void writeWav(const std::string& path, const Pcm& pcm);

// Encodes `pcm` with the lame tool (extra arguments such as "-b 128", "-V 2",
// "--tt Title --add-id3v2") into `mp3Path`. Returns false when lame failed.
bool encodeMp3(const Pcm& pcm, const std::string& mp3Path, const std::string& lameArgs);

// Encodes `pcm` with the ffmpeg tool and the given output arguments (for example
// "-c:a mp2 -b:a 192k -f mp2" for MPEG layer II) into `path`.
bool encodeWithFfmpeg(const Pcm& pcm, const std::string& path, const std::string& codecArgs);

// Decodes with the mpg123 tool (`mpg123 -q -w`) and returns its samples; false when
// mpg123 failed.
bool referenceDecode(const std::string& mp3Path, Pcm& out);

// Reads a WAV file by its chunks (any header the tools write).
bool readWav(const std::string& path, Pcm& out);

// The 44 header bytes of a file as the program writes them.
struct Header44 {
    std::string riff, wave, fmt, data;
    uint32_t riffSize = 0, fmtSize = 0, rate = 0, byteRate = 0, dataSize = 0;
    uint16_t formatTag = 0, channels = 0, blockAlign = 0, bits = 0;
};
bool readHeader44(const std::string& path, Header44& out);

// The 16-bit samples of a file from offset 44 to its end.
std::vector<int16_t> samplesAfter44(const std::string& path);

// Frequency of one channel measured from its zero crossings, over the middle of
// the signal (the encoder's start-up and the end are left out).
double toneFrequency(const std::vector<int16_t>& interleaved, uint16_t channels, uint16_t channel,
                     uint32_t rate);

// True when the process has a descriptor open on `path`.
bool fileOpenInProcess(const std::string& path);

off_t fileSize(const std::string& path);

} // namespace decodetest
