#include "module.h"

#include "screen/export_dotz.h"
#include "toolkit/application.h"

namespace Cli_krt52410 {

TfrmExportaDotz* frmExportaDotz = nullptr;
bool boIdCriado = false;

} // namespace Cli_krt52410

// The symbols of the unit's globals, which the plain names stand for: one object
// each, whichever name the host finds. The mangled names are the compiler's for
// the definitions above; a wrong one fails the link.
extern "C" Cli_krt52410::TfrmExportaDotz* frmExportaDotz
    __attribute__((alias("_ZN12Cli_krt5241014frmExportaDotzE")));
extern "C" bool boIdCriado __attribute__((alias("_ZN12Cli_krt5241010boIdCriadoE")));

namespace Cli_krt52410 {

void initialization()
{
    boIdCriado = false;
}

void Finalization()
{
    // The screen belongs to the host's application object, which destroys it.
}

void CriaExportaDotz()
{
    dotz::Screen().SetCursor(dotz::crHourGlass);
    if (!boIdCriado) {
        try {
            dotz::Application().CreateForm(frmExportaDotz);
        } catch (...) {
            // Flag and reference stay as they were, so the next call tries again.
            dotz::Screen().SetCursor(dotz::crDefault);
            throw;
        }
        boIdCriado = true;
    }
    dotz::Screen().SetCursor(dotz::crDefault);
    frmExportaDotz->Show();
}

} // namespace Cli_krt52410

namespace {

const PackageUnitEntry kUnits[] = {
    {"Cli_krt52410", &Cli_krt52410::initialization, &Cli_krt52410::Finalization},
};

bool initialized = false;

} // namespace

void IniProc()
{
    Cli_krt52410::CriaExportaDotz();
}

void Initialize()
{
    if (initialized)
        return;
    initialized = true;
    for (const PackageUnitEntry& unit : kUnits)
        unit.initialization();
}

void Finalize()
{
    if (!initialized)
        return;
    initialized = false;
    for (auto unit = std::rbegin(kUnits); unit != std::rend(kUnits); ++unit)
        unit->finalization();
}

void PackageLoad()
{
    Initialize();
}

void PackageUnload()
{
    Finalize();
}

const PackageInfoTable* GetPackageInfoTable()
{
    static const PackageInfoTable table{static_cast<int>(std::size(kUnits)), kUnits};
    return &table;
}
