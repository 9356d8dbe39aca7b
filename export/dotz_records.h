#pragma once
// The DOTZ records, one line each: 500 (a sale with points), 510 (an item with
// extra points), 515 (a promotion product). For the file writer only.
#include "dotz_files.h"
#include "numbers.h"

#include <cstdint>
#include <cstring>
#include <string_view>

namespace dotz::record {

using Text = Table::TextColumn;
using Number = Table::NumberColumn;

// The longest line: at most 14 texts of 127 bytes and 4 numbers.
constexpr size_t kMaxLine = 14 * Table::kMaxText + 4 * kMaxNumberText + 64;

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
    return n.isNull(row) ? p : putGeneralText(p, n[row]);
}

// Each record type: the columns it reads, whether a row gives a line, the line.
struct Sale
{
    static constexpr int kType = 500;
    explicit Sale(const Table& t)
        : integra(t.textColumn(dados::CDINTEGRADOTZ)), filial(t.textColumn(dados::CDFILIAL)),
          promocao(t.textColumn(dados::CDPROMOCAODOTZ)), caixa(t.textColumn(dados::CDCAIXA)),
          cupom(t.textColumn(dados::NRCUPOMFIS)), cliente(t.textColumn(dados::CDIDCLIENTEDOTZ)),
          data(t.textColumn(dados::DATA)), hora(t.textColumn(dados::HORA)),
          operador(t.textColumn(dados::CDOPERADOR)), total(t.numberColumn(dados::VRTOTVENDA)),
          pontos(t.numberColumn(dados::NRDOTZ))
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
        p = putAmountText(p, total[r]);
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
    explicit Item(const Table& t)
        : integra(t.textColumn(extra::CDINTEGRADOTZ)), filial(t.textColumn(extra::CDFILIAL)),
          caixa(t.textColumn(extra::CDCAIXA)), promocao(t.textColumn(extra::CDPROMOCAODOTZ)),
          cupom(t.textColumn(extra::NRCUPOMFIS)), cliente(t.textColumn(extra::CDIDCLIENTEDOTZ)),
          produto(t.textColumn(extra::CDPRODUTO)), barras(t.textColumn(extra::CDBARPRODUTO)),
          quantidade(t.numberColumn(extra::QTPRODVEND)),
          unitario(t.numberColumn(extra::VRUNITVEND)), total(t.numberColumn(extra::VRTOTAL)),
          pontos(t.numberColumn(extra::NRDOTZ))
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
        p = putAmountText(p, unitario[r]);
        *p++ = '|';
        p = putAmountText(p, total[r]);
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
    explicit Product(const Table& t)
        : integra(t.textColumn(config::CDINTEGRADOTZ)), filial(t.textColumn(config::CDFILIAL)),
          promocao(t.textColumn(config::CDPROMOCAODOTZ)), produto(t.textColumn(config::CDPRODUTO)),
          barras(t.textColumn(config::CDBARPRODUTO)), nome(t.textColumn(config::NMPRODUTO)),
          inicio(t.textColumn(config::DTINIVIGPROD)), fim(t.textColumn(config::DTFIMVIGPROD)),
          preco(t.numberColumn(config::VRPRECITEM)), pontos(t.numberColumn(config::VRPONTOPROD))
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
        p = putAmountText(p, preco[r]);
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

} // namespace dotz::record
