#pragma once

// The FFmpeg reader behind SampleSource: the library ffreader.so (plugins/include/
// ffreader.h), loaded once per process the first time a job needs it and kept loaded.

#include <memory>
#include <string>

#include "codec/SampleSource.h"

namespace codec {

// Whether the reader library `name` can be loaded; `why` says why not.
bool SourceReaderAvailable(const std::string& name, std::string& why);

// A reader for the file open at `fd` through the library `library`, or null when the
// library refuses the file (or cannot be loaded: `missing` is then set).
std::unique_ptr<SampleSource> OpenFfmpegSampleSource(int fd, const std::string& name,
                                                     const std::string& library, bool& missing);

} // namespace codec
