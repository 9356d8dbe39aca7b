#pragma once
// A staged file's temporary is named ".<file>.<host>.<pid>.XXXXXX" in the
// file's own folder, so that a writer killed before its rename leaves a
// temporary that a later writer of the same host can tell for dead and remove.
#include <string>

namespace dotz::temporaries {

// ".<file>.<host>.": the name up to the writer's process id.
std::string prefix(const std::string& fileName);

// Removes, with `unlink`, the temporaries in `folder` that a writer of this
// host left when it died; another host's, or a live writer's, stay.
void sweepStale(const std::string& folder, int (*unlink)(const char*));

} // namespace dotz::temporaries
