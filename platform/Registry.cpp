#include "platform/Registry.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileIO.h"
#include "platform/Paths.h"

namespace platform {
namespace {

// Stored layout: {"keys": {"<lower path>": {"name": "<path>", "values":
// {"<lower name>": {"name": "<name>", "type": "REG_SZ"|"REG_DWORD", "data": ...}}}}}
// A string that is not valid UTF-8 is kept byte for byte as "hex".
std::string lower(const std::string& s) {
    std::string out = s;
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string normalizeKey(const std::string& key) {
    std::string out;
    for (char c : key) {
        if (c == '/') {
            c = '\\';
        }
        if (c == '\\' && (out.empty() || out.back() == '\\')) {
            continue;
        }
        out.push_back(c);
    }
    while (!out.empty() && out.back() == '\\') {
        out.pop_back();
    }
    return out;
}

QString q(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<int>(s.size()));
}

bool isUtf8(const std::string& s) {
    QString decoded = q(s);
    QByteArray back = decoded.toUtf8();
    return back.size() == static_cast<int>(s.size()) &&
           std::equal(s.begin(), s.end(), back.constData());
}

struct Root {
    QJsonObject keys;
};

// The file a root's path stands for: a symbolic link at the path (a dotfile
// manager's, a configuration tool's) is followed to its target, also when the
// target does not exist yet, so that reads go through the link and writes
// replace the target beside it.
std::string resolvedFile(const std::string& file) {
    std::string path = file;
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return path;
        }
        std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4095) + 1, '\0');
        ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<size_t>(n) >= target.size()) {
            return path;
        }
        target.resize(static_cast<size_t>(n));
        path = target[0] == '/' ? target : joinPath(parentDir(path), target);
    }
    return path;
}

// Parses a root's bytes; false when they are not a root.
bool parseRoot(const std::string& text, Root& root) {
    QByteArray bytes = QByteArray::fromRawData(text.data(), static_cast<int>(text.size()));
    QJsonParseError parseError{};
    QJsonDocument doc = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject() ||
        !doc.object().value("keys").isObject()) {
        return false;
    }
    root.keys = doc.object().value("keys").toObject();
    return true;
}

// Says once per process and per state of a file what is wrong with it, so that
// many reads of one broken file give one line.
void reportRootFile(const std::string& file, const std::string& text) {
    static std::mutex mutex;
    static std::set<std::string> said;
    struct stat st {};
    std::string identity = file;
    if (::stat(file.c_str(), &st) == 0) {
        identity += "|" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
                    std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
                    std::to_string(st.st_mtim.tv_nsec);
    }
    std::lock_guard lock(mutex);
    if (said.insert(identity + "|" + text).second) {
        std::fprintf(stderr, "mp3tunewright: registry file %s %s\n", file.c_str(), text.c_str());
    }
}

// Keeps the bytes of a root file that cannot be parsed under the first free name
// of <file>.bak, <file>.bak1, ... before anything replaces the file; the name
// used, or nothing when no copy could be made.
std::optional<std::string> keepCopy(const std::string& file, const std::string& bytes) {
    for (int n = 0; n < 100; ++n) {
        std::string copy = file + ".bak" + (n == 0 ? std::string() : std::to_string(n));
        int fd = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            return std::nullopt;
        }
        bool ok = writeAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
        ok = ::close(fd) == 0 && ok;
        if (!ok) {
            ::unlink(copy.c_str());
            return std::nullopt;
        }
        return copy;
    }
    return std::nullopt;
}

// Reads a root file; false when it exists and cannot be read, or (with
// `keepBroken`, before a write) when it cannot be parsed and no copy of it could
// be kept. No file is an empty root, and so is a file that cannot be parsed.
bool readRoot(const std::string& file, Root& root, bool keepBroken) {
    std::optional<std::string> text = readWholeFile(file);
    if (!text) {
        int error = errno;
        struct stat st {};
        if (::lstat(file.c_str(), &st) != 0) {
            if (errno == ENOENT) {
                return true;
            }
            error = errno;
        }
        const bool other = ::lstat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
        reportRootFile(file, std::string("cannot be read (") +
                                 (other ? "not a regular file" : std::strerror(error)) +
                                 "): its settings are not used and it is left as it is");
        return false;
    }
    if (text->size() > static_cast<size_t>(INT32_MAX) || !parseRoot(*text, root)) {
        if (!keepBroken) {
            reportRootFile(file, "cannot be parsed: its settings are not used");
        } else {
            std::optional<std::string> copy = keepCopy(file, *text);
            if (!copy) {
                reportRootFile(file, "cannot be parsed and no copy of it could be kept: it is "
                                     "left as it is");
                return false;
            }
            reportRootFile(file, "cannot be parsed: kept as " + *copy + ", a new file replaces it");
        }
        root.keys = QJsonObject();
        return true;
    }
    return true;
}

bool writeRoot(const std::string& file, const Root& root) {
    QJsonObject top;
    top.insert("keys", root.keys);
    QByteArray bytes = QJsonDocument(top).toJson(QJsonDocument::Indented);
    // The replacement keeps the mode of the file it replaces (a private 0600
    // stays private); a new file gets 0644.
    mode_t mode = 0644;
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        mode = st.st_mode & 07777;
    }
    return writeFileAtomically(
               file, std::string(bytes.constData(), static_cast<size_t>(bytes.size())), mode) == 0;
}

// Runs a read-modify-write of the root file under the cross-process lock.
bool modify(const std::string& rootPath, const std::function<bool(Root&)>& change) {
    const std::string file = resolvedFile(rootPath);
    // A root file without write permission is read-only for the program, even
    // where its folder would let a rename replace it.
    if (isReadOnlyFile(file)) {
        return false;
    }
    std::string dir = parentDir(file);
    if (!forceDirectories(dir)) {
        return false;
    }
    std::string lockPath = file + ".lock";
    int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd < 0) {
        return false;
    }
    while (::flock(lockFd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(lockFd);
            return false;
        }
    }
    // What a writer killed in the middle of its rewrite left would stay for good.
    removeStaleAtomicTemporaries(file);
    Root root;
    bool ok = readRoot(file, root, true) && change(root) && writeRoot(file, root);
    ::flock(lockFd, LOCK_UN);
    ::close(lockFd);
    return ok;
}

Root load(const std::string& file) {
    Root root;
    if (!readRoot(resolvedFile(file), root, false)) {
        root.keys = QJsonObject();
    }
    return root;
}

// A hex-kept string: an even number of hex digits and nothing else.
std::optional<std::string> decodeHex(const QString& hex) {
    if (hex.size() % 2 != 0) {
        return std::nullopt;
    }
    for (QChar c : hex) {
        const char16_t u = c.unicode();
        const bool digit =
            (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F');
        if (!digit) {
            return std::nullopt;
        }
    }
    QByteArray raw = QByteArray::fromHex(hex.toLatin1());
    return std::string(raw.constData(), static_cast<size_t>(raw.size()));
}

std::optional<QJsonObject> findValue(const Root& root, const std::string& key,
                                     const std::string& name) {
    QJsonValue k = root.keys.value(q(lower(normalizeKey(key))));
    if (!k.isObject()) {
        return std::nullopt;
    }
    QJsonValue v = k.toObject().value("values").toObject().value(q(lower(name)));
    if (!v.isObject()) {
        return std::nullopt;
    }
    return v.toObject();
}

} // namespace

std::string Registry::rootFile(RegistryRoot root) {
    const char* names[] = {"HKEY_CURRENT_USER.json", "HKEY_LOCAL_MACHINE.json",
                           "HKEY_CLASSES_ROOT.json"};
    std::string name = names[static_cast<int>(root)];
    if (const char* dir = std::getenv("TUNEWRIGHT_REGISTRY_DIR"); dir && *dir) {
        return joinPath(dir, name);
    }
    if (root == RegistryRoot::LocalMachine) {
        return "/etc/xdg/mp3tunewright/registry/" + name;
    }
    std::string config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
        config = xdg;
    } else {
        const char* home = std::getenv("HOME");
        config = std::string(home ? home : "") + "/.config";
    }
    return joinPath(config, "mp3tunewright/registry/" + name);
}

Registry::Registry(RegistryRoot root) : file_(rootFile(root)) {}

struct RegistrySnapshot::Data {
    Root root;
};

RegistrySnapshot::RegistrySnapshot() : data_(std::make_shared<const Data>()) {}

RegistrySnapshot::RegistrySnapshot(std::shared_ptr<const Data> data) : data_(std::move(data)) {}

RegistrySnapshot RegistrySnapshot::parse(const std::string& bytes) {
    auto data = std::make_shared<Data>();
    if (bytes.size() > static_cast<size_t>(INT32_MAX) || !parseRoot(bytes, data->root)) {
        data->root.keys = QJsonObject();
    }
    return RegistrySnapshot(std::move(data));
}

RegistrySnapshot Registry::snapshot() const {
    auto data = std::make_shared<RegistrySnapshot::Data>();
    data->root = load(file_);
    return RegistrySnapshot(std::move(data));
}

bool RegistrySnapshot::keyExists(const std::string& key) const {
    std::string path = normalizeKey(key);
    if (path.empty()) {
        return true;
    }
    return data_->root.keys.contains(q(lower(path)));
}

std::optional<RegistryType> RegistrySnapshot::valueType(const std::string& key,
                                                        const std::string& name) const {
    auto v = findValue(data_->root, key, name);
    if (!v) {
        return std::nullopt;
    }
    QString type = v->value("type").toString();
    if (type == "REG_SZ") {
        return RegistryType::String;
    }
    if (type == "REG_DWORD") {
        return RegistryType::DWord;
    }
    return std::nullopt;
}

std::optional<std::string> RegistrySnapshot::readString(const std::string& key,
                                                        const std::string& name) const {
    auto v = findValue(data_->root, key, name);
    if (!v || v->value("type").toString() != "REG_SZ") {
        return std::nullopt;
    }
    if (v->contains("hex")) {
        // A damaged hex text is an invalid value, not a string to guess at.
        const QJsonValue hex = v->value("hex");
        return hex.isString() ? decodeHex(hex.toString()) : std::nullopt;
    }
    QByteArray utf8 = v->value("data").toString().toUtf8();
    return std::string(utf8.constData(), static_cast<size_t>(utf8.size()));
}

std::optional<int32_t> RegistrySnapshot::readInteger(const std::string& key,
                                                     const std::string& name) const {
    auto v = findValue(data_->root, key, name);
    if (!v || v->value("type").toString() != "REG_DWORD" || !v->value("data").isDouble()) {
        return std::nullopt;
    }
    // Stored as the unsigned 32-bit value; read back as the same 32 bits.
    double d = v->value("data").toDouble();
    if (!(d >= -2147483648.0 && d <= 4294967295.0)) {
        return std::nullopt;
    }
    int64_t whole = static_cast<int64_t>(d);
    return static_cast<int32_t>(static_cast<uint32_t>(whole & 0xffffffff));
}

std::vector<std::string> RegistrySnapshot::subKeys(const std::string& key) const {
    std::string path = lower(normalizeKey(key));
    std::string prefix = path.empty() ? "" : path + "\\";
    std::vector<std::string> out;
    const Root& root = data_->root;
    for (auto it = root.keys.begin(); it != root.keys.end(); ++it) {
        QByteArray idBytes = it.key().toUtf8();
        std::string id(idBytes.constData(), static_cast<size_t>(idBytes.size()));
        if (id.size() > prefix.size() && id.compare(0, prefix.size(), prefix) == 0 &&
            id.find('\\', prefix.size()) == std::string::npos) {
            QByteArray name = it.value().toObject().value("name").toString().toUtf8();
            std::string full(name.constData(), static_cast<size_t>(name.size()));
            out.push_back(full.substr(full.rfind('\\') + 1));
        }
    }
    return out;
}

bool Registry::keyExists(const std::string& key) const {
    return snapshot().keyExists(key);
}

bool Registry::createKey(const std::string& key) {
    std::string path = normalizeKey(key);
    if (path.empty()) {
        return writable();
    }
    return modify(file_, [&](Root& root) {
        size_t at = 0;
        for (;;) {
            size_t slash = path.find('\\', at);
            std::string level = path.substr(0, slash);
            QString id = q(lower(level));
            if (!root.keys.contains(id)) {
                QJsonObject k;
                k.insert("name", q(level));
                k.insert("values", QJsonObject());
                root.keys.insert(id, k);
            }
            if (slash == std::string::npos) {
                return true;
            }
            at = slash + 1;
        }
    });
}

bool Registry::deleteKey(const std::string& key) {
    std::string path = lower(normalizeKey(key));
    if (path.empty()) {
        return false;
    }
    if (!keyExists(key)) {
        return true;
    }
    return modify(file_, [&](Root& root) {
        QString id = q(path);
        QString prefix = q(path + "\\");
        for (const QString& k : root.keys.keys()) {
            if (k == id || k.startsWith(prefix)) {
                root.keys.remove(k);
            }
        }
        return true;
    });
}

std::optional<RegistryType> Registry::valueType(const std::string& key,
                                                const std::string& name) const {
    return snapshot().valueType(key, name);
}

std::optional<std::string> Registry::readString(const std::string& key,
                                                const std::string& name) const {
    return snapshot().readString(key, name);
}

std::optional<int32_t> Registry::readInteger(const std::string& key,
                                             const std::string& name) const {
    return snapshot().readInteger(key, name);
}

namespace {
bool writeValue(const std::string& file, const std::string& key, const std::string& name,
                const QJsonObject& value) {
    std::string path = lower(normalizeKey(key));
    return modify(file, [&](Root& root) {
        QString id = q(path);
        if (!path.empty() && !root.keys.contains(id)) {
            return false;
        }
        QJsonObject k = root.keys.value(id).toObject();
        if (path.empty()) {
            k.insert("name", "");
        }
        QJsonObject values = k.value("values").toObject();
        QJsonObject v = value;
        QString vid = q(lower(name));
        // Keep the spelling the value was first written with.
        v.insert("name", values.contains(vid) ? values.value(vid).toObject().value("name")
                                              : QJsonValue(q(name)));
        values.insert(vid, v);
        k.insert("values", values);
        root.keys.insert(id, k);
        return true;
    });
}
} // namespace

bool Registry::writeString(const std::string& key, const std::string& name,
                           const std::string& value) {
    QJsonObject v;
    v.insert("type", "REG_SZ");
    if (isUtf8(value)) {
        v.insert("data", q(value));
    } else {
        v.insert("hex", QString::fromLatin1(
                            QByteArray(value.data(), static_cast<int>(value.size())).toHex()));
    }
    return writeValue(file_, key, name, v);
}

bool Registry::writeInteger(const std::string& key, const std::string& name, int32_t value) {
    QJsonObject v;
    v.insert("type", "REG_DWORD");
    v.insert("data", static_cast<double>(static_cast<uint32_t>(value)));
    return writeValue(file_, key, name, v);
}

bool Registry::deleteValue(const std::string& key, const std::string& name) {
    std::string path = lower(normalizeKey(key));
    return modify(file_, [&](Root& root) {
        QString id = q(path);
        if (!root.keys.contains(id)) {
            return false;
        }
        QJsonObject k = root.keys.value(id).toObject();
        QJsonObject values = k.value("values").toObject();
        values.remove(q(lower(name)));
        k.insert("values", values);
        root.keys.insert(id, k);
        return true;
    });
}

std::vector<std::string> Registry::subKeys(const std::string& key) const {
    return snapshot().subKeys(key);
}

bool Registry::writable() const {
    const std::string file = resolvedFile(file_);
    std::string dir = parentDir(file);
    // Find the nearest existing folder and test whether it can be written.
    std::string probe = dir;
    while (!probe.empty() && !directoryExists(probe)) {
        if (fileExists(probe)) {
            return false;
        }
        probe = parentDir(probe);
    }
    if (probe.empty()) {
        probe = ".";
    }
    if (::access(probe.c_str(), W_OK) != 0) {
        return false;
    }
    if (fileExists(file) && (::access(file.c_str(), W_OK) != 0 || isReadOnlyFile(file))) {
        return false;
    }
    return true;
}

} // namespace platform
