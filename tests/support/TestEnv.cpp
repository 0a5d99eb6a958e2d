#include "TestEnv.h"

#include "platform/InstanceFiles.h"
#include "platform/Registry.h"
#include "settings/Settings.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace testenv {
namespace {
std::string g_root;

void removeTree(const std::string& path) {
    if (path.size() > 8) {
        std::string cmd = "rm -rf '" + path + "'";
        if (std::system(cmd.c_str()) != 0) {
            std::fprintf(stderr, "could not remove %s\n", path.c_str());
        }
    }
}
} // namespace

void isolate() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tw-test-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    g_root = pattern + "/";
    const char* dirs[][2] = {{"HOME", "home"},
                             {"XDG_CONFIG_HOME", "home/.config"},
                             {"XDG_DATA_HOME", "home/.local/share"},
                             {"XDG_CACHE_HOME", "home/.cache"},
                             {"XDG_RUNTIME_DIR", "xdg-runtime"},
                             {"TUNEWRIGHT_REGISTRY_DIR", "registry"},
                             {"TUNEWRIGHT_RUNTIME_DIR", "runtime"}};
    for (auto& d : dirs) {
        std::string path = g_root + d[1];
        std::string cmd = "mkdir -p '" + path + "'";
        if (std::system(cmd.c_str()) != 0) {
            std::abort();
        }
        chmod(path.c_str(), 0700);
        setenv(d[0], path.c_str(), 1);
    }
    // Widgets draw offscreen, and the program's processes started by a test keep
    // the sanitizers' own exit code apart from the program's exit codes.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("ASAN_OPTIONS", "exitcode=86:detect_leaks=1", 0);
    setenv("LSAN_OPTIONS", "suppressions=" TW_TEST_LSAN_SUPPRESSIONS ":print_suppressions=0", 0);
    setenv("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1", 0);
    // Whether GNOME Files loads Python extensions is the test's choice, not the
    // machine's: none unless a test puts the loader into this folder.
    setenv("TUNEWRIGHT_NAUTILUS_EXTENSIONS_DIR", (g_root + "nautilus-extensions").c_str(), 1);
    // No test, and no program a test starts, reaches the user's desktop over
    // D-Bus; tests that need a bus start a private one.
    const std::string noBus = "unix:path=" + g_root + "no-bus";
    setenv("DBUS_SESSION_BUS_ADDRESS", noBus.c_str(), 1);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", noBus.c_str(), 1);
    unsetenv("TUNEWRIGHT_UNATTENDED");
    unsetenv("TUNEWRIGHT_CD_IMAGES");
    unsetenv("TUNEWRIGHT_WAVE_DEVICE");
    std::atexit([] { removeTree(g_root); });
}

const std::string& root() {
    return g_root;
}

std::map<std::string, std::string> probeTags(const std::string& path) {
    static int counter = 0;
    const std::string listing = g_root + "probe-" + std::to_string(++counter) + ".txt";
    std::map<std::string, std::string> tags;
    if (run("ffprobe -v error -show_entries format_tags -of default=noprint_wrappers=1 '" + path +
            "' > '" + listing + "'") != 0) {
        ADD_FAILURE() << "ffprobe cannot read " << path;
        return tags;
    }
    const std::string text = readFile(listing);
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const std::size_t eq = line.find('=');
        if (line.rfind("TAG:", 0) != 0 || eq == std::string::npos) {
            continue;
        }
        std::string key = line.substr(4, eq - 4);
        for (char& c : key) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        tags[key] = line.substr(eq + 1);
    }
    return tags;
}

std::string makeDir(const std::string& name) {
    std::string path = g_root + name;
    std::string cmd = "mkdir -p '" + path + "'";
    if (std::system(cmd.c_str()) != 0) {
        ADD_FAILURE() << "cannot create " << path;
    }
    return path;
}

void useFreshRegistry() {
    static int counter = 0;
    std::string dir = makeDir("registry-" + std::to_string(++counter));
    setenv("TUNEWRIGHT_REGISTRY_DIR", dir.c_str(), 1);
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        ADD_FAILURE() << "cannot write " << path;
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

int runInChild(const std::function<int()>& body, int timeoutMs) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        return -1;
    }
    if (child == 0) {
        ::_exit(body());
    }
    int status = 0;
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        if (::waitpid(child, &status, WNOHANG) == child) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        ::usleep(20000);
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    return -1;
}

int run(const std::string& command) {
    int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

std::string buildDir() {
    return TW_TEST_BUILD_DIR;
}

std::string cmakeCommand() {
    return TW_TEST_CMAKE;
}

std::string appDir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string self(buf, n > 0 ? static_cast<size_t>(n) : 0);
    return self.substr(0, self.rfind('/') + 1);
}

std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

FileSizeLimit::FileSizeLimit(rlim_t bytes) {
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limit = previous_;
    limit.rlim_cur = bytes;
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
}

FileSizeLimit::~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
}

void setParallelJobs(unsigned jobs) {
    platform::Registry user(platform::RegistryRoot::CurrentUser);
    ASSERT_TRUE(user.createKey(settings::kSettingsKey));
    ASSERT_TRUE(
        user.writeInteger(settings::kSettingsKey, "ParallelJobs", static_cast<int32_t>(jobs)));
}

PrivateSystemBus::PrivateSystemBus(const std::string& dir)
    : address("unix:path=" + dir + "/system_bus_socket") {
    writeFile(dir + "/system.conf", R"(<busconfig>
  <type>system</type>
  <listen>)" + address + R"(</listen>
  <policy context="default">
    <allow user="*"/> <allow own="*"/>
    <allow send_destination="*"/> <allow receive_sender="*"/>
  </policy>
</busconfig>
)");
    EXPECT_EQ(run("dbus-daemon --config-file='" + dir + "/system.conf' --fork --print-pid=1 > '" +
                  dir + "/pid' 2>/dev/null"),
              0);
    pid_ = std::atoi(readFile(dir + "/pid").c_str());
}

PrivateSystemBus::~PrivateSystemBus() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
    }
}

} // namespace testenv
