#include "child_process.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace dotz::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::filesystem::path& folder, const std::string& name)
    : out_(folder / (name + ".out")), err_(folder / (name + ".err"))
{
    std::vector<std::string> args = argv;
    std::vector<char*> pointers;
    for (std::string& a : args)
        pointers.push_back(a.data());
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, pointers[0], &actions, nullptr, pointers.data(), environ) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess()
{
    if (running()) {
        ::kill(pid_, SIGKILL);
        wait();
    }
}

bool ChildProcess::running()
{
    if (pid_ < 0 || waited_)
        return false;
    if (::waitpid(pid_, &status_, WNOHANG) == 0)
        return true;
    waited_ = true;
    return false;
}

Ended ChildProcess::wait()
{
    if (pid_ >= 0 && !waited_) {
        ::waitpid(pid_, &status_, 0);
        waited_ = true;
    }
    Ended e;
    if (pid_ >= 0 && WIFEXITED(status_))
        e.code = WEXITSTATUS(status_);
    if (pid_ >= 0 && WIFSIGNALED(status_))
        e.signal = WTERMSIG(status_);
    e.out = slurp(out_);
    e.err = slurp(err_);
    return e;
}

Ended runToEnd(const std::vector<std::string>& argv, const std::filesystem::path& folder)
{
    return ChildProcess(argv, folder).wait();
}

std::string slurp(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::string text(static_cast<size_t>(std::max<std::streamoff>(in.tellg(), 0)), '\0');
    in.seekg(0);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    return text;
}

std::map<std::string, std::string> filesUnder(const std::filesystem::path& root)
{
    std::map<std::string, std::string> all;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        if (e.is_regular_file())
            all[std::filesystem::relative(e.path(), root).string()] = slurp(e.path());
    return all;
}

} // namespace dotz::testing
