#pragma once
// dotz-export's command line: the options, their parse, and the exit statuses
// that the README, --help and the timer's service share.
#include "base/error.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace dotz {

// Do not change: the timer's service (RestartPreventExitStatus=2 3), the README
// and --help name them.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;  // a later try may pass
inline constexpr int kExitUsage = 2;   // the command line is wrong
inline constexpr int kExitLasting = 3; // no retry mends it: data, settings, folders, state

// A command line that cannot be run; what() names the option.
struct UsageError : Error
{
    using Error::Error;
};

struct Options
{
    std::string from;
    std::string to;
    bool all = false;
    std::string branches;
    bool branchesGiven = false;
    bool with515 = false;
    std::string server;
    std::string token;
    std::string ca;
    std::vector<std::string> drives;
    std::string config;
    bool list = false;
    bool check = false;
    bool verbose = false;
    long long callTimeout = 0; // seconds; 0: the settings' or the default
    long long maxReplyGib = 0; // 0: the settings' or the default
    // Scaled down only by tests; the connection's defaults otherwise.
    size_t minRate = 0;
    long long rateWindowMs = 0;
    std::string state;
    int maxDays = 0;
    std::string metricsFile;
    int lookBack = -1; // -1: the settings' or none
    bool rewriteChanged = false;
};

// Reads the command line into `o`. Returns the exit status when the parse ends
// the program (--help, --version); throws UsageError, in Portuguese, for
// anything it refuses, the option parser's own refusals included.
std::optional<int> parseCommandLine(int argc, char** argv, Options& o);

} // namespace dotz
