#include "curl_exchange.h"

#include "rpc_reply.h"
#include "transport_text.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>

namespace dotz::curl {
namespace {

// What is kept of a reply other than 200: the server's few words, and no more.
constexpr size_t kRefusalBytes = 64 * 1024;

// One request as its callbacks see it.
struct Exchange
{
    Exchange(CURL* e, const std::atomic<bool>& stop, std::uint64_t max, const Receiver& r)
        : easy(e), cancelled(stop), maxReplyBytes(max), expect(r.expect), take(r.take),
          takeRefused(r.refused)
    {
    }
    CURL* easy;
    const std::atomic<bool>& cancelled;
    std::uint64_t maxReplyBytes;
    const std::function<void(std::uint64_t)>& expect;
    const std::function<bool(const char*, size_t)>& take;
    const std::function<std::string()>& takeRefused;
    bool started = false;
    long status = 0;
    std::uint64_t taken = 0;
    std::string refused;       // why a callback stopped the transfer
    std::string refusalBody;   // a reply other than 200, as much as is kept of it
    bool refusalPlain = false; // a plain text, which is kept as it came
    server_text::StringCut refusalCut;
    bool refusalRead = false; // as much of it as is read
};

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

// Runs the exchange set up on `easy`.
Outcome perform(CURL* easy, Exchange& x, const char* error, const Limits& limits,
                const Target& target)
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
                                          limits.callTimeout, target.host, target.caFile});
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
        out.why = transport::statusFailure(out.status, target.object,
                                           transport::serverWords(x.refusalBody, type ? type : ""),
                                           retryAfter > 0 ? retryAfter : -1);
    }
    return out;
}

} // namespace

void initialiseOnce()
{
    // The first use sets libcurl up for the process, before any transfer starts.
    static const CURLcode ready = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)ready;
}

struct Handle::Impl
{
    Impl(const std::atomic<bool>& stop, Sockets s) : cancelled(stop), sockets(std::move(s)) {}
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
    ~Impl()
    {
        curl_easy_cleanup(easy);
        curl_slist_free_all(getHeaders);
        curl_slist_free_all(postHeaders);
    }

    const std::atomic<bool>& cancelled;
    Sockets sockets;
    Target target;
    CURL* easy = curl_easy_init();
    curl_slist* getHeaders = nullptr;
    curl_slist* postHeaders = nullptr;
    char error[CURL_ERROR_SIZE] = {};
};

Handle::Handle(const std::atomic<bool>& cancelled, Sockets sockets)
    : impl_(std::make_unique<Impl>(cancelled, std::move(sockets)))
{
}

Handle::~Handle() = default;

Handle::Setup Handle::setUp(Target target)
{
    Impl& h = *impl_;
    h.target = std::move(target);
    const Target& to = h.target;
    CURL* easy = h.easy;
    if (!easy)
        return Setup::NoMemory;
    CURLU* url = curl_url();
    const std::string host = to.host.find(':') != std::string::npos && !to.host.starts_with('[')
                                 ? "[" + to.host + "]"
                                 : to.host;
    const bool parsed =
        url && curl_url_set(url, CURLUPART_SCHEME, to.tls ? "https" : "http", 0) == CURLUE_OK &&
        curl_url_set(url, CURLUPART_HOST, host.c_str(), 0) == CURLUE_OK &&
        curl_url_set(url, CURLUPART_PORT, std::to_string(to.port).c_str(), 0) == CURLUE_OK &&
        curl_url_set(url, CURLUPART_PATH, to.path.c_str(), CURLU_URLENCODE) == CURLUE_OK;
    char* text = nullptr;
    if (parsed && curl_url_get(url, CURLUPART_URL, &text, 0) == CURLUE_OK) {
        curl_easy_setopt(easy, CURLOPT_URL, text);
        curl_free(text);
    }
    curl_url_cleanup(url);
    if (!parsed)
        return Setup::BadHost;

    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, h.error);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBuffer);
    // Without it every call after the first on a kept-alive connection waits for
    // the peer's delayed acknowledgement.
    curl_easy_setopt(easy, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &h.cancelled);
    curl_easy_setopt(
        easy, CURLOPT_OPENSOCKETFUNCTION,
        +[](void* impl, curlsocktype, curl_sockaddr* a) -> curl_socket_t {
            return static_cast<Impl*>(impl)->sockets.open(a->family, a->socktype, a->protocol);
        });
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, &h);
    curl_easy_setopt(
        easy, CURLOPT_CLOSESOCKETFUNCTION, +[](void* impl, curl_socket_t s) {
            static_cast<Impl*>(impl)->sockets.close(s);
            return 0;
        });
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, &h);
    if (to.tls) {
        curl_easy_setopt(easy, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!to.caFile.empty())
            curl_easy_setopt(easy, CURLOPT_CAINFO, to.caFile.c_str());
    } else if (!std::getenv("http_proxy") && std::getenv("HTTP_PROXY")) {
        // libcurl reads only the lower-case name for plain HTTP; a store's
        // machine may have set the other.
        curl_easy_setopt(easy, CURLOPT_PROXY, std::getenv("HTTP_PROXY"));
    }
    const auto headers = [&to](std::initializer_list<const char*> lines) {
        curl_slist* list = nullptr;
        for (const char* line : lines)
            list = curl_slist_append(list, line);
        if (!to.token.empty())
            list = curl_slist_append(list, ("Authorization: Bearer " + to.token).c_str());
        return list;
    };
    h.getHeaders = headers({"Accept: application/json"});
    // "Expect:" keeps a larger request from waiting for a 100 Continue.
    h.postHeaders =
        headers({"Accept: application/json", "Content-Type: application/json", "Expect:"});
    return Setup::Ready;
}

Outcome Handle::get(const Receiver& receive, const Limits& limits)
{
    Impl& h = *impl_;
    Exchange x{h.easy, h.cancelled, limits.maxReplyBytes, receive};
    curl_easy_setopt(h.easy, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(h.easy, CURLOPT_HTTPHEADER, h.getHeaders);
    return perform(h.easy, x, h.error, limits, h.target);
}

Outcome Handle::post(const std::string& body, const Receiver& receive, const Limits& limits)
{
    Impl& h = *impl_;
    curl_easy_setopt(h.easy, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(h.easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(h.easy, CURLOPT_HTTPHEADER, h.postHeaders);
    Exchange x{h.easy, h.cancelled, limits.maxReplyBytes, receive};
    return perform(h.easy, x, h.error, limits, h.target);
}

} // namespace dotz::curl
