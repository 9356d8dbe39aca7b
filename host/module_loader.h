#pragma once
// Loads a screen module the way the host's package loader does: dlopen, find the
// entry points, Initialize; on unload Finalize, then dlclose.
#include <string>

namespace dotz {

class ModuleLoader
{
  public:
    // Throws dotz::Error naming the file and what is missing.
    explicit ModuleLoader(std::string path);
    ~ModuleLoader();
    ModuleLoader(const ModuleLoader&) = delete;
    ModuleLoader& operator=(const ModuleLoader&) = delete;

    const std::string& path() const { return path_; }
    // The module's IniProc; its failures pass to the caller.
    void iniProc() const { iniProc_(); }
    // Finalize and dlclose; the forms the module made must be gone by now.
    void unload();

  private:
    void* symbol(const char* name) const;

    std::string path_;
    void* handle_ = nullptr;
    void (*iniProc_)() = nullptr;
    void (*finalize_)() = nullptr;
};

} // namespace dotz
