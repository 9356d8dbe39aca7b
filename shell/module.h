#pragma once
// The module's exports, as the host loads them with dlopen/dlsym: plain C names,
// but for the screen unit's own entries.
#include "toolkit/module_api.h"

#include <cstdint>

namespace Cli_krt52410 {
class TfrmExportaDotz;
}

#define KRT_MODULE_API extern "C" KRT_EXPORT

// One entry of the unit table the package loader is given.
struct PackageUnitEntry
{
    const char* name;
    void (*initialization)();
    void (*finalization)();
};
struct PackageInfoTable
{
    int unitCount;
    const PackageUnitEntry* units;
};

// Opens the screen: creates it on the first call, shows it on every call. A
// failure passes to the host (as a C++ exception).
KRT_MODULE_API void IniProc();
// Initialize every unit, the screen unit last; once per load (repeats do nothing).
KRT_MODULE_API void Initialize();
KRT_MODULE_API void Finalize();
KRT_MODULE_API void PackageLoad();
KRT_MODULE_API void PackageUnload();
KRT_MODULE_API const PackageInfoTable* GetPackageInfoTable();

// The screen unit's globals, under its names and, for a host that looks them up
// so, under the plain ones: the same objects (module.cpp makes the plain names
// aliases of the unit's).
KRT_MODULE_API Cli_krt52410::TfrmExportaDotz* frmExportaDotz;
KRT_MODULE_API bool boIdCriado;

// The screen unit's own entries, exported under their C++ names.
namespace Cli_krt52410 {
KRT_EXPORT extern TfrmExportaDotz* frmExportaDotz;
KRT_EXPORT extern bool boIdCriado;
// Creates the screen once, then shows it.
KRT_EXPORT void CriaExportaDotz();
KRT_EXPORT void initialization();
KRT_EXPORT void Finalization();
} // namespace Cli_krt52410
