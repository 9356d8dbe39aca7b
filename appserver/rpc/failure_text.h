#pragma once
// How a failure is told: the operator reads a Portuguese text with the
// request's id; the log line under the same id holds the detail, since driver
// texts and the database's address are not for a client.
#include <cstdint>
#include <exception>
#include <string>

namespace dotz::appserver {

// What the operator reads when a call's reply cannot be made.
std::string operatorText(const std::exception& e, std::uint64_t id);
// Whether another server of the store may answer what `e` refused: its database
// is unavailable (down, or a standby that cancelled the query).
bool anotherServerMayAnswer(const std::exception& e);
// The spool budget is spent (503).
std::string busyText(std::uint64_t id);
// The address has its most calls in progress (429).
std::string tooManyCallsText(std::uint64_t id);
// What /metrics answers a peer on another machine without its token (401).
std::string metricsTokenText();

// The failure as the log line shows it. The store's errors never hold a
// password; the database argument `db` as given is replaced all the same,
// should a driver repeat it.
std::string logDetail(const std::exception& e, const std::string& db);

} // namespace dotz::appserver
