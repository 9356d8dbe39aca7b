#pragma once
// The DOTZ writer's tests: a day's tables, a folder of their own mapped as drive
// C:, and the writer run over them.
#include "base/error.h"
#include "export/dotz_records.h"
#include "export/packet_loader.h"
#include "packet_json.h"
#include "tests/support/loaded_day.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace dotz::testing {

class DotzFilesTest : public ::testing::Test
{
  protected:
    using V = Table::Value;

    void SetUp() override
    {
        root_ = std::filesystem::temp_directory_path() /
                ("dotz-files-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_ / "EXPORTA");
        paths_.set("C", root_.string());
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    static void sale(Table& t, const char* branch, V points, const char* data = "2024-03-15",
                     const char* partner = "4321", const char* folder = "C:\\EXPORTA\\",
                     const char* customer = "1234567890123456")
    {
        t.appendRow({branch, "003", "0000123456", customer, "OPER01", data, "14:32:05", 1234.5,
                     "PROMO1", partner, folder, points});
    }
    static void item(Table& t, const char* branch, const char* folder = "C:\\EXPORTA\\")
    {
        t.appendRow({branch, "003", "0000123456", "1234567890123456", "0000004711", 9.9, 2, 19.8,
                     "7891234567895", "PROMO1", "4321", folder, 20});
    }
    static void product(Table& t, const char* branch, const char* name = "CAFE 500G")
    {
        t.appendRow({branch, "0000004711", 12.9, name, "7891234567895", "PROMO1", "2024-03-01",
                     "2024-03-31", 10, "4321", "C:\\EXPORTA\\"});
    }

    // Written from the tables; without a file system of its own, also as the
    // export streams the tables' packets, which must write the same bytes.
    DayResult write(bool with515 = false, FileSystem* fsys = nullptr)
    {
        if (fsys)
            return writeTables(with515, *fsys);
        writeStreamed(with515);
        const std::map<std::string, std::string> streamed = tree();
        PosixFileSystem posix;
        DayResult r = writeTables(with515, posix);
        EXPECT_EQ(tree(), streamed);
        return r;
    }
    DayResult writeTables(bool with515, FileSystem& fsys)
    {
        LineList lines;
        DayResult r = writeLoadedDay(t_, day_, with515, lines, paths_, fsys);
        EXPECT_TRUE(lines.empty());
        return r;
    }
    DayResult writeStreamed(bool with515)
    {
        PosixFileSystem posix;
        LineList lines;
        DayWriter writer(day_, with515, lines, paths_, posix);
        const Table* tables[] = {&t_.cdsCaixa, &t_.cdsDadosDotz, &t_.cdsDotzExtra,
                                 &t_.cdsConfigDotz};
        for (size_t slot = 0; slot < 4; ++slot) {
            ColumnStore store(tables[slot]->store().defs());
            loadPacketInto(store, tables[slot]->name(), packetOf(*tables[slot]),
                           &writer.slot(slot));
        }
        return writer.GravaArquivosDotz();
    }
    // Each file under the root, by its path, with its bytes.
    std::map<std::string, std::string> tree() const
    {
        std::map<std::string, std::string> files;
        for (const auto& e : std::filesystem::recursive_directory_iterator(root_))
            if (e.is_regular_file())
                files[e.path().lexically_relative(root_).string()] =
                    read(e.path().lexically_relative(root_).string());
        return files;
    }
    std::string read(const std::string& relative) const
    {
        std::ifstream in(root_ / relative, std::ios::binary);
        EXPECT_TRUE(in) << relative << " is missing";
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::vector<std::string> filesIn(const std::string& relative) const
    {
        std::vector<std::string> names;
        if (std::filesystem::exists(root_ / relative))
            for (const auto& e : std::filesystem::directory_iterator(root_ / relative))
                names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    // How a write ended: its error, or "(written)".
    template <class Write> static std::string outcome(const Write& write)
    {
        try {
            write();
        } catch (const Error& e) {
            return e.what();
        }
        return "(written)";
    }
    // The same refusal (or none) from the tables and, without a file system of
    // its own, as the export streams them.
    std::string refusal(bool with515 = false, FileSystem* fsys = nullptr)
    {
        if (fsys)
            return outcome([&] { writeTables(with515, *fsys); });
        const std::string streamed = outcome([&] { writeStreamed(with515); });
        PosixFileSystem posix;
        const std::string tables = outcome([&] { writeTables(with515, posix); });
        EXPECT_EQ(streamed, tables);
        return tables;
    }

    std::filesystem::path root_;
    PathMap paths_;
    ExportTables t_;
    Day day_ = *Day::fromYmd(2024, 3, 15);
};

} // namespace dotz::testing
