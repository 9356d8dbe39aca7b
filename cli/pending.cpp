#include "pending.h"

#include "export/dotz_files.h"
#include "export/file_system.h"

#include <set>

namespace dotz {

std::optional<Day> pendingFrom(const StateFile& state, const ExportKey& key, Day to, int maxDays)
{
    const auto last = state.lastDay(key);
    const Day from = last ? last->next() : to;
    if (from > to)
        return std::nullopt;
    const int days = to.serial() - from.serial() + 1;
    if (days > maxDays)
        throw LastingError(
            "Há " + std::to_string(days) + " dias pendentes, de " + from.regional() + " a " +
            to.regional() + " (último dia exportado: " + last->regional() +
            "), mais que o "
            "limite de " +
            std::to_string(maxDays) +
            " (--max-days). Nada foi exportado. Para exportá-los, rode à mão, com as mesmas "
            "opções de servidor, filiais e 515: dotz-export --from pending --to " +
            to.regional() + " --max-days " + std::to_string(days) + ".");
    return from;
}

std::string nothingPendingText(const StateFile& state, const ExportKey& key, Day to)
{
    const auto last = state.lastDay(key);
    return "Nada pendente: os dias até " + (last ? *last : to).regional() +
           " já foram exportados (estado em " + state.path() + ").";
}

void DayLedger::dayDone(Day day, const DayResult& r)
{
    next_.dayDone(day, r);
    ++days;
    files += r.files.size();
    for (const WrittenFile& f : r.files)
        records += f.records;
    lastDay = day;
    if (completed_)
        completed_(day, r);
}

void syncFolders(const DayResult& day)
{
    std::set<std::string> folders;
    for (const WrittenFile& f : day.files) {
        const size_t slash = f.localPath.rfind('/');
        folders.insert(slash == std::string::npos ? "." : f.localPath.substr(0, slash));
    }
    PosixFileSystem fs;
    flushFolders(fs, folders);
}

} // namespace dotz
