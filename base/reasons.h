#pragma once
// Why a system call or the JSON decoder failed, in the operator's words. The
// libraries' own texts stay in logs and --verbose output (Error::detail).
#include <string>

namespace dotz {

// An errno value as Brazilian Portuguese words, its name after them: "sem espaço no disco
// (ENOSPC)".
std::string systemReason(int err);

// A simdjson::error_code (passed as int, so that this header does not pull the
// decoder in) as Brazilian Portuguese words: "texto que não é UTF-8 válido".
std::string jsonReason(int simdjsonError);

} // namespace dotz
