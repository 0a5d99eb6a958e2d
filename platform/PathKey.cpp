#include "platform/PathKey.h"

#include <QByteArray>
#include <QString>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <vector>

#include "platform/Paths.h"

namespace platform {
namespace {

// File system types of linux/magic.h that compare names without regard to case,
// and the two NTFS drivers', which it does not list.
constexpr unsigned long kNtfs3Magic = 0x7366746e;
constexpr unsigned long kNtfsMagic = 0x5346544e;


} // namespace

bool folderIgnoresCase(const std::string& dir) {
    struct statfs fs {};
    if (::statfs(dir.c_str(), &fs) != 0) {
        return false;
    }
    switch (static_cast<unsigned long>(fs.f_type)) {
    case MSDOS_SUPER_MAGIC:
    case EXFAT_SUPER_MAGIC:
    case kNtfs3Magic:
    case kNtfsMagic:
        return true;
    case EXT4_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case TMPFS_MAGIC:
        break; // case-insensitive folder by folder
    default:
        return false;
    }
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    int flags = 0;
    const bool folded = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_CASEFOLD_FL) != 0;
    ::close(fd);
    return folded;
}

std::string foldedFileName(const std::string& name) {
    const QString text = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
    const QByteArray utf8 = text.toUtf8();
    if (std::string(utf8.constData(), static_cast<size_t>(utf8.size())) == name) {
        const QByteArray folded = text.toCaseFolded().toUtf8();
        return std::string(folded.constData(), static_cast<size_t>(folded.size()));
    }
    // Not UTF-8: the bytes stay apart from every other name, so two Latin-1 names
    // never meet in one replacement character.
    std::string folded = name;
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return folded;
}

PathKey pathKeyOf(const std::string& path) {
    std::string full = absolutePath(path);
    while (full.size() > 1 && full.back() == '/') {
        full.pop_back();
    }
    const std::string dir = parentDir(full);
    const std::string name = fileName(full);
    struct stat st {};
    if (name.empty() || name == "." || name == ".." || ::stat(dir.c_str(), &st) != 0 ||
        !S_ISDIR(st.st_mode)) {
        return PathKey{0, 0, platform::lexicallyNormal(full)};
    }
    return PathKey{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                   folderIgnoresCase(dir) ? foldedFileName(name) : name};
}

} // namespace platform

std::size_t std::hash<platform::PathKey>::operator()(const platform::PathKey& key) const noexcept {
    std::size_t seed = std::hash<std::string>{}(key.name);
    for (std::uint64_t part : {key.device, key.inode}) {
        seed ^=
            std::hash<std::uint64_t>{}(part) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    }
    return seed;
}
