// dotz-export as the operator and the timer start it: a small program linked
// statically, so that nothing runs before it blocks SIGINT and SIGTERM, which
// then starts the export proper in its place. The block and any stop that came
// meanwhile pass through the exec; the export takes them as soon as it runs,
// where a dynamically linked program would have ended by the default action
// while its libraries were still being loaded.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

#ifndef KRT_EXPORT_FROM_BIN
#error "KRT_EXPORT_FROM_BIN: where the export proper lies, from this program's folder"
#endif

namespace {

void blockStops(int, char**, char**)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, nullptr);
}
[[gnu::used, gnu::section(".preinit_array")]] void (*const kBlockStops)(int, char**,
                                                                        char**) = blockStops;

} // namespace

int main(int, char** argv)
{
    std::string self(4096, '\0');
    const ssize_t n = readlink("/proc/self/exe", self.data(), self.size());
    std::string proper;
    if (n > 0 && static_cast<size_t>(n) < self.size()) {
        self.resize(static_cast<size_t>(n));
        proper = self.substr(0, self.rfind('/') + 1) + KRT_EXPORT_FROM_BIN + "/dotz-export";
        execv(proper.c_str(), argv);
    }
    const int err = errno;
    // Exit 1: a package being upgraded is mended by the timer's next try.
    std::fprintf(stderr, "dotz-export: o programa de exportação %s não pôde ser iniciado (%s).\n",
                 proper.empty() ? "(/proc/self/exe ilegível)" : proper.c_str(),
                 strerrorname_np(err) ? strerrorname_np(err) : "erro desconhecido");
    return 1;
}
