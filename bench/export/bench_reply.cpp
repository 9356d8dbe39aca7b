// Reading a saved GetPrincipal reply the way a call does (cut into packets as it
// arrives in pieces of a socket read, each packet loaded into its table, then
// the envelope) against simdjson On-Demand merely walking every value of the same
// bytes: the ratio says how close the client's reading comes to the decoder's
// own speed. Both on one thread: the call loads on a second one while the reply
// arrives, which this leaves out. Usage: bench_reply REPLY_FILE [PAIRS]
#include "connection/principal_reply.h"
#include "connection/reply_stream.h"
#include "export/run.h"
#include "tests/support/export_tables.h"

#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// Every value visited, as a reader of the reply would have to.
size_t walk(simdjson::ondemand::value value)
{
    switch (value.type()) {
    case simdjson::ondemand::json_type::array: {
        size_t n = 0;
        for (auto item : value.get_array())
            n += walk(item.value());
        return n;
    }
    case simdjson::ondemand::json_type::object: {
        size_t n = 0;
        for (auto field : value.get_object()) {
            (void)field.unescaped_key().value();
            n += walk(field.value());
        }
        return n;
    }
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

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_reply REPLY_FILE [PAIRS]\n");
        return 2;
    }
    const int pairs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    std::string body(std::filesystem::file_size(argv[1]), '\0');
    std::ifstream(argv[1], std::ios::binary)
        .read(body.data(), static_cast<std::streamsize>(body.size()));
    const double mb = static_cast<double>(body.size()) / 1e6;

    std::vector<double> ratios;
    for (int i = 0; i < pairs; ++i) {
        auto start = Clock::now();
        {
            dotz::ExportTables t;
            dotz::Table* slots[] = {&t.cdsCaixa, &t.cdsDadosDotz, &t.cdsDotzExtra,
                                    &t.cdsConfigDotz};
            dotz::ReplyStream stream(
                [&slots](size_t slot, dotz::Packet p) { slots[slot]->loadPacket(p); }, 4);
            constexpr size_t kPiece = 4096; // what the HTTP client reads at a time
            for (size_t at = 0; at < body.size(); at += kPiece)
                stream.feed(body.data() + at, std::min(kPiece, body.size() - at));
            dotz::Day day = *dotz::Day::fromYmd(2024, 3, 15);
            dotz::dayPackets(dotz::CheckServerResult(stream.finish(1, "bench"), true, 0, nullptr),
                             day);
        }
        const double ours = seconds(start);

        start = Clock::now();
        size_t values = 0;
        {
            simdjson::padded_string padded(body);
            simdjson::ondemand::parser parser;
            auto doc = parser.iterate(padded);
            values = walk(doc.get_value().value());
        }
        const double simd = seconds(start);
        ratios.push_back(simd / ours);
        std::printf(
            "   reply %.1f MB: client %.3f s (%.0f MB/s), simdjson walk %.3f s (%.0f MB/s, %zu "
            "values): %.3f\n",
            mb, ours, mb / ours, simd, mb / simd, values, simd / ours);
    }
    std::sort(ratios.begin(), ratios.end());
    const size_t n = ratios.size();
    const double median = n % 2 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
    std::printf("%-58s min %.3f  median %.3f  max %.3f  (target >= 0.9, %zu pairs)\n",
                "reading + loading MB/s ÷ simdjson walk MB/s", ratios.front(), median,
                ratios.back(), n);
}
