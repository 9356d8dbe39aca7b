#pragma once
// The reply of GetPrincipal: the four packets of a day, read by the SQL of
// principal_sql.h (SQLite's items by sqlite/items.h), joined to the branches'
// settings and the promotions' products, and encoded as they are read.
#include "row_pipe.h"
#include "selector.h"

#include "appserver/rpc/json_out.h"
#include "appserver/stores/store.h"

#include "base/wire_contract.h"

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dotz::appserver {

struct PrincipalCounts
{
    std::array<size_t, wire::kPacketCount> rows{};
};

// Writes the result envelope {"ok":true,"data":[P0,P1,P2,P3]} of one day, the four
// queries in one read transaction, read on the thread that `beside` gives, in
// turns taken through `share`. Throws
// dotz::Error when the store fails or a value cannot be written (naming packet,
// column, row and branch); texts are never cut, nor refused for their length.
void writePrincipal(Store& store, const BranchSelector& selector, const std::string& day,
                    JsonOut& out, PrincipalCounts& counts, const RunBeside& beside,
                    FairShare& share);

} // namespace dotz::appserver
