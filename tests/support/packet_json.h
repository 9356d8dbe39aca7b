#pragma once
// Packets as the server sends them, built from tables, for tests and benchmarks.
#include "export/packet.h"
#include "export/table.h"

#include <string>

namespace dotz::testing {

// The "columns" list that declares the table's columns.
std::string columnsJson(const Table& t);
// The whole packet of the table's rows: nulls as null, numbers as the shortest
// text that reads back as the same double, texts with quotes and backslashes
// escaped (other bytes as they are).
std::string packetJson(const Table& t);
Packet packetOf(const Table& t);

} // namespace dotz::testing
