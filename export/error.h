#pragma once
// The one error type of the export core. Front ends show what() to the operator.
#include <stdexcept>
#include <string>

namespace dotz {

class Error : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
};

// Ends the current action after its message has been shown (the abort of the
// host's error reporter). Front ends end the action silently when they catch it.
class Abort : public std::exception
{
  public:
    const char* what() const noexcept override { return "action aborted"; }
};

} // namespace dotz
