#pragma once
// One libcurl exchange of the server connection: its limits, the callbacks that
// take the reply, and what it met, in the operator's words.
#include "server_text.h"

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace dotz::curl {

inline constexpr const char* kCancelled = "a chamada foi interrompida a pedido";
// Large pieces: a day's reply is hundreds of MB, and each piece costs a call.
inline constexpr long kReceiveBuffer = 512 * 1024;
// A server that takes longer to accept is down or unreachable.
inline constexpr long kConnectTimeoutMs = 5000;

void initialiseOnce();

// One request as its callbacks see it.
struct Exchange
{
    using Expect = std::function<void(std::uint64_t)>;
    using Take = std::function<bool(const char*, size_t)>;
    using Refused = std::function<std::string()>;
    Exchange(CURL* e, const std::atomic<bool>& stop, std::uint64_t max, Expect ex, Take t,
             Refused r)
        : easy(e), cancelled(stop), maxReplyBytes(max), expect(std::move(ex)), take(std::move(t)),
          takeRefused(std::move(r))
    {
    }
    CURL* easy;
    const std::atomic<bool>& cancelled;
    std::uint64_t maxReplyBytes;
    Expect expect;
    Take take;
    Refused takeRefused;
    bool started = false;
    long status = 0;
    std::uint64_t taken = 0;
    std::string refused;       // why a callback stopped the transfer
    std::string refusalBody;   // a reply other than 200, as much as is kept of it
    bool refusalPlain = false; // a plain text, which is kept as it came
    server_text::StringCut refusalCut;
    bool refusalRead = false; // as much of it as is read
};

size_t onBody(char* data, size_t, size_t size, void* user);
int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

// What a finished exchange met: nothing when it brought a whole 200 reply.
struct Outcome
{
    long status = 0;
    std::string why;     // for the operator, in Portuguese
    std::string detail;  // the library's own words
    bool broken = false; // the exchange did not end as HTTP says
    bool anotherMayAnswer = false;
};

// The call's limits: its whole time, and the least rate over a window.
struct Limits
{
    std::uint64_t minRate;
    std::chrono::milliseconds window;
    std::chrono::milliseconds callTimeout;
};

Outcome perform(CURL* easy, Exchange& x, const char* error, const Limits& limits,
                const std::string& host, const std::string& caFile, const std::string& object);

} // namespace dotz::curl
