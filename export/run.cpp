#include "run.h"

#include "checks.h"

#include <set>
#include <utility>

namespace dotz {
namespace {

constexpr int kExportAnimation = 6;

// A run's days share the disk's flushes: each day only stages its files, and
// they go in place in batches (the file system's own bound) and at the end of
// the run, when each folder is flushed once. A failure still puts in place what
// was complete before it.
class RunFiles : public FileSystem {
public:
    explicit RunFiles(FileSystem& fs) : fs_(fs) {}
    bool isDirectory(const std::string& path) override { return fs_.isDirectory(path); }
    void createDirectory(const std::string& path) override { fs_.createDirectory(path); }
    void replaceFile(const std::string& path, std::string_view data) override
    {
        fs_.replaceFile(path, data);
    }
    void stageFile(const std::string& path, std::string_view data) override
    {
        fs_.stageFile(path, data);
    }
    void commitStaged() override {}
    void syncDirectory(const std::string& path) override { folders_.insert(path); }

    void finish(const std::vector<WrittenFile>& files)
    {
        struct Sync {
            RunFiles& r;
            ~Sync()
            {
                for (const std::string& folder : r.folders_)
                    r.fs_.syncDirectory(folder);
            }
        } sync{*this};
        putInPlace(fs_, files);
    }

private:
    FileSystem& fs_;
    std::set<std::string> folders_;
};

} // namespace

RunSummary runExport(ExportTables& t, const RunRequest& request, const FetchDay& fetch,
                     const PathMap& paths, FileSystem& fs, RunObserver& observer,
                     const MessageTable& messages)
{
    LineList lines;
    RunSummary summary;
    RunFiles files(fs);
    try {
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
                GravaArquivosDotz(t, day, request.with515, lines, paths, files);
            // A day counts when it gave at least one file.
            if (!written.files.empty())
                ++summary.daysCounted;
            ++summary.days;
            observer.dayDone(day, t, written);
            summary.files.insert(summary.files.end(),
                                 std::make_move_iterator(written.files.begin()),
                                 std::make_move_iterator(written.files.end()));
        }
        files.finish(summary.files);
    } catch (...) {
        try {
            files.finish(summary.files);
        } catch (const Error&) {
        }
        throw;
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
