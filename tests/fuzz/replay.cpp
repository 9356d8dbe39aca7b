// Replays a fuzz target's corpus and kept crash inputs through its entry point:
// a finding that was fixed fails here again if it comes back.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

TEST(FuzzReplay, EveryKeptInput)
{
    std::vector<std::filesystem::path> inputs;
    std::stringstream dirs(DOTZ_FUZZ_INPUTS);
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (std::filesystem::is_directory(dir))
            for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
                if (entry.is_regular_file())
                    inputs.push_back(entry.path());
    ASSERT_FALSE(inputs.empty()) << "no corpus in " << DOTZ_FUZZ_INPUTS;
    for (const auto& path : inputs) {
        SCOPED_TRACE(path.string());
        std::string bytes(std::filesystem::file_size(path), '\0');
        std::ifstream(path, std::ios::binary)
            .read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
}
