#include "run.h"

#include "checks.h"

#include <utility>

namespace dotz {
namespace {
constexpr int kExportAnimation = 6;
}

RunSummary runExport(ExportTables& t, const RunRequest& request, const FetchDay& fetch,
                     const PathMap& paths, FileSystem& fs, RunObserver& observer,
                     const MessageTable& messages)
{
    LineList lines;
    RunSummary summary;
    {
        observer.showBusy(kExportAnimation);
        struct Hide {
            RunObserver& o;
            ~Hide() { o.hideBusy(); }
        } hide{observer};
        for (Day day = request.from; request.to >= day; day = day.next()) {
            // Each packet is let go once its table holds the rows, so that the
            // reply's bytes are gone before the checks and the files.
            DayPackets packets = fetch(request.selector, day);
            t.cdsCaixa.loadPacket(std::exchange(packets[0], {}));
            t.cdsDadosDotz.loadPacket(std::exchange(packets[1], {}));
            t.cdsDotzExtra.loadPacket(std::exchange(packets[2], {}));
            t.cdsConfigDotz.loadPacket(std::exchange(packets[3], {}));
            Vd_Parceiro(t, request.with515, messages);
            Vd_Diretorio(t, request.with515, messages);
            DayResult written =
                GravaArquivosDotz(t, day, request.with515, lines, paths, fs);
            // A day counts when it gave at least one file.
            if (!written.files.empty())
                ++summary.daysCounted;
            ++summary.days;
            observer.dayDone(day, t, written);
            summary.files.insert(summary.files.end(),
                                 std::make_move_iterator(written.files.begin()),
                                 std::make_move_iterator(written.files.end()));
        }
    }
    if (summary.daysCounted < 1)
        throw Refusal(messages.text("NAO_HA_DOTZ"));
    return summary;
}

std::string branchListText(const std::vector<std::string>& codes)
{
    std::string text;
    for (const std::string& code : codes) {
        if (!text.empty())
            text += ',';
        text += '\'';
        for (char c : code) {
            if (c == '\'')
                text += '\'';
            text += c;
        }
        text += '\'';
    }
    return text;
}

} // namespace dotz
