#include "module_loader.h"

#include "base/error.h"
#include "base/reasons.h"

#include <cerrno>
#include <dlfcn.h>
#include <unistd.h>

namespace dotz {

ModuleLoader::ModuleLoader(std::string path) : path_(std::move(path))
{
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = dlerror();
        const std::string missing =
            ::access(path_.c_str(), R_OK) != 0 ? ": " + systemReason(errno) : std::string();
        throw Error("O módulo " + path_ + " não pode ser carregado" + missing + ".",
                    why ? why : std::string());
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
        throw Error("O módulo " + path_ + " não exporta " + name + ".");
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
