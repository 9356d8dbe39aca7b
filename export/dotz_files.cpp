#include "dotz_files.h"

#include "cp1252.h"
#include "error.h"
#include "numbers.h"

#include <algorithm>
#include <map>

namespace dotz {
namespace {

// What differs between the three record types.
struct Layout {
    int type;
    const Table& table;
    int branchColumn;
    int partnerColumn;
    int folderColumn;
    std::vector<int> recordColumns; // text columns that go into the record
    void (*build)(std::string&, const Table&, size_t);
    bool (*gives)(const Table&, size_t); // whether the row gives a line
};

void appendPlain(std::string& out, const Table& t, size_t row, int column)
{
    if (!t.isNullAt(row, column))
        appendGeneralText(out, t.numberAt(row, column));
}

void build500(std::string& b, const Table& t, size_t r)
{
    using namespace dados;
    b += "500|";
    b += t.textAt(r, CDINTEGRADOTZ);
    b += '|';
    b += t.textAt(r, CDFILIAL);
    b += '|';
    b += t.textAt(r, CDPROMOCAODOTZ);
    b += '|';
    b += t.textAt(r, CDFILIAL);
    b += t.textAt(r, CDCAIXA);
    b += t.textAt(r, NRCUPOMFIS);
    b += '|';
    appendCustomerId(b, t.textAt(r, CDIDCLIENTEDOTZ));
    b += "||";
    appendAmountText(b, t.numberAt(r, VRTOTVENDA));
    b += '|';
    b += t.textAt(r, DATA);
    b += '|';
    b += t.textAt(r, HORA);
    b += '|';
    b += t.textAt(r, CDCAIXA);
    b += '|';
    b += t.textAt(r, CDOPERADOR);
    b += '|';
    appendPlain(b, t, r, NRDOTZ);
}

void build510(std::string& b, const Table& t, size_t r)
{
    using namespace extra;
    b += "510|";
    b += t.textAt(r, CDINTEGRADOTZ);
    b += '|';
    b += t.textAt(r, CDFILIAL);
    b += '|';
    b += t.textAt(r, CDCAIXA);
    b += '|';
    b += t.textAt(r, CDPROMOCAODOTZ);
    b += '|';
    b += t.textAt(r, CDFILIAL);
    b += t.textAt(r, CDCAIXA);
    b += t.textAt(r, NRCUPOMFIS);
    b += '|';
    appendCustomerId(b, t.textAt(r, CDIDCLIENTEDOTZ));
    b += '|';
    b += t.textAt(r, CDPRODUTO);
    b += '|';
    b += t.textAt(r, CDBARPRODUTO);
    b += '|';
    appendPlain(b, t, r, QTPRODVEND);
    b += '|';
    appendAmountText(b, t.numberAt(r, VRUNITVEND));
    b += '|';
    appendAmountText(b, t.numberAt(r, VRTOTAL));
    b += "||";
    appendPlain(b, t, r, NRDOTZ);
}

void build515(std::string& b, const Table& t, size_t r)
{
    using namespace config;
    b += "515|";
    b += t.textAt(r, CDINTEGRADOTZ);
    b += '|';
    b += t.textAt(r, CDFILIAL);
    b += '|';
    b += t.textAt(r, CDPROMOCAODOTZ);
    b += '|';
    b += t.textAt(r, CDPRODUTO);
    b += "|||";
    b += t.textAt(r, CDBARPRODUTO);
    b += '|';
    b += t.textAt(r, NMPRODUTO);
    b += '|';
    appendAmountText(b, t.numberAt(r, VRPRECITEM));
    b += '|';
    appendPlain(b, t, r, VRPONTOPROD);
    b += '|';
    b += t.textAt(r, DTINIVIGPROD);
    b += '|';
    b += t.textAt(r, DTFIMVIGPROD);
}

bool every(const Table&, size_t) { return true; }
// A sale without points gives no 500 record (its branch's file is still written).
bool hasPoints(const Table& t, size_t r) { return t.numberAt(r, dados::NRDOTZ) > 0; }

struct FilePlan {
    size_t first;
    size_t last;
    std::string branch;
    std::string windowsDir;
    std::string windowsPath;
    std::string localDir;
    std::string localPath;
};

std::string utf8(std::string_view s) { return cp1252::toUtf8(s); }

class DayRefusal {
public:
    DayRefusal(Day day, const Table& t) : day_(day), table_(t) {}
    [[noreturn]] void operator()(std::string_view branch, const std::string& what) const
    {
        throw Error("no DOTZ file of " + day_.regional() + " was written: " + table_.name() +
                    ", branch " + utf8(branch) + ": " + what);
    }

private:
    Day day_;
    const Table& table_;
};

// A piece of a file name must not lead out of the DOTZ folder.
void checkNamePiece(const DayRefusal& refuse, std::string_view branch, const char* what,
                    std::string_view piece)
{
    const bool bad = piece.find_first_of("\\/") != std::string_view::npos ||
                     piece.find("..") != std::string_view::npos ||
                     std::any_of(piece.begin(), piece.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x20; });
    if (bad)
        refuse(branch, std::string(what) + " \"" + utf8(piece) +
                           "\" cannot be part of a file name (it holds \\, /, .. or a control "
                           "character)");
}

std::vector<FilePlan> plan(const Layout& l, Day day, const PathMap& paths)
{
    const Table& t = l.table;
    const DayRefusal refuse(day, t);
    const char* suffix = l.type == 500 ? "_500_1.txt" : l.type == 510 ? "_510_1.txt" : "_515_1.txt";
    std::vector<FilePlan> files;
    std::map<std::string_view, size_t> runOf; // branch -> its run
    for (size_t r = 0; r < t.rowCount(); ++r) {
        const std::string_view branch = t.textAt(r, l.branchColumn);
        if (!files.empty() && branch == files.back().branch) {
            files.back().last = r;
            continue;
        }
        if (auto seen = runOf.find(branch); seen != runOf.end()) {
            const FilePlan& earlier = files[seen->second];
            refuse(branch, "the branch's rows do not stand together (rows " +
                               std::to_string(earlier.first + 1) + " to " +
                               std::to_string(earlier.last + 1) + ", then row " +
                               std::to_string(r + 1) + ")");
        }
        runOf.emplace(branch, files.size());
        files.push_back(FilePlan{r, r, std::string(branch), {}, {}, {}, {}});
    }
    for (FilePlan& f : files) {
        const std::string_view partner = t.textAt(f.last, l.partnerColumn);
        const std::string_view folder = t.textAt(f.last, l.folderColumn);
        const std::string date =
            l.type == 500 ? datePartOf(t.textAt(f.last, dados::DATA)) : day.compact();
        checkNamePiece(refuse, f.branch, "branch code", f.branch);
        checkNamePiece(refuse, f.branch, "partner code", partner);
        if (l.type == 500)
            checkNamePiece(refuse, f.branch, "date part of DATA", date);
        f.windowsDir = std::string(folder) + "DOTZ";
        f.windowsPath = f.windowsDir + "\\" + date + "_" + std::string(partner) + "_" + f.branch + suffix;
        try {
            f.localDir = paths.toLocal(f.windowsDir);
            f.localPath = paths.toLocal(f.windowsPath);
        } catch (const Error& e) {
            refuse(f.branch, e.what());
        }
    }
    // A "|" or a line break inside a value would shift the reader's fields.
    for (int column : l.recordColumns) {
        if (!t.columnHoldsAnyOf(column, "|\r\n"))
            continue;
        for (const FilePlan& f : files)
            for (size_t r = f.first; r <= f.last; ++r)
                if (l.gives(t, r) &&
                    t.textAt(r, column).find_first_of("|\r\n") != std::string_view::npos)
                    refuse(f.branch, "row " + std::to_string(r + 1) + ", column " +
                                         t.columns()[static_cast<size_t>(column)].name + ": \"" +
                                         utf8(t.textAt(r, column)) +
                                         "\" holds a \"|\" or a line break, which the DOTZ "
                                         "record cannot carry");
    }
    return files;
}

void write(const Layout& l, const std::vector<FilePlan>& files, LineList& lines, FileSystem& fs,
           DayResult& result)
{
    for (const FilePlan& f : files) {
        for (size_t r = f.first; r <= f.last; ++r) {
            if (!l.gives(l.table, r))
                continue;
            l.build(lines.beginLine(), l.table, r);
            lines.endLine();
        }
        if (!fs.isDirectory(f.localDir))
            fs.createDirectory(f.localDir);
        try {
            fs.replaceFile(f.localPath, lines.text());
        } catch (const Error& e) {
            throw Error("cannot write DOTZ file " + utf8(f.windowsPath) + ": " + e.what());
        }
        result.files.push_back(WrittenFile{l.type, f.branch, f.windowsPath, f.localPath,
                                           lines.count(), lines.text().size()});
        lines.clear();
    }
}

} // namespace

void appendCustomerId(std::string& out, std::string_view id)
{
    if (id.size() != 16) {
        out += id;
        return;
    }
    out.append(id.substr(0, 4)).append(1, '-').append(id.substr(4, 4)).append(1, '-');
    out.append(id.substr(8, 4)).append(1, '-').append(id.substr(12, 4));
}

std::string datePartOf(std::string_view data)
{
    std::string out;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (i < data.size())
            out += data[i];
    return out;
}

DayResult GravaArquivosDotz(const ExportTables& t, Day day, bool with515, LineList& lines,
                            const PathMap& paths, FileSystem& fs)
{
    lines.clear();
    std::vector<Layout> layouts;
    if (!t.cdsDadosDotz.isEmpty())
        layouts.push_back({500, t.cdsDadosDotz, dados::CDFILIAL, dados::CDINTEGRADOTZ,
                           dados::DSDIRARQDOTZ,
                           {dados::CDINTEGRADOTZ, dados::CDFILIAL, dados::CDPROMOCAODOTZ,
                            dados::CDCAIXA, dados::NRCUPOMFIS, dados::CDIDCLIENTEDOTZ, dados::DATA,
                            dados::HORA, dados::CDOPERADOR},
                           build500, hasPoints});
    if (!t.cdsDotzExtra.isEmpty())
        layouts.push_back({510, t.cdsDotzExtra, extra::CDFILIAL, extra::CDINTEGRADOTZ,
                           extra::DSDIRARQDOTZ,
                           {extra::CDINTEGRADOTZ, extra::CDFILIAL, extra::CDCAIXA,
                            extra::CDPROMOCAODOTZ, extra::NRCUPOMFIS, extra::CDIDCLIENTEDOTZ,
                            extra::CDPRODUTO, extra::CDBARPRODUTO},
                           build510, every});
    if (with515 && !t.cdsConfigDotz.isEmpty())
        layouts.push_back({515, t.cdsConfigDotz, config::CDFILIAL, config::CDINTEGRADOTZ,
                           config::DSDIRARQDOTZ,
                           {config::CDINTEGRADOTZ, config::CDFILIAL, config::CDPROMOCAODOTZ,
                            config::CDPRODUTO, config::CDBARPRODUTO, config::NMPRODUTO,
                            config::DTINIVIGPROD, config::DTFIMVIGPROD},
                           build515, every});

    // Every data set of the day is checked before the first file is written.
    std::vector<std::vector<FilePlan>> plans;
    for (const Layout& l : layouts)
        plans.push_back(plan(l, day, paths));

    DayResult result;
    struct ClearOnExit {
        LineList& lines;
        ~ClearOnExit() { lines.clear(); }
    } guard{lines};
    for (size_t i = 0; i < layouts.size(); ++i)
        write(layouts[i], plans[i], lines, fs, result);
    return result;
}

} // namespace dotz
