#pragma once
// A program the tests start as a child: its arguments, its output in files of a
// folder, and how it ended.
#include <filesystem>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace dotz::testing {

struct Ended
{
    int code = -1;  // when it exited
    int signal = 0; // when a signal ended it
    std::string out, err;
};

class ChildProcess
{
  public:
    // Starts `argv` with stdin from /dev/null and stdout and stderr into files of
    // `folder`, named after `name`.
    ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& folder,
                 const std::string& name = "child");
    // Ends a child still running with SIGKILL.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // False once it has ended (it is then waited for).
    bool running();
    Ended wait();

  private:
    pid_t pid_ = -1;
    int status_ = 0;
    bool waited_ = false;
    std::filesystem::path out_, err_;
};

// Starts `argv` and waits for its end.
Ended runToEnd(const std::vector<std::string>& argv, const std::filesystem::path& folder);

// A whole file; empty when there is none.
std::string slurp(const std::filesystem::path& path);
// Every file under `root`, by its path below it.
std::map<std::string, std::string> filesUnder(const std::filesystem::path& root);

} // namespace dotz::testing
