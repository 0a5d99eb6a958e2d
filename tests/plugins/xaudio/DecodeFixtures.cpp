#include "DecodeFixtures.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TestEnv.h"

namespace decodetest {
namespace {

uint16_t le16(const std::string& b, size_t at) {
    return static_cast<uint16_t>(uint8_t(b[at]) | (uint8_t(b[at + 1]) << 8));
}
uint32_t le32(const std::string& b, size_t at) {
    return uint32_t(uint8_t(b[at])) | (uint32_t(uint8_t(b[at + 1])) << 8) |
           (uint32_t(uint8_t(b[at + 2])) << 16) | (uint32_t(uint8_t(b[at + 3])) << 24);
}
void put16(std::string& b, uint16_t v) {
    b.push_back(char(v & 0xFF));
    b.push_back(char(v >> 8));
}
void put32(std::string& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.push_back(char((v >> (8 * i)) & 0xFF));
    }
}
std::string quoted(const std::string& s) {
    return "'" + s + "'";
}

} // namespace

Pcm sine(uint32_t rate, uint16_t channels, double seconds, double frequency, double amplitude) {
    Pcm pcm;
    pcm.rate = rate;
    pcm.channels = channels;
    const size_t frames = static_cast<size_t>(seconds * rate);
    pcm.samples.reserve(frames * channels);
    for (size_t i = 0; i < frames; ++i) {
        for (uint16_t c = 0; c < channels; ++c) {
            double f = c == 0 ? frequency : frequency * 1.5;
            double v = amplitude * 32767.0 * std::sin(2.0 * M_PI * f * double(i) / rate);
            pcm.samples.push_back(static_cast<int16_t>(std::lround(v)));
        }
    }
    return pcm;
}

void writeWav(const std::string& path, const Pcm& pcm) {
    std::string b;
    const uint32_t dataSize = static_cast<uint32_t>(pcm.samples.size() * 2);
    b += "RIFF";
    put32(b, dataSize + 36);
    b += "WAVEfmt ";
    put32(b, 16);
    put16(b, 1);
    put16(b, pcm.channels);
    put32(b, pcm.rate);
    put32(b, pcm.rate * pcm.channels * 2);
    put16(b, static_cast<uint16_t>(pcm.channels * 2));
    put16(b, 16);
    b += "data";
    put32(b, dataSize);
    for (int16_t s : pcm.samples) {
        put16(b, static_cast<uint16_t>(s));
    }
    testenv::writeFile(path, b);
}

bool encodeMp3(const Pcm& pcm, const std::string& mp3Path, const std::string& lameArgs) {
    const std::string wav = mp3Path + ".source.wav";
    writeWav(wav, pcm);
    int status = testenv::run("lame --quiet " + lameArgs + " " + quoted(wav) + " " +
                              quoted(mp3Path) + " >/dev/null 2>&1");
    unlink(wav.c_str());
    return status == 0 && fileSize(mp3Path) > 0;
}

bool encodeWithFfmpeg(const Pcm& pcm, const std::string& path, const std::string& codecArgs) {
    const std::string wav = path + ".source.wav";
    writeWav(wav, pcm);
    int status = testenv::run("ffmpeg -nostdin -loglevel error -y -i " + quoted(wav) + " " +
                              codecArgs + " " + quoted(path) + " >/dev/null 2>&1");
    unlink(wav.c_str());
    return status == 0 && fileSize(path) > 0;
}

bool referenceDecode(const std::string& mp3Path, Pcm& out) {
    const std::string wav = mp3Path + ".mpg123.wav";
    int status =
        testenv::run("mpg123 -q -w " + quoted(wav) + " " + quoted(mp3Path) + " >/dev/null 2>&1");
    bool ok = status == 0 && readWav(wav, out);
    unlink(wav.c_str());
    return ok;
}

bool readWav(const std::string& path, Pcm& out) {
    const std::string b = testenv::readFile(path);
    if (b.size() < 12 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "WAVE") != 0) {
        return false;
    }
    bool haveFormat = false;
    size_t at = 12;
    while (at + 8 <= b.size()) {
        const std::string id = b.substr(at, 4);
        uint32_t size = le32(b, at + 4);
        size_t body = at + 8;
        if (id == "fmt " && body + 16 <= b.size()) {
            out.channels = le16(b, body + 2);
            out.rate = le32(b, body + 4);
            haveFormat = le16(b, body + 14) == 16;
        } else if (id == "data" && haveFormat) {
            size_t n = std::min<size_t>(size, b.size() - body) / 2;
            out.samples.resize(n);
            for (size_t i = 0; i < n; ++i) {
                out.samples[i] = static_cast<int16_t>(le16(b, body + 2 * i));
            }
            return true;
        }
        at = body + size + (size & 1);
    }
    return false;
}

bool readHeader44(const std::string& path, Header44& h) {
    const std::string b = testenv::readFile(path);
    if (b.size() < 44) {
        return false;
    }
    h.riff = b.substr(0, 4);
    h.riffSize = le32(b, 4);
    h.wave = b.substr(8, 4);
    h.fmt = b.substr(12, 4);
    h.fmtSize = le32(b, 16);
    h.formatTag = le16(b, 20);
    h.channels = le16(b, 22);
    h.rate = le32(b, 24);
    h.byteRate = le32(b, 28);
    h.blockAlign = le16(b, 32);
    h.bits = le16(b, 34);
    h.data = b.substr(36, 4);
    h.dataSize = le32(b, 40);
    return true;
}

std::vector<int16_t> samplesAfter44(const std::string& path) {
    const std::string b = testenv::readFile(path);
    std::vector<int16_t> s;
    if (b.size() <= 44) {
        return s;
    }
    s.resize((b.size() - 44) / 2);
    for (size_t i = 0; i < s.size(); ++i) {
        s[i] = static_cast<int16_t>(le16(b, 44 + 2 * i));
    }
    return s;
}

double toneFrequency(const std::vector<int16_t>& interleaved, uint16_t channels, uint16_t channel,
                     uint32_t rate) {
    const size_t frames = interleaved.size() / channels;
    if (frames < 4 || rate == 0) {
        return 0.0;
    }
    const size_t begin = frames / 5;
    const size_t end = frames - frames / 5;
    size_t crossings = 0;
    size_t first = 0;
    size_t last = 0;
    int previous = interleaved[begin * channels + channel] >= 0 ? 1 : -1;
    for (size_t i = begin + 1; i < end; ++i) {
        int sign = interleaved[i * channels + channel] >= 0 ? 1 : -1;
        if (sign != previous) {
            if (crossings == 0) {
                first = i;
            }
            last = i;
            ++crossings;
            previous = sign;
        }
    }
    if (crossings < 3) {
        return 0.0;
    }
    // Crossings between the first and the last are (crossings - 1) half periods.
    return double(crossings - 1) / 2.0 / (double(last - first) / rate);
}

bool fileOpenInProcess(const std::string& path) {
    char resolved[PATH_MAX];
    if (!realpath(path.c_str(), resolved)) {
        return false;
    }
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) {
        return false;
    }
    bool found = false;
    while (dirent* entry = readdir(dir)) {
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        char target[PATH_MAX];
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0) {
            target[n] = '\0';
            if (std::strcmp(target, resolved) == 0) {
                found = true;
            }
        }
    }
    closedir(dir);
    return found;
}

off_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

} // namespace decodetest
