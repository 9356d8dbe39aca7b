#pragma once
// What the operator reads when the transport fails: each libcurl result, TLS
// verification result and HTTP status put in Portuguese words. The library's own
// text never goes here; it travels as an error's detail.
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace dotz::transport {

// "1 h", "2 min", "1,5 s"
std::string durationText(std::chrono::milliseconds d);
// "8 KiB/s" or "1000 bytes/s"
std::string rateText(std::uint64_t bytesPerSecond);

// Why the certificate was refused, from OpenSSL's verification result.
std::string certificateRefusal(long verifyResult);

// What a transfer that libcurl ended with `code` (a CURLcode) met.
struct Failure
{
    int code;
    long verifyResult;                 // OpenSSL's, for a refused certificate
    bool connected;                    // whether the connection was made
    std::chrono::milliseconds elapsed; // since the exchange started
    std::uint64_t minRate;             // the call's limits
    std::chrono::milliseconds window;
    std::chrono::milliseconds callTimeout;
    const std::string& host;
    const std::string& caFile;
};
std::string failure(const Failure& f);

// What an HTTP status other than 200 means for the call. `serverText` is the
// server's own words from the reply's body (see serverWords), and `retryAfter`
// its Retry-After in seconds (negative: none).
std::string statusFailure(long status, const std::string& object, const std::string& serverText,
                          long long retryAfter);

// What a JSON-RPC error with this code, in reply to a call of `method`, means
// for the call. The server's own message is for --verbose: it says it in English.
std::string rpcFailure(long long code, std::string_view method);

// The server's own words in the body of a refusal: the message of a result
// envelope ({"ok":false,"message":M}, alone or as a JSON-RPC result), or a short
// plain text, as server_text::shown gives it. Empty when the body holds neither.
std::string serverWords(std::string_view body, std::string_view contentType);

} // namespace dotz::transport
