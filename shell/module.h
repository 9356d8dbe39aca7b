#pragma once
// The module's exports, as the host loads them with dlopen/dlsym. Plain C names.
#include "module_api.h"

#include <cstdint>

namespace dotz {
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

KRT_MODULE_API dotz::TfrmExportaDotz* frmExportaDotz;
KRT_MODULE_API bool boIdCriado;

namespace Cli_krt52410 {
// Creates the screen once, then shows it.
void CriaExportaDotz();
void initialization();
void Finalization();
} // namespace Cli_krt52410
