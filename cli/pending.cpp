#include "pending.h"

#include "export/day_placing.h"

#include <ctime>

namespace dotz {

Day localToday()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return *Day::fromYmd(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

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

std::string openDaysText(Day today, const std::optional<Day>& last)
{
    return "Os dias de " + today.regional() +
           " (hoje) em diante ainda não terminaram e não ficam registrados como feitos: " +
           (last ? "o estado vai até " + last->regional()
                 : std::string("o estado não registra nenhum dia desta exportação")) +
           ", e a próxima exportação pendente os exporta de novo.";
}

std::string writtenUpToText(const std::optional<Day>& last, const PartlyPlaced* partly)
{
    std::string text =
        last ? "os arquivos dos dias até " + last->regional() + " estão gravados; " : std::string();
    if (!partly || partly->placed().empty())
        return last ? text + "de " + last->next().regional() + " em diante, nada foi gravado"
                    : "nenhum arquivo foi gravado";
    return text + "de " + partly->day().regional() + ", " + partly->placedText() + "; de " +
           partly->day().next().regional() + " em diante, nada foi gravado";
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

} // namespace dotz
