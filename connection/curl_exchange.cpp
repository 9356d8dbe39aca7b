#include "curl_exchange.h"

#include "rpc_reply.h"
#include "transport_text.h"

#include <algorithm>
#include <chrono>
#include <climits>

namespace dotz::curl {
namespace {
// What is kept of a reply other than 200: the server's few words, and no more.
constexpr size_t kRefusalBytes = 64 * 1024;
} // namespace
void initialiseOnce()
{
    // The first use sets libcurl up for the process, before any transfer starts.
    static const CURLcode ready = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)ready;
}

size_t onBody(char* data, size_t, size_t size, void* user)
{
    Exchange& x = *static_cast<Exchange*>(user);
    if (x.cancelled) {
        x.refused = kCancelled;
        return 0;
    }
    if (!x.started) {
        x.started = true;
        curl_easy_getinfo(x.easy, CURLINFO_RESPONSE_CODE, &x.status);
        const char* type = nullptr;
        curl_easy_getinfo(x.easy, CURLINFO_CONTENT_TYPE, &type);
        x.refusalPlain = type && std::string_view(type).starts_with("text/plain");
        curl_off_t length = -1;
        curl_easy_getinfo(x.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        if (x.status == 200 && length >= 0) {
            if (static_cast<std::uint64_t>(length) > x.maxReplyBytes) {
                x.refused = "a resposta anunciada, de " + std::to_string(length) +
                            " bytes, passa do limite de " + replyLimitText(x.maxReplyBytes);
                return 0;
            }
            x.expect(static_cast<std::uint64_t>(length));
        }
    }
    if (x.status != 200) {
        // A plain text is read as far as is kept; JSON to its end, its strings cut
        // as they come, so that a long message still reads as one.
        for (size_t i = 0; i < size && x.refusalBody.size() < kRefusalBytes; ++i)
            if (x.refusalPlain || x.refusalCut.keep(data[i]))
                x.refusalBody += data[i];
        x.refusalRead = x.refusalBody.size() >= kRefusalBytes;
        return x.refusalRead ? 0 : size;
    }
    if (size > x.maxReplyBytes - x.taken) {
        x.refused = replyTooLarge(x.maxReplyBytes);
        return 0;
    }
    x.taken += size;
    if (x.take(data, size))
        return size;
    x.refused = x.takeRefused();
    return 0;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return *static_cast<const std::atomic<bool>*>(user) ? 1 : 0;
}

Outcome perform(CURL* easy, Exchange& x, const char* error, const Limits& limits,
                const std::string& host, const std::string& caFile, const std::string& object)
{
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &x);
    // The whole exchange is timed, and its pace watched from the first byte sent.
    curl_easy_setopt(
        easy, CURLOPT_TIMEOUT_MS,
        static_cast<long>(std::clamp<long long>(limits.callTimeout.count(), 1, LONG_MAX)));
    const long window =
        static_cast<long>(std::max<long long>(1, (limits.window.count() + 999) / 1000));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT,
                     static_cast<long>(std::min<std::uint64_t>(limits.minRate, LONG_MAX)));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, limits.minRate == 0 ? 0L : window);
    const auto start = std::chrono::steady_clock::now();
    const CURLcode code = curl_easy_perform(easy);
    Outcome out;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &out.status);
    // A refusal's body that was cut where its reading stops is a whole refusal.
    if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && x.refusalRead)) {
        out.broken = true;
        if (x.cancelled)
            out.why = kCancelled;
        else if (!x.refused.empty())
            out.why = x.refused;
        else {
            long verify = 0;
            curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verify);
            // A kept-alive connection has no connect time: whether the request
            // went out tells.
            long connected = 0;
            curl_easy_getinfo(easy, CURLINFO_REQUEST_SIZE, &connected);
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start);
            out.why = transport::failure({static_cast<int>(code), verify, connected > 0, elapsed,
                                          limits.minRate, std::chrono::seconds(window),
                                          limits.callTimeout, host, caFile});
            out.detail = error[0] ? error : curl_easy_strerror(code);
            out.anotherMayAnswer = true;
        }
        return out;
    }
    if (out.status != 200) {
        // Busy, a server that failed inside, or a gateway in front without the
        // server behind it: another server of the store may not meet it.
        out.anotherMayAnswer =
            out.status == 429 || out.status == 500 || (out.status >= 502 && out.status <= 504);
        const char* type = nullptr;
        curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &type);
        curl_off_t retryAfter = 0;
        curl_easy_getinfo(easy, CURLINFO_RETRY_AFTER, &retryAfter);
        out.why = transport::statusFailure(out.status, object,
                                           transport::serverWords(x.refusalBody, type ? type : ""),
                                           retryAfter > 0 ? retryAfter : -1);
    }
    return out;
}

} // namespace dotz::curl
