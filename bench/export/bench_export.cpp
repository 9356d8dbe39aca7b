// Load and write figures for one generated day: see bench/README.md.
//   bench_export gen DIR        writes DIR/{dados,extra,config}.json
//   bench_export load DIR       loads the three packets: MB/s, rows/s, peak memory
//   bench_export ratio DIR [PAIRS]  loading the three packets into fresh tables against
//                               simdjson On-Demand walking every value of the same bytes
//   bench_export write DIR OUT  loads, then writes the day's DOTZ files under OUT
//   bench_export daycost DAYS [PAIRS]  DAYS small days against one day of the same rows,
//                               through runExport into memory: the core's share of a day's cost
//   bench_export period OUT DAYS  runs DAYS days of a small store (3 branches, 9
//                                 files a day) from packets to files: a day's fixed cost
#include "base/error.h"
#include "export/run.h"
#include "tests/support/loaded_day.h"
#include "tests/support/packet_json.h"

#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <sys/resource.h>
#include <time.h>

using namespace dotz;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kBranches = 200;
constexpr int kSales = 1'000'000;
constexpr int kItems = 1'000'000;
constexpr int kProducts = 100'000;

std::string code(int n, int width)
{
    std::string s = std::to_string(n);
    return std::string(static_cast<size_t>(width) -
                           std::min<size_t>(s.size(), static_cast<size_t>(width)),
                       '0') +
           s;
}

void gen(const std::string& dir)
{
    std::mt19937 rng(42);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto money = [&](int cents) {
        char b[32];
        std::snprintf(b, sizeof b, "%d.%02d", cents / 100, cents % 100);
        return std::string(b);
    };
    auto folder = [](int b) { return "\"C:\\\\DOTZ\\\\LOJA" + code(b, 4) + "\\\\\""; };
    {
        std::ofstream out(dir + "/dados.json", std::ios::binary);
        out << "{\"columns\":" << testing::columnsJson(makeCdsDadosDotz()) << ",\"rows\":[";
        for (int i = 0; i < kSales; ++i) {
            const int b = i / (kSales / kBranches) + 1;
            out << (i ? "," : "") << "[\"" << code(b, 4) << "\",\"" << code(pick(1, 20), 3)
                << "\",\"" << code(i, 10) << "\",\"" << code(pick(0, 99999999), 8)
                << code(pick(0, 99999999), 8) << "\",\"OPER" << pick(1, 99)
                << "\",\"2024-03-15\",\"" << code(pick(8, 21), 2) << ":" << code(pick(0, 59), 2)
                << ":" << code(pick(0, 59), 2) << "\"," << money(pick(100, 99999)) << ",\"PROMO"
                << pick(1, 9) << "\",\"" << 4000 + b << "\"," << folder(b) << "," << pick(0, 300)
                << "]";
        }
        out << "]}";
    }
    {
        std::ofstream out(dir + "/extra.json", std::ios::binary);
        out << "{\"columns\":" << testing::columnsJson(makeCdsDotzExtra()) << ",\"rows\":[";
        for (int i = 0; i < kItems; ++i) {
            const int b = i / (kItems / kBranches) + 1;
            const int price = pick(99, 9999);
            out << (i ? "," : "") << "[\"" << code(b, 4) << "\",\"" << code(pick(1, 20), 3)
                << "\",\"" << code(i, 10) << "\",\"" << code(pick(0, 99999999), 8)
                << code(pick(0, 99999999), 8) << "\",\"" << code(pick(1, 999999), 10) << "\","
                << money(price) << ",2.5," << money(price * 5 / 2) << ",\"789"
                << code(pick(0, 999999999), 10) << "\",\"PROMO1\",\"" << 4000 + b << "\","
                << folder(b) << "," << pick(1, 50) << "]";
        }
        out << "]}";
    }
    {
        std::ofstream out(dir + "/config.json", std::ios::binary);
        out << "{\"columns\":" << testing::columnsJson(makeCdsConfigDotz()) << ",\"rows\":[";
        for (int i = 0; i < kProducts; ++i) {
            const int b = i / (kProducts / kBranches) + 1;
            out << (i ? "," : "") << "[\"" << code(b, 4) << "\",\"" << code(pick(1, 999999), 10)
                << "\"," << money(pick(99, 9999))
                << ",\"CAF\\u00c9 TORRADO E MO\\u00cdDO 500G\",\"789"
                << code(pick(0, 999999999), 10) << "\",\"PROMO1\",\"2024-03-01\",\"2024-03-31\","
                << pick(1, 20) << ",\"" << 4000 + b << "\"," << folder(b) << "]";
        }
        out << "]}";
    }
}

Packet readPacket(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const auto size = static_cast<size_t>(in.tellg());
    std::string text;
    text.reserve(size + Packet::kPadding);
    text.resize(size);
    in.seekg(0);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    return Packet::fromJson(std::move(text));
}

long peakKb()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

double seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// The process's CPU time (user and system): steadier than the wall clock when
// other work shares the machine.
double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void load(const std::string& dir, ExportTables& t, bool report)
{
    const Packet dados = readPacket(dir + "/dados.json");
    const Packet extra = readPacket(dir + "/extra.json");
    const Packet config = readPacket(dir + "/config.json");
    const double mb =
        static_cast<double>(dados.json().size() + extra.json().size() + config.json().size()) / 1e6;
    const long before = peakKb();
    const auto start = Clock::now();
    t.cdsDadosDotz.loadPacket(dados);
    t.cdsDotzExtra.loadPacket(extra);
    t.cdsConfigDotz.loadPacket(config);
    const double s = seconds(start);
    if (!report)
        return;
    const double rows = static_cast<double>(t.cdsDadosDotz.rowCount() + t.cdsDotzExtra.rowCount() +
                                            t.cdsConfigDotz.rowCount());
    std::printf("load: %.1f MB of packet JSON, %.0f rows in %.3f s: %.0f MB/s, %.2f M rows/s\n", mb,
                rows, s, mb / s, rows / s / 1e6);
    for (const Table* table : {&t.cdsDadosDotz, &t.cdsDotzExtra, &t.cdsConfigDotz})
        std::printf("load: %s holds %.1f MB (%.1f bytes a row)\n", table->name().c_str(),
                    static_cast<double>(table->memoryUsed()) / 1e6,
                    static_cast<double>(table->memoryUsed()) /
                        static_cast<double>(table->rowCount()));
    std::printf("load: peak memory %.1f MB (%.2f x the JSON; %.1f MB before loading)\n",
                static_cast<double>(peakKb()) / 1e3, static_cast<double>(peakKb()) / 1e3 / mb,
                static_cast<double>(before) / 1e3);
}

// Every value visited, as a reader of the packet would have to.
size_t walk(simdjson::ondemand::value value)
{
    size_t n = 0;
    switch (value.type()) {
    case simdjson::ondemand::json_type::array:
        for (auto item : value.get_array())
            n += walk(item.value());
        return n;
    case simdjson::ondemand::json_type::object:
        for (auto field : value.get_object()) {
            (void)field.unescaped_key().value();
            n += walk(field.value());
        }
        return n;
    case simdjson::ondemand::json_type::string:
        (void)value.get_string().value();
        break;
    case simdjson::ondemand::json_type::number:
        (void)value.get_double().value();
        break;
    case simdjson::ondemand::json_type::boolean:
        (void)value.get_bool().value();
        break;
    case simdjson::ondemand::json_type::null:
        (void)value.is_null().value();
        break;
    }
    return 1;
}

void printSpread(const char* what, std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    std::printf("%s: min %.3f median %.3f max %.3f (%zu pairs)\n", what, v.front(),
                n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2, v.back(), n);
}

// Pairs interleaved; each side builds and frees what it needs (tables or parser).
void ratio(const std::string& dir, int pairs)
{
    const Packet packets[] = {readPacket(dir + "/dados.json"), readPacket(dir + "/extra.json"),
                              readPacket(dir + "/config.json")};
    double mb = 0;
    for (const Packet& p : packets)
        mb += static_cast<double>(p.json().size()) / 1e6;
    std::vector<double> ratios, cpuRatios;
    for (int i = 0; i < pairs; ++i) {
        auto start = Clock::now();
        double cpu = cpuSeconds();
        {
            ExportTables t;
            t.cdsDadosDotz.loadPacket(packets[0]);
            t.cdsDotzExtra.loadPacket(packets[1]);
            t.cdsConfigDotz.loadPacket(packets[2]);
        }
        const double ours = seconds(start), oursCpu = cpuSeconds() - cpu;
        start = Clock::now();
        cpu = cpuSeconds();
        size_t values = 0;
        for (const Packet& p : packets) {
            simdjson::ondemand::parser parser;
            auto doc = parser.iterate(p.json().data(), p.json().size(), p.readable());
            values += walk(doc.get_value().value());
        }
        const double simd = seconds(start), simdCpu = cpuSeconds() - cpu;
        ratios.push_back(simd / ours);
        cpuRatios.push_back(simdCpu / oursCpu);
        std::printf("ratio: %.1f MB: load %.3f s (CPU %.3f s, %.0f MB/s), simdjson walk %.3f s "
                    "(CPU %.3f s, "
                    "%.0f MB/s, %zu values): %.3f\n",
                    mb, ours, oursCpu, mb / ours, simd, simdCpu, mb / simd, values, simd / ours);
    }
    printSpread("ratio: loading MB/s / simdjson walk MB/s, wall", ratios);
    printSpread("ratio: the same in CPU time", cpuRatios);
}

// A small store's day: 3 branches, each with 130 sales, 130 items and 30 products
// (`times` as many of each for one day that holds a period's rows).
DayPackets smallDay(Day day, int times = 1)
{
    ExportTables t;
    for (int b = 1; b <= 3; ++b) {
        const std::string branch = code(b, 4), folder = "C:\\DOTZ\\LOJA" + code(b, 4) + "\\";
        for (int i = 0; i < 130 * times; ++i) {
            const std::string n = code(b * 1000 + i, 10);
            t.cdsDadosDotz.appendRow({branch, "001", n, "1234567890123456", "OPER1", day.iso(),
                                      "10:00:00", 12.5, "PROMO1", "4321", folder, 3});
            t.cdsDotzExtra.appendRow({branch, "001", n, "1234567890123456", "0000004711", 9.9, 2,
                                      19.8, "7891234567895", "PROMO1", "4321", folder, 5});
        }
        for (int i = 0; i < 30 * times; ++i)
            t.cdsConfigDotz.appendRow({branch, code(i, 10), 12.9, "CAFE 500G", "7891234567895",
                                       "PROMO1", "2024-01-01", "2024-12-31", 10, "4321", folder});
    }
    return {testing::packetOf(t.cdsCaixa), testing::packetOf(t.cdsDadosDotz),
            testing::packetOf(t.cdsDotzExtra), testing::packetOf(t.cdsConfigDotz)};
}

// Files kept in memory, as a disk that never waits would: the core's own cost.
struct MemoryFileSystem : FileSystem
{
    std::map<std::string, std::string> files;
    bool isDirectory(const std::string&) override { return true; }
    void createDirectory(const std::string&) override {}
    void replaceFile(const std::string& path, std::string_view data) override
    {
        files[path] = data;
    }
    void syncDirectory(const std::string&) override {}
};

// A period of `days` small days against one day that holds the same rows, both
// through runExport into memory; pairs interleaved.
void dayCost(int days, int pairs)
{
    const Day first = *Day::fromYmd(2024, 1, 1);
    std::vector<DayPackets> period;
    for (Day day = first; period.size() < static_cast<size_t>(days); day = day.next())
        period.push_back(smallDay(day));
    const DayPackets whole = smallDay(first, days);
    PathMap paths;
    paths.set("C", "/dotz");
    struct Quiet : RunObserver
    {
        void showBusy(int) override {}
        void hideBusy() override {}
    } quiet;
    auto run = [&](int n, const FetchDay& fetch) {
        MemoryFileSystem fs;
        const auto start = Clock::now();
        const double cpu = cpuSeconds();
        runExport({"T", first, Day::fromSerial(first.serial() + n - 1), true}, fetch, paths, fs,
                  quiet);
        return std::pair(seconds(start), cpuSeconds() - cpu);
    };
    std::vector<double> ratios, cpuRatios;
    for (int i = 0; i < pairs; ++i) {
        const auto [year, yearCpu] =
            run(days, [&](const std::string&, Day day, const EarlyPacket&) {
                return period[static_cast<size_t>(day.serial() - first.serial())];
            });
        const auto [one, oneCpu] =
            run(1, [&](const std::string&, Day, const EarlyPacket&) { return whole; });
        ratios.push_back(year / one);
        cpuRatios.push_back(yearCpu / oneCpu);
        std::printf(
            "daycost: %d days %.3f s (CPU %.3f s, %.3f ms a day), one day of the same rows %.3f s "
            "(CPU %.3f s): %.2f\n",
            days, year, yearCpu, year * 1e3 / days, one, oneCpu, year / one);
    }
    printSpread("daycost: period / one day, wall", ratios);
    printSpread("daycost: the same in CPU time", cpuRatios);
}

} // namespace

int main(int argc, char** argv)
{
    try {
        const std::string mode = argc > 2 ? argv[1] : "";
        if (mode == "gen") {
            gen(argv[2]);
        } else if (mode == "load") {
            ExportTables t;
            load(argv[2], t, true);
        } else if (mode == "daycost") {
            dayCost(std::max(1, std::atoi(argv[2])),
                    argc > 3 ? std::max(1, std::atoi(argv[3])) : 5);
        } else if (mode == "ratio") {
            ratio(argv[2], argc > 3 ? std::max(1, std::atoi(argv[3])) : 5);
        } else if ((mode == "write" || mode == "format") && argc > 3) {
            ExportTables t;
            load(argv[2], t, false);
            PathMap paths;
            paths.set("C", argv[3]);
            // "format" builds every line but keeps nothing: the writer's own share.
            struct Discard : FileSystem
            {
                bool isDirectory(const std::string&) override { return true; }
                void createDirectory(const std::string&) override {}
                void replaceFile(const std::string&, std::string_view) override {}
                void syncDirectory(const std::string&) override {}
            } discard;
            PosixFileSystem posix;
            FileSystem& fs = mode == "format" ? static_cast<FileSystem&>(discard) : posix;
            for (int b = 1; b <= kBranches; ++b)
                std::filesystem::create_directories(std::string(argv[3]) + "/DOTZ/LOJA" +
                                                    code(b, 4));
            LineList lines;
            if (mode == "format") // warm: the first pass pays for first-touch pages
                for (int i = std::getenv("REPEAT") ? std::atoi(std::getenv("REPEAT")) : 1; i > 0;
                     --i)
                    writeLoadedDay(t, *Day::fromYmd(2024, 3, 15), true, lines, paths, fs);
            const auto start = Clock::now();
            const DayResult r =
                writeLoadedDay(t, *Day::fromYmd(2024, 3, 15), true, lines, paths, fs);
            const double s = seconds(start);
            size_t bytes = 0;
            for (const WrittenFile& f : r.files)
                bytes += f.bytes;
            std::printf("%s: %zu files, %.1f MB in %.3f s: %.0f MB/s\n", mode.c_str(),
                        r.files.size(), static_cast<double>(bytes) / 1e6, s,
                        static_cast<double>(bytes) / 1e6 / s);
        } else if (mode == "period" && argc > 3) {
            const std::string out = argv[2];
            int days = std::atoi(argv[3]);
            for (int b = 1; b <= 3; ++b)
                std::filesystem::create_directories(out + "/DOTZ/LOJA" + code(b, 4));
            PathMap paths;
            paths.set("C", out);
            // The packets are made before the clock starts: the run's own cost only.
            std::vector<DayPackets> packets;
            const Day first = *Day::fromYmd(2024, 1, 1);
            for (Day day = first; packets.size() < static_cast<size_t>(days); day = day.next())
                packets.push_back(smallDay(day));
            struct Quiet : RunObserver
            {
                void showBusy(int) override {}
                void hideBusy() override {}
            } quiet;
            PosixFileSystem fs;
            const auto start = Clock::now();
            const RunSummary r = runExport(
                {"T", first, Day::fromSerial(first.serial() + days - 1), true},
                [&](const std::string&, Day day, const EarlyPacket&) {
                    return packets[static_cast<size_t>(day.serial() - first.serial())];
                },
                paths, fs, quiet);
            const double s = seconds(start);
            std::printf("period: %d days, %zu files in %.3f s: %.2f ms a day\n", days,
                        r.files.size(), s, s * 1e3 / days);
        } else {
            std::cerr << "usage: bench_export gen DIR | load DIR | ratio DIR [PAIRS] | daycost "
                         "DAYS [PAIRS] | write DIR OUT | period OUT DAYS\n";
            return 2;
        }
    } catch (const std::exception& e) {
        std::cerr << "bench_export: " << e.what() << "\n";
        return 1;
    }
}
