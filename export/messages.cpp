#include "messages.h"

#include "base/error.h"

namespace dotz {

std::string MessageTable::text(std::string_view key) const
{
    for (const std::string& line : lines_) {
        const size_t bar = line.find('|');
        if (bar != std::string::npos && std::string_view(line).substr(0, bar) == key)
            return line.substr(bar + 1);
    }
    throw Error("message table has no entry with key \"" + std::string(key) + "\"");
}

const MessageTable& dotzMessages()
{
    // Windows-1252 bytes, as the screen stores them; the byte escapes are the accents.
    static const MessageTable table({
        "FILI_INF|Filial deve ser informada.",
        "DATA_INF|Data deve ser informada.",
        "DATA_INV|n\xE3"
        "o \xE9"
        " uma data v\xE1"
        "lida.",
        "CONFIRMA|Aten\xE7"
        "\xE3"
        "o! Os seguintes caixas n\xE3"
        "o possuem vendas para o dia informado. Deseja continuar? %s",
        "PARC_N_CAD|Opera\xE7"
        "\xE3"
        "o bloqueada. C\xF3"
        "digo do parceiro n\xE3"
        "o cadastrado para as seguintes filiais: %s.",
        "EXP_OK|Exporta\xE7"
        "\xE3"
        "o realizada com sucesso.",
        "NAO_HA_DOTZ|Opera\xE7"
        "\xE3"
        "o bloqueada. N\xE3"
        "o h\xE1"
        " pontos DOTZ a serem exportados.",
        "FILIAL|Filial",
        "DIR_N_CAD|Opera\xE7"
        "\xE3"
        "o bloqueada. Diret\xF3"
        "rio destino do arquivo DOTZ n\xE3"
        "o cadastrado para as seguintes filiais: %s.",
        "DataIni_Inf|Data Inicial deve ser Informada.",
        "DataFin_Inf|Data Final deve ser Informada.",
        "DataIni>Fin|Data Inicial n\xE3"
        "o pode ser maior do que a Data Final.",
    });
    return table;
}

std::string formatMessage(std::string_view format, std::string_view arg)
{
    const size_t at = format.find("%s");
    if (at == std::string_view::npos)
        return std::string(format);
    std::string out;
    out.reserve(format.size() + arg.size());
    out.append(format.substr(0, at)).append(arg).append(format.substr(at + 2));
    return out;
}

} // namespace dotz
