#include "reasons.h"

#include <simdjson.h>

#include <cerrno>
#include <cstring>

namespace dotz {

namespace {

const char* systemWords(int err)
{
    switch (err) {
    case ENOENT:
        return "pasta ou arquivo inexistente";
    case EACCES:
    case EPERM:
        return "sem permissão";
    case ENOSPC:
        return "sem espaço no disco";
    case EROFS:
        return "sistema de arquivos somente para leitura";
    case EDQUOT:
        return "cota de disco esgotada";
    case EIO:
        return "erro de leitura ou gravação no disco";
    case ENOTDIR:
        return "não é uma pasta";
    case EISDIR:
        return "é uma pasta";
    case ENAMETOOLONG:
        return "nome longo demais";
    case EEXIST:
        return "já existe";
    case ENOMEM:
        return "memória insuficiente";
    case EMFILE:
    case ENFILE:
        return "arquivos abertos demais";
    case ELOOP:
        return "links simbólicos demais no caminho";
    case EBUSY:
        return "em uso";
    default:
        return "falha do sistema";
    }
}

} // namespace

std::string systemReason(int err)
{
    const char* name = strerrorname_np(err);
    return std::string(systemWords(err)) + " (" +
           (name ? std::string(name) : "erro " + std::to_string(err)) + ")";
}

std::string jsonReason(int simdjsonError)
{
    switch (static_cast<simdjson::error_code>(simdjsonError)) {
    case simdjson::UTF8_ERROR:
        return "texto que não é UTF-8 válido";
    case simdjson::NUMBER_ERROR:
    case simdjson::NUMBER_OUT_OF_RANGE:
        return "número que não pode ser lido";
    case simdjson::DEPTH_ERROR:
        return "níveis aninhados demais";
    case simdjson::CAPACITY:
        return "documento grande demais";
    case simdjson::MEMALLOC:
        return "memória insuficiente";
    case simdjson::EMPTY:
        return "documento vazio";
    default:
        return "JSON mal formado";
    }
}

} // namespace dotz
