#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// A shared library loaded at run time with every entry point it must provide.
// Construction loads the library and resolves each named entry point; when the
// library cannot be loaded or one entry point is missing, the library is unloaded
// again and isLoaded() is false with error() saying why. Destruction unloads.
//
// A name without '/' is looked up in the program directory first, then through the
// system's search; a name with '/' is used as the path it is.
class RuntimeLibrary {
public:
    RuntimeLibrary() = default;
    RuntimeLibrary(const std::string& name, std::initializer_list<const char*> entryPoints);
    RuntimeLibrary(const std::string& name, const std::vector<std::string>& entryPoints);
    // As above; `optionalEntryPoints` are resolved when the library has them (a
    // newer version's additions), and one that is missing is no failure: symbol()
    // then gives nullptr for it.
    RuntimeLibrary(const std::string& name, std::initializer_list<const char*> entryPoints,
                   std::initializer_list<const char*> optionalEntryPoints);
    ~RuntimeLibrary();

    RuntimeLibrary(RuntimeLibrary&& other) noexcept;
    RuntimeLibrary& operator=(RuntimeLibrary&& other) noexcept;
    RuntimeLibrary(const RuntimeLibrary&) = delete;
    RuntimeLibrary& operator=(const RuntimeLibrary&) = delete;

    bool isLoaded() const { return handle_ != nullptr; }
    const std::string& error() const { return error_; }
    // The path actually loaded.
    const std::string& path() const { return path_; }

    // The address of an entry point resolved at load; nullptr when it was not
    // among the names given to the constructor or the library is not loaded.
    void* symbol(const std::string& name) const;

    template <class F>
    F entry(const std::string& name) const {
        return reinterpret_cast<F>(symbol(name));
    }

    void unload();

private:
    void load(const std::string& name, const std::vector<std::string>& entryPoints,
              const std::vector<std::string>& optionalEntryPoints = {});

    void* handle_ = nullptr;
    std::string path_;
    std::string error_;
    std::vector<std::pair<std::string, void*>> symbols_;
};

}  // namespace platform
