#pragma once

// The file one job writes: an unnamed file in its target's folder, so that nothing
// of it can be seen (or left behind by a kill) before it takes its place. Where the
// file system has no unnamed files (vfat, FUSE), a hidden temporary named after the
// writing process stands in; the next output made in that folder removes those of
// writers that died.

#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

#include "platform/FileIO.h"

namespace app {

class JobOutput {
public:
    // A new empty output in `folder`; nullptr with errno set when none can be made.
    static std::unique_ptr<JobOutput> Create(const std::string& folder);
    ~JobOutput();
    JobOutput(const JobOutput&) = delete;
    JobOutput& operator=(const JobOutput&) = delete;

    // A path that opens the output, for the codec and TagLib.
    std::string path() const;
    const std::string& folder() const { return folder_; }
    // Its size now; 0 when it cannot be read.
    off_t size() const;
    // Its identity now (which a name it is given later keeps).
    platform::FileIdentity identity() const;

    // How an output takes its place.
    enum class Place {
        Replace,    // over whatever file is at the name
        IfAbsent,   // only where nothing is at the name
    };
    // Gives the output the name `target` in its own folder, flushed to disk first.
    // False with errno set (EEXIST: something is at the name, with IfAbsent); the
    // output is then still unnamed.
    bool publish(const std::string& target, Place how);

private:
    JobOutput() = default;
    // A hidden name in the folder, unique among this process's outputs.
    std::string hiddenName() const;

    std::string folder_;
    std::string named_; // the stand-in's name while it has one
    int fd_ = -1;
    bool published_ = false;
};

} // namespace app
