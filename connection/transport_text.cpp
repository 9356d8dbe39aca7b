#include "transport_text.h"

#include "server_text.h"

#include "base/wire_contract.h"

#include <curl/curl.h>
#include <openssl/x509_vfy.h>
#include <simdjson.h>

#include <algorithm>

namespace dotz::transport {

std::string durationText(std::chrono::milliseconds d)
{
    const long long ms = d.count();
    if (ms % 3'600'000 == 0 && ms > 0)
        return std::to_string(ms / 3'600'000) + " h";
    if (ms % 60'000 == 0 && ms > 0)
        return std::to_string(ms / 60'000) + " min";
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000 != 0)
        text += "," + std::to_string(ms % 1000 / 100);
    return text + " s";
}

std::string rateText(std::uint64_t bytesPerSecond)
{
    return bytesPerSecond % 1024 == 0 ? std::to_string(bytesPerSecond / 1024) + " KiB/s"
                                      : std::to_string(bytesPerSecond) + " bytes/s";
}

std::string certificateRefusal(long verifyResult)
{
    switch (verifyResult) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        return "é autoassinado, e não de uma autoridade confiável";
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
        return "foi assinado por uma autoridade que não está entre as confiáveis";
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return "está vencido";
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return "ainda não entrou em vigor (confira o relógio deste computador)";
    case X509_V_ERR_CERT_REVOKED:
        return "foi revogado";
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        return "tem uma assinatura que não confere";
    case X509_V_ERR_INVALID_PURPOSE:
    case X509_V_ERR_CERT_REJECTED:
        return "não serve para um servidor";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return "é de outro nome";
    default:
        return "não passou na verificação (código " + std::to_string(verifyResult) + ")";
    }
}

std::string failure(const Failure& f)
{
    switch (static_cast<CURLcode>(f.code)) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return "o nome " + f.host + " não foi encontrado na rede";
    case CURLE_COULDNT_RESOLVE_PROXY:
        return "o nome do proxy não foi encontrado na rede";
    case CURLE_COULDNT_CONNECT:
        return "conexão recusada ou servidor inalcançável";
    case CURLE_OPERATION_TIMEDOUT:
        if (f.elapsed + std::chrono::milliseconds(50) >= f.callTimeout)
            return "a chamada passou do tempo máximo de " + durationText(f.callTimeout) +
                   " (call_timeout)";
        if (!f.connected)
            return "o servidor não aceitou a conexão a tempo";
        return "a resposta chegou devagar demais (menos de " + rateText(f.minRate) + " por " +
               durationText(f.window) + ")";
    case CURLE_SEND_ERROR:
        return "a conexão caiu durante o envio do pedido";
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
        return "a conexão caiu antes do fim da resposta";
    case CURLE_GOT_NOTHING:
        return "o servidor fechou a conexão sem responder";
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_WEIRD_SERVER_REPLY:
        return "o servidor respondeu algo que não é HTTP";
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CERTPROBLEM:
        return "a negociação TLS falhou (o servidor fala HTTPS, TLS 1.2 ou mais novo?)";
    case CURLE_SSL_CACERT_BADFILE:
        return "o arquivo de certificados de autoridade (CA) " +
               (f.caFile.empty() ? std::string("do sistema") : f.caFile) + " não pôde ser lido";
    case CURLE_PEER_FAILED_VERIFICATION:
        // A chain refused in the handshake has OpenSSL's result. libcurl checks the
        // name itself once the chain has passed, and then leaves 1 ("not read yet").
        if (f.verifyResult != X509_V_OK && f.verifyResult != X509_V_ERR_UNSPECIFIED)
            return "o certificado do servidor não foi aceito: " +
                   certificateRefusal(f.verifyResult);
        return "o certificado do servidor não é do nome " + f.host;
    case CURLE_PROXY:
        return "o proxy recusou a conexão";
    case CURLE_OUT_OF_MEMORY:
        return "faltou memória";
    default:
        return "falha de transporte (código " + std::to_string(static_cast<int>(f.code)) + ")";
    }
}

std::string statusFailure(long status, const std::string& object, const std::string& serverText,
                          long long retryAfter)
{
    std::string text;
    switch (status) {
    case 401:
        text = "o servidor exige um token de acesso válido (HTTP 401)";
        break;
    case 404:
        text = "o servidor não tem o objeto " + object + " (HTTP 404)";
        break;
    case 413:
        text = "o pedido é maior do que o servidor aceita (HTTP 413)";
        break;
    default:
        text = "o servidor respondeu HTTP " + std::to_string(status);
    }
    if (!serverText.empty())
        text += ": " + serverText;
    if (retryAfter >= 0)
        text += " (tente de novo em " + std::to_string(retryAfter) + " s)";
    return text;
}

std::string rpcFailure(long long code, std::string_view method)
{
    switch (code) {
    case -32700:
        return "o servidor não conseguiu ler o pedido da chamada";
    case -32600:
        return "o servidor recusou o pedido da chamada como inválido";
    case -32601:
        return "o servidor não reconhece o método " +
               (method.empty() ? std::string("chamado") : std::string(method));
    case -32602:
        return "o servidor recusou os parâmetros da chamada";
    case -32603:
        return "o servidor teve um erro interno ao atender a chamada";
    default:
        // -32000 to -32099 are the server's own; any other code, the method's.
        return (code <= -32000 && code >= -32099 ? "o servidor falhou ao atender a chamada"
                                                 : "o servidor recusou a chamada") +
               std::string(" (erro JSON-RPC ") + std::to_string(code) + ")";
    }
}

namespace {

// A text from the server read into a few KiB: valid UTF-8, as shown; empty when
// it is not UTF-8.
std::string shownText(std::string_view text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.remove_suffix(1);
    // What is shown and the character past it, which tells that it was cut (the
    // body itself may have been cut inside a later one).
    size_t end = std::min(text.size(), server_text::kKept + 4);
    while (end > 0 && end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    if (!simdjson::validate_utf8(text.data(), end))
        return {};
    return server_text::shown(text.substr(0, end));
}

} // namespace

std::string serverWords(std::string_view body, std::string_view contentType)
{
    if (body.empty())
        return {};
    if (contentType.starts_with("text/plain"))
        return shownText(body);
    simdjson::dom::parser parser;
    simdjson::dom::element doc;
    if (parser.parse(body.data(), body.size()).get(doc) != simdjson::SUCCESS)
        return {};
    simdjson::dom::element result;
    if (doc["result"].get(result) == simdjson::SUCCESS)
        doc = result;
    bool ok = true;
    std::string_view message;
    if (doc[wire::envelope::kOk].get(ok) != simdjson::SUCCESS || ok ||
        doc[wire::envelope::kMessage].get(message) != simdjson::SUCCESS)
        return {};
    return server_text::shown(message);
}

} // namespace dotz::transport
