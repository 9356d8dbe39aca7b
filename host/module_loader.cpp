#include "module_loader.h"

#include "export/error.h"

#include <dlfcn.h>

namespace dotz {

ModuleLoader::ModuleLoader(std::string path) : path_(std::move(path))
{
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = dlerror();
        throw Error("module " + path_ + " cannot be loaded: " + (why ? why : "unknown reason"));
    }
    try {
        iniProc_ = reinterpret_cast<void (*)()>(symbol("IniProc"));
        finalize_ = reinterpret_cast<void (*)()>(symbol("Finalize"));
        reinterpret_cast<void (*)()>(symbol("Initialize"))();
    } catch (...) {
        dlclose(handle_);
        handle_ = nullptr;
        throw;
    }
}

ModuleLoader::~ModuleLoader()
{
    unload();
}

void* ModuleLoader::symbol(const char* name) const
{
    dlerror();
    void* found = dlsym(handle_, name);
    if (!found)
        throw Error("module " + path_ + " does not export " + name);
    return found;
}

void ModuleLoader::unload()
{
    if (!handle_)
        return;
    finalize_();
    dlclose(handle_);
    handle_ = nullptr;
}

} // namespace dotz
