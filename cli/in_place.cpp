#include "in_place.h"

#include "terminal.h"

#include "base/branch_list.h"
#include "base/cp1252.h"
#include "base/wire_contract.h"

#include <ostream>
#include <vector>

namespace dotz {
namespace {

// Branches named in a line; the rest are counted.
constexpr size_t kNamedBranches = 3;

// "filial 0002: 500", "filiais 0001: 500 e 510; 0002: 500", "...; 0003: 510 e mais 4".
std::string namedBranches(const std::vector<const WrittenFile*>& files)
{
    std::vector<std::pair<std::string, std::vector<int>>> branches;
    for (const WrittenFile* f : files) {
        auto at = std::find_if(branches.begin(), branches.end(),
                               [&](const auto& b) { return b.first == f->branch; });
        if (at == branches.end())
            at = branches.insert(branches.end(), {f->branch, {}});
        at->second.push_back(f->recordType);
    }
    std::string text = branches.size() == 1 ? "filial " : "filiais ";
    for (size_t i = 0; i < branches.size() && i < kNamedBranches; ++i) {
        text += (i == 0 ? "" : "; ") + cp1252::toUtf8Shown(branches[i].first) + ": ";
        const std::vector<int>& types = branches[i].second;
        for (size_t k = 0; k < types.size(); ++k)
            text += (k == 0 ? "" : k + 1 == types.size() ? " e " : ", ") + std::to_string(types[k]);
    }
    if (branches.size() > kNamedBranches)
        text += " e mais " + std::to_string(branches.size() - kNamedBranches);
    return text;
}

struct Sorted
{
    std::vector<const WrittenFile*> equal, differs, fresh, left;
};

Sorted sorted(const DayCheck& day)
{
    Sorted s;
    for (size_t i = 0; i < day.files.size(); ++i) {
        const InPlace state = i < day.inPlace.size() ? day.inPlace[i] : InPlace::New;
        (state == InPlace::Equal     ? s.equal
         : state == InPlace::Differs ? s.differs
                                     : s.fresh)
            .push_back(&day.files[i]);
    }
    for (const WrittenFile& f : day.left)
        s.left.push_back(&f);
    return s;
}

std::string leftText(const std::vector<const WrittenFile*>& left)
{
    return count(left.size(), "na pasta que o dia não gera mais, deixado como está",
                 "na pasta que o dia não gera mais, deixados como estão") +
           " (" + namedBranches(left) + ")";
}

// "1 diferente (filial 0002: 500), 2 novos (...)", the parts there are.
std::string changedText(const Sorted& s)
{
    std::vector<std::string> parts;
    if (!s.differs.empty())
        parts.push_back(count(s.differs.size(), "diferente", "diferentes") + " (" +
                        namedBranches(s.differs) + ")");
    if (!s.fresh.empty())
        parts.push_back(count(s.fresh.size(), "novo", "novos") + ", sem arquivo na pasta (" +
                        namedBranches(s.fresh) + ")");
    if (!s.left.empty())
        parts.push_back(leftText(s.left));
    std::string text;
    for (const std::string& p : parts)
        text += (text.empty() ? "" : ", ") + p;
    return text;
}

// The command that writes the differing files of the day by hand.
std::string byHand(Day day, const Sorted& s, bool with515)
{
    std::vector<std::string> codes;
    for (const auto* group : {&s.differs, &s.fresh})
        for (const WrittenFile* f : *group)
            if (std::find(codes.begin(), codes.end(), f->branch) == codes.end())
                codes.push_back(f->branch);
    std::string list;
    for (const std::string& c : codes)
        list += (list.empty() ? "" : ",") + cp1252::toUtf8Shown(c);
    return "dotz-export --from " + day.iso() + " --to " + day.iso() + " --branches " + list +
           (with515 ? " --with-515" : "");
}

} // namespace

std::string inPlaceWord(InPlace state)
{
    return state == InPlace::Equal     ? "igual ao da pasta"
           : state == InPlace::Differs ? "diferente do da pasta"
                                       : "novo";
}

std::string comparisonText(const DayCheck& day)
{
    const Sorted s = sorted(day);
    if (day.files.empty())
        return "nada a gravar (não há pontos DOTZ no dia)" +
               (s.left.empty() ? std::string() : "; " + leftText(s.left)) + ".";
    std::string text = count(day.files.size(), "arquivo", "arquivos") + "; ";
    if (s.equal.size() == day.files.size() && s.left.empty())
        return text + (day.files.size() == 1 ? "igual ao da pasta." : "todos iguais aos da pasta.");
    if (!s.equal.empty())
        text += count(s.equal.size(), "igual ao da pasta", "iguais aos da pasta") + ", ";
    return text + changedText(s) + ".";
}

LookBackFigures lookBack(const RunRequest& request, const FetchDay& fetch, const PathMap& paths,
                         FileSystem& fs, bool rewrite, std::ostream& out,
                         const MessageTable& messages)
{
    LookBackFigures figures;
    for (Day day = request.from; request.to >= day; day = day.next()) {
        RunRequest one = request;
        one.from = one.to = day;
        const std::vector<DayCheck> checked = checkExport(one, fetch, paths, messages);
        const DayCheck& d = checked.front();
        const std::string when = day.regional() + ", dia já exportado: ";
        if (d.refused) {
            say(out, when + "não foi possível compará-lo com a pasta: " + oneLine(d.refusal));
            if (!d.lasting) // the server or the network: the days after would fail alike
                return figures;
            continue;
        }
        const Sorted s = sorted(d);
        const size_t changed = s.differs.size() + s.fresh.size();
        if (changed == 0 && s.left.empty())
            continue;
        if (changed > 0) {
            ++figures.days;
            figures.files += changed;
        }
        std::string line = when + changedText(s);
        if (changed > 0)
            line += rewrite
                        ? "; regravando (--rewrite-changed)."
                        : "; nada foi regravado. Para regravar: " + byHand(day, s, request.with515);
        else
            line += ".";
        say(out, line);
        if (!rewrite || changed == 0)
            continue;
        try {
            const std::vector<WrittenFile> written =
                rewriteChanged(one, fetch, paths, fs, messages);
            figures.rewritten += written.size();
            std::vector<const WrittenFile*> named;
            for (const WrittenFile& f : written)
                named.push_back(&f);
            say(out, day.regional() + ": " +
                         (written.empty() ? std::string("nada regravado; os arquivos já são "
                                                        "iguais aos da pasta.")
                                          : (written.size() == 1 ? "regravado " : "regravados ") +
                                                count(written.size(), "arquivo", "arquivos") +
                                                " (" + namedBranches(named) + ")."));
        } catch (const Stopped&) {
            throw;
        } catch (const std::exception& e) {
            say(out,
                day.regional() + ": não foi possível regravar os arquivos: " + oneLine(e.what()));
            return figures;
        }
    }
    return figures;
}

} // namespace dotz
