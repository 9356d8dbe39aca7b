#include "dotz_files.h"

#include "cp1252.h"
#include "error.h"
#include "numbers.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

namespace dotz {
namespace {

using Text = Table::TextColumn;
using Number = Table::NumberColumn;

// The longest line: at most 14 texts of 127 bytes and 4 numbers.
constexpr size_t kMaxLine = 14 * Table::kMaxText + 4 * kMaxNumberText + 64;

// Fields are short: copying them with fixed-size moves beats a general copy.
inline char* put(char* p, std::string_view v)
{
    const char* s = v.data();
    const size_t n = v.size();
    if (n >= 8 && n <= 16) {
        uint64_t a, b;
        std::memcpy(&a, s, 8);
        std::memcpy(&b, s + n - 8, 8);
        std::memcpy(p, &a, 8);
        std::memcpy(p + n - 8, &b, 8);
    } else if (n >= 4 && n < 8) {
        uint32_t a, b;
        std::memcpy(&a, s, 4);
        std::memcpy(&b, s + n - 4, 4);
        std::memcpy(p, &a, 4);
        std::memcpy(p + n - 4, &b, 4);
    } else if (n > 0 && n < 4) {
        p[0] = s[0];
        p[n / 2] = s[n / 2];
        p[n - 1] = s[n - 1];
    } else if (n > 16) {
        std::memcpy(p, s, n);
    }
    return p + n;
}

template <size_t N> inline char* put(char* p, const char (&literal)[N])
{
    std::memcpy(p, literal, N - 1);
    return p + N - 1;
}

inline char* field(char* p, std::string_view v)
{
    p = put(p, v);
    *p++ = '|';
    return p;
}

char* putPlain(char* p, const Number& n, size_t row)
{
    return n.isNull(row) ? p : putGeneralText(p, n[row]);
}

// Each record type: the columns it reads, whether a row gives a line, the line.
struct Sale
{
    static constexpr int kType = 500;
    explicit Sale(const Table& t)
        : integra(t.textColumn(dados::CDINTEGRADOTZ)), filial(t.textColumn(dados::CDFILIAL)),
          promocao(t.textColumn(dados::CDPROMOCAODOTZ)), caixa(t.textColumn(dados::CDCAIXA)),
          cupom(t.textColumn(dados::NRCUPOMFIS)), cliente(t.textColumn(dados::CDIDCLIENTEDOTZ)),
          data(t.textColumn(dados::DATA)), hora(t.textColumn(dados::HORA)),
          operador(t.textColumn(dados::CDOPERADOR)), total(t.numberColumn(dados::VRTOTVENDA)),
          pontos(t.numberColumn(dados::NRDOTZ))
    {
    }
    static constexpr int kRecordColumns[] = {
        dados::CDINTEGRADOTZ, dados::CDFILIAL,   dados::CDPROMOCAODOTZ,
        dados::CDCAIXA,       dados::NRCUPOMFIS, dados::CDIDCLIENTEDOTZ,
        dados::DATA,          dados::HORA,       dados::CDOPERADOR};
    static constexpr int kBranch = dados::CDFILIAL, kPartner = dados::CDINTEGRADOTZ,
                         kFolder = dados::DSDIRARQDOTZ;
    // A sale without points gives no record (its branch's file is still written).
    bool gives(size_t r) const { return pontos[r] > 0; }
    char* build(char* p, size_t r) const
    {
        p = put(p, "500|");
        p = field(p, integra[r]);
        p = field(p, filial[r]);
        p = field(p, promocao[r]);
        p = put(p, filial[r]);
        p = put(p, caixa[r]);
        p = field(p, cupom[r]);
        p = putCustomerId(p, cliente[r]);
        p = put(p, "||");
        p = putAmountText(p, total[r]);
        *p++ = '|';
        p = field(p, data[r]);
        p = field(p, hora[r]);
        p = field(p, caixa[r]);
        p = field(p, operador[r]);
        p = putPlain(p, pontos, r);
        return p;
    }
    Text integra, filial, promocao, caixa, cupom, cliente, data, hora, operador;
    Number total, pontos;
};

struct Item
{
    static constexpr int kType = 510;
    explicit Item(const Table& t)
        : integra(t.textColumn(extra::CDINTEGRADOTZ)), filial(t.textColumn(extra::CDFILIAL)),
          caixa(t.textColumn(extra::CDCAIXA)), promocao(t.textColumn(extra::CDPROMOCAODOTZ)),
          cupom(t.textColumn(extra::NRCUPOMFIS)), cliente(t.textColumn(extra::CDIDCLIENTEDOTZ)),
          produto(t.textColumn(extra::CDPRODUTO)), barras(t.textColumn(extra::CDBARPRODUTO)),
          quantidade(t.numberColumn(extra::QTPRODVEND)),
          unitario(t.numberColumn(extra::VRUNITVEND)), total(t.numberColumn(extra::VRTOTAL)),
          pontos(t.numberColumn(extra::NRDOTZ))
    {
    }
    static constexpr int kRecordColumns[] = {
        extra::CDINTEGRADOTZ, extra::CDFILIAL,        extra::CDCAIXA,   extra::CDPROMOCAODOTZ,
        extra::NRCUPOMFIS,    extra::CDIDCLIENTEDOTZ, extra::CDPRODUTO, extra::CDBARPRODUTO};
    static constexpr int kBranch = extra::CDFILIAL, kPartner = extra::CDINTEGRADOTZ,
                         kFolder = extra::DSDIRARQDOTZ;
    bool gives(size_t) const { return true; }
    char* build(char* p, size_t r) const
    {
        p = put(p, "510|");
        p = field(p, integra[r]);
        p = field(p, filial[r]);
        p = field(p, caixa[r]);
        p = field(p, promocao[r]);
        p = put(p, filial[r]);
        p = put(p, caixa[r]);
        p = field(p, cupom[r]);
        p = putCustomerId(p, cliente[r]);
        *p++ = '|';
        p = field(p, produto[r]);
        p = field(p, barras[r]);
        p = putPlain(p, quantidade, r);
        *p++ = '|';
        p = putAmountText(p, unitario[r]);
        *p++ = '|';
        p = putAmountText(p, total[r]);
        p = put(p, "||");
        p = putPlain(p, pontos, r);
        return p;
    }
    Text integra, filial, caixa, promocao, cupom, cliente, produto, barras;
    Number quantidade, unitario, total, pontos;
};

struct Product
{
    static constexpr int kType = 515;
    explicit Product(const Table& t)
        : integra(t.textColumn(config::CDINTEGRADOTZ)), filial(t.textColumn(config::CDFILIAL)),
          promocao(t.textColumn(config::CDPROMOCAODOTZ)), produto(t.textColumn(config::CDPRODUTO)),
          barras(t.textColumn(config::CDBARPRODUTO)), nome(t.textColumn(config::NMPRODUTO)),
          inicio(t.textColumn(config::DTINIVIGPROD)), fim(t.textColumn(config::DTFIMVIGPROD)),
          preco(t.numberColumn(config::VRPRECITEM)), pontos(t.numberColumn(config::VRPONTOPROD))
    {
    }
    static constexpr int kRecordColumns[] = {
        config::CDINTEGRADOTZ, config::CDFILIAL,  config::CDPROMOCAODOTZ, config::CDPRODUTO,
        config::CDBARPRODUTO,  config::NMPRODUTO, config::DTINIVIGPROD,   config::DTFIMVIGPROD};
    static constexpr int kBranch = config::CDFILIAL, kPartner = config::CDINTEGRADOTZ,
                         kFolder = config::DSDIRARQDOTZ;
    bool gives(size_t) const { return true; }
    char* build(char* p, size_t r) const
    {
        p = put(p, "515|");
        p = field(p, integra[r]);
        p = field(p, filial[r]);
        p = field(p, promocao[r]);
        p = field(p, produto[r]);
        p = put(p, "||");
        p = field(p, barras[r]);
        p = field(p, nome[r]);
        p = putAmountText(p, preco[r]);
        *p++ = '|';
        p = putPlain(p, pontos, r);
        *p++ = '|';
        p = field(p, inicio[r]);
        p = put(p, fim[r]);
        return p;
    }
    Text integra, filial, promocao, produto, barras, nome, inicio, fim;
    Number preco, pontos;
};

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

template <class Record>
void write(const Table& t, const std::vector<FilePlan>& files, LineList& lines, FileSystem& fs,
           DayResult& result, std::set<std::string>& folders)
{
    const Record rec(t);
    for (const FilePlan& f : files) {
        for (size_t r = f.first; r <= f.last; ++r) {
            if (!rec.gives(r))
                continue;
            lines.commitLine(rec.build(lines.reserveLine(kMaxLine), r));
        }
        if (folders.insert(f.localDir).second && !fs.isDirectory(f.localDir))
            fs.createDirectory(f.localDir);
        try {
            fs.stageFile(f.localPath, lines.text());
        } catch (const Error& e) {
            cannotWrite(e, result.files, f.windowsPath);
        }
        result.files.push_back(WrittenFile{Record::kType, f.branch, f.windowsPath, f.localPath,
                                           lines.count(), lines.text().size()});
        lines.clear();
    }
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

DayResult GravaArquivosDotz(const ExportTables& t, Day day, bool with515, LineList& lines,
                            const PathMap& paths, FileSystem& fs)
{
    lines.clear();
    const bool sales = !t.cdsDadosDotz.isEmpty();
    const bool items = !t.cdsDotzExtra.isEmpty();
    const bool products = with515 && !t.cdsConfigDotz.isEmpty();

    // Every data set of the day is checked before the first file is written.
    std::vector<FilePlan> salePlan, itemPlan, productPlan;
    if (sales)
        salePlan = plan<Sale>(t.cdsDadosDotz, day, paths);
    if (items)
        itemPlan = plan<Item>(t.cdsDotzExtra, day, paths);
    if (products)
        productPlan = plan<Product>(t.cdsConfigDotz, day, paths);

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
            for (const std::string& folder : folders)
                fs.syncDirectory(folder);
        }
    } finish{lines, fs, {}};
    try {
        write<Sale>(t.cdsDadosDotz, salePlan, lines, fs, result, finish.folders);
        write<Item>(t.cdsDotzExtra, itemPlan, lines, fs, result, finish.folders);
        write<Product>(t.cdsConfigDotz, productPlan, lines, fs, result, finish.folders);
        putInPlace(fs, result.files);
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
