// The server on a hot standby: the same bytes as its primary's server, reached
// through a multi-host URI too, and a query the standby cancels for its replay
// refused in words that send the client to another try.
#include "server_fixture.h"

#include "appserver/stores/store.h"

#include <gtest/gtest.h>

#include <future>
#include <regex>

using namespace dotz;
using namespace dotz::appserver;
using namespace dotz::testing;

namespace {

std::string firstValue(Store& store, const std::string& sql)
{
    std::string value;
    store.query(sql, {}, [&](const Row& r) { value = r.isNull(0) ? "" : std::string(r.text(0)); });
    return value;
}

class StandbyTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        primary_ = new PostgresServer;
        initDemo(*openStore(primary_->uri()), smallDemo());
        standby_ = new PostgresServer(PostgresServer::StandbyOf{*primary_});
    }
    static void TearDownTestSuite()
    {
        delete standby_;
        delete primary_;
    }
    // Until the standby has replayed all the primary has written.
    static void waitForReplay()
    {
        const std::string lsn =
            firstValue(*openStore(primary_->uri()), "SELECT pg_current_wal_lsn()");
        auto standby = openStore(standby_->uri());
        for (int i = 0; i < 300; ++i) {
            if (firstValue(*standby, "SELECT pg_last_wal_replay_lsn() >= '" + lsn + "'") == "t")
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        FAIL() << "the standby did not replay up to " << lsn;
    }
    static std::string hostPort(const PostgresServer& s)
    {
        std::smatch m;
        std::regex_search(s.uri(), m, std::regex("@([^/]+)/"));
        return m[1];
    }

    static inline PostgresServer* primary_ = nullptr;
    static inline PostgresServer* standby_ = nullptr;
};

TEST_F(StandbyTest, RepliesAreTheSameAsOnThePrimary)
{
    waitForReplay();
    // The primary listed first: libpq goes on to the standby.
    const std::string either = "postgresql://dotz@" + hostPort(*primary_) + "," +
                               hostPort(*standby_) + "/dotz?target_session_attrs=prefer-standby";
    EXPECT_EQ(firstValue(*openStore(either), "SELECT pg_is_in_recovery()"), "t");
    RunningServer onPrimary(serverOn(primary_->uri()));
    RunningServer onStandby(serverOn(either));
    expectSameReplies(onPrimary.port(), onStandby.port(), {"T", "'0002'"},
                      {"2024-03-14", "2024-03-15", "2024-03-16", "2024-03-17"});
}

// FILIAL becomes a view that takes its time, so that a call is inside its query
// when the primary takes a lock that the standby must replay: the standby
// cancels the query (40001, "conflict with recovery").
TEST_F(StandbyTest, AQueryTheStandbyCancelsIsRefusedForAnotherTry)
{
    RunningServer server(serverOn(standby_->uri())); // before the view: it reads FILIAL at start
    auto primary = openStore(primary_->uri());
    primary->exec("ALTER TABLE FILIAL RENAME TO FILIAL_T; CREATE VIEW FILIAL AS SELECT * FROM "
                  "FILIAL_T WHERE (SELECT true FROM pg_sleep(60))");
    struct Restore
    {
        Store& primary;
        ~Restore()
        {
            primary.exec("DROP VIEW FILIAL; ALTER TABLE FILIAL_T RENAME TO FILIAL");
            waitForReplay();
        }
    } restore{*primary};
    waitForReplay();

    auto call = std::async(std::launch::async, [&] {
        return postRaw(server.port(), getPrincipalBody("T", "2024-03-15"));
    });
    auto standby = openStore(standby_->uri());
    for (int i = 0; i < 200 && firstValue(*standby, "SELECT COUNT(*) FROM pg_stat_activity WHERE "
                                                    "wait_event = 'PgSleep'") != "1";
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    primary->exec("BEGIN; LOCK TABLE FILIAL_T IN ACCESS EXCLUSIVE MODE; COMMIT");

    ASSERT_EQ(call.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    auto res = call.get();
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find("\"ok\":false,\"message\":\"Banco de dados indispon\u00edvel: a "
                             "consulta foi cancelada"),
              std::string::npos)
        << res->body;
    EXPECT_NE(res->body.find("\"retry\":true"), std::string::npos) << res->body;
    EXPECT_NE(server.log().find("conflict with recovery"), std::string::npos) << server.log();
}

} // namespace
