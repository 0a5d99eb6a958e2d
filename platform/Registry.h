#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// A small registry: three roots, each a file of keys holding typed values.
// Key and value names are case-insensitive and case-preserving; key paths use
// '\' between levels (a leading '\' is optional). The empty value name is the
// key's default value. Every write is committed on its own: the root file is
// rewritten under a temporary name and renamed over the old one, under a lock
// file shared by all processes, so a failed write keeps what was written before.
// A root file that cannot be parsed reads as empty, and a copy of it is kept as
// <file>.bak (or .bak1, .bak2, ...) before a write replaces it; such a file, and one
// that cannot be read (not a regular file, no permission), is named on stderr.
// A root file that cannot be read is never replaced.
// A root file that is a symbolic link is read through the link, and written next
// to the link's target, so the link stays a link; a write keeps the file's mode.
enum class RegistryRoot { CurrentUser, LocalMachine, ClassesRoot };

enum class RegistryType { String, DWord };

// One root as it was read at one moment, parsed once: many values can be read
// from it without reading and parsing the file again. The reads behave as the
// Registry's reads of the same name.
class RegistrySnapshot {
public:
    RegistrySnapshot();
    // The snapshot of a root file's bytes; bytes that cannot be parsed give an
    // empty root.
    static RegistrySnapshot parse(const std::string& bytes);

    bool keyExists(const std::string& key) const;
    std::optional<std::string> readString(const std::string& key, const std::string& name) const;
    std::optional<int32_t> readInteger(const std::string& key, const std::string& name) const;
    std::optional<RegistryType> valueType(const std::string& key, const std::string& name) const;
    std::vector<std::string> subKeys(const std::string& key) const;

    struct Data;

private:
    explicit RegistrySnapshot(std::shared_ptr<const Data> data);
    friend class Registry;
    std::shared_ptr<const Data> data_;
};

class Registry {
public:
    explicit Registry(RegistryRoot root);

    // The file holding this root.
    const std::string& file() const { return file_; }

    // The root as it is now, read and parsed once.
    RegistrySnapshot snapshot() const;

    bool keyExists(const std::string& key) const;
    // Creates the key and every missing key above it. False when the root
    // cannot be written.
    bool createKey(const std::string& key);
    // Deletes the key with its whole subtree. True when it is gone afterwards.
    bool deleteKey(const std::string& key);

    // Reads fail (nullopt) when the key or value is absent or of the other type.
    std::optional<std::string> readString(const std::string& key, const std::string& name) const;
    std::optional<int32_t> readInteger(const std::string& key, const std::string& name) const;
    std::optional<RegistryType> valueType(const std::string& key, const std::string& name) const;

    // Writes fail when the key does not exist or the root cannot be written.
    bool writeString(const std::string& key, const std::string& name, const std::string& value);
    bool writeInteger(const std::string& key, const std::string& name, int32_t value);
    bool deleteValue(const std::string& key, const std::string& name);

    // Names of the direct subkeys (as stored) of a key.
    std::vector<std::string> subKeys(const std::string& key) const;

    // True when a write to this root would be possible now (its folder can be
    // created and written, and an existing file is writable).
    bool writable() const;

    // The folder of each root as the environment sets it.
    static std::string rootFile(RegistryRoot root);

private:
    std::string file_;
};

} // namespace platform
