#pragma once
// The four packets of GetPrincipal: their columns (as the module declares its
// tables), the SQL that fills them, and the streaming encoder.
#include "selector.h"
#include "store.h"

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dotz::appserver {

struct WireColumn
{
    const char* name;
    bool text;
    int size; // most characters, text only
};

struct PacketLayout
{
    const char* table; // the module's table that loads the packet
    std::vector<WireColumn> columns;
};

// In slot order: cdsCaixa, cdsDadosDotz, cdsDotzExtra, cdsConfigDotz.
const std::array<PacketLayout, 4>& packetLayouts();

// The query of one slot for an engine and a selector; parameters in the order
// returned by queryParameters(). The packets leave out the branch's settings,
// the same for each of its rows: kBranchSlot reads them once per call. Slot 3
// reads the branches' promotions, and kPromotionProducts their products. On
// SQLite, slot 2 leaves out its items' customers and barcodes: kItemSales and
// kProductBarcode (one product, its code the only parameter) give them.
constexpr int kBranchSlot = -1;
constexpr int kPromotionProducts = 4;
constexpr int kItemSales = 5;
constexpr int kProductBarcode = 6;
std::string packetQuery(int slot, Engine engine, const BranchSelector& selector);
std::vector<std::string> queryParameters(int slot, const BranchSelector& selector,
                                         const std::string& day);

// Buffers JSON output and hands it on in pieces of about flushAt bytes, so that a
// day of millions of rows is never held whole. The first piece waits for
// firstFlushAt bytes: until then a failure can still replace the whole reply.
class JsonOut
{
  public:
    using Flush = std::function<void(std::string_view)>;
    JsonOut(Flush flush, size_t flushAt = 256 * 1024, size_t firstFlushAt = 0);
    ~JsonOut();
    JsonOut(const JsonOut&) = delete;
    JsonOut& operator=(const JsonOut&) = delete;

    void raw(std::string_view json); // a complete JSON value or punctuation
    // Writes a JSON string; returns its length in characters. Throws dotz::Error
    // when the text is not valid UTF-8.
    size_t string(std::string_view utf8);
    void number(double value);
    void null();
    // What is held since the last piece was handed on: a mark taken with size()
    // and read back with since() before the next maybeFlush().
    size_t size() const;
    std::string_view since(size_t mark) const;
    void maybeFlush();
    void finish();
    // Whether anything has been handed on (after that the reply can no longer change).
    bool flushed() const { return flushed_; }
    void discard();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    Flush flush_;
    size_t flushAt_;
    size_t firstFlushAt_;
    bool flushed_ = false;
};

struct PrincipalCounts
{
    std::array<size_t, 4> rows{};
};

// Writes the result envelope {"ok":true,"data":[P0,P1,P2,P3]} of one day, the four
// queries in one read transaction. Throws dotz::Error when the store fails or a
// value does not fit its column (naming packet, column, row and branch); texts are
// never cut.
void writePrincipal(Store& store, const BranchSelector& selector, const std::string& day,
                    JsonOut& out, PrincipalCounts& counts);

} // namespace dotz::appserver
