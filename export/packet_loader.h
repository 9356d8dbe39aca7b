#pragma once
// Decoding a packet's JSON straight into a table's column store.
#include "base/packet.h"
#include "column_store.h"

#include <string>

namespace dotz {

// Takes a packet's rows a piece at a time, as they are decoded.
class PieceSink
{
  public:
    virtual ~PieceSink() = default;
    // The packet's rows from `firstRow` (from 0) on; they leave the store once
    // this returns.
    virtual void rows(const ColumnStore& piece, size_t firstRow) = 0;
    // The rows given so far do not count: they come again from the first one.
    virtual void restart() = 0;
};

// Appends the packet's rows to `store` (empty on entry) or, with a sink, hands
// them to it a piece at a time, so that the store holds one piece at most. A
// refused packet raises dotz::Error naming `table`, the column and the row, and
// leaves `store` partly filled: the caller clears it.
void loadPacketInto(ColumnStore& store, const std::string& table, const Packet& packet,
                    PieceSink* sink = nullptr);

} // namespace dotz
