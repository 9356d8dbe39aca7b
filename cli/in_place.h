#pragma once
// The days' files set against those already in the branches' folders: the
// check's words for it, and the look-back of a pending run over days already
// exported, where a store's late sales show.
#include "export/plan.h"

#include <cstddef>
#include <string>

namespace dotz {

// After "12/03/2024: ", how the day's planned files compare with those in
// place: "12 arquivos; 11 iguais aos da pasta, 1 diferente (filial 0002: 500)."
std::string comparisonText(const DayCheck& day);

// "igual ao da pasta", "diferente do da pasta", "novo".
std::string inPlaceWord(InPlace state);

// What the look-back found and did.
struct LookBackFigures
{
    size_t days = 0;  // with a file that differs or is not in place
    size_t files = 0; // such files
    size_t rewritten = 0;
};

// Compares the days from `first` to `last` of `request` with their files in
// place, writing nothing, and says one line on `out` per day that differs,
// with the command that rewrites it by hand. With `rewrite`, such a day's
// differing files are written over on `fs`, and it says so. A day that cannot
// be compared is said and the next one goes on; a failure that is not the
// day's own (the server, the network) ends the look-back, said.
LookBackFigures lookBack(const RunRequest& request, const FetchDay& fetch, const PathMap& paths,
                         FileSystem& fs, bool rewrite, std::ostream& out,
                         const MessageTable& messages = dotzMessages());

} // namespace dotz
