#include "platform/Paths.h"

#include <cerrno>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

std::string programDir() {
    static const std::string dir = [] {
        std::string buf(PATH_MAX, '\0');
        ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
        if (n <= 0) {
            return std::string("./");
        }
        buf.resize(static_cast<size_t>(n));
        return buf.substr(0, buf.rfind('/') + 1);
    }();
    return dir;
}

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) {
        return name;
    }
    return withTrailingSlash(dir) + name;
}

std::string withTrailingSlash(const std::string& dir) {
    if (dir.empty() || dir.back() == '/') {
        return dir;
    }
    return dir + '/';
}

std::string parentDir(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return "";
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

std::string fileName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string extension(const std::string& path) {
    std::string name = fileName(path);
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? "" : name.substr(dot);
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<unsigned char>(x - 'A' + 'a');
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<unsigned char>(y - 'A' + 'a');
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

std::string lexicallyNormal(const std::string& path) {
    const bool absolute = !path.empty() && path[0] == '/';
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..") {
                parts.pop_back();
            } else if (!absolute) {
                parts.push_back(part);
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string out = absolute ? "/" : "";
    for (const std::string& part : parts) {
        out += (out.empty() || out == "/" ? "" : "/") + part;
    }
    return out.empty() ? "." : out;
}

std::string absolutePath(const std::string& path) {
    if (path.empty() || path.front() == '/') {
        return path;
    }
    std::string cwd(PATH_MAX, '\0');
    if (!getcwd(cwd.data(), cwd.size())) {
        return path;
    }
    cwd.resize(cwd.find('\0'));
    std::string rel = path;
    while (rel.size() >= 2 && rel[0] == '.' && rel[1] == '/') {
        rel.erase(0, 2);
    }
    return joinPath(cwd, rel);
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool directoryExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isReadOnlyFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return false;
    }
    if (geteuid() == 0) {
        // Root could write anyway; the missing write bits still mark the file
        // as one the user meant to protect.
        return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    }
    return ::access(path.c_str(), W_OK) != 0;
}

bool removeExistingFile(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return true;
    }
    if (S_ISDIR(st.st_mode) || (!S_ISLNK(st.st_mode) && isReadOnlyFile(path))) {
        return false;
    }
    return ::unlink(path.c_str()) == 0;
}

bool forceDirectories(const std::string& dir) {
    std::string path = dir;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    if (path.empty() || path == "/") {
        return true;
    }
    if (directoryExists(path)) {
        return true;
    }
    std::string parent = parentDir(path);
    if (!parent.empty() && !forceDirectories(parent)) {
        return false;
    }
    if (::mkdir(path.c_str(), 0777) == 0) {
        return true;
    }
    return errno == EEXIST && directoryExists(path);
}

} // namespace platform
