#include "codec/SampleSource.h"

#include <cstdio>

#include "codec/FfmpegSampleSource.h"
#include "codec/WavSampleSource.h"

namespace codec {

std::unique_ptr<SampleSource> OpenSampleSource(int fd, const std::string& name,
                                               const std::string& readerLibrary) {
    bool accepted = false;
    if (auto wav = WavSampleSource::Open(fd, accepted)) {
        return wav;
    }
    if (accepted) {
        return nullptr; // the program's own kind of WAV, without a single frame
    }
    bool missing = false;
    auto source = OpenFfmpegSampleSource(fd, name, readerLibrary, missing);
    if (missing) {
        std::string why;
        SourceReaderAvailable(readerLibrary, why);
        std::fprintf(stderr,
                     "mp3tunewright: %s is not one of the WAVs read without the reader library "
                     "%s, which cannot be loaded: %s\n",
                     name.c_str(), readerLibrary.c_str(), why.c_str());
        std::fflush(stderr);
    }
    return source;
}

} // namespace codec
