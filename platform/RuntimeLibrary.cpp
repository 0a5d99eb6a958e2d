#include "platform/RuntimeLibrary.h"

#include <dlfcn.h>

#include "platform/Paths.h"

namespace platform {

RuntimeLibrary::RuntimeLibrary(const std::string& name,
                               std::initializer_list<const char*> entryPoints) {
    std::vector<std::string> names;
    for (const char* e : entryPoints) {
        names.emplace_back(e);
    }
    load(name, names);
}

RuntimeLibrary::RuntimeLibrary(const std::string& name,
                               const std::vector<std::string>& entryPoints) {
    load(name, entryPoints);
}

RuntimeLibrary::RuntimeLibrary(const std::string& name,
                               std::initializer_list<const char*> entryPoints,
                               std::initializer_list<const char*> optionalEntryPoints) {
    std::vector<std::string> names(entryPoints.begin(), entryPoints.end());
    std::vector<std::string> optional(optionalEntryPoints.begin(), optionalEntryPoints.end());
    load(name, names, optional);
}

RuntimeLibrary::~RuntimeLibrary() { unload(); }

RuntimeLibrary::RuntimeLibrary(RuntimeLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), path_(std::move(other.path_)),
      error_(std::move(other.error_)), symbols_(std::move(other.symbols_)) {}

RuntimeLibrary& RuntimeLibrary::operator=(RuntimeLibrary&& other) noexcept {
    if (this != &other) {
        unload();
        handle_ = std::exchange(other.handle_, nullptr);
        path_ = std::move(other.path_);
        error_ = std::move(other.error_);
        symbols_ = std::move(other.symbols_);
    }
    return *this;
}

void RuntimeLibrary::load(const std::string& name, const std::vector<std::string>& entryPoints,
                          const std::vector<std::string>& optionalEntryPoints) {
    // dlopen never looks in the program's own directory, so a bare name is tried
    // there first, as the program's libraries are installed beside it.
    std::vector<std::string> candidates;
    if (name.find('/') == std::string::npos) {
        candidates.push_back(programDir() + name);
    }
    candidates.push_back(name);

    for (const std::string& candidate : candidates) {
        if (candidate.find('/') != std::string::npos && !fileExists(candidate) &&
            candidates.size() > 1 && &candidate == &candidates.front()) {
            continue;
        }
        dlerror();
        handle_ = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle_) {
            path_ = candidate;
            break;
        }
        const char* why = dlerror();
        error_ = why ? why : ("cannot load " + candidate);
    }
    if (!handle_) {
        return;
    }
    error_.clear();
    for (const std::string& entry : entryPoints) {
        dlerror();
        void* address = dlsym(handle_, entry.c_str());
        if (!address || dlerror()) {
            error_ = "entry point " + entry + " not found in " + path_;
            unload();
            return;
        }
        symbols_.emplace_back(entry, address);
    }
    for (const std::string& entry : optionalEntryPoints) {
        dlerror();
        void* address = dlsym(handle_, entry.c_str());
        if (address && !dlerror()) {
            symbols_.emplace_back(entry, address);
        }
    }
}

void* RuntimeLibrary::symbol(const std::string& name) const {
    for (const auto& [entry, address] : symbols_) {
        if (entry == name) {
            return address;
        }
    }
    return nullptr;
}

void RuntimeLibrary::unload() {
    symbols_.clear();
    if (handle_) {
        dlclose(handle_);
        handle_ = nullptr;
    }
}

}  // namespace platform
