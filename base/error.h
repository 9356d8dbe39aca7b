#pragma once
// The errors of the client and the server. Every failure is a dotz::Error, whose
// what() front ends show to the operator; its kinds say what a retry can do
// (LastingError and SettingsError here; FileError and Refusal beside the code
// that raises them). Abort and
// Stopped (run.h) end an action without being failures of their own.
#include <stdexcept>
#include <string>
#include <utility>

namespace dotz {

class Error : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
    Error(const std::string& what, std::string detail)
        : std::runtime_error(what), detail_(std::move(detail))
    {
    }

    // A library's own words behind what(), for logs and --verbose output only.
    const std::string& detail() const { return detail_; }

  private:
    std::string detail_;
};

// An error that trying again cannot mend until someone corrects the data or the
// settings (a branch without its partner code, a folder outside the mapped
// drive): an unattended run does not retry it.
class LastingError : public Error
{
  public:
    using Error::Error;
};

// A settings file that is missing, unreadable or wrong: it waits for someone to
// correct it, so an unattended run does not retry.
class SettingsError : public LastingError
{
  public:
    using LastingError::LastingError;
};

// Ends the current action after its message has been shown (the abort of the
// host's error reporter). Front ends end the action silently when they catch it.
class Abort : public std::exception
{
  public:
    const char* what() const noexcept override { return "action aborted"; }
};

} // namespace dotz
