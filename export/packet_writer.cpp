#include "packet_writer.h"

#include "base/cp1252.h"
#include "base/error.h"
#include "base/wire_contract.h"
#include "dotz_records.h"
#include "file_names.h"

#include <algorithm>
#include <map>
#include <utility>

namespace dotz {
namespace {

using namespace record;

// A file's lines pass to its staged file once they hold this much.
constexpr size_t kFlushBytes = size_t{1} << 20;

std::string utf8(std::string_view s)
{
    return cp1252::toUtf8Shown(s);
}

// The packet's column, by position.
const wire::Column& columnOf(size_t slot, int column)
{
    return wire::kPackets[slot].columns[static_cast<size_t>(column)];
}

// The tills, counted and, when the day keeps them, listed.
class TillsWriter final : public PacketWriter
{
  public:
    using PacketWriter::PacketWriter;
    void rows(const ColumnStore& piece, size_t first) override
    {
        if (DaySummary& s = day_.summary; s.tills) {
            const TextColumn branches = textOf(piece, caixa::CDFILIAL);
            const TextColumn tills = textOf(piece, caixa::CDCAIXA);
            for (size_t r = 0; r < piece.rows(); ++r)
                s.tills->see(branches[r], tills[r]);
        }
        PacketWriter::rows(piece, first);
    }
};

template <class Record> class RecordWriter final : public PacketWriter
{
  public:
    RecordWriter(DayInProgress& day, size_t slot)
        : PacketWriter(day, slot), checks_(day.day, slot, kRecordColumns)
    {
    }

    void rows(const ColumnStore& piece, size_t firstRow) override;
    void restart() override
    {
        PacketWriter::restart();
        runs_.clear();
        run_ = Run{};
        open_ = false;
        held_.clear();
        checks_.clear();
    }
    void end() override
    {
        decideHeld(true);
        if (open_)
            endRun();
        open_ = false;
    }
    std::optional<std::string> refusal() const override { return checks_.refusal(); }

  private:
    static constexpr size_t kRecordColumns = std::size(Record::kRecordColumns);
    static constexpr bool kSales = Record::kType == 500;

    std::string where(size_t row, int column) const { return whereInPacket(slot_, row, column); }
    void note(PacketChecks::Kind kind, std::string_view branch, const std::string& what)
    {
        checks_.note(kind, branch, what);
        day_.summary.doomed = true;
    }

    // The name of the run's file when `row` (its values given) is its last.
    FileName nameRun(size_t row, std::string_view partner, std::string_view folder,
                     std::string_view data) const
    {
        return nameFile({slot_, row, day_.day, run_.branch, partner, folder, data}, day_.paths);
    }

    void startRun(std::string_view branch, size_t row)
    {
        if (const auto earlier = runs_.find(branch); earlier != runs_.end())
            note(PacketChecks::Apart, branch,
                 "as linhas da filial não estão juntas (linhas " +
                     std::to_string(earlier->second.first + 1) + " a " +
                     std::to_string(earlier->second.second + 1) + ", depois a linha " +
                     std::to_string(row + 1) + ")");
        run_ = Run{};
        run_.branch = branch;
        run_.first = run_.last = row;
        open_ = true;
    }

    // The run's file, named by its last row, goes to the staged files.
    void endRun()
    {
        runs_.emplace(run_.branch, std::make_pair(run_.first, run_.last));
        const FileName name = nameRun(run_.last, run_.partner, run_.folder, run_.data);
        StagedDay& files = day_.files;
        if (!name.refusal.empty())
            note(PacketChecks::Naming, run_.branch, name.refusal);
        else
            files.fs().sweepFolder(name.localDir);
        files.naming(name.windowsPath);
        if (!day_.writing()) {
            day_.lines.clear();
            return;
        }
        try {
            if (!run_.begun) {
                files.ensureFolder(name.localDir);
                files.fs().beginStaged(name.localPath);
            } else if (name.localDir != run_.begunIn) {
                files.ensureFolder(name.localDir);
            }
            append();
            files.fs().endStaged(name.localPath);
        } catch (const Error& e) {
            day_.lines.clear();
            files.failed(e, name.windowsPath);
            return;
        }
        files.add(WrittenFile{Record::kType, run_.branch, name.windowsPath, name.localPath,
                              run_.records, run_.bytes});
    }

    void lastRowOfRun(const ColumnStore& piece, size_t r)
    {
        run_.partner = textOf(piece, Record::kPartner)[r];
        run_.folder = textOf(piece, Record::kFolder)[r];
        if constexpr (kSales)
            run_.data = textOf(piece, dados::DATA)[r];
    }

    void append()
    {
        LineList& lines = day_.lines;
        day_.files.fs().appendStaged(lines.text());
        run_.records += lines.count();
        run_.bytes += lines.text().size();
        lines.clear();
    }

    // A large run's lines go to its file a buffer at a time, under the name its
    // row `r` gives; until a row gives one, they wait.
    void flush(const ColumnStore& piece, size_t r, size_t row)
    {
        try {
            if (!run_.begun) {
                const FileName guess = nameRun(
                    row, textOf(piece, Record::kPartner)[r], textOf(piece, Record::kFolder)[r],
                    kSales ? textOf(piece, dados::DATA)[r] : std::string_view{});
                if (!guess.refusal.empty())
                    return;
                day_.files.ensureFolder(guess.localDir);
                day_.files.fs().beginStaged(guess.localPath);
                run_.begun = true;
                run_.begunIn = guess.localDir;
            }
            append();
        } catch (const Error& e) {
            day_.lines.clear();
            day_.files.failedUnnamed(e); // named once the run's last row names the file
        }
    }

    // The faults of the row before, now that it is known whether it was its
    // run's last: the first that reaches a file refuses the packet.
    void decideHeld(bool last)
    {
        for (const Held& h : held_) {
            const int column = h.fault.column;
            const bool namesFile =
                last && (column == Record::kPartner || column == Record::kFolder ||
                         (kSales && column == dados::DATA));
            const bool inRecord = h.gives && std::find(std::begin(Record::kRecordColumns),
                                                       std::end(Record::kRecordColumns),
                                                       column) != std::end(Record::kRecordColumns);
            if (column != Record::kBranch && !namesFile && !inRecord)
                continue;
            const auto width = std::to_string(columnOf(slot_, column).size);
            note(PacketChecks::Fault, heldBranch_,
                 where(h.row, column) +
                     (h.fault.kind == ValueFault::TooLong
                          ? ": o texto de " + std::to_string(h.fault.position) +
                                " caracteres excede a largura de " + width + " da coluna"
                          : ": o caractere " + std::to_string(h.fault.position + 1) +
                                " do texto não existe em Windows-1252"));
            break;
        }
        held_.clear();
    }

    struct Run
    {
        std::string branch;
        size_t first = 0;
        size_t last = 0;
        // Of its last row, once known.
        std::string partner, folder, data;
        bool begun = false;  // its file is begun
        std::string begunIn; // in this folder
        size_t records = 0;  // lines gone to the file
        size_t bytes = 0;
    };
    struct Held
    {
        size_t row;
        ValueFault fault;
        bool gives;
    };

    std::map<std::string, std::pair<size_t, size_t>, std::less<>> runs_; // each branch's first run
    Run run_;
    bool open_ = false;
    std::vector<Held> held_; // the faults of the row before
    std::string heldBranch_;
    PacketChecks checks_;
};

template <class Record> void RecordWriter<Record>::rows(const ColumnStore& piece, size_t firstRow)
{
    const Record rec(piece);
    const TextColumn branches = textOf(piece, Record::kBranch);
    const TextColumn partners = textOf(piece, Record::kPartner);
    const TextColumn folders = textOf(piece, Record::kFolder);
    DaySummary& summary = day_.summary;
    LineList& lines = day_.lines;
    // The columns that hold a separator somewhere in the piece: only their rows are looked at.
    std::array<bool, kRecordColumns> separators{};
    bool anySeparator = false;
    for (size_t k = 0; k < kRecordColumns; ++k)
        anySeparator |= separators[k] =
            !checks_.hasSeparator(k) && piece.mayHoldSeparator(Record::kRecordColumns[k]);
    const std::vector<ValueFault>& faults = piece.faults();
    size_t nextFault = 0;
    for (size_t r = 0; r < piece.rows(); ++r) {
        const size_t row = firstRow + r;
        const std::string_view branch = branches[r];
        const bool sameRun = open_ && branch == run_.branch;
        if (!held_.empty())
            decideHeld(!sameRun);
        if (sameRun) {
            run_.last = row;
        } else {
            if (open_ && r != 0)
                lastRowOfRun(piece, r - 1);
            if (open_)
                endRun();
            startRun(branch, row);
        }
        if (isBlank(partners[r]))
            day_.lacking(summary.lackingPartner, branch);
        if (isBlank(folders[r]))
            day_.lacking(summary.lackingFolder, branch);
        const bool gives = rec.gives(r);
        for (; nextFault < faults.size() && faults[nextFault].row == r; ++nextFault)
            if (!checks_.has(PacketChecks::Fault)) {
                held_.push_back({row, faults[nextFault], gives});
                heldBranch_ = run_.branch;
            }
        if (!gives)
            continue;
        if (anySeparator)
            for (size_t k = 0; k < kRecordColumns; ++k) {
                if (!separators[k] || checks_.hasSeparator(k))
                    continue;
                const std::string_view text = textOf(piece, Record::kRecordColumns[k])[r];
                if (text.find_first_of(column::kSeparators) != std::string_view::npos) {
                    checks_.noteSeparator(k, run_.branch,
                                          where(row, Record::kRecordColumns[k]) + ": \"" +
                                              utf8(text) +
                                              "\" contém \"|\" ou quebra de linha, que o "
                                              "registro DOTZ não comporta");
                    summary.doomed = true;
                }
            }
        if (!day_.writing())
            continue;
        lines.commitLine(rec.build(lines.reserveLine(kMaxLine), r));
        if (lines.text().size() >= kFlushBytes)
            flush(piece, r, row);
    }
    rows_ += piece.rows();
    // The run may end in a later piece: its last row's values so far.
    if (open_ && piece.rows() != 0)
        lastRowOfRun(piece, piece.rows() - 1);
}

} // namespace

std::unique_ptr<PacketWriter> packetWriter(DayInProgress& day, size_t slot, bool with515)
{
    if (slot == wire::slot::kDadosDotz)
        return std::make_unique<RecordWriter<Sale>>(day, slot);
    if (slot == wire::slot::kDotzExtra)
        return std::make_unique<RecordWriter<Item>>(day, slot);
    if (slot == wire::slot::kConfigDotz && with515)
        return std::make_unique<RecordWriter<Product>>(day, slot);
    if (slot == wire::slot::kCaixa)
        return std::make_unique<TillsWriter>(day, slot);
    return std::make_unique<PacketWriter>(day, slot);
}

} // namespace dotz
