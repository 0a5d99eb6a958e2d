#pragma once

#include <functional>
#include <map>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace testenv {

// Points HOME, the XDG folders and the program's registry and runtime folders at a
// fresh temporary directory, so a test never reads or writes the real user's
// settings, queue or desktop entries. Called once by both test mains.
void isolate();

// The temporary root created by isolate() (with a trailing '/').
const std::string& root();

// A new empty directory below root().
std::string makeDir(const std::string& name);

// Points the registry at a new empty folder, so a test starts from an empty
// registry also when several tests run in one process.
void useFreshRegistry();

// Writes a whole file; fails the current test on error.
void writeFile(const std::string& path, const std::string& bytes);

// Reads a whole file; empty when it does not exist.
std::string readFile(const std::string& path);

bool fileExists(const std::string& path);

// The names in a folder, without "." and "..", sorted; none when it cannot be read.
std::vector<std::string> listDir(const std::string& dir);

// A file-size limit for the life of the object: writes past `bytes` fail (EFBIG,
// SIGXFSZ ignored meanwhile) as on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit previous_{};
    void (*previousHandler_)(int) = nullptr;
};

// Runs a shell command and returns its exit status (-1 when it could not run).
int run(const std::string& command);

// A D-Bus system bus of the test's own in `dir`, on which anyone may own any name
// (for a stand-in logind); its address goes into DBUS_SYSTEM_BUS_ADDRESS.
class PrivateSystemBus {
public:
    explicit PrivateSystemBus(const std::string& dir);
    ~PrivateSystemBus();
    PrivateSystemBus(const PrivateSystemBus&) = delete;
    PrivateSystemBus& operator=(const PrivateSystemBus&) = delete;
    const std::string address;

private:
    int pid_ = 0;
};

// Runs `body` in a forked child and returns the exit status it gave (its return
// value), or -1 when it did not end within `timeoutMs` (it is then killed) or died
// of a signal. For what could hang or take the whole process with it.
int runInChild(const std::function<int()>& body, int timeoutMs);

// The tags of an audio file as ffprobe reads them ("title", "artist", "album",
// "album_artist", "date", "track", "genre", "comment"; keys in lower case). Fails
// the current test when ffprobe cannot read the file.
std::map<std::string, std::string> probeTags(const std::string& path);

// Stores the ParallelJobs setting (jobs run at once by the next conversion window
// made) in the test's registry.
void setParallelJobs(unsigned jobs);


// The folder that holds the built program and the files it loads (the test
// executables' own folder).
std::string appDir();

// The build folder, and the cmake that configured it.
std::string buildDir();
std::string cmakeCommand();

} // namespace testenv
