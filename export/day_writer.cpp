#include "day_writer.h"

#include "base/cp1252.h"
#include "base/error.h"
#include "base/wire_contract.h"
#include "dotz_records.h"
#include "file_names.h"

#include <algorithm>
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

} // namespace

// One packet's share of the day: its rows' summary, and the file of the run of
// rows under way.
class DayWriter::Slot : public PieceSink
{
  public:
    Slot(DayWriter& w, size_t slot) : w_(w), slot_(slot) {}
    // Counts the rows only.
    void rows(const ColumnStore& piece, size_t) override { rows_ += piece.rows(); }
    void restart() override
    {
        rows_ = 0;
        w_.restartSlot(slot_);
    }
    // The packet's last row is in.
    virtual void end() {}
    // The first refusal of the packet's own checks.
    virtual std::optional<std::string> refusal() const { return std::nullopt; }
    size_t rowCount() const { return rows_; }

  protected:
    DayWriter& w_;
    size_t slot_;
    size_t rows_ = 0;
};

namespace {

// The packet's column, by position.
const wire::Column& columnOf(size_t slot, int column)
{
    return wire::kPackets[slot].columns[static_cast<size_t>(column)];
}

} // namespace

template <class Record> class DayWriter::RecordSlot final : public DayWriter::Slot
{
  public:
    RecordSlot(DayWriter& w, size_t slot) : Slot(w, slot) {}

    void rows(const ColumnStore& piece, size_t firstRow) override;
    void restart() override
    {
        Slot::restart();
        runs_.clear();
        run_ = Run{};
        open_ = false;
        held_.clear();
        apart_.reset();
        fault_.reset();
        naming_.reset();
        separator_ = {};
    }
    void end() override
    {
        decideHeld(true);
        if (open_)
            endRun();
        open_ = false;
    }
    std::optional<std::string> refusal() const override
    {
        if (apart_)
            return apart_;
        if (fault_)
            return fault_;
        if (naming_)
            return naming_;
        for (const auto& s : separator_)
            if (s)
                return s;
        return std::nullopt;
    }

  private:
    static constexpr size_t kRecordColumns = std::size(Record::kRecordColumns);
    static constexpr bool kSales = Record::kType == 500;

    std::string where(size_t row, int column) const { return whereInPacket(slot_, row, column); }
    void note(std::optional<std::string>& first, std::string_view branch, const std::string& what)
    {
        if (!first)
            first = dayRefusal(w_.day_, slot_, branch, what);
        w_.doomed_ = true;
    }

    // The name of the run's file when `row` (its values given) is its last.
    FileName nameRun(size_t row, std::string_view partner, std::string_view folder,
                     std::string_view data) const
    {
        return nameFile({slot_, row, w_.day_, run_.branch, partner, folder, data}, w_.paths_);
    }

    void startRun(std::string_view branch, size_t row)
    {
        if (const auto earlier = runs_.find(branch); earlier != runs_.end())
            note(apart_, branch,
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
        if (!name.refusal.empty())
            note(naming_, run_.branch, name.refusal);
        else
            w_.fs_.sweepFolder(name.localDir);
        if (w_.failedWrite_ && !w_.writeError_)
            w_.writeError_ = cannotWrite(*w_.failedWrite_, w_.staged_, name.windowsPath);
        if (!w_.writing()) {
            w_.lines_.clear();
            return;
        }
        try {
            if (!run_.begun) {
                w_.ensureFolder(name.localDir);
                w_.fs_.beginStaged(name.localPath);
            } else if (name.localDir != run_.begunIn) {
                w_.ensureFolder(name.localDir);
            }
            append();
            w_.fs_.endStaged(name.localPath);
        } catch (const Error& e) {
            w_.lines_.clear();
            w_.writeError_ = cannotWrite(e, w_.staged_, name.windowsPath);
            return;
        }
        w_.staged_.push_back(WrittenFile{Record::kType, run_.branch, name.windowsPath,
                                         name.localPath, run_.records, run_.bytes});
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
        w_.fs_.appendStaged(w_.lines_.text());
        run_.records += w_.lines_.count();
        run_.bytes += w_.lines_.text().size();
        w_.lines_.clear();
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
                w_.ensureFolder(guess.localDir);
                w_.fs_.beginStaged(guess.localPath);
                run_.begun = true;
                run_.begunIn = guess.localDir;
            }
            append();
        } catch (const Error& e) {
            w_.lines_.clear();
            // Named once the run's last row names the file.
            w_.failedWrite_ = FileError(e.what(), "");
            if (const auto* fileError = dynamic_cast<const FileError*>(&e))
                w_.failedWrite_ = *fileError;
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
            note(fault_, heldBranch_,
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
    std::optional<std::string> apart_, fault_, naming_;
    std::array<std::optional<std::string>, kRecordColumns> separator_;
};

template <class Record>
void DayWriter::RecordSlot<Record>::rows(const ColumnStore& piece, size_t firstRow)
{
    const Record rec(piece);
    const TextColumn branches = textOf(piece, Record::kBranch);
    const TextColumn partners = textOf(piece, Record::kPartner);
    const TextColumn folders = textOf(piece, Record::kFolder);
    // The columns that hold a separator somewhere in the piece: only their rows are looked at.
    std::array<bool, kRecordColumns> separators{};
    bool anySeparator = false;
    for (size_t k = 0; k < kRecordColumns; ++k)
        anySeparator |= separators[k] =
            !separator_[k] && piece.mayHoldSeparator(Record::kRecordColumns[k]);
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
            w_.lacking(w_.lackingPartner_, branch);
        if (isBlank(folders[r]))
            w_.lacking(w_.lackingFolder_, branch);
        const bool gives = rec.gives(r);
        for (; nextFault < faults.size() && faults[nextFault].row == r; ++nextFault)
            if (!fault_) {
                held_.push_back({row, faults[nextFault], gives});
                heldBranch_ = run_.branch;
            }
        if (!gives)
            continue;
        if (anySeparator)
            for (size_t k = 0; k < kRecordColumns; ++k) {
                if (!separators[k] || separator_[k])
                    continue;
                const std::string_view text = textOf(piece, Record::kRecordColumns[k])[r];
                if (text.find_first_of(column::kSeparators) != std::string_view::npos)
                    note(separator_[k], run_.branch,
                         where(row, Record::kRecordColumns[k]) + ": \"" + utf8(text) +
                             "\" contém \"|\" ou quebra de linha, que o registro DOTZ não "
                             "comporta");
            }
        if (!w_.writing())
            continue;
        w_.lines_.commitLine(rec.build(w_.lines_.reserveLine(kMaxLine), r));
        if (w_.lines_.text().size() >= kFlushBytes)
            flush(piece, r, row);
    }
    rows_ += piece.rows();
    // The run may end in a later piece: its last row's values so far.
    if (open_ && piece.rows() != 0)
        lastRowOfRun(piece, piece.rows() - 1);
}

DayWriter::DayWriter(Day day, bool with515, LineList& lines, const PathMap& paths, FileSystem& fs)
    : day_(day), with515_(with515), lines_(lines), paths_(paths), fs_(fs)
{
    lines_.clear();
}

DayWriter::~DayWriter()
{
    if (!finished_)
        dropAll();
}

PieceSink& DayWriter::slot(size_t slot)
{
    if (slot > 0 && slots_[slot - 1])
        slots_[slot - 1]->end();
    snapshot_ = {staged_.size(), lackingPartner_, lackingFolder_,
                 doomed_,        writeError_,     failedWrite_};
    if (slot == 1)
        slots_[slot] = std::make_unique<RecordSlot<Sale>>(*this, slot);
    else if (slot == 2)
        slots_[slot] = std::make_unique<RecordSlot<Item>>(*this, slot);
    else if (slot == 3 && with515_)
        slots_[slot] = std::make_unique<RecordSlot<Product>>(*this, slot);
    else
        slots_[slot] = std::make_unique<Slot>(*this, slot);
    return *slots_[slot];
}

void DayWriter::restartSlot(size_t)
{
    lines_.clear();
    fs_.dropStaged(snapshot_.staged);
    staged_.resize(snapshot_.staged);
    lackingPartner_ = snapshot_.partner;
    lackingFolder_ = snapshot_.folder;
    doomed_ = snapshot_.doomed;
    writeError_ = snapshot_.writeError;
    failedWrite_ = snapshot_.failedWrite;
}

void DayWriter::lacking(LackingBranches& set, std::string_view branch)
{
    set.see(branch);
    doomed_ = doomed_ || set.refuses();
}

void DayWriter::ensureFolder(const std::string& localDir)
{
    if (folders_.insert(localDir).second && !fs_.isDirectory(localDir)) {
        fs_.createDirectory(localDir);
        madeFolders_.push_back(localDir);
        // Its name in the parent outlives a power cut only with the parent's flush.
        folders_.insert(folderOf(localDir));
    }
}

void DayWriter::endSlots()
{
    for (auto& s : slots_)
        if (s)
            s->end();
}

std::optional<std::string> DayWriter::refusal() const
{
    for (const auto& s : slots_)
        if (s)
            if (auto r = s->refusal())
                return r;
    return std::nullopt;
}

void DayWriter::dropAll()
{
    finished_ = true;
    lines_.clear();
    try {
        fs_.dropStaged();
    } catch (...) {
        // Dropping is the way out of a failed day: its own error says more.
    }
    dropFolders();
}

void DayWriter::dropFolders()
{
    try {
        // Only when empty: a folder someone else wrote into meanwhile stays.
        for (auto f = madeFolders_.rbegin(); f != madeFolders_.rend(); ++f)
            fs_.removeDirectory(*f);
    } catch (...) {
        // Only on the way out of a failed day: its own error says more.
    }
}

DayResult DayWriter::finish(const MessageTable& messages)
{
    endSlots();
    try {
        lackingPartner_.refuse("PARC_N_CAD", messages);
        lackingFolder_.refuse("DIR_N_CAD", messages);
    } catch (...) {
        dropAll();
        throw;
    }
    return finishFiles();
}

DayResult DayWriter::finishFiles()
{
    endSlots();
    if (const auto refused = refusal()) {
        dropAll();
        throw LastingError(*refused);
    }
    if (writeError_) {
        dropAll();
        throw Error(*writeError_);
    }
    finished_ = true;
    lines_.clear();
    DayResult result;
    for (size_t slot = 0; slot < slots_.size(); ++slot)
        result.rows[slot] = slots_[slot] ? slots_[slot]->rowCount() : 0;
    try {
        placeDay(fs_, day_, staged_, std::exchange(folders_, {}));
    } catch (const PartlyPlaced& e) {
        if (e.placed().empty())
            dropFolders();
        throw;
    } catch (const Error&) {
        dropFolders();
        throw;
    }
    result.files = std::move(staged_); // in the order the day gave them
    return result;
}

} // namespace dotz
