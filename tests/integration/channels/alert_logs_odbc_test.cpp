// The alert logs of delivered alerts through the dispatcher with the program's channels:
// the embedded SQLite database and a private PostgreSQL server through unixODBC, the alert
// data file and AlertLog.txt, with texts that try to break each of them.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "alerting/dispatcher.h"
#include "channels/alert_logs.h"
#include "config/registry_names.h"
#include "config/scrambled_values.h"
#include "platform/process.h"
#include "programs/component_table.h"
#include "support/private_postgres.h"
#include "support/service_fixture.h"

namespace kvzn::channels {
namespace {

using namespace std::chrono_literals;

// Quotes of both kinds, commas, a statement terminator, a percent sign, a macro and
// non-ASCII text. A title arrives exactly like this; the alert record keeps a message
// without quotes (each becomes a blank), and that text must arrive unchanged.
const std::string kHostile =
    "O'Brien's \"queue\", 100% full; DROP TABLE Korvane_Alerts;-- <$$SERVER> Gr\xc3\xbc\xc3\x9f"
    "e \xe2\x82\xac";
const std::string kHostileMessage =
    "O Brien s  queue , 100% full; DROP TABLE Korvane_Alerts;-- <$$SERVER> Gr\xc3\xbc\xc3\x9f"
    "e \xe2\x82\xac";

class AlertLogsOdbcTest : public ::testing::Test {
  protected:
    AlertLogsOdbcTest()
        : sysIni_("ODBCSYSINI", fx_.dir.path()), userIni_("ODBCINI", fx_.dir / "odbc.ini") {
        test::WriteFile(fx_.dir / "odbcinst.ini",
                        "[SQLite3]\nDriver=libsqlite3odbc.so\n\n"
                        "[PostgreSQL Unicode]\nDriver=psqlodbcw.so\n");
        test::WriteFile(fx_.dir / "odbc.ini", "");
        fx_.AttachAlerts(programs::MakeAlertChannels(fx_.context));
    }
    void SetLogging(const std::string& database) {
        const std::string key = config::SubKey(config::subkey::kAlertLogging);
        fx_.registry.WriteNumber(key, config::alert_logging::kEnableDBLogging, 1);
        fx_.registry.WriteText(key, config::alert_logging::kDatabase, database);
        fx_.registry.WriteNumber(key, config::alert_logging::kEnableAlertLogging, 1);
        fx_.registry.WriteText(key, config::alert_logging::kAlertDataFile, fx_.dir / "alerts.csv");
    }
    // Raises an alert and delivers it as the alert notification thread would.
    void Raise(const std::string& title, std::string message) {
        ASSERT_EQ(alerting::NotifyError(fx_.context, alerting::kCategoryPrintServer, 4, 0, title,
                                        "LASER3", message),
                  1);
        fx_.Alerts().dispatcher.DrainUnsentQueue();
    }
    std::string Sqlite(const std::string& file, const std::string& sql) {
        auto r = platform::RunProcess({"sqlite3", "-separator", "|", file, sql});
        return r.ok() ? r->output : r.status().Text();
    }

    test::ServiceFixture fx_;
    test::ScopedEnv sysIni_;
    test::ScopedEnv userIni_;
};

TEST_F(AlertLogsOdbcTest, EmbeddedSqliteGetsHostileTextsIntactAlongsideDataFileAndLog) {
    SetLogging("KorvaneAlerts");
    test::LogCapture log;
    Raise(kHostile, kHostile);
    Raise("Queue, Length", "second\r\nline");

    const std::string db = fx_.context.dataDirectory + "/KorvaneAlerts.sqlite";
    ASSERT_TRUE(std::filesystem::exists(db)) << "the service sets up its own database";
    EXPECT_EQ(Sqlite(db,
                     "SELECT AlertLevel, Server, CheckName, AlertText FROM Korvane_Alerts "
                     "ORDER BY rowid"),
              "3|PRINTSRV|" + kHostile + "|" + kHostileMessage +
                  "\n3|PRINTSRV|Queue, Length|second  line\n");
    EXPECT_EQ(log.Count("Unable to write triggered alert"), 0u);

    // One data file line per alert: values with commas or quotes are quoted for CSV.
    const std::string csv = test::ReadFile(fx_.dir / "alerts.csv");
    EXPECT_NE(csv.find(",3,PRINTSRV,\"O'Brien's \"\"queue\"\", 100% full; DROP TABLE "
                       "Korvane_Alerts;-- <$$SERVER> Gr\xc3\xbc\xc3\x9f"
                       "e \xe2\x82\xac\",LASER3,\"" +
                       kHostileMessage + "\"\r\n"),
              std::string::npos)
        << csv;
    EXPECT_NE(csv.find(",3,PRINTSRV,\"Queue, Length\",LASER3,second  line\r\n"), std::string::npos)
        << csv;

    const std::string alertLog = test::ReadFile(fx_.context.dataDirectory + "/AlertLog.txt");
    EXPECT_TRUE(alertLog.starts_with(AlertLogHeader("PRINTSRV")));
    EXPECT_NE(alertLog.find("\t" + kHostile + "\t" + kHostileMessage + "\n"), std::string::npos);
    EXPECT_NE(alertLog.find("\tQueue, Length                 \tsecond  line\n"), std::string::npos);
}

TEST_F(AlertLogsOdbcTest, DatabaseThatIsDownIsLoggedAndTheOtherLogsStillRun) {
    const uint16_t closed = test::FreeLoopbackPort();
    SetLogging("DRIVER={PostgreSQL Unicode};Servername=127.0.0.1;Port=" + std::to_string(closed) +
               ";Database=alerts;");
    test::LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    Raise("Printer Status", "paper jam");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    EXPECT_TRUE(
        log.Contains("Unable to write triggered alert to the Alert Database. Unable to connect to "
                     "the database."));
    EXPECT_NE(test::ReadFile(fx_.dir / "alerts.csv").find("paper jam"), std::string::npos);
    EXPECT_NE(test::ReadFile(fx_.context.dataDirectory + "/AlertLog.txt").find("paper jam"),
              std::string::npos);
}

TEST_F(AlertLogsOdbcTest, PostgresDataSourceReceivesRowsWithScrambledCredentials) {
    test::PrivatePostgres pg;
    ASSERT_EQ(pg.error(), "");
    ASSERT_EQ(pg.Query("CREATE TABLE Korvane_Alerts (TimeLogged text, AlertLevel integer, "
                       "Server text, CheckName text, AlertText text)"),
              "CREATE TABLE\n");
    test::WriteFile(fx_.dir / "odbc.ini",
                    "[CentralAlerts]\nDriver=PostgreSQL Unicode\nServername=127.0.0.1\nPort=" +
                        std::to_string(pg.port()) + "\nDatabase=postgres\n");
    SetLogging("CentralAlerts");
    const std::string key = config::SubKey(config::subkey::kAlertLogging);
    ASSERT_EQ(config::kvHlpSvc1(fx_.registry, "postgres", fx_.registry.Store(), key,
                                config::alert_logging::kDatabaseUser),
              1);
    ASSERT_EQ(config::kvHlpSvc1(fx_.registry, "p'w;d}", fx_.registry.Store(), key,
                                config::alert_logging::kDatabasePassword),
              1);
    test::LogCapture log;
    Raise(kHostile, kHostile);
    EXPECT_EQ(log.Count("Unable to write triggered alert"), 0u);
    EXPECT_EQ(pg.Query("SELECT AlertLevel, Server, CheckName, AlertText FROM Korvane_Alerts"),
              "3|PRINTSRV|" + kHostile + "|" + kHostileMessage + "\n");
    EXPECT_FALSE(std::filesystem::exists(fx_.context.dataDirectory + "/CentralAlerts.sqlite"));

    // A statement of the administrator's own, with a macro inside a longer literal.
    fx_.registry.WriteText(key, config::alert_logging::kSQL,
                           "INSERT INTO Korvane_Alerts (AlertLevel, AlertText) VALUES "
                           "(<$$ALERTLEVEL>, 'On <$$SERVER>: <$$TEST>')");
    fx_.AttachAlerts(programs::MakeAlertChannels(fx_.context));
    Raise("Bob's printer", "jammed");
    EXPECT_EQ(pg.Query("SELECT AlertText FROM Korvane_Alerts WHERE TimeLogged IS NULL"),
              "On PRINTSRV: Bob's printer\n");
}

}  // namespace
}  // namespace kvzn::channels
