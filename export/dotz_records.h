#pragma once
// The DOTZ records, one line each: 500 (a sale with points), 510 (an item with
// extra points), 515 (a promotion product), read from a piece of rows. For the
// file writer only.
#include "column_store.h"
#include "columns.h"
#include "numbers.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace dotz {
namespace record {

using Text = TextColumn;
using Number = NumberColumn;

// The longest line: at most 14 texts of 127 bytes and 4 numbers.
constexpr size_t kMaxLine = 14 * column::kMaxText + 4 * kMaxNumberText + 64;

// Fields are short: copying them with fixed-size moves beats a general copy.
inline char* put(char* p, std::string_view v)
{
    const char* s = v.data();
    const size_t n = v.size();
    if (n >= 8 && n <= 16) {
        uint64_t a, b;
        std::memcpy(&a, s, 8);
        std::memcpy(&b, s + n - 8, 8);
        std::memcpy(p, &a, 8);
        std::memcpy(p + n - 8, &b, 8);
    } else if (n >= 4 && n < 8) {
        uint32_t a, b;
        std::memcpy(&a, s, 4);
        std::memcpy(&b, s + n - 4, 4);
        std::memcpy(p, &a, 4);
        std::memcpy(p + n - 4, &b, 4);
    } else if (n > 0 && n < 4) {
        p[0] = s[0];
        p[n / 2] = s[n / 2];
        p[n - 1] = s[n - 1];
    } else if (n > 16) {
        std::memcpy(p, s, n);
    }
    return p + n;
}

template <size_t N> inline char* put(char* p, const char (&literal)[N])
{
    std::memcpy(p, literal, N - 1);
    return p + N - 1;
}

inline char* field(char* p, std::string_view v)
{
    p = put(p, v);
    *p++ = '|';
    return p;
}

inline char* putPlain(char* p, const Number& n, size_t row)
{
    int32_t h;
    if (n.isNull(row))
        return p;
    return n.hundredthsAt(row, h) ? putGeneralHundredths(p, h) : putGeneralText(p, n[row]);
}

inline char* putAmount(char* p, const Number& n, size_t row)
{
    int32_t h;
    return n.hundredthsAt(row, h) ? putAmountHundredths(p, h) : putAmountText(p, n[row]);
}

} // namespace record

// A customer identifier of 16 characters goes in four groups of four.
inline char* putCustomerId(char* p, std::string_view id)
{
    if (id.size() != 16)
        return record::put(p, id);
    for (size_t i = 0; i < 16; i += 4) {
        if (i)
            *p++ = '-';
        p = record::put(p, id.substr(i, 4));
    }
    return p;
}

// The date part of a 500 file's name: characters 1-4, 6-7 and 9-10 of DATA.
inline std::string datePartOf(std::string_view data)
{
    std::string out;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (i < data.size())
            out += data[i];
    return out;
}

namespace record {

inline Text textOf(const ColumnStore& s, int column)
{
    return s.data(static_cast<size_t>(column)).textView();
}
inline Number numberOf(const ColumnStore& s, int column)
{
    return s.data(static_cast<size_t>(column)).numberView();
}

// Each record type: the columns it reads, whether a row gives a line, the line.
struct Sale
{
    static constexpr int kType = 500;
    explicit Sale(const ColumnStore& t)
        : integra(textOf(t, dados::CDINTEGRADOTZ)), filial(textOf(t, dados::CDFILIAL)),
          promocao(textOf(t, dados::CDPROMOCAODOTZ)), caixa(textOf(t, dados::CDCAIXA)),
          cupom(textOf(t, dados::NRCUPOMFIS)), cliente(textOf(t, dados::CDIDCLIENTEDOTZ)),
          data(textOf(t, dados::DATA)), hora(textOf(t, dados::HORA)),
          operador(textOf(t, dados::CDOPERADOR)), total(numberOf(t, dados::VRTOTVENDA)),
          pontos(numberOf(t, dados::NRDOTZ))
    {
    }
    static constexpr int kRecordColumns[] = {
        dados::CDINTEGRADOTZ, dados::CDFILIAL,   dados::CDPROMOCAODOTZ,
        dados::CDCAIXA,       dados::NRCUPOMFIS, dados::CDIDCLIENTEDOTZ,
        dados::DATA,          dados::HORA,       dados::CDOPERADOR};
    static constexpr int kBranch = dados::CDFILIAL, kPartner = dados::CDINTEGRADOTZ,
                         kFolder = dados::DSDIRARQDOTZ;
    // A sale without points gives no record (its branch's file is still written).
    bool gives(size_t r) const { return pontos[r] > 0; }
    char* build(char* p, size_t r) const
    {
        p = put(p, "500|");
        p = field(p, integra[r]);
        p = field(p, filial[r]);
        p = field(p, promocao[r]);
        p = put(p, filial[r]);
        p = put(p, caixa[r]);
        p = field(p, cupom[r]);
        p = putCustomerId(p, cliente[r]);
        p = put(p, "||");
        p = putAmount(p, total, r);
        *p++ = '|';
        p = field(p, data[r]);
        p = field(p, hora[r]);
        p = field(p, caixa[r]);
        p = field(p, operador[r]);
        p = putPlain(p, pontos, r);
        return p;
    }
    Text integra, filial, promocao, caixa, cupom, cliente, data, hora, operador;
    Number total, pontos;
};

struct Item
{
    static constexpr int kType = 510;
    explicit Item(const ColumnStore& t)
        : integra(textOf(t, extra::CDINTEGRADOTZ)), filial(textOf(t, extra::CDFILIAL)),
          caixa(textOf(t, extra::CDCAIXA)), promocao(textOf(t, extra::CDPROMOCAODOTZ)),
          cupom(textOf(t, extra::NRCUPOMFIS)), cliente(textOf(t, extra::CDIDCLIENTEDOTZ)),
          produto(textOf(t, extra::CDPRODUTO)), barras(textOf(t, extra::CDBARPRODUTO)),
          quantidade(numberOf(t, extra::QTPRODVEND)), unitario(numberOf(t, extra::VRUNITVEND)),
          total(numberOf(t, extra::VRTOTAL)), pontos(numberOf(t, extra::NRDOTZ))
    {
    }
    static constexpr int kRecordColumns[] = {
        extra::CDINTEGRADOTZ, extra::CDFILIAL,        extra::CDCAIXA,   extra::CDPROMOCAODOTZ,
        extra::NRCUPOMFIS,    extra::CDIDCLIENTEDOTZ, extra::CDPRODUTO, extra::CDBARPRODUTO};
    static constexpr int kBranch = extra::CDFILIAL, kPartner = extra::CDINTEGRADOTZ,
                         kFolder = extra::DSDIRARQDOTZ;
    bool gives(size_t) const { return true; }
    char* build(char* p, size_t r) const
    {
        p = put(p, "510|");
        p = field(p, integra[r]);
        p = field(p, filial[r]);
        p = field(p, caixa[r]);
        p = field(p, promocao[r]);
        p = put(p, filial[r]);
        p = put(p, caixa[r]);
        p = field(p, cupom[r]);
        p = putCustomerId(p, cliente[r]);
        *p++ = '|';
        p = field(p, produto[r]);
        p = field(p, barras[r]);
        p = putPlain(p, quantidade, r);
        *p++ = '|';
        p = putAmount(p, unitario, r);
        *p++ = '|';
        p = putAmount(p, total, r);
        p = put(p, "||");
        p = putPlain(p, pontos, r);
        return p;
    }
    Text integra, filial, caixa, promocao, cupom, cliente, produto, barras;
    Number quantidade, unitario, total, pontos;
};

struct Product
{
    static constexpr int kType = 515;
    explicit Product(const ColumnStore& t)
        : integra(textOf(t, config::CDINTEGRADOTZ)), filial(textOf(t, config::CDFILIAL)),
          promocao(textOf(t, config::CDPROMOCAODOTZ)), produto(textOf(t, config::CDPRODUTO)),
          barras(textOf(t, config::CDBARPRODUTO)), nome(textOf(t, config::NMPRODUTO)),
          inicio(textOf(t, config::DTINIVIGPROD)), fim(textOf(t, config::DTFIMVIGPROD)),
          preco(numberOf(t, config::VRPRECITEM)), pontos(numberOf(t, config::VRPONTOPROD))
    {
    }
    static constexpr int kRecordColumns[] = {
        config::CDINTEGRADOTZ, config::CDFILIAL,  config::CDPROMOCAODOTZ, config::CDPRODUTO,
        config::CDBARPRODUTO,  config::NMPRODUTO, config::DTINIVIGPROD,   config::DTFIMVIGPROD};
    static constexpr int kBranch = config::CDFILIAL, kPartner = config::CDINTEGRADOTZ,
                         kFolder = config::DSDIRARQDOTZ;
    bool gives(size_t) const { return true; }
    char* build(char* p, size_t r) const
    {
        p = put(p, "515|");
        p = field(p, integra[r]);
        p = field(p, filial[r]);
        p = field(p, promocao[r]);
        p = field(p, produto[r]);
        p = put(p, "||");
        p = field(p, barras[r]);
        p = field(p, nome[r]);
        p = putAmount(p, preco, r);
        *p++ = '|';
        p = putPlain(p, pontos, r);
        *p++ = '|';
        p = field(p, inicio[r]);
        p = put(p, fim[r]);
        return p;
    }
    Text integra, filial, promocao, produto, barras, nome, inicio, fim;
    Number preco, pontos;
};

} // namespace record
} // namespace dotz
