#pragma once
// Decoding a packet's JSON straight into a table's column store.
#include "column_store.h"
#include "packet.h"

#include <string>

namespace dotz {

// Appends the packet's rows to `store` (empty on entry). A refused packet raises
// dotz::Error naming `table`, the column and the row, and leaves `store` partly
// filled: the caller clears it.
void loadPacketInto(ColumnStore& store, const std::string& table, const Packet& packet);

} // namespace dotz
