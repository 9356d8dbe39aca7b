// The bytes of a GetPrincipal reply body, through the reader that the call uses,
// the envelope check, every packet's loading, the day's checks and the writer,
// on a file system held in memory. Refusals are the expected outcome of most
// inputs; anything else that escapes (or a sanitizer report) is a finding.
#include "export/run.h"
#include "toolkit/connection/server_connection.h"

#include <cstdint>
#include <map>
#include <set>

namespace {

using namespace dotz;

class MemoryFileSystem final : public FileSystem
{
  public:
    bool isDirectory(const std::string& path) override
    {
        return path == kRoot || folders_.count(path) > 0;
    }
    void createDirectory(const std::string& path) override { folders_.insert(path); }
    void replaceFile(const std::string& path, std::string_view data) override
    {
        files_[path] = std::string(data);
    }
    void syncDirectory(const std::string&) override {}

    static constexpr const char* kRoot = "/dotz";

  private:
    std::set<std::string> folders_;
    std::map<std::string, std::string> files_;
};

class Quiet final : public RunObserver
{
  public:
    void showBusy(int) override {}
    void hideBusy() override {}
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The call reads from a buffer padded for the decoder; the first call's id is 1.
    auto reply = std::make_shared<std::string>(reinterpret_cast<const char*>(data), size);
    reply->append(Packet::kPadding, ' ');
    const Day day = *Day::fromYmd(2024, 3, 15);
    PathMap paths;
    paths.setDrive('C', MemoryFileSystem::kRoot);
    MemoryFileSystem fs;
    Quiet quiet;
    try {
        const Variant result = readReply(std::move(reply), size, 1, "Falha na chamada");
        const DayPackets packets = dayPackets(CheckServerResult(result, true, 0, nullptr), day);
        ExportTables tables;
        runExport(tables, {"T", day, day, true},
                  [&packets](const std::string&, Day, const EarlyPacket&) { return packets; }, paths, fs, quiet);
    } catch (const Error&) {
    } catch (const Abort&) {
    }
    return 0;
}
