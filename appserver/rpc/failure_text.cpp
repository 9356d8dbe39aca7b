#include "failure_text.h"

#include "appserver/stores/connection_string.h"
#include "appserver/stores/store.h"

#include "base/error.h"

namespace dotz::appserver {

std::string operatorText(const std::exception& e, std::uint64_t id)
{
    const std::string request = " (pedido " + std::to_string(id) + ")";
    if (const auto* db = dynamic_cast<const DatabaseError*>(&e)) {
        switch (db->kind()) {
        case DatabaseError::Kind::Unavailable:
            return "Banco de dados indispon\u00edvel. Tente novamente em instantes." + request;
        case DatabaseError::Kind::Cancelled:
            return "Banco de dados indispon\u00edvel: a consulta foi cancelada no servidor de "
                   "banco de dados. Tente novamente em instantes." +
                   request;
        case DatabaseError::Kind::QueryFailed:
            break;
        }
        return "Falha na consulta ao banco de dados." + request;
    }
    // The encoder's own refusal: a stored value the module cannot take, named by
    // packet, column, row and branch so that someone can correct it.
    if (dynamic_cast<const Error*>(&e)) {
        const std::string detail = e.what();
        return "Opera\u00e7\u00e3o bloqueada. Valor inv\u00e1lido no banco de dados: " + detail +
               (detail.ends_with('.') ? "" : ".") + request;
    }
    return "Erro interno do servidor de aplica\u00e7\u00e3o." + request;
}

bool anotherServerMayAnswer(const std::exception& e)
{
    const auto* db = dynamic_cast<const DatabaseError*>(&e);
    return db && db->kind() != DatabaseError::Kind::QueryFailed;
}

std::string busyText(std::uint64_t id)
{
    return "Servidor de aplica\u00e7\u00e3o sobrecarregado. Tente novamente em instantes. "
           "(pedido " +
           std::to_string(id) + ")";
}

std::string tooManyCallsText(std::uint64_t id)
{
    return "H\u00e1 pedidos demais em andamento deste computador. Aguarde o t\u00e9rmino "
           "deles e tente novamente. (pedido " +
           std::to_string(id) + ")";
}

std::string metricsTokenText()
{
    return "As m\u00e9tricas s\u00f3 s\u00e3o mostradas a outro computador com um token "
           "(Authorization: Bearer).";
}

std::string logDetail(const std::exception& e, const std::string& db)
{
    std::string detail = e.what();
    const std::string shown = connectionText(db);
    if (shown != db)
        for (size_t at; (at = detail.find(db)) != std::string::npos;)
            detail.replace(at, db.size(), shown);
    return detail;
}

} // namespace dotz::appserver
