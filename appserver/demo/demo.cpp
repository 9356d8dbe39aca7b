#include "demo.h"

#include "schema_sql.h"

#include "appserver/principal/selector.h"

#include "base/error.h"
#include "base/wire_contract.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <vector>

namespace dotz::appserver {
namespace {

// SplitMix64: the same numbers from the same seed on every platform and library
// (the standard distributions are not specified bit for bit).
class Random
{
  public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // 0 <= result < n
    long long below(long long n)
    {
        return static_cast<long long>(next() % static_cast<uint64_t>(n));
    }
    long long between(long long lo, long long hi) { return lo + below(hi - lo + 1); }
    bool chance(int percent) { return below(100) < percent; }
    template <class T, size_t N> const T& pick(const std::array<T, N>& a)
    {
        return a[static_cast<size_t>(below(static_cast<long long>(N)))];
    }

  private:
    uint64_t state_;
};

// Zero-padded decimal, as codes and receipt numbers are written.
std::string padded(long long value, size_t width)
{
    std::string digits = std::to_string(value);
    return digits.size() >= width ? digits : std::string(width - digits.size(), '0') + digits;
}

std::string branchCode(long long number)
{
    return padded(number, static_cast<size_t>(wire::kBranchCodeSize));
}

std::string isoDay(long long serial)
{
    return Day::fromSerial(static_cast<int32_t>(serial)).iso();
}

double cents(double value)
{
    return std::round(value * 100.0) / 100.0;
}

size_t characters(std::string_view s)
{
    size_t n = 0;
    for (char c : s)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

// Accented names use only letters that Windows-1252 holds: the module converts them.
const std::array<std::string_view, 24> kNeighbourhoods = {"Centro",          "Água Branca",
                                                          "Tatuapé",         "Higienópolis",
                                                          "Savassi",         "Boa Viagem",
                                                          "Pituba",          "Asa Sul",
                                                          "Batel",           "Aldeota",
                                                          "Méier",           "São Cristóvão",
                                                          "Copacabana",      "Moinhos",
                                                          "Ponta Negra",     "Itaim Bibi",
                                                          "Jardim Botânico", "Cambuí",
                                                          "Barra",           "Ribeirão Preto",
                                                          "Vila Mariana",    "Lagoa da Conceição",
                                                          "Petrópolis",      "Niterói"};

struct BaseProduct
{
    std::string_view name;
    bool weighed;
    double price; // per unit or per kg
};

const std::array<BaseProduct, 40> kBaseProducts = {{
    {"Arroz Agulhinha Tipo 1 5kg", false, 27.90},
    {"Feijão Carioca 1kg", false, 8.49},
    {"Açúcar Refinado 1kg", false, 4.99},
    {"Café Torrado e Moído 500g", false, 17.90},
    {"Leite Integral UHT 1L", false, 5.29},
    {"Óleo de Soja 900ml", false, 7.99},
    {"Macarrão Espaguete 500g", false, 4.59},
    {"Farinha de Mandioca 1kg", false, 8.90},
    {"Biscoito Cream Cracker 400g", false, 5.49},
    {"Requeijão Cremoso 200g", false, 8.99},
    {"Pão de Queijo Congelado 1kg", false, 21.90},
    {"Sabão em Pó 1,6kg", false, 19.90},
    {"Detergente Líquido 500ml", false, 2.79},
    {"Papel Higiênico 12 rolos", false, 18.90},
    {"Água Mineral sem Gás 1,5L", false, 2.49},
    {"Refrigerante Guaraná 2L", false, 8.99},
    {"Suco de Maracujá 1L", false, 9.49},
    {"Cerveja Pilsen Lata 350ml", false, 3.79},
    {"Achocolatado em Pó 400g", false, 9.99},
    {"Margarina com Sal 500g", false, 9.29},
    {"Maçã Gala", true, 9.98},
    {"Banana Prata", true, 6.49},
    {"Tomate Italiano", true, 8.99},
    {"Batata Inglesa", true, 5.99},
    {"Cebola", true, 4.79},
    {"Limão Taiti", true, 5.49},
    {"Mamão Formosa", true, 6.99},
    {"Melão Amarelo", true, 5.29},
    {"Queijo Muçarela Fatiado", true, 49.90},
    {"Presunto Cozido Fatiado", true, 39.90},
    {"Picanha Bovina", true, 79.90},
    {"Alcatra Bovina", true, 49.90},
    {"Filé de Frango", true, 24.90},
    {"Linguiça Toscana", true, 22.90},
    {"Pão Francês", true, 16.90},
    {"Café Solúvel 200g", false, 24.90},
    {"Azeite Extra Virgem 500ml", false, 39.90},
    {"Creme Dental 90g", false, 4.99},
    {"Sabonete Glicerinado 90g", false, 2.49},
    {"Açaí Congelado 1kg", false, 29.90},
}};

const std::array<std::string_view, 16> kBrands = {
    "Boa Safra", "Sabor do Sertão", "Três Corações", "Estrela", "Nativa",   "Primor",
    "Vitória",   "Dona Benta",      "Serra Azul",    "Pérola",  "Tropical", "Aurora",
    "Paraná",    "Bom Gosto",       "Ipê",           "Canção"};

const std::array<std::string_view, 12> kOperators = {
    "MARIA.SOUZA", "JOAO.SILVA",  "ANA.LIMA",   "JOSE.COSTA", "LUCIA.ROCHA", "PEDRO.ALVES",
    "CARLA.DIAS",  "RAFAEL.REIS", "BIA.SANTOS", "ANDRE.MELO", "JULIA.CRUZ",  "TIAGO.LOPES"};

std::string ean13(Random& rng)
{
    std::string code = "789";
    for (int i = 0; i < 9; ++i)
        code += static_cast<char>('0' + rng.below(10));
    int sum = 0;
    for (int i = 0; i < 12; ++i)
        sum += (code[static_cast<size_t>(i)] - '0') * (i % 2 ? 3 : 1);
    code += static_cast<char>('0' + (10 - sum % 10) % 10);
    return code;
}

std::string customerId(Random& rng)
{
    // Mostly 16-digit card numbers; some customers identify with their CPF (11
    // digits) or an older 13-character code.
    const int roll = static_cast<int>(rng.below(100));
    const int length = roll < 85 ? 16 : roll < 95 ? 11 : 13;
    std::string id;
    for (int i = 0; i < length; ++i)
        id += static_cast<char>('0' + rng.below(10));
    if (length == 13)
        id[0] = 'D';
    return id;
}

struct Product
{
    std::string code, name, barcode;
    bool weighed;
    double price;
};

struct PromoProduct
{
    int product;
    double price, points;
    std::string first, last;
};

struct Promotion
{
    std::string code, description, first, last;
    std::vector<PromoProduct> products;
};

struct Item
{
    int branch, till;
    long long receipt;
    int seq, product, promotion;          // promotion -1: none
    double unit, quantity, total, points; // points < 0: no extra points
};

void checkWidth(std::string_view what, const std::string& value, size_t width)
{
    if (characters(value) > width)
        throw Error("demo data: " + std::string(what) + " " + quoteForMessage(value) +
                    " is longer than " + std::to_string(width) + " characters");
}

} // namespace

const char* schemaSql(Engine engine)
{
    return engine == Engine::Postgres ? schema::kPostgres : schema::kSqlite;
}

void createSchema(Store& store)
{
    store.exec(schemaSql(store.engine()));
}

DemoSummary initDemo(Store& store, const DemoOptions& o)
{
    if (o.branches < 1 || o.branches > 9999)
        throw Error("--branches must be between 1 and 9999, got " + std::to_string(o.branches));
    if (o.tills < 1 || o.tills > 999)
        throw Error("--tills must be between 1 and 999, got " + std::to_string(o.tills));
    if (o.days < 1 || o.days > 3660)
        throw Error("--days must be between 1 and 3660, got " + std::to_string(o.days));
    if (o.salesPerDay < 0 || o.salesPerDay > 100'000'000)
        throw Error("--sales-per-day must be between 0 and 100000000, got " +
                    std::to_string(o.salesPerDay));
    const std::optional<Day> first = parseIsoDay(o.firstDay);
    if (!first)
        throw Error("--first-day " + quoteForMessage(o.firstDay) +
                    " is not a date in the form YYYY-MM-DD");
    const long long firstDay = first->serial();
    const long long lastDay = firstDay + o.days - 1;
    // The promotions run from 90 days before the first day to 60 after the last.
    if (Day::fromSerial(first->serial() - 90).year() < 1 ||
        Day::fromSerial(static_cast<int32_t>(lastDay + 60)).year() > 9999)
        throw Error("--first-day " + quoteForMessage(o.firstDay) + " with --days " +
                    std::to_string(o.days) +
                    " leaves the demo's promotions outside the years 0001 to 9999");

    createSchema(store);
    long long existing = 0;
    store.query(kCountBranches, {},
                [&](const Row& r) { existing = static_cast<long long>(r.number(0)); });
    if (existing > 0)
        throw Error(store.describe() + " already holds " + std::to_string(existing) +
                    " branches; init-demo fills a new database only");
    // Demo data is made again rather than recovered: speed over crash safety.
    if (store.engine() == Engine::Sqlite)
        store.exec("PRAGMA synchronous = OFF; PRAGMA journal_mode = MEMORY");

    Random rng(o.seed);
    DemoSummary summary;

    // Catalogue: every base product in a few brands.
    std::vector<Product> products;
    for (size_t b = 0; b < kBaseProducts.size(); ++b) {
        for (size_t k = 0; k < kBrands.size(); ++k) {
            const BaseProduct& base = kBaseProducts[b];
            Product p;
            p.code = padded(100000 + static_cast<long long>(products.size()) + 1, 6);
            p.name = std::string(base.name) + " " + std::string(kBrands[k]);
            checkWidth("product name", p.name, 50);
            p.barcode = base.weighed
                            ? "2" + padded(static_cast<long long>(products.size()), 6) + "000000"
                            : ean13(rng);
            p.weighed = base.weighed;
            p.price =
                cents(base.price * (0.8 + 0.4 * static_cast<double>(rng.below(1000)) / 1000.0));
            products.push_back(std::move(p));
        }
    }
    const int productCount = static_cast<int>(products.size()); // 640

    // Promotions: one national, regional ones by branch groups, one that ended
    // before the first day (never exported) and one that starts halfway.
    std::vector<Promotion> promotions;
    auto addPromotion = [&](std::string code, std::string description, long long from, long long to,
                            int count) {
        Promotion p{std::move(code), std::move(description), isoDay(from), isoDay(to), {}};
        std::vector<int> order(static_cast<size_t>(productCount));
        for (int i = 0; i < productCount; ++i)
            order[static_cast<size_t>(i)] = i;
        for (int i = 0; i < count; ++i) { // partial shuffle: `count` distinct products
            const auto j = static_cast<size_t>(i + rng.below(productCount - i));
            std::swap(order[static_cast<size_t>(i)], order[j]);
        }
        std::sort(order.begin(), order.begin() + count);
        for (int i = 0; i < count; ++i) {
            const Product& prod = products[static_cast<size_t>(order[static_cast<size_t>(i)])];
            PromoProduct pp;
            pp.product = order[static_cast<size_t>(i)];
            pp.price = cents(prod.price * (rng.chance(30) ? 0.9 : 1.0));
            pp.points = static_cast<double>(rng.between(2, 40)) / 2.0; // half points happen
            // Most products count for the whole promotion; some join it later.
            const long long start = rng.chance(80) ? from : from + rng.below(to - from + 1);
            pp.first = isoDay(start);
            pp.last = p.last;
            p.products.push_back(std::move(pp));
        }
        checkWidth("promotion code", p.code, 20);
        promotions.push_back(std::move(p));
    };
    const int regions = std::max(1, (o.branches + 7) / 8);
    addPromotion("DZ-NACIONAL", "Pontos em dobro Brasil", firstDay - 30, lastDay + 60, 250);
    for (int r = 0; r < regions; ++r)
        addPromotion("DZ-REG-" + padded(r + 1, 3), "Ofertas da região " + std::to_string(r + 1),
                     firstDay - 15, lastDay + 45, 250);
    addPromotion("DZ-VERAO", "Verão DOTZ (encerrada)", firstDay - 90, firstDay - 1, 40);
    const long long easterStart = firstDay + std::max(1, o.days / 2);
    addPromotion("DZ-PASCOA", "Páscoa premiada", easterStart, lastDay + 10, 30);
    const int national = 0, expired = regions + 1, easter = regions + 2;

    store.exec("BEGIN");
    {
        auto filial =
            store.bulkInsert("FILIAL", {"CDFILIAL", "NMFILIAL", "CDINTEGRADOTZ", "DSDIRARQDOTZ"});
        for (int b = 1; b <= o.branches; ++b) {
            const std::string code = branchCode(b);
            std::string name = "Loja " + std::string(kNeighbourhoods[static_cast<size_t>(
                                             (b - 1) % static_cast<int>(kNeighbourhoods.size()))]);
            if (b > static_cast<int>(kNeighbourhoods.size()))
                name +=
                    " " + std::to_string((b - 1) / static_cast<int>(kNeighbourhoods.size()) + 1);
            checkWidth("branch name", name, 30);
            const std::string partner = "PDZ" + padded(rng.between(10000000, 99999999), 8);
            const std::string folder = "C:\\DOTZ\\LOJA" + code + "\\";
            filial->row({code, name, partner, folder});
        }
        filial->finish();
        auto caixa = store.bulkInsert("CAIXA", {"CDFILIAL", "CDCAIXA"});
        for (int b = 1; b <= o.branches; ++b)
            for (int t = 1; t <= o.tills; ++t)
                caixa->row({branchCode(b), padded(t, 3)});
        caixa->finish();
        auto produto =
            store.bulkInsert("PRODUTO", {"CDPRODUTO", "NMPRODUTO", "CDBARPRODUTO", "VRPRECO"});
        for (const Product& p : products)
            produto->row({p.code, p.name, p.barcode, p.price});
        produto->finish();
        auto promo = store.bulkInsert("PROMOCAODOTZ",
                                      {"CDPROMOCAODOTZ", "DSPROMOCAODOTZ", "DTINIVIG", "DTFIMVIG"});
        for (const Promotion& p : promotions)
            promo->row({p.code, p.description, p.first, p.last});
        promo->finish();
        auto prodPromo =
            store.bulkInsert("PRODPROMODOTZ", {"CDPROMOCAODOTZ", "CDPRODUTO", "VRPRECITEM",
                                               "VRPONTOPROD", "DTINIVIGPROD", "DTFIMVIGPROD"});
        for (const Promotion& p : promotions)
            for (const PromoProduct& pp : p.products)
                prodPromo->row({p.code, products[static_cast<size_t>(pp.product)].code, pp.price,
                                pp.points, pp.first, pp.last});
        prodPromo->finish();
        auto promoFilial = store.bulkInsert("PROMOCAODOTZFILIAL", {"CDFILIAL", "CDPROMOCAODOTZ"});
        for (int b = 1; b <= o.branches; ++b) {
            const std::string code = branchCode(b);
            promoFilial->row({code, promotions[national].code});
            promoFilial->row({code, promotions[static_cast<size_t>(1 + (b - 1) % regions)].code});
            promoFilial->row({code, promotions[static_cast<size_t>(expired)].code});
            if (b % 2 == 1)
                promoFilial->row({code, promotions[static_cast<size_t>(easter)].code});
        }
        promoFilial->finish();
    }
    store.exec("COMMIT");
    summary.branches = o.branches;
    summary.products = productCount;

    // Receipt numbers run on per till from day to day.
    std::vector<long long> nextReceipt(static_cast<size_t>(o.branches * o.tills));
    for (long long& n : nextReceipt)
        n = rng.between(1000, 90000);

    std::vector<Item> items;
    for (long long day = firstDay; day <= lastDay; ++day) {
        const std::string dayText = isoDay(day);
        items.clear();
        store.exec("BEGIN");
        auto venda = store.bulkInsert("VENDA", {"DTVENDA", "CDFILIAL", "CDCAIXA", "NRCUPOMFIS",
                                                "HRVENDA", "CDOPERADOR", "VRTOTVENDA",
                                                "CDIDCLIENTEDOTZ", "NRDOTZ", "CDPROMOCAODOTZ"});
        for (int b = 1; b <= o.branches; ++b) {
            const std::string branch = branchCode(b);
            const long long branchSales =
                o.salesPerDay / o.branches + (b <= o.salesPerDay % o.branches ? 1 : 0);
            const int region = 1 + (b - 1) % regions;
            // The promotions of the branch that are in force today.
            std::vector<int> inForce = {national, region};
            if (b % 2 == 1 && promotions[static_cast<size_t>(easter)].first <= dayText)
                inForce.push_back(easter);
            for (int t = 1; t <= o.tills; ++t) {
                const std::string till = padded(t, 3);
                const long long tillSales =
                    branchSales / o.tills + (t <= branchSales % o.tills ? 1 : 0);
                const std::string_view operatorCode = kOperators[static_cast<size_t>(
                    (b * 7 + t) % static_cast<int>(kOperators.size()))];
                long long& receipt = nextReceipt[static_cast<size_t>((b - 1) * o.tills + t - 1)];
                // Opening hours 08:00 to 22:00, receipts in time order.
                const long long span = 14 * 3600;
                // One sale in eleven has no DOTZ customer.
                const long long others = tillSales / 10;
                const long long total = tillSales + others;
                long long othersDone = 0;
                for (long long s = 0; s < total; ++s) {
                    const bool dotz = !(s % 11 == 10 && othersDone < others);
                    othersDone += !dotz;
                    const long long second = 8 * 3600 + s * span / std::max(1LL, total) +
                                             rng.below(std::max(1LL, span / std::max(1LL, total)));
                    const std::string hour = padded(second / 3600, 2) + ":" +
                                             padded(second / 60 % 60, 2) + ":" +
                                             padded(second % 60, 2);
                    const long long number = receipt++;
                    const std::string numberText = padded(number, 6);
                    double saleTotal = cents(static_cast<double>(rng.between(350, 60000)) / 100.0);
                    if (!dotz) {
                        venda->row({dayText, branch, till, numberText, hour, operatorCode,
                                    saleTotal, nullptr, nullptr, nullptr});
                        ++summary.otherSales;
                        continue;
                    }
                    // Items with extra points: none, one or two per sale.
                    const long long roll = rng.below(4);
                    const int extras = roll == 0 ? 0 : roll == 3 ? 2 : 1;
                    for (int k = 0; k < extras; ++k) {
                        const int promo = inForce[static_cast<size_t>(
                            rng.below(static_cast<long long>(inForce.size())))];
                        const auto& list = promotions[static_cast<size_t>(promo)].products;
                        const PromoProduct& pp = list[static_cast<size_t>(
                            rng.below(static_cast<long long>(list.size())))];
                        const Product& prod = products[static_cast<size_t>(pp.product)];
                        const double qty =
                            prod.weighed ? static_cast<double>(rng.between(150, 3500)) / 1000.0
                                         : static_cast<double>(rng.between(1, 6));
                        const double itemTotal = cents(pp.price * qty);
                        saleTotal = cents(saleTotal + itemTotal);
                        items.push_back({b, t, number, k + 1, pp.product, promo, pp.price, qty,
                                         itemTotal, std::round(pp.points * qty * 100.0) / 100.0});
                    }
                    if (rng.chance(10)) { // an item without extra points
                        const Product& prod =
                            products[static_cast<size_t>(rng.below(productCount))];
                        items.push_back({b, t, number, extras + 1,
                                         static_cast<int>(&prod - products.data()), -1, prod.price,
                                         1.0, prod.price, -1.0});
                        saleTotal = cents(saleTotal + prod.price);
                    }
                    // One point per three reais, to a tenth of a point.
                    const double points = std::floor(saleTotal / 3.0 * 10.0) / 10.0;
                    const std::string customer = customerId(rng);
                    const int salePromo =
                        rng.chance(80) ? inForce[static_cast<size_t>(
                                             rng.below(static_cast<long long>(inForce.size())))]
                                       : -1;
                    venda->row({dayText, branch, till, numberText, hour, operatorCode, saleTotal,
                                customer, points,
                                salePromo < 0
                                    ? Field()
                                    : Field(promotions[static_cast<size_t>(salePromo)].code)});
                    ++summary.dotzSales;
                }
            }
        }
        venda->finish();
        venda.reset();
        auto item = store.bulkInsert(
            "ITEMVENDA", {"DTVENDA", "CDFILIAL", "CDCAIXA", "NRCUPOMFIS", "NRSEQITEM", "CDPRODUTO",
                          "VRUNITVEND", "QTPRODVEND", "VRTOTAL", "NRDOTZEXTRA", "CDPROMOCAODOTZ"});
        for (const Item& it : items) {
            const std::string number = padded(it.receipt, 6);
            item->row({dayText, branchCode(it.branch), padded(it.till, 3), number, it.seq,
                       products[static_cast<size_t>(it.product)].code, it.unit, it.quantity,
                       it.total, it.points < 0 ? Field() : Field(it.points),
                       it.promotion < 0
                           ? Field()
                           : Field(promotions[static_cast<size_t>(it.promotion)].code)});
            ++(it.points < 0 ? summary.plainItems : summary.extraItems);
        }
        item->finish();
        item.reset();
        store.exec("COMMIT");
        if (o.progress)
            o.progress(dayText + ": " + std::to_string(summary.dotzSales) + " DOTZ sales so far");
    }

    // Promotion products on the first day: national and regional ones per branch.
    summary.promotionProducts = static_cast<long long>(o.branches) * 500;
    return summary;
}

} // namespace dotz::appserver
