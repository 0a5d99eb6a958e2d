// The CD library's disc-image path: any bytes as a cue sheet (next to a small BIN
// file), read through the library's own entry points as the ripper reads a drive.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "akrip32.h"

namespace {

std::string g_cue;
HCDROM g_handle = 0;

bool writeFile(const std::string& path, const void* data, size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        return false;
    }
    bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/tw-cue-fuzz-XXXXXX";
    if (!mkdtemp(dir)) {
        std::abort();
    }
    g_cue = std::string(dir) + "/disc.cue";
    // 40 frames of audio the seeds' FILE lines name ("disc.bin", "disc.wav").
    std::vector<uint8_t> audio(40 * AKRIP_FRAME_BYTES);
    for (size_t i = 0; i < audio.size(); ++i) {
        audio[i] = static_cast<uint8_t>(i * 7);
    }
    const char cue[] = "FILE \"disc.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n";
    if (!writeFile(std::string(dir) + "/disc.bin", audio.data(), audio.size()) ||
        !writeFile(std::string(dir) + "/disc.wav", audio.data(), audio.size()) ||
        !writeFile(g_cue, cue, sizeof cue - 1)) {
        std::abort();
    }
    setenv("TUNEWRIGHT_CD_IMAGES", g_cue.c_str(), 1);
    DriveList list{};
    list.max = AKRIP_MAX_DRIVES;
    GetCDList(&list);
    for (int i = 0; i < list.num; ++i) {
        if (list.drive[i].ha == 1) {
            GETCDHAND request{};
            request.size = AKRIP_GETCDHAND_SIZE;
            request.ver = AKRIP_GETCDHAND_VERSION;
            request.ha = 1;
            request.tgt = list.drive[i].tgt;
            g_handle = GetCDHandle(&request);
        }
    }
    if (g_handle == 0) {
        std::fprintf(stderr, "the disc image did not appear as a drive\n");
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!writeFile(g_cue, data, size)) {
        std::abort();
    }
    for (uint32_t msf : {0u, 1u}) {
        ModifyCDParms(g_handle, CDP_MSF, msf);
        TocRecord toc{};
        if (!ReadTOC(g_handle, &toc)) {
            return 0;
        }
    }
    // Block mode: read the first frames of every track and the last before the lead-out.
    ModifyCDParms(g_handle, CDP_MSF, 0);
    TocRecord toc{};
    if (!ReadTOC(g_handle, &toc)) {
        return 0;
    }
    const int tracks = toc.lastTrack - toc.firstTrack + 2;
    static std::vector<uint8_t> buffer(AKRIP_TRACKBUF_HEADER + 2 * AKRIP_FRAME_BYTES);
    auto* track = reinterpret_cast<TrackBuffer*>(buffer.data());
    for (int k = 0; k < tracks && k < AKRIP_TOC_ENTRIES; ++k) {
        const uint32_t start = akrip_get_be32(toc.tracks[k].addr);
        for (uint32_t at : {start, start > 0 ? start - 1 : 0u}) {
            std::memset(buffer.data(), 0, AKRIP_TRACKBUF_HEADER);
            akrip_put_le32(track->startFrame, at);
            akrip_put_le32(track->numFrames, 2);
            akrip_put_le32(track->maxLen, 2 * AKRIP_FRAME_BYTES);
            ReadCDAudioLBA(g_handle, track);
        }
    }
    return 0;
}
