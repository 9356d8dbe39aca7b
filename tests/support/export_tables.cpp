#include "export_tables.h"

#include "base/wire_contract.h"

namespace dotz {
namespace {

Table fromWire(size_t slot)
{
    const wire::PacketLayout& layout = wire::kPackets[slot];
    std::vector<ColumnDef> columns;
    columns.reserve(layout.columns.size());
    for (const wire::Column& c : layout.columns)
        columns.push_back({c.name, c.text ? ColumnType::Text : ColumnType::Number, c.size});
    return Table(layout.table, std::move(columns));
}

} // namespace

Table makeCdsCaixa()
{
    return fromWire(0);
}
Table makeCdsDadosDotz()
{
    return fromWire(1);
}
Table makeCdsDotzExtra()
{
    return fromWire(2);
}
Table makeCdsConfigDotz()
{
    return fromWire(3);
}

// Working sets of the export, not on the wire.
Table makeCdsFilialParc()
{
    return Table("cdsFilialParc", {{"CDFILIAL", ColumnType::Text, 4}});
}
Table makeCdsFilialDir()
{
    return Table("cdsFilialDir", {{"CDFILIAL", ColumnType::Text, 4}});
}

} // namespace dotz
