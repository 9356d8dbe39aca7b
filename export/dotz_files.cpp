#include "dotz_files.h"

#include "cp1252.h"
#include "dotz_records.h"
#include "error.h"
#include "format_ahead.h"
#include "numbers.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <system_error>
#include <unistd.h>

namespace dotz {
namespace {

using namespace record;

struct FilePlan
{
    size_t first;
    size_t last;
    std::string branch;
    std::string windowsDir;
    std::string windowsPath;
    std::string localDir;
    std::string localPath;
};

std::string utf8(std::string_view s)
{
    return cp1252::toUtf8Shown(s);
}

class DayRefusal
{
  public:
    DayRefusal(Day day, const Table& t) : day_(day), table_(t) {}
    [[noreturn]] void operator()(std::string_view branch, const std::string& what) const
    {
        throw LastingError("Operação bloqueada. Nenhum arquivo DOTZ de " + day_.regional() +
                           " foi gravado: tabela " + table_.name() + ", filial " + utf8(branch) +
                           ": " + what + ".");
    }

  private:
    Day day_;
    const Table& table_;
};

// A piece of a file name must not name another folder; ".." inside a name leads
// nowhere and is written as it is.
std::string rowAndColumn(const Table& t, size_t row, int column)
{
    return "linha " + std::to_string(row + 1) + ", coluna " +
           t.columns()[static_cast<size_t>(column)].name;
}

// A piece of a file name must not name another folder; ".." inside a name leads
// nowhere and is written as it is.
void checkNamePiece(const DayRefusal& refuse, std::string_view branch, const std::string& where,
                    const char* what, std::string_view piece)
{
    const bool bad = piece.find_first_of("\\/") != std::string_view::npos ||
                     std::any_of(piece.begin(), piece.end(), cp1252::isControl);
    if (bad)
        refuse(branch, where + ": " + what + " \"" + utf8(piece) +
                           "\" não pode fazer parte de um nome de arquivo (contém \\, / ou um "
                           "caractere de controle)");
}

template <class Record> std::vector<FilePlan> plan(const Table& t, Day day, const PathMap& paths)
{
    const Record rec(t);
    constexpr int kType = Record::kType;
    const DayRefusal refuse(day, t);
    const char* suffix = kType == 500 ? "_500_1.txt" : kType == 510 ? "_510_1.txt" : "_515_1.txt";
    std::vector<FilePlan> files;
    std::map<std::string_view, size_t> runOf; // branch -> its run
    const Table::TextColumn branches = t.textColumn(Record::kBranch);
    for (size_t r = 0; r < t.rowCount(); ++r) {
        const std::string_view branch = branches[r];
        if (!files.empty() && branch == files.back().branch) {
            files.back().last = r;
            continue;
        }
        if (auto seen = runOf.find(branch); seen != runOf.end()) {
            const FilePlan& earlier = files[seen->second];
            refuse(branch, "as linhas da filial não estão juntas (linhas " +
                               std::to_string(earlier.first + 1) + " a " +
                               std::to_string(earlier.last + 1) + ", depois a linha " +
                               std::to_string(r + 1) + ")");
        }
        runOf.emplace(branch, files.size());
        files.push_back(FilePlan{r, r, std::string(branch), {}, {}, {}, {}});
    }
    // A value no file can carry refuses the day only where it would reach a file:
    // a field of a record, the branch, or the partner code, folder or date that
    // name the file (those of a run's last row).
    for (const Table::ValueFault& fault : t.valueFaults()) {
        const auto run = std::prev(
            std::upper_bound(files.begin(), files.end(), size_t{fault.row},
                             [](size_t row, const FilePlan& f) { return row < f.first; }));
        const int column = fault.column;
        const bool namesFile =
            fault.row == run->last && (column == Record::kPartner || column == Record::kFolder ||
                                       (kType == 500 && column == dados::DATA));
        const bool inRecord =
            rec.gives(fault.row) &&
            std::find(std::begin(Record::kRecordColumns), std::end(Record::kRecordColumns),
                      column) != std::end(Record::kRecordColumns);
        if (column != Record::kBranch && !namesFile && !inRecord)
            continue;
        const size_t width = static_cast<size_t>(t.columns()[static_cast<size_t>(column)].size);
        refuse(run->branch, rowAndColumn(t, fault.row, column) +
                                (fault.kind == Table::ValueFault::TooLong
                                     ? ": o texto de " + std::to_string(fault.position) +
                                           " caracteres excede a largura de " +
                                           std::to_string(width) + " da coluna"
                                     : ": o caractere " + std::to_string(fault.position + 1) +
                                           " do texto não existe em Windows-1252"));
    }
    for (FilePlan& f : files) {
        const std::string_view partner = t.textAt(f.last, Record::kPartner);
        const std::string_view folder = t.textAt(f.last, Record::kFolder);
        const std::string date =
            kType == 500 ? datePartOf(t.textAt(f.last, dados::DATA)) : day.compact();
        checkNamePiece(refuse, f.branch, rowAndColumn(t, f.last, Record::kBranch),
                       "o código da filial", f.branch);
        checkNamePiece(refuse, f.branch, rowAndColumn(t, f.last, Record::kPartner),
                       "o código do parceiro", partner);
        if (kType == 500)
            checkNamePiece(refuse, f.branch, rowAndColumn(t, f.last, dados::DATA), "a data", date);
        f.windowsDir = std::string(folder) + "DOTZ";
        f.windowsPath =
            f.windowsDir + "\\" + date + "_" + std::string(partner) + "_" + f.branch + suffix;
        try {
            f.localDir = paths.toLocal(f.windowsDir);
            f.localPath = paths.toLocal(f.windowsPath);
        } catch (const Error& e) {
            refuse(f.branch, rowAndColumn(t, f.last, Record::kFolder) + ": a pasta \"" +
                                 utf8(folder) + "\" não pode receber arquivos DOTZ: " + e.what());
        }
    }
    // A "|" or a line break inside a value would shift the reader's fields.
    for (int column : Record::kRecordColumns) {
        if (!t.columnHoldsAnyOf(column, "|\r\n"))
            continue;
        for (const FilePlan& f : files)
            for (size_t r = f.first; r <= f.last; ++r)
                if (rec.gives(r) &&
                    t.textAt(r, column).find_first_of("|\r\n") != std::string_view::npos)
                    refuse(f.branch, rowAndColumn(t, r, column) + ": \"" +
                                         utf8(t.textAt(r, column)) +
                                         "\" contém \"|\" ou quebra de linha, que o registro "
                                         "DOTZ não comporta");
    }
    return files;
}

// A failed write names the DOTZ file as the data names it: an earlier staged file
// when its flush or rename failed, else the one being written.
[[noreturn]] void cannotWrite(const Error& e, const std::vector<WrittenFile>& staged,
                              std::string_view current)
{
    std::string_view name = current;
    if (const auto* fileError = dynamic_cast<const FileError*>(&e))
        for (const WrittenFile& f : staged)
            if (f.localPath == fileError->path())
                name = f.windowsPath;
    throw Error("Não foi possível gravar o arquivo DOTZ " + utf8(name) + ": " + e.what());
}

template <class Record> void format(const Table& t, const FilePlan& f, LineList& lines)
{
    const Record rec(t);
    for (size_t r = f.first; r <= f.last; ++r)
        if (rec.gives(r))
            lines.commitLine(rec.build(lines.reserveLine(kMaxLine), r));
}

// One file of the day, in the order the files are written.
struct FileJob
{
    int type;
    const Table* table;
    const FilePlan* plan;
};

void format(const FileJob& job, LineList& lines)
{
    lines.clear();
    if (job.type == Sale::kType)
        format<Sale>(*job.table, *job.plan, lines);
    else if (job.type == Item::kType)
        format<Item>(*job.table, *job.plan, lines);
    else
        format<Product>(*job.table, *job.plan, lines);
}

// `created` (if given) learns the folders made here. `formatters`: threads that
// format a large day's files ahead of the writer.
void write(const std::vector<FileJob>& jobs, LineList& lines, FileSystem& fs, DayResult& result,
           std::set<std::string>& folders, size_t formatters,
           std::vector<std::string>* created = nullptr)
{
    size_t rows = 0;
    for (const FileJob& job : jobs)
        rows += job.plan->last - job.plan->first + 1;
    std::optional<FormatAhead> ahead;
    if (rows >= FormatAhead::kMinRows && jobs.size() > 1) {
        try {
            ahead.emplace(jobs.size(), formatters,
                          [&jobs](size_t i, LineList& into) { format(jobs[i], into); });
        } catch (const std::system_error&) {
            // No thread to be had: the files are formatted here.
        }
    }
    for (size_t i = 0; i < jobs.size(); ++i) {
        const FilePlan& f = *jobs[i].plan;
        if (!ahead)
            format(jobs[i], lines);
        const LineList& text = ahead ? ahead->lines(i) : lines;
        if (folders.insert(f.localDir).second && !fs.isDirectory(f.localDir)) {
            fs.createDirectory(f.localDir);
            if (created)
                created->push_back(f.localDir);
        }
        try {
            fs.stageFile(f.localPath, text.text());
        } catch (const Error& e) {
            cannotWrite(e, result.files, f.windowsPath);
        }
        result.files.push_back(WrittenFile{jobs[i].type, f.branch, f.windowsPath, f.localPath,
                                           text.count(), text.text().size()});
        if (ahead)
            ahead->release(i);
    }
    lines.clear();
}

} // namespace

void LineList::grow(size_t atLeast)
{
    const size_t capacity = std::max(atLeast, capacity_ * 2);
    auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
    if (size_)
        std::memcpy(bigger.get(), buffer_.get(), size_);
    buffer_ = std::move(bigger);
    capacity_ = capacity;
}

void putInPlace(FileSystem& fs, const std::vector<WrittenFile>& staged)
{
    try {
        fs.commitStaged();
    } catch (const Error& e) {
        cannotWrite(e, staged, {});
    }
}

void flushFolders(FileSystem& fs, const std::set<std::string>& folders)
{
    try {
        fs.syncDirectories(folders);
    } catch (const Error& e) {
        throw Error(std::string("Os arquivos DOTZ estão gravados, mas ") + e.what());
    }
}

char* putCustomerId(char* p, std::string_view id)
{
    if (id.size() != 16)
        return put(p, id);
    for (size_t i = 0; i < 16; i += 4) {
        if (i)
            *p++ = '-';
        p = put(p, id.substr(i, 4));
    }
    return p;
}

std::string datePartOf(std::string_view data)
{
    std::string out;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (i < data.size())
            out += data[i];
    return out;
}

StagedAhead stageSalesAhead(const Table& sales, Day day, LineList& lines, const PathMap& paths,
                            FileSystem& fs)
{
    StagedAhead ahead;
    if (sales.rowCount() < FormatAhead::kMinRows || !fs.holdStaged(true))
        return ahead;
    try {
        const std::vector<FilePlan> plans = plan<Sale>(sales, day, paths);
        std::vector<FileJob> jobs;
        for (const FilePlan& f : plans)
            jobs.push_back({Sale::kType, &sales, &f});
        std::set<std::string> folders;
        DayResult staged;
        // Beside the server still sending: one thread.
        write(jobs, lines, fs, staged, folders, 1, &ahead.newFolders);
        ahead.files = std::move(staged.files);
    } catch (...) {
        // The day's own writing meets the same fault, in its turn.
        dropAhead(fs, ahead);
    }
    fs.holdStaged(false);
    return ahead;
}

void dropAhead(FileSystem& fs, StagedAhead& ahead)
{
    if (!ahead.files.empty() || !ahead.newFolders.empty())
        fs.dropStaged();
    ahead.files.clear();
    // Only when empty: a folder someone else wrote into meanwhile stays.
    for (auto f = ahead.newFolders.rbegin(); f != ahead.newFolders.rend(); ++f)
        ::rmdir(f->c_str());
    ahead.newFolders.clear();
}

DayResult GravaArquivosDotz(const ExportTables& t, Day day, bool with515, LineList& lines,
                            const PathMap& paths, FileSystem& fs, StagedAhead* ahead)
{
    lines.clear();
    const bool sales = !t.cdsDadosDotz.isEmpty();
    const bool items = !t.cdsDotzExtra.isEmpty();
    const bool products = with515 && !t.cdsConfigDotz.isEmpty();

    // Every data set of the day is checked before the first file is written.
    std::vector<FilePlan> salePlan, itemPlan, productPlan;
    try {
        if (sales)
            salePlan = plan<Sale>(t.cdsDadosDotz, day, paths);
        if (items)
            itemPlan = plan<Item>(t.cdsDotzExtra, day, paths);
        if (products)
            productPlan = plan<Product>(t.cdsConfigDotz, day, paths);
    } catch (...) {
        if (ahead)
            dropAhead(fs, *ahead);
        throw;
    }
    // Sale files staged ahead are these very files (the same rows, day and paths).
    if (ahead && !ahead->files.empty() && ahead->files.size() != salePlan.size())
        dropAhead(fs, *ahead);

    DayResult result;
    // The renames reach the disk with one flush per folder, also when a write fails.
    struct Finish
    {
        LineList& lines;
        FileSystem& fs;
        std::set<std::string> folders;
        ~Finish()
        {
            lines.clear();
            try {
                fs.syncDirectories(folders);
            } catch (...) {
                // Only when the day already fails: its own error says more.
            }
        }
    } finish{lines, fs, {}};
    try {
        std::vector<FileJob> jobs;
        if (ahead && !ahead->files.empty()) {
            result.files = std::exchange(ahead->files, {});
            ahead->newFolders.clear();
            for (const FilePlan& f : salePlan)
                finish.folders.insert(f.localDir);
        } else {
            for (const FilePlan& f : salePlan)
                jobs.push_back({Sale::kType, &t.cdsDadosDotz, &f});
        }
        for (const FilePlan& f : itemPlan)
            jobs.push_back({Item::kType, &t.cdsDotzExtra, &f});
        for (const FilePlan& f : productPlan)
            jobs.push_back({Product::kType, &t.cdsConfigDotz, &f});
        // The reply is in: two threads.
        write(jobs, lines, fs, result, finish.folders, 2);
        putInPlace(fs, result.files);
        flushFolders(fs, std::exchange(finish.folders, {}));
    } catch (...) {
        // Files staged before a failed one are complete: they still go in place.
        try {
            putInPlace(fs, result.files);
        } catch (const Error&) {
        }
        throw;
    }
    return result;
}

} // namespace dotz
