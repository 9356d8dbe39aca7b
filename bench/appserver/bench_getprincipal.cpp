// One GetPrincipal end to end, as the module does it: call, check the envelope,
// load the four packets into the export tables. Prints time, bytes and peak memory.
#include "connection/principal_reply.h"
#include "connection/server_connection.h"

#include "base/wire_contract.h"
#include "tests/support/export_tables.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>

using namespace dotz;

namespace {

double seconds(std::chrono::steady_clock::time_point from)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s PORT DAY SELECTOR [REPEAT]\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const auto day = Day::parse(argv[2]);
    const std::string selector = argv[3];
    const int repeat = argc > 4 ? std::atoi(argv[4]) : 1;
    if (!day) {
        std::fprintf(stderr, "not a day: %s\n", argv[2]);
        return 2;
    }
    try {
        ServerConnection connection;
        connection.setServerName(std::string(wire::kObjectName));
        connection.setPort(port);
        connection.open();
        for (int i = 0; i < repeat; ++i) {
            ExportTables tables;
            const auto start = std::chrono::steady_clock::now();
            const Variant reply = connection.call("GetPrincipal", {selector, *day});
            const double called = seconds(start);
            const Variant data = CheckServerResult(reply, true, 0, nullptr);
            const Variant::Array& slots = data.asArray();
            size_t bytes = 0;
            for (const Variant& s : slots)
                bytes += s.asPacket().json().size();
            tables.cdsCaixa.loadPacket(slots.at(0).asPacket());
            tables.cdsDadosDotz.loadPacket(slots.at(1).asPacket());
            tables.cdsDotzExtra.loadPacket(slots.at(2).asPacket());
            tables.cdsConfigDotz.loadPacket(slots.at(3).asPacket());
            const double total = seconds(start);
            rusage usage{};
            getrusage(RUSAGE_SELF, &usage);
            std::printf("run %d: %.3f s end to end (call %.3f s, check+load %.3f s), %.1f MB of "
                        "packets, rows %zu/%zu/%zu/%zu, client peak RSS %.0f MB\n",
                        i + 1, total, called, total - called, bytes / 1e6,
                        tables.cdsCaixa.rowCount(), tables.cdsDadosDotz.rowCount(),
                        tables.cdsDotzExtra.rowCount(), tables.cdsConfigDotz.rowCount(),
                        usage.ru_maxrss / 1024.0);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_getprincipal: %s\n", e.what());
        return 1;
    }
    return 0;
}
