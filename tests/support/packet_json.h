#pragma once
// Packets as the server sends them, built from tables, for tests and benchmarks.
#include "base/packet.h"
#include "tests/support/table.h"

#include <string>

namespace dotz::testing {

// The "columns" list that declares the table's columns.
std::string columnsJson(const Table& t);
// The whole packet of the table's rows: nulls as null, numbers as the shortest
// text that reads back as the same double, texts with quotes and backslashes
// escaped (other bytes as they are).
std::string packetJson(const Table& t);
Packet packetOf(const Table& t);
// A packet handed over as if still arriving, though all of it is in: a row mark
// at each row of `json` (a packet as packetJson writes it, maybe with more after
// its rows list).
Packet arrivedPacket(std::string json);

} // namespace dotz::testing
