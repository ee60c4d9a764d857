// The report pages: typed rows rendered and escaped, site headers and footers, the recent
// errors table and the home page's report list.
#include "web/pages.h"

#include <gtest/gtest.h>

#include "platform/profile_file.h"
#include "support/service_fixture.h"

namespace kvzn::web {
namespace {

constexpr const char* kHostile = "<script>alert(1)</script>";

class FixedRows : public StatusRowsProvider {
  public:
    explicit FixedRows(std::vector<ReportSection> sections) : sections_(std::move(sections)) {}
    std::vector<ReportSection> StatusSections() const override { return sections_; }

  private:
    std::vector<ReportSection> sections_;
};

class FixedHistory : public PerformanceHistoryProvider {
  public:
    PerformanceHistory History(int lineCount) const override {
        asked = lineCount;
        return {{"Time", "% Processor Time"}, {{"07/12/2026 10:00:00", kHostile}}, {}};
    }
    mutable int asked = 0;
};

class PagesTest : public ::testing::Test {
  protected:
    PageRequest Request() { return {fixture.context, sources, "127.0.0.1", std::nullopt}; }
    std::string Html(const std::string& name) {
        return fixture.context.htmlTargetDirectory + "/" + name;
    }

    test::ServiceFixture fixture;
    ReportSources sources;
};

TEST_F(PagesTest, StatusPageRendersEveryMonitorsRowsEscaped) {
    ReportSection perf;
    perf.heading = "Performance Counters ...";
    perf.nameHeading = "Counter";
    perf.valueHeading = "Value";
    perf.rows = {{"Processor\\% Processor Time", "97 (threshold 90)", true},
                 {kHostile, "12", false}};
    sources.Set(ReportSources::kPerformance, std::make_shared<FixedRows>(std::vector{perf}));
    ReportSection log;
    log.heading = "Log Files ...";
    log.rows = {{"/var/log/app.log", "ERROR \"quoted\" & <b>bold</b>", true}};
    sources.Set(ReportSources::kLogFiles, std::make_shared<FixedRows>(std::vector{log}));

    std::string page;
    ASSERT_EQ(BuildHTMLStatusFile(Request(), page, true), 1);
    EXPECT_EQ(page.find("<script>alert"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(page.find("<td class=\"problem\">97 (threshold 90)</td>"), std::string::npos);
    EXPECT_NE(page.find("ERROR &quot;quoted&quot; &amp; &lt;b&gt;bold&lt;/b&gt;"),
              std::string::npos);
    // The print server's tables come first; monitors without a provider say so.
    const size_t printers = page.find("Local Printer Status");
    const size_t counters = page.find("Performance Counters");
    const size_t disk = page.find("Disk Space ...");
    ASSERT_NE(printers, std::string::npos);
    EXPECT_LT(printers, counters);
    EXPECT_LT(counters, disk);
    EXPECT_NE(page.find("Not being monitored", disk), std::string::npos);
    // "WebJSRefreshTime" missing: 15 s, and the page refreshes itself when asked to.
    EXPECT_NE(page.find("data-interval=\"15000\""), std::string::npos);
    EXPECT_NE(page.find("content=\"15;url=PrintStatus.kvp?AutoRefresh=On\""), std::string::npos);
    EXPECT_NE(page.find("value=\"On\" checked"), std::string::npos);
    EXPECT_EQ(page.find("##"), std::string::npos) << "a mark was left in the page";

    std::string still;
    ASSERT_EQ(BuildHTMLStatusFile(Request(), still, false), 1);
    EXPECT_EQ(still.find("http-equiv=\"refresh\""), std::string::npos);
}

TEST_F(PagesTest, SiteHeaderAndFooterReplaceTheBuiltInOnes) {
    test::WriteFile(Html("ZN-HEADER.htm"), "<div id=\"site\">Site banner</div>");
    test::WriteFile(Html("PrintStatus-FOOTER.htm"), "<div id=\"foot\">Status footer</div>\n");
    fixture.registry.WriteNumber(config::kProductKey, config::value::kWebJSRefreshTime, 0);
    std::string page;
    ASSERT_EQ(BuildHTMLStatusFile(Request(), page, false), 1);
    const size_t site = page.find("<div id=\"site\">Site banner</div>");
    ASSERT_NE(site, std::string::npos);
    EXPECT_NE(page.find("Tessel Monitor - Current Monitoring Status", site), std::string::npos);
    EXPECT_EQ(page.find("<h1>Current Monitoring Status</h1>"), std::string::npos);
    EXPECT_NE(page.find("Status footer"), std::string::npos);
    EXPECT_EQ(page.find("Thank you for choosing Korvane"), std::string::npos);
    EXPECT_NE(page.find("data-interval=\"15000\""), std::string::npos);

    // Another page still has the built-in footer and the site header.
    std::string errors;
    ASSERT_EQ(BuildCompleteHTMLErrorFile(Request(), errors), 1);
    EXPECT_NE(errors.find("Site banner"), std::string::npos);
    EXPECT_NE(errors.find("Thank you for choosing Korvane"), std::string::npos);
}

TEST_F(PagesTest, RecentErrorsListNewestFirstWithIconsAndEscapedTexts) {
    std::string page;
    ASSERT_EQ(BuildCompleteHTMLErrorFile(Request(), page), 1);
    EXPECT_NE(page.find("No errors or alerts have yet been sent from this server"),
              std::string::npos);

    auto& store = fixture.Alerts().store;
    std::string first = "first <b>alert</b>";
    ASSERT_EQ(store.NotifyError(2, 1, 0, "Printer Error", "HP&Co", first), 1);
    ASSERT_EQ(
        store.NotifyInternalError(1, "Internal", "Tessel Monitor Internal Error", "second alert"),
        1);
    std::string third = kHostile;
    ASSERT_EQ(store.NotifyError(3, 1, 0, "Odd category", "Source3", third), 1);

    page.clear();
    ASSERT_EQ(BuildCompleteHTMLErrorFile(Request(), page), 1);
    const size_t p3 = page.find("Source3");
    const size_t p2 = page.find("second alert");
    const size_t p1 = page.find("first &lt;b&gt;alert&lt;/b&gt;");
    ASSERT_NE(p1, std::string::npos);
    ASSERT_NE(p2, std::string::npos);
    ASSERT_NE(p3, std::string::npos);
    EXPECT_LT(p3, p2);
    EXPECT_LT(p2, p1);
    EXPECT_EQ(page.find("<script>alert"), std::string::npos);
    EXPECT_NE(page.find("<img src=\"images/Monitor.bmp\""), std::string::npos);
    EXPECT_NE(page.find("<img src=\"images/Error.bmp\""), std::string::npos);
    EXPECT_NE(page.find("<tr><td class=\"icon\"></td>"), std::string::npos)
        << "category 3 has no icon";
    EXPECT_NE(page.find("<strong>HP&amp;Co</strong>"), std::string::npos);
}

TEST_F(PagesTest, PerformanceHistoryAsksForTheLinesAndEscapesThem) {
    auto history = std::make_shared<FixedHistory>();
    std::string page;
    ASSERT_EQ(BuildHTMLPerformanceLoggingFile(Request(), page, 0), 1);
    EXPECT_NE(page.find("Performance logging is not available"), std::string::npos);
    sources.SetHistory(history);
    page.clear();
    ASSERT_EQ(BuildHTMLPerformanceLoggingFile(Request(), page, 250), 1);
    EXPECT_EQ(history->asked, 250);
    EXPECT_NE(page.find("<th>% Processor Time</th>"), std::string::npos);
    EXPECT_NE(page.find("<td>&lt;script&gt;"), std::string::npos);
    EXPECT_NE(page.find("name=\"NoLines\" min=\"1\" max=\"10000\" value=\"250\""),
              std::string::npos);
}

TEST_F(PagesTest, HomePageListsTheInstalledMonitorsReports) {
    const std::string ini = fixture.context.home + "/kvZNWebServer.ini";
    using platform::WriteProfileString;
    WriteProfileString("Installed", "TesselPrint", "1", ini);
    WriteProfileString("Installed", "Closed", "1", ini);
    WriteProfileString("TesselPrint", "Port", "8080", ini);
    WriteProfileString("TesselPrint", "Icon", "Printer.bmp", ini);
    WriteProfileString("TesselPrint", "TesselMonitorName", "Print <Monitor>", ini);
    WriteProfileString("TesselPrint", "ReportName1", "Status", ini);
    WriteProfileString("TesselPrint", "URLName1", "PrintStatus.kvp", ini);
    WriteProfileString("TesselPrint", "Description1", "Current status", ini);
    WriteProfileString("TesselPrint", "ReportName2", "No description", ini);
    WriteProfileString("TesselPrint", "URLName2", "Nothing.kvp", ini);
    WriteProfileString("TesselPrint", "ReportName3", "Errors", ini);
    WriteProfileString("TesselPrint", "URLName3", "PrintErrors.kvp\"onmouseover=\"x", ini);
    WriteProfileString("TesselPrint", "Description3", "Recent alerts", ini);
    WriteProfileString("Closed", "Port", "0", ini);
    WriteProfileString("Closed", "TesselMonitorName", "Closed monitor", ini);
    WriteProfileString("Closed", "ReportName1", "Hidden", ini);
    WriteProfileString("Closed", "URLName1", "Hidden.kvp", ini);
    WriteProfileString("Closed", "Description1", "never shown", ini);

    std::string page;
    ASSERT_EQ(BuildHome(Request(), page), 1);
    EXPECT_NE(page.find("Print &lt;Monitor&gt;"), std::string::npos);
    EXPECT_NE(page.find("<a href=\"http://PRINTSRV:8080/PrintStatus.kvp\">Status</a>"),
              std::string::npos);
    EXPECT_EQ(page.find("No description"), std::string::npos);
    EXPECT_NE(page.find("http://PRINTSRV:8080/PrintErrors.kvp&quot;onmouseover=&quot;x"),
              std::string::npos);
    EXPECT_EQ(page.find("Closed monitor"), std::string::npos);
    EXPECT_NE(page.find("Welcome to Korvane."), std::string::npos);
    EXPECT_NE(page.find("Korvane Tessel Print Monitor"), std::string::npos);
}

}  // namespace
}  // namespace kvzn::web
