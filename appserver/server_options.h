#pragma once
// What the server is told at its start: where it listens, who may call it, and
// the bounds it keeps against slow or hostile peers. Shared by the rooms that
// each read their part of it.
#include "base/wire_contract.h"

#include <chrono>
#include <cstddef>
#include <ostream>
#include <string>

namespace dotz::appserver {

struct ServerOptions
{
    std::string db; // SQLite file path or postgresql:// URI
    std::string listen = "127.0.0.1";
    int port = wire::kDefaultPort; // 0: any free port (see AppServer::port)
    std::string token;             // when set, every request needs "Authorization: Bearer <token>"
    // GET /metrics from another machine needs this token (or the one above).
    std::string metricsToken;
    // Both set: HTTPS only (TLS 1.2 or newer), with this PEM certificate chain and key.
    std::string tlsCert;
    std::string tlsKey;
    size_t maxBody = 64 * 1024;
    // A reply is held back until it reaches this size: a failure before that is
    // answered with ok:false; after it, only by breaking the connection off.
    size_t holdBack = 4 * 1024 * 1024;
    // A peer that breaks these is disconnected: they bound what a slow or idle
    // peer can hold.
    std::chrono::milliseconds requestTimeout{30'000}; // a whole request, headers and body
    std::chrono::milliseconds writeTimeout{60'000};   // a reply held whole, and a reply's head
    std::chrono::milliseconds idleTimeout{60'000};    // a kept-alive connection between requests
    // A reply that the peer reads slower than this on average over a window is
    // cut off; its spool is freed.
    size_t minSendRate = 8 * 1024; // bytes a second
    std::chrono::milliseconds sendRateWindow{30'000};
    int maxConnectionsPerAddress = 256;
    int maxCallsPerAddress = 4; // calls in progress, replies being sent included; 429 past it
    // Replies wait for their peers in a spool: memory up to spoolMemory each,
    // then a file under spoolDir; maxSpool bounds them all (503 past it).
    std::string spoolDir; // empty: the system's temporary folder
    size_t spoolMemory = 1024 * 1024;
    size_t maxSpool = size_t{2} << 30;
    std::chrono::seconds retryAfter{5}; // what a 429 or 503 tells the client to wait
    std::chrono::milliseconds healthDeadline{1'000};
    // SO_SNDBUF of each connection; 0 leaves it to the kernel's tuning (which
    // may hold a few MB of a reply beyond the spool).
    int sendBuffer = 0;
    int ioThreads = 2; // the network, all connections
    // Calls in progress at once, each with a database connection and two
    // threads; of them, readers (0: one per core) read at a time, least served
    // first, so that a small call need not wait for the big ones before it.
    int callsAtOnce = 64;
    int readers = 0;
    std::ostream* log = nullptr; // one line per request; none when null
};

} // namespace dotz::appserver
