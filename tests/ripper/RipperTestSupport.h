#pragma once

// A CD library that reaches the real libakrip32.so but can be told to fail chosen
// block reads or tables of contents, and records every block read.

#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ripper/CdLibrary.h"

namespace testdisc {

class ScriptedCdLibrary : public ripper::CdLibrary {
public:
    struct Read {
        uint32_t start;
        uint32_t frames;
        bool ok;
    };

    int32_t ReadTOC(HCDROM handle, TocRecord* toc) override {
        if (failToc) {
            failed_ = true;
            return 0;
        }
        failed_ = false;
        return ripper::CdLibrary::ReadTOC(handle, toc);
    }

    int32_t ReadCDAudioLBA(HCDROM handle, TrackBuffer* buffer) override {
        uint32_t start = akrip_get_le32(buffer->startFrame);
        uint32_t frames = akrip_get_le32(buffer->numFrames);
        bool fail = failingBlocks.count(start) > 0;
        int32_t result = 0;
        if (fail) {
            failed_ = true;
        } else {
            failed_ = false;
            result = ripper::CdLibrary::ReadCDAudioLBA(handle, buffer);
        }
        reads.push_back({start, frames, result == 1});
        if (onRead) {
            onRead(static_cast<int>(reads.size()));
        }
        return result;
    }

    int32_t GetAspiLibError() override {
        return failed_ ? failCode : ripper::CdLibrary::GetAspiLibError();
    }

    // Reads starting at these blocks fail on every attempt with failCode.
    std::set<uint32_t> failingBlocks;
    int32_t failCode = -11;
    bool failToc = false;
    // Called after every block read with the count of reads so far.
    std::function<void(int)> onRead;
    std::vector<Read> reads;

private:
    bool failed_ = false;
};

} // namespace testdisc
