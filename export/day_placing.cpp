#include "day_placing.h"

#include "base/cp1252.h"

#include <algorithm>
#include <map>
#include <string_view>

namespace dotz {
namespace {

std::string utf8(std::string_view s)
{
    return cp1252::toUtf8Shown(s);
}

// "a", "a e b", "a, b e c".
std::string listed(const std::vector<std::string>& items)
{
    std::string text;
    for (size_t i = 0; i < items.size(); ++i)
        text += (i == 0 ? "" : i + 1 == items.size() ? " e " : ", ") + items[i];
    return text;
}

} // namespace

std::string placedText(const std::vector<WrittenFile>& placed,
                       const std::vector<WrittenFile>& files)
{
    const std::string total = std::to_string(files.size());
    if (files.size() == 1)
        return placed.empty() ? "o arquivo do dia não está no lugar"
                              : "o arquivo do dia está no lugar";
    if (placed.empty())
        return "nenhum dos " + total + " arquivos está no lugar";
    if (placed.size() == files.size())
        return "os " + total + " arquivos estão no lugar";
    std::vector<std::string> whole;
    std::string part;
    for (size_t i = 0; i < placed.size();) {
        const std::string& branch = placed[i].branch;
        std::vector<std::string> types;
        for (; i < placed.size() && placed[i].branch == branch; ++i)
            types.push_back("o " + std::to_string(placed[i].recordType));
        const auto ofBranch = std::count_if(
            files.begin(), files.end(), [&](const WrittenFile& f) { return f.branch == branch; });
        if (static_cast<size_t>(ofBranch) == types.size())
            whole.push_back(utf8(branch));
        else
            part = "da filial " + utf8(branch) + ", " + listed(types);
    }
    std::string text =
        std::to_string(placed.size()) + " dos " + total + " arquivos estão no lugar: ";
    if (!whole.empty())
        text += (whole.size() == 1 ? "os da filial " : "os das filiais ") + listed(whole);
    if (!part.empty())
        text += (whole.empty() ? "" : " e, ") + part;
    return text;
}

void placeDay(FileSystem& fs, Day day, const std::vector<WrittenFile>& staged,
              const std::set<std::string>& folders)
{
    std::vector<size_t> order(staged.size());
    std::map<std::string_view, size_t> rank;
    for (const WrittenFile& f : staged)
        rank.emplace(f.branch, rank.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return rank.at(staged[a].branch) < rank.at(staged[b].branch);
    });
    std::vector<WrittenFile> files;
    for (size_t i : order)
        files.push_back(staged[i]);
    const auto partly = [&](const std::string& what, size_t placed) {
        std::vector<WrittenFile> in(files.begin(), files.begin() + static_cast<long>(placed));
        std::string text = placedText(in, files);
        const std::string message = what + ". Do dia " + day.regional() + ", " + text + ".";
        return PartlyPlaced(message, day, std::move(in), std::move(text));
    };
    try {
        fs.commitStaged(order);
    } catch (const PlaceError& e) {
        try {
            fs.syncDirectories(folders);
        } catch (...) {
            // The failed rename says more.
        }
        throw partly(cannotWrite(e, staged, {}), e.placed());
    } catch (const Error& e) {
        throw Error(cannotWrite(e, staged, {}));
    }
    try {
        flushFolders(fs, folders);
    } catch (const Error& e) {
        throw partly(e.what(), files.size());
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

} // namespace dotz
