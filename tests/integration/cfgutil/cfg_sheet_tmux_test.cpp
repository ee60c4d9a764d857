// The interactive sheet driven through tmux: every page, the fields' messages, Apply
// restarting the real service registered as a SysV service in a private root, the log file
// viewer, and editing a remote store through a local transport.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "companion/registry.h"
#include "config/registry_names.h"
#include "config/scrambled_values.h"
#include "integration/platform/private_cupsd.h"
#include "integration/platform/pty_sessions.h"
#include "logmon/log_checks.h"
#include "platform/config_store.h"
#include "platform/process.h"
#include "printmon/print_server_monitor.h"
#include "support/child_process.h"
#include "support/mail_server.h"
#include "support/service_fixture.h"
#include "support/test_support.h"
#include "tmux_session.h"
#include "web/web_access.h"

namespace kvzn {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace value = config::value;

std::string HostName() {
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    std::string host = name;
    return host.substr(0, host.find('.'));
}

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) {
        ++count;
    }
    return count;
}

// Presses OK (F10) and waits for the refusal `message`, then closes its box; false when the
// message did not come.
bool RefusedOnOk(test::TmuxSession& tui, const std::string& message) {
    tui.Keys({"F10"});
    const bool shown = tui.WaitFor(message);
    tui.Keys({"Enter"});
    return shown;
}

class SheetTmuxTest : public ::testing::Test {
  protected:
    SheetTmuxTest() {
        fs::create_directories(root);
        fs::create_directories(bin);
        test::WriteFile(bin + "/update-rc.d", "#!/bin/sh\nexit 0\n", 0755);
        test::WriteFile(bin + "/pager", "#!/bin/sh\ncp \"$1\" '" + dir / "paged" + "'\n", 0755);
        WriteRequired(store, dir.path());
    }
    ~SheetTmuxTest() override {
        if (fs::exists(root + "/etc/init.d/kvZNPrint")) {
            platform::ProcessOptions options;
            options.timeout = 60s;
            platform::RunProcess({root + "/etc/init.d/kvZNPrint", "stop"}, options);
        }
    }
    static void WriteRequired(const std::string& path, const std::string& home) {
        companion::Registry reg(platform::OpenFileStore(path));
        reg.WriteText(config::kProductKey, value::kHome, home);
        reg.WriteText(config::kProductKey, value::kDataDirectory, home + "/data");
        reg.WriteText(config::kProductKey, value::kHTMLTargetDirectory, home + "/html");
        reg.WriteText(config::kProductKey, value::kImagesDirectory, home + "/images");
    }
    std::string Path() const {
        const char* path = std::getenv("PATH");
        return bin + ":" + (path ? path : "/usr/sbin:/usr/bin:/sbin:/bin");
    }
    std::string Command(const std::string& server, const std::string& extra = {}) const {
        return "env LANG=C.UTF-8 TERM=screen KVZN_REGISTRY='" + store + "' KVZN_SYSTEM_ROOT='" +
               root + "' PATH='" + Path() + "' PAGER='" + bin + "/pager' " + extra + " " +
               KVZN_CFG_EXE + " " + server;
    }
    std::string Get(const std::string& path, const std::string& key, const char* name) {
        auto v = platform::OpenFileStore(path)->ReadValue(key, name);
        if (!v.ok() || !v->has_value()) {
            return "<missing>";
        }
        return (*v)->type == platform::StoreValue::Type::Number ? std::to_string((*v)->number)
                                                                : (*v)->text;
    }

    // A service context whose store holds what the sheet wrote, for the service's readers.
    void LoadInto(test::ServiceFixture& fx) {
        platform::StoreTree written;
        ASSERT_TRUE(platform::OpenFileStore(store)
                        ->Read([&](const platform::StoreTree& t) { written = t; })
                        .ok());
        ASSERT_TRUE(fx.store
                        ->Update([&](platform::StoreTree& t) {
                            t = written;
                            return true;
                        })
                        .ok());
    }
    // Ends the sheet with OK, declining the restart.
    static void OkWithoutRestart(test::TmuxSession& tui) {
        tui.Keys({"F10"});
        EXPECT_TRUE(tui.WaitFor("Apply Changes Now")) << tui.last();
        tui.Keys({"n"});
        EXPECT_TRUE(test::WaitUntil([&] { return !tui.Running(); }, 10s)) << tui.Screen();
    }

    test::TempDir dir;
    const std::string root = dir / "root";
    const std::string bin = dir / "bin";
    const std::string store = dir / "registry.reg";
};

// Types `text` into the field the cursor is on, replacing what it held.
void Replace(test::TmuxSession& tui, const std::string& text) {
    tui.Keys({"C-u"});
    tui.Type(text);
}

// Moves the cursor down `n` fields.
void Down(test::TmuxSession& tui, int n) {
    for (int i = 0; i < n; ++i) {
        tui.Keys({"Down"});
    }
}

TEST_F(SheetTmuxTest, EveryPageRefusesBadValuesAndApplyRestartsTheService) {
    // The service, registered and started through its SysV init script in the private root.
    {
        test::ChildProcess reg(
            {KVZN_PRINT_EXE, "/register"},
            {"KVZN_REGISTRY=" + store, "KVZN_SYSTEM_ROOT=" + root, "PATH=" + Path()}, dir.path());
        ASSERT_EQ(reg.Wait(60s).value_or(-1), 0) << reg.Output();
    }
    platform::ProcessOptions options;
    options.timeout = 30s;
    auto started = platform::RunProcess({root + "/etc/init.d/kvZNPrint", "start"}, options);
    ASSERT_TRUE(started.ok());
    ASSERT_EQ(started->exitCode, 0) << started->output;
    const std::string firstLog = dir / "KVZN.LOG";
    ASSERT_TRUE(test::WaitUntil(
        [&] { return test::ReadFile(firstLog).find("Startup Complete") != std::string::npos; },
        15s));

    test::TmuxSession tui(dir / "tmux.sock", Command(HostName()));
    ASSERT_TRUE(tui.started());
    ASSERT_TRUE(tui.WaitFor("Local Machine")) << tui.last();
    EXPECT_TRUE(tui.WaitFor("F3 Stop...")) << tui.last();

    // Every page in turn, each showing its own fields.
    const std::vector<std::string> pageFields = {
        "Perform above checks every",
        "Check the printers every",
        "Check the disk space every",
        "Poll the event logs every",
        "Check the performance counters",
        "Delete performance data after",
        "SMTP server port",
        "Cache this no. alerts locally (min. 50)",
    };
    for (size_t page = 0; page < pageFields.size(); ++page) {
        EXPECT_TRUE(tui.WaitFor(pageFields[page])) << page << "\n" << tui.last();
        if (page + 1 < pageFields.size()) {
            tui.Keys({"PgDn"});
        }
    }

    // Settings: cached alerts and the listen port refuse their values with their messages.
    Down(tui, 5);
    Replace(tui, "49");
    tui.Keys({"PgUp"});
    EXPECT_TRUE(tui.WaitFor("The number of cached alerts must be 50 or more ...")) << tui.last();
    tui.Keys({"Enter"});
    Replace(tui, "60");
    Down(tui, 2);
    Replace(tui, "0");
    tui.Keys({"F2"});
    EXPECT_TRUE(tui.WaitFor("Please enter a valid listen port")) << tui.last();
    tui.Keys({"Enter"});
    Replace(tui, "8123");
    tui.Keys({"PgUp"});
    EXPECT_TRUE(tui.WaitFor("Update Monitor Listen Port")) << tui.last();
    tui.Keys({"y"});

    // Alerting: the SMTP port (the message title and text have their own dialog, tested
    // with the response codes).
    EXPECT_TRUE(tui.WaitFor("SMTP server port")) << tui.last();
    Down(tui, 1);
    Replace(tui, "0");
    tui.Keys({"PgDn"});
    EXPECT_TRUE(tui.WaitFor("Please enter the port for your SMTP server.")) << tui.last();
    tui.Keys({"Enter"});
    Replace(tui, "2525");

    // Logging: retention hours from 1 to 200.
    tui.Keys({"PgUp"});
    EXPECT_TRUE(tui.WaitFor("Delete performance data after")) << tui.last();
    Down(tui, 2);
    Replace(tui, "201");
    tui.Keys({"PgDn"});
    EXPECT_TRUE(tui.WaitFor("The number of hours specified cannot be less than 1")) << tui.last();
    tui.Keys({"Enter"});
    Replace(tui, "48");
    tui.Keys({"PgDn", "PgDn"});

    // Settings again: restart automatically, and a new activity log file that only the
    // restarted service can have written.
    EXPECT_TRUE(tui.WaitFor("Cache this no. alerts")) << tui.last();
    Replace(tui, "1");
    // The web security dialog: a confirmation that differs, then a new password, then a
    // wrong current one.
    auto passwords = [&](const std::vector<std::string>& typed) {
        tui.Keys({"F5"});
        EXPECT_TRUE(tui.WaitFor("Client addresses")) << tui.last();
        tui.Keys({"Enter"});
        for (const std::string& text : typed) {
            EXPECT_TRUE(tui.WaitFor(" password :")) << tui.last();
            tui.Type(text);
            tui.Keys({"Enter"});
        }
    };
    passwords({"pw1", "pw2"});
    EXPECT_TRUE(tui.WaitFor("The new password and it's confirmation do not match")) << tui.last();
    tui.Keys({"Enter"});
    passwords({"pw1", "pw1"});
    passwords({"nope"});
    EXPECT_TRUE(tui.WaitFor("The password entered is incorrect ...")) << tui.last();
    tui.Keys({"Enter"});
    // Declining "no password" keeps the requirement as it was.
    Down(tui, 10);
    Replace(tui, "3");
    tui.Keys({"PgDn"});
    EXPECT_TRUE(tui.WaitFor("Confirm No Password")) << tui.last();
    tui.Keys({"n"});
    EXPECT_TRUE(tui.WaitFor("Perform above checks every")) << tui.last();
    tui.Keys({"PgUp"});
    EXPECT_TRUE(tui.WaitFor("Cache this no. alerts")) << tui.last();
    Down(tui, 12);
    Replace(tui, "AFTER.LOG");
    tui.Keys({"F2"});
    EXPECT_TRUE(tui.WaitFor("Please wait while the Tessel Monitor is restarted", 5s)) << tui.last();
    const std::string secondLog = dir / "AFTER.LOG";
    EXPECT_TRUE(test::WaitUntil(
        [&] { return test::ReadFile(secondLog).find("Startup Complete") != std::string::npos; },
        60s))
        << test::ReadFile(firstLog);
    EXPECT_NE(test::ReadFile(firstLog).find("Shutdown Complete"), std::string::npos);

    EXPECT_EQ(Get(store, config::kProductKey, value::kMaxStoredMsgs), "60");
    EXPECT_EQ(Get(store, config::kProductKey, value::kHTTPListenPortNo), "8123");
    EXPECT_EQ(Get(store, config::kProductKey, value::kStartAutomatically), "1");
    EXPECT_EQ(Get(store, config::SubKey("Contacts"), "E-Mail Server Port"), "2525");
    EXPECT_EQ(Get(store, config::SubKey("AlertLogging"), "AutoDelTime"), "48");
    EXPECT_NE(Get(store, config::kProductKey, value::kLastConfigUpdateTime), "<missing>");
    EXPECT_EQ(Get(store, config::kProductKey, value::kWebSessionLogon), "<missing>");
    auto password = platform::OpenFileStore(store)->ReadValue(config::kProductKey, "Data2");
    ASSERT_TRUE(password.ok() && password->has_value());
    EXPECT_EQ(config::UnscrambleBytes((*password)->binary), "pw1");
    // The port also reaches the web server's own file in the home directory.
    EXPECT_NE(test::ReadFile(dir / "kvZNWebServer.ini").find("Port=8123"), std::string::npos);

    // The log viewer gets the log file the store names now.
    EXPECT_TRUE(tui.WaitFor("F3 Stop...", 30s)) << tui.last();
    tui.Keys({"F6"});
    EXPECT_TRUE(test::WaitUntil([&] { return fs::exists(dir / "paged"); }, 10s));
    EXPECT_EQ(test::ReadFile(dir / "paged").substr(0, 20), test::ReadFile(secondLog).substr(0, 20));

    // Cancel with nothing unapplied ends at once.
    tui.Keys({"Escape"});
    EXPECT_TRUE(test::WaitUntil([&] { return !tui.Running(); }, 10s)) << tui.Screen();
    EXPECT_EQ(Occurrences(test::ReadFile(secondLog), "Startup Complete"), 1u);
}

TEST_F(SheetTmuxTest, RemoteStoreIsEditedThroughTheTransportAndChangesMeanwhileAreKept) {
    const std::string remote = dir / "remote.reg";
    fs::create_directories(dir / "remotehome");
    WriteRequired(remote, dir / "remotehome");
    // The transport takes the place of ssh: it ignores the host and runs the agent here.
    test::WriteFile(bin + "/transport",
                    "#!/bin/sh\necho \"$*\" > '" + dir / "transport.args" +
                        "'\nexec env KVZN_REGISTRY='" + remote + "' KVZN_SYSTEM_ROOT='" + root +
                        "' " + KVZN_CFG_EXE + " --agent\n",
                    0755);
    test::TmuxSession tui(dir / "tmux.sock",
                          Command("printhost", "KVZN_TRANSPORT='" + bin + "/transport'"));
    ASSERT_TRUE(tui.WaitFor("Configuration Utility on printhost")) << tui.last();
    EXPECT_TRUE(tui.WaitFor("Store: printhost:" + remote)) << tui.last();
    EXPECT_EQ(test::ReadFile(dir / "transport.args"), "printhost kvZNPrintCfg --agent\n");

    Replace(tui, "7");
    tui.Keys({"F6"});
    EXPECT_TRUE(tui.WaitFor("log file of a remote server cannot be shown")) << tui.last();
    tui.Keys({"Enter"});
    // Meanwhile the remote service moves its own bookkeeping value on; it must survive.
    companion::Registry(platform::OpenFileStore(remote))
        .WriteNumber(config::kProductKey, value::kStoredMsgNo, 42);
    tui.Keys({"F10"});
    EXPECT_TRUE(tui.WaitFor("Apply Changes Now")) << tui.last();
    tui.Keys({"n"});
    EXPECT_TRUE(test::WaitUntil([&] { return !tui.Running(); }, 10s)) << tui.Screen();

    EXPECT_EQ(Get(remote, config::kProductKey, value::kPrintInterval), "7");
    EXPECT_EQ(Get(remote, config::kProductKey, value::kStoredMsgNo), "42");
    EXPECT_NE(Get(remote, config::kProductKey, value::kLastConfigUpdateTime), "<missing>");
    EXPECT_EQ(Get(store, config::kProductKey, value::kPrintInterval), "<missing>");
}

TEST_F(SheetTmuxTest, ListEntriesAreCheckedAndRewrittenAsAWhole) {
    // An entry after a gap, which the service never reads, goes when the list is rewritten.
    companion::Registry reg(platform::OpenFileStore(store));
    const std::string disks = config::SubKey("Disk Space");
    reg.WriteNumber(disks + "\\Disk1", "Enabled", 1);
    reg.WriteText(disks + "\\Disk1", "Drive", "/var");
    reg.WriteNumber(disks + "\\Disk3", "Enabled", 1);
    test::TmuxSession tui(dir / "tmux.sock", Command(HostName()));
    ASSERT_TRUE(tui.WaitFor("Local Machine")) << tui.last();
    tui.Keys({"PgDn", "PgDn"});
    EXPECT_TRUE(tui.WaitFor("F11 Entries...")) << tui.last();
    tui.Keys({"F11"});
    EXPECT_TRUE(tui.WaitFor("Disk1  Enabled=1  Drive=/var")) << tui.last();

    // A new entry refuses a percentage over 100 and acting before the first error.
    tui.Keys({"a"});
    EXPECT_TRUE(tui.WaitFor("Disk Space: Disk2")) << tui.last();
    Down(tui, 1);
    Replace(tui, "/");
    Down(tui, 2);
    Replace(tui, "150");
    Down(tui, 1);
    Replace(tui, "0");
    EXPECT_TRUE(RefusedOnOk(tui, "The percentage entered must be from 1 to 100...")) << tui.last();
    Replace(tui, "10");
    EXPECT_TRUE(RefusedOnOk(tui, "Notify after No. of Errors must be 1 of higher.")) << tui.last();
    Replace(tui, "2");
    tui.Keys({"F10"});
    EXPECT_TRUE(tui.WaitFor("Disk2  Enabled=1  Drive=/")) << tui.last();

    // Deleting the first entry asks first; the rest move up.
    tui.Keys({"Up", "d"});
    EXPECT_TRUE(tui.WaitFor("Are you sure you want to delete this entry ...?")) << tui.last();
    tui.Keys({"y"});
    EXPECT_TRUE(tui.WaitFor("Disk1  Enabled=1  Drive=/  ")) << tui.last();
    tui.Keys({"Escape"});
    EXPECT_TRUE(tui.WaitFor("(changes not applied)")) << tui.last();
    tui.Keys({"F10"});
    EXPECT_TRUE(tui.WaitFor("Apply Changes Now")) << tui.last();
    tui.Keys({"n"});
    EXPECT_TRUE(test::WaitUntil([&] { return !tui.Running(); }, 10s)) << tui.Screen();

    EXPECT_EQ(Get(store, disks + "\\Disk1", "Drive"), "/");
    EXPECT_EQ(Get(store, disks + "\\Disk1", "%Used"), "10");
    EXPECT_EQ(Get(store, disks + "\\Disk1", "CountBeforeAction"), "2");
    EXPECT_FALSE(reg.KeyExists(disks + "\\Disk2"));
    EXPECT_FALSE(reg.KeyExists(disks + "\\Disk3"));
}

TEST_F(SheetTmuxTest, RecipientsRefuseWindowsThatNeverOpen) {
    test::TmuxSession tui(dir / "tmux.sock", Command(HostName()));
    ASSERT_TRUE(tui.WaitFor("Local Machine")) << tui.last();
    tui.Keys({"PgUp", "PgUp"});
    EXPECT_TRUE(tui.WaitFor("SMTP server port")) << tui.last();
    tui.Keys({"F11"});
    EXPECT_TRUE(tui.WaitFor("Network message recipients")) << tui.last();
    tui.Keys({"Enter"});
    EXPECT_TRUE(tui.WaitFor("(no entries)")) << tui.last();
    tui.Keys({"a"});
    EXPECT_TRUE(tui.WaitFor("Alerting: Entry1")) << tui.last();
    tui.Type("ops@example.com");
    Down(tui, 1);
    Replace(tui, "0");
    EXPECT_TRUE(RefusedOnOk(tui, "Please select at least one Alert Level...")) << tui.last();
    Replace(tui, "5");
    Down(tui, 1);
    Replace(tui, "0000000");
    EXPECT_TRUE(RefusedOnOk(tui, "Please select a day...")) << tui.last();
    Replace(tui, "0111110");
    Down(tui, 1);
    Replace(tui, "08:00");
    Down(tui, 1);
    Replace(tui, "08:00");
    EXPECT_TRUE(RefusedOnOk(tui, "The Start and End Times cannot be the same...")) << tui.last();
    Replace(tui, "18:00");
    tui.Keys({"F10"});
    EXPECT_TRUE(tui.WaitFor("Entry1  EMail1=ops@example.com  EMailLevel1=5")) << tui.last();
    tui.Keys({"Escape", "F10"});
    EXPECT_TRUE(tui.WaitFor("Apply Changes Now")) << tui.last();
    tui.Keys({"n"});
    EXPECT_TRUE(test::WaitUntil([&] { return !tui.Running(); }, 10s)) << tui.Screen();

    const std::string contacts = config::SubKey("Contacts");
    EXPECT_EQ(Get(store, contacts, "EMail1"), "ops@example.com");
    EXPECT_EQ(Get(store, contacts, "EMailLevel1"), "5");
    EXPECT_EQ(Get(store, contacts, "EmailMask1"), "0111110");
    EXPECT_EQ(Get(store, contacts, "EmailStartTime1"), "08:00");
    EXPECT_EQ(Get(store, contacts, "EmailEndTime1"), "18:00");
    // What the sheet wrote passes the store check.
    test::ChildProcess check({KVZN_CFG_EXE, "--registry", store, "check"});
    EXPECT_EQ(check.Wait(30s).value_or(-1), 0) << check.Output();
}

TEST_F(SheetTmuxTest, TestEMailGoesThroughTheRealSmtpClient) {
    if (!test::HaveAiosmtpd()) {
        GTEST_SKIP() << "python3-aiosmtpd is not installed";
    }
    test::MailServer mail(dir.path());
    ASSERT_TRUE(mail.ready()) << mail.Output();
    test::TmuxSession tui(dir / "tmux.sock", Command(HostName()));
    ASSERT_TRUE(tui.WaitFor("Local Machine")) << tui.last();
    for (int i = 0; i < 6; ++i) {
        tui.Keys({"PgDn"});
    }
    EXPECT_TRUE(tui.WaitFor("F9 Test E-mail...")) << tui.last();
    Replace(tui, "127.0.0.1");
    Down(tui, 1);
    Replace(tui, std::to_string(mail.port()));
    Down(tui, 1);
    Replace(tui, "monitor@example.com");
    tui.Keys({"F9"});
    EXPECT_TRUE(tui.WaitFor("Send a test e-mail to")) << tui.last();
    tui.Type("ops@example.com");
    tui.Keys({"Enter"});
    EXPECT_TRUE(tui.WaitFor("Processing complete ...", 30s)) << tui.last();
    EXPECT_NE(tui.last().find("Generating test e-mail ..."), std::string::npos) << tui.last();
    EXPECT_NE(tui.last().find("The e-mail was sent successfully ..."), std::string::npos)
        << tui.last();
    ASSERT_TRUE(test::WaitUntil([&] { return mail.Count() == 1; }, 10s));
    const test::Mail sent = mail.Messages().front();
    EXPECT_NE(sent.Header("Subject").find("*** Test Message ***"), std::string::npos);
    EXPECT_NE(sent.Header("To").find("ops@example.com"), std::string::npos);

    // A server that is not there gives the client's own error lines.
    tui.Keys({"Enter", "Up"});
    Replace(tui, "1");
    tui.Keys({"F9"});
    EXPECT_TRUE(tui.WaitFor("Send a test e-mail to")) << tui.last();
    tui.Type("ops@example.com");
    tui.Keys({"Enter"});
    EXPECT_TRUE(tui.WaitFor("Processing complete ...", 30s)) << tui.last();
    EXPECT_NE(tui.last().find("Error: Unable to connect to the SMTP server"), std::string::npos)
        << tui.last();
}

TEST_F(SheetTmuxTest, PrintersAndTheirChecksAreEditedAndTheMonitorReadsThem) {
    // A printer written earlier, with a check subkey that a rewrite of the list must keep.
    companion::Registry reg(platform::OpenFileStore(store));
    const std::string printers = config::SubKey("Printers");
    reg.WriteText(printers + "\\Printer1", "Printer", "old");
    reg.WriteNumber(printers + "\\Printer1\\Check Printer Paused", "Enabled", 1);
    reg.WriteNumber(printers + "\\Printer1\\Check Printer Paused", "CountBeforeAction", 2);
    // No spooler answers, so nothing is offered and the name is typed.
    test::TmuxSession tui(dir / "tmux.sock",
                          Command(HostName(), "CUPS_SERVER='" + dir / "no-cups.sock" + "'"));
    ASSERT_TRUE(tui.WaitFor("Local Machine")) << tui.last();
    tui.Keys({"PgDn"});
    EXPECT_TRUE(tui.WaitFor("Check the printers every")) << tui.last();
    tui.Keys({"F11"});
    EXPECT_TRUE(tui.WaitFor("Printer1  Printer=old  (1 of 7 checks enabled)")) << tui.last();

    // A printer needs its name; its stalled-printing check refuses acting before the first
    // error.
    tui.Keys({"a"});
    EXPECT_TRUE(tui.WaitFor("Printer Status: Printer2")) << tui.last();
    EXPECT_TRUE(RefusedOnOk(tui, "Please enter the name of the printer ...")) << tui.last();
    tui.Type("lp2");
    tui.Keys({"F11"});
    EXPECT_TRUE(tui.WaitFor("Check Stalled Printing")) << tui.last();
    Down(tui, 6);
    tui.Keys({"Enter"});
    EXPECT_TRUE(tui.WaitFor("Printer2: Check Stalled Printing")) << tui.last();
    EXPECT_TRUE(tui.WaitFor("Stalled after (minutes without progress)")) << tui.last();
    Replace(tui, "1");
    Down(tui, 1);
    Replace(tui, "12");
    Down(tui, 3);
    Replace(tui, "0");
    tui.Keys({"F10"});
    EXPECT_TRUE(tui.WaitFor("The 'Notify After No. Errors' value must be 1 or higher"))
        << tui.last();
    tui.Keys({"Enter"});
    Replace(tui, "3");
    tui.Keys({"F10"});
    EXPECT_TRUE(tui.WaitFor("Check Stalled Printing  (enabled)")) << tui.last();
    // The queue length check, opened and left with Escape, stays as it was.
    tui.Keys({"Up", "Up", "Up", "Up", "Up", "Enter"});
    EXPECT_TRUE(tui.WaitFor("Printer2: Check Print Queue Length")) << tui.last();
    Replace(tui, "1");
    tui.Keys({"Escape"});
    EXPECT_TRUE(tui.WaitFor("Check Stalled Printing  (enabled)")) << tui.last();
    tui.Keys({"Escape"});
    EXPECT_TRUE(tui.WaitFor("F11 Checks...")) << tui.last();
    tui.Keys({"F10"});
    EXPECT_TRUE(tui.WaitFor("Printer2  Printer=lp2  (1 of 7 checks enabled)")) << tui.last();
    tui.Keys({"Escape"});
    OkWithoutRestart(tui);

    EXPECT_EQ(Get(store, printers + "\\Printer2", "Printer"), "lp2");
    EXPECT_EQ(Get(store, printers + "\\Printer2\\Check Print Queue Length", "Enabled"),
              "<missing>");
    // The print server monitor reads both printers with their checks.
    test::ServiceFixture fx;
    LoadInto(fx);
    printmon::PrintServerConfig config;
    printmon::PrintServer_Config(fx.context, config);
    ASSERT_EQ(config.printers.size(), 2u);
    EXPECT_EQ(config.printers[0].name, "old");
    ASSERT_EQ(config.printers[0].checks.size(), 1u);
    EXPECT_EQ(config.printers[0].checks[0].title, "Check Printer Paused");
    EXPECT_EQ(config.printers[0].checks[0].fields.countBeforeAction, 2u);
    EXPECT_EQ(config.printers[1].name, "lp2");
    ASSERT_EQ(config.printers[1].checks.size(), 1u);
    EXPECT_EQ(config.printers[1].checks[0].title, "Check Stalled Printing");
    EXPECT_EQ(config.printers[1].checks[0].fields.threshold, 12u);
    EXPECT_EQ(config.printers[1].checks[0].fields.countBeforeAction, 3u);
}

TEST_F(SheetTmuxTest, LogEntriesWithKeywordsAndWebAddressesReachTheirReaders) {
    test::TmuxSession tui(dir / "tmux.sock", Command(HostName()));
    ASSERT_TRUE(tui.WaitFor("Local Machine")) << tui.last();
    // Web access: an address with an octet over 255 is refused; a list of an address and a
    // leading part is taken.
    tui.Keys({"PgUp"});
    EXPECT_TRUE(tui.WaitFor("Cache this no. alerts")) << tui.last();
    tui.Keys({"F5"});
    EXPECT_TRUE(tui.WaitFor("Client addresses (Add/Edit IP Address or Mask)")) << tui.last();
    tui.Keys({"Down", "Enter"});
    EXPECT_TRUE(tui.WaitFor("Web access addresses")) << tui.last();
    tui.Keys({"a"});
    EXPECT_TRUE(tui.WaitFor("Add/Edit IP Address or Mask: Entry1")) << tui.last();
    tui.Type("192.168.1.300");
    tui.Keys({"F10"});
    EXPECT_TRUE(tui.WaitFor("Please enter an IP address, or the leading part of one"))
        << tui.last();
    tui.Keys({"Enter"});
    Replace(tui, "10.1.2.");
    tui.Keys({"F10"});
    EXPECT_TRUE(tui.WaitFor("Entry1  Address1=10.1.2.")) << tui.last();
    tui.Keys({"a"});
    EXPECT_TRUE(tui.WaitFor("Add/Edit IP Address or Mask: Entry2")) << tui.last();
    tui.Type("127.0.0.1, 192.168.");
    tui.Keys({"F10"});
    EXPECT_TRUE(tui.WaitFor("Entry2  Address2=127.0.0.1, 192.168.")) << tui.last();
    tui.Keys({"Escape"});

    // A text log file entry needs its file and a numeric event ID; its keyword groups are a
    // list of their own.
    tui.Keys({"PgDn", "PgDn", "PgDn", "PgDn"});
    EXPECT_TRUE(tui.WaitFor("Poll the event logs every")) << tui.last();
    tui.Keys({"F11"});
    EXPECT_TRUE(tui.WaitFor("Event logs and log files")) << tui.last();
    tui.Keys({"a"});
    EXPECT_TRUE(tui.WaitFor("Event Logs/Files: Log1")) << tui.last();
    tui.Keys({"F10"});
    EXPECT_TRUE(tui.WaitFor("Please enter the log file or the event log to monitor ..."))
        << tui.last();
    tui.Keys({"Enter"});
    Down(tui, 2);
    Replace(tui, "/var/log/app.log");
    Down(tui, 1);
    Replace(tui, "disk watch");
    Down(tui, 1);
    Replace(tui, "12x");
    tui.Keys({"F10"});
    EXPECT_TRUE(tui.WaitFor("Please enter the event ID as a number")) << tui.last();
    tui.Keys({"Enter", "C-u", "F11"});
    EXPECT_TRUE(tui.WaitFor("Include keywords  (0)")) << tui.last();
    tui.Keys({"Enter"});
    EXPECT_TRUE(tui.WaitFor("(no entries)")) << tui.last();
    tui.Keys({"a"});
    EXPECT_TRUE(RefusedOnOk(tui, "Please enter the keywords of the group ...")) << tui.last();
    tui.Type("disk [AND] full");
    tui.Keys({"F10"});
    EXPECT_TRUE(tui.WaitFor("Entry1  KeywordInclude1=disk [AND] full")) << tui.last();
    tui.Keys({"a"});
    tui.Type("quota");
    tui.Keys({"F10"});
    EXPECT_TRUE(tui.WaitFor("Entry2  KeywordInclude2=quota")) << tui.last();
    tui.Keys({"Escape"});
    EXPECT_TRUE(tui.WaitFor("Include keywords  (2)")) << tui.last();
    tui.Keys({"Escape", "F10"});
    EXPECT_TRUE(tui.WaitFor("Log1  LogType=3  Enabled=1  File=/var/log/app.log")) << tui.last();
    tui.Keys({"Escape"});
    OkWithoutRestart(tui);

    const std::string log1 = config::SubKey("LOGS") + "\\Log1";
    EXPECT_EQ(Get(store, log1, "KeywordInclude2"), "quota");
    EXPECT_EQ(Get(store, log1, "KeywordInclude3"), "<missing>");
    test::ServiceFixture fx;
    LoadInto(fx);
    std::vector<std::pair<std::string, logmon::LogCheck>> taken;
    logmon::ReadLogChecks(fx.context, logmon::IsLogFileType,
                          [&](uint32_t, std::string file, logmon::LogCheck check) {
                              taken.emplace_back(std::move(file), std::move(check));
                          });
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].first, "/var/log/app.log");
    EXPECT_EQ(taken[0].second.name, "disk watch");
    ASSERT_EQ(taken[0].second.include.size(), 2u);
    EXPECT_EQ(taken[0].second.include[0].terms, (std::vector<std::string>{"disk", "full"}));
    // The web server admits the clients the list names, and no others.
    const web::AddressList addresses(fx.registry);
    EXPECT_EQ(addresses.CheckWebAccessFromClient("10.1.2.40"), 1);
    EXPECT_EQ(addresses.CheckWebAccessFromClient("192.168.7.1"), 1);
    EXPECT_EQ(addresses.CheckWebAccessFromClient("10.1.3.1"), 0);
    test::ChildProcess check({KVZN_CFG_EXE, "--registry", store, "check"});
    EXPECT_EQ(check.Wait(30s).value_or(-1), 0) << check.Output();
}

TEST_F(SheetTmuxTest, BuiltInChecksAndAlertScriptsAreEdited) {
    test::TmuxSession tui(dir / "tmux.sock", Command(HostName()));
    ASSERT_TRUE(tui.WaitFor("Local Machine")) << tui.last();
    // The built-in service checks are fixed: none is added, each is edited in place.
    tui.Keys({"F11"});
    EXPECT_TRUE(tui.WaitFor("Built-in service checks")) << tui.last();
    tui.Keys({"Down", "Enter"});
    EXPECT_TRUE(tui.WaitFor("Ensure Windows Time service is running")) << tui.last();
    tui.Keys({"a"});
    EXPECT_TRUE(tui.WaitFor("The built-in checks cannot be added or deleted")) << tui.last();
    tui.Keys({"Enter"});
    Down(tui, 5);
    tui.Keys({"Enter"});
    EXPECT_TRUE(tui.WaitFor("Service Monitoring: Ensure Print Spooler service is running"))
        << tui.last();
    Replace(tui, "1");
    Down(tui, 1);
    Replace(tui, "cups");
    Down(tui, 1);
    Replace(tui, "0");
    EXPECT_TRUE(RefusedOnOk(tui, "Notify after No. of Errors must be 1 of higher.")) << tui.last();
    Replace(tui, "2");
    tui.Keys({"F10"});
    EXPECT_TRUE(tui.WaitFor("Ensure Print Spooler service is running  Enabled=1  Service=cups"))
        << tui.last();
    tui.Keys({"Escape"});

    // A SysLog alert script needs its file, a level and a window that opens.
    tui.Keys({"PgUp", "PgUp"});
    EXPECT_TRUE(tui.WaitFor("SMTP server port")) << tui.last();
    tui.Keys({"F11"});
    EXPECT_TRUE(tui.WaitFor("SysLog alert scripts")) << tui.last();
    Down(tui, 4);
    tui.Keys({"Enter"});
    EXPECT_TRUE(tui.WaitFor("(no entries)")) << tui.last();
    tui.Keys({"a"});
    EXPECT_TRUE(tui.WaitFor("Alerting: Entry1")) << tui.last();
    EXPECT_TRUE(RefusedOnOk(tui, "Please enter the script file to run ...")) << tui.last();
    tui.Type("\"/etc/kvzn/syslog alert.txt\"");
    Down(tui, 1);
    Replace(tui, "0");
    EXPECT_TRUE(RefusedOnOk(tui, "Please select at least one Alert Level...")) << tui.last();
    Replace(tui, "6");
    Down(tui, 2);
    Replace(tui, "23:00");
    Down(tui, 1);
    Replace(tui, "23:00");
    EXPECT_TRUE(RefusedOnOk(tui, "The Start and End Times cannot be the same...")) << tui.last();
    Replace(tui, "06:00");
    tui.Keys({"F10"});
    EXPECT_TRUE(tui.WaitFor("alert.txt\"  ScriptSysLogLevel1=6")) << tui.last();
    tui.Keys({"Escape"});
    OkWithoutRestart(tui);

    const std::string spooler =
        config::SubKey("Print") + "\\Ensure Print Spooler service is running";
    EXPECT_EQ(Get(store, spooler, "Enabled"), "1");
    EXPECT_EQ(Get(store, spooler, "Service"), "cups");
    EXPECT_EQ(Get(store, spooler, "CountBeforeAction"), "2");
    // Only the edited built-in check was written.
    EXPECT_EQ(Get(store, config::SubKey("Print") + "\\Ensure UPS service is running", "Enabled"),
              "<missing>");
    const std::string engine = config::SubKey("AlertEngine");
    EXPECT_EQ(Get(store, engine, "ScriptSysLog1"), "\"/etc/kvzn/syslog alert.txt\"");
    EXPECT_EQ(Get(store, engine, "ScriptSysLogLevel1"), "6");
    EXPECT_EQ(Get(store, engine, "ScriptSysLogStartTime1"), "23:00");
    EXPECT_EQ(Get(store, engine, "ScriptSysLogEndTime1"), "06:00");
}

TEST_F(SheetTmuxTest, NetworkMessageAndAlertScriptTestsRunTheServiceDeliveryCode) {
    // A logged-in user whose terminal takes messages, in the private root's login records.
    test::PtySession terminal("nobody", true);
    fs::create_directories(root + "/var/run");
    test::WriteLoginRecords(root + "/var/run/utmp", {{"nobody", terminal.line()}});
    // A command script, applied earlier, whose window never opens: a test runs it anyway.
    companion::Registry reg(platform::OpenFileStore(store));
    const std::string engine = config::SubKey("AlertEngine");
    test::WriteFile(dir / "alert.sh",
                    "printf '%s|%s' <$$TITLE> <$$INFO1> > '" + dir / "ran" + "'\n");
    reg.WriteText(engine, "ScriptCMD1", dir / "alert.sh");
    reg.WriteNumber(engine, "ScriptCMDLevel1", 1);
    reg.WriteText(engine, "ScriptCMDMask1", "0000000");
    test::TmuxSession tui(dir / "tmux.sock", Command(HostName()));
    ASSERT_TRUE(tui.WaitFor("Local Machine")) << tui.last();
    tui.Keys({"PgUp", "PgUp"});
    EXPECT_TRUE(tui.WaitFor("F12 Test Message/Scripts...")) << tui.last();
    // On an 80x24 terminal the page's tab and every command key of the page are shown whole.
    tui.Resize(80, 24);
    EXPECT_TRUE(test::WaitUntil(
        [&] {
            const std::string screen = tui.Screen();
            return std::count(screen.begin(), screen.end(), '\n') == 24 &&
                   screen.find(" Alerting ") != std::string::npos &&
                   screen.find("F12 Test Message/Scripts...") != std::string::npos &&
                   screen.find("F10 OK  Esc Cancel") != std::string::npos &&
                   screen.find("F6 Display Log File...") != std::string::npos;
        },
        10s))
        << tui.Screen();
    tui.Resize(160, 40);
    EXPECT_TRUE(tui.WaitFor("Log File...  F5 Message Settings...")) << tui.last();

    tui.Keys({"F12"});
    EXPECT_TRUE(tui.WaitFor("Test network message")) << tui.last();
    tui.Keys({"Enter"});
    EXPECT_TRUE(tui.WaitFor("Send a test network message to")) << tui.last();
    tui.Keys({"C-u"});
    tui.Type("nobody");
    tui.Keys({"Enter"});
    EXPECT_TRUE(tui.WaitFor("Processing complete ...", 30s)) << tui.last();
    EXPECT_NE(tui.last().find("Generating test message ..."), std::string::npos) << tui.last();
    EXPECT_NE(tui.last().find("Sending the test network message ..."), std::string::npos)
        << tui.last();
    const std::string received = terminal.Read();
    EXPECT_NE(received.find("Message from kvZNPrint@"), std::string::npos) << received;
    EXPECT_NE(received.find("Error/Check Performed: *** Test Message ***"), std::string::npos)
        << received;
    tui.Keys({"Enter"});

    tui.Keys({"F12"});
    EXPECT_TRUE(tui.WaitFor("Test alert scripts")) << tui.last();
    tui.Keys({"Down", "Enter"});
    EXPECT_TRUE(tui.WaitFor("Processing complete ...", 30s)) << tui.last();
    EXPECT_NE(tui.last().find("Compiling file/script " + dir / "alert.sh"), std::string::npos)
        << tui.last();
    EXPECT_TRUE(test::WaitUntil([&] { return fs::exists(dir / "ran"); }, 10s));
    EXPECT_EQ(test::ReadFile(dir / "ran"), "*** Test Message ***|Korvane Test Only");
    // Nothing was changed, so the sheet ends without asking.
    tui.Keys({"Enter", "Escape"});
    EXPECT_TRUE(test::WaitUntil([&] { return !tui.Running(); }, 10s)) << tui.Screen();
}

TEST_F(SheetTmuxTest, AddingAPrinterOffersTheQueuesOfTheSpooler) {
    if (!fs::exists(test::PrivateCupsd::kProgram) || ::geteuid() != 0) {
        GTEST_SKIP() << "needs cupsd and root (backends must be owned by root)";
    }
    test::PrivateCupsd cupsd;
    ASSERT_TRUE(cupsd.Start()) << test::ReadFile(cupsd.dir() + "/log/error_log");
    const auto [status, output] =
        cupsd.Client({"lpadmin", "-p", "Front_Desk", "-v", "kvzntest://front", "-E"});
    ASSERT_EQ(status, 0) << output;
    {
        platform::SpoolerOptions options;
        options.server = cupsd.socket();
        auto snapshot = platform::MakeSpooler(options)->Snapshot();
        ASSERT_TRUE(snapshot.ok()) << snapshot.status().Text();
        ASSERT_EQ(snapshot->printers.size(), 1u);
    }
    test::TmuxSession tui(dir / "tmux.sock",
                          Command(HostName(), "CUPS_SERVER='" + cupsd.socket() + "'"));
    ASSERT_TRUE(tui.WaitFor("Local Machine")) << tui.last();
    tui.Keys({"PgDn", "F11"});
    EXPECT_TRUE(tui.WaitFor("(no entries)")) << tui.last();
    tui.Keys({"a"});
    EXPECT_TRUE(tui.WaitFor("Pick one (Esc: type the name)"))
        << tui.last() << test::ReadFile(dir / "KVZN.LOG");
    EXPECT_TRUE(tui.WaitFor("Front_Desk")) << tui.last();
    tui.Keys({"Enter"});
    EXPECT_TRUE(tui.WaitFor("Printer Status: Printer1")) << tui.last();
    tui.Keys({"F10"});
    EXPECT_TRUE(tui.WaitFor("Printer1  Printer=Front_Desk")) << tui.last();
    tui.Keys({"Escape"});
    OkWithoutRestart(tui);
    EXPECT_EQ(Get(store, config::SubKey("Printers") + "\\Printer1", "Printer"), "Front_Desk");
}

TEST_F(SheetTmuxTest, ResponsesAreChosenByNameAndMessageSettingsHaveTheirOwnDialog) {
    companion::Registry reg(platform::OpenFileStore(store));
    const std::string printers = config::SubKey("Printers");
    reg.WriteText(printers + "\\Printer1", "Printer", "lp1");
    test::TmuxSession tui(dir / "tmux.sock",
                          Command(HostName(), "CUPS_SERVER='" + dir / "no-cups.sock" + "'"));
    ASSERT_TRUE(tui.WaitFor("Local Machine")) << tui.last();
    tui.Keys({"PgDn"});
    EXPECT_TRUE(tui.WaitFor("Check the printers every")) << tui.last();
    tui.Keys({"F11"});
    EXPECT_TRUE(tui.WaitFor("Printer1  Printer=lp1")) << tui.last();
    tui.Keys({"Enter"});
    EXPECT_TRUE(tui.WaitFor("Printer Status: Printer1")) << tui.last();
    tui.Keys({"F11"});
    EXPECT_TRUE(tui.WaitFor("Check Document Size (Kb)")) << tui.last();

    // The document size check offers the document actions: the last one is picked by name.
    Down(tui, 2);
    tui.Keys({"Enter"});
    EXPECT_TRUE(tui.WaitFor("Printer1: Check Document Size (Kb)")) << tui.last();
    EXPECT_TRUE(tui.WaitFor("No Response - Alert Only  (F1 lists the choices)")) << tui.last();
    Replace(tui, "1");
    Down(tui, 1);
    Replace(tui, "100");
    Down(tui, 6);
    tui.Keys({"F1"});
    EXPECT_TRUE(tui.WaitFor("14  Delete the Queued Document")) << tui.last();
    EXPECT_NE(tui.last().find("11  Pause Queued Document"), std::string::npos) << tui.last();
    Down(tui, 14);
    tui.Keys({"Enter"});
    EXPECT_TRUE(tui.WaitFor("Delete the Queued Document  (F1 lists the choices)")) << tui.last();
    tui.Keys({"F10"});
    EXPECT_TRUE(tui.WaitFor("Check Document Size (Kb)  (enabled)")) << tui.last();

    // The paused check refuses a document action typed as a number and offers none.
    Down(tui, 2);
    tui.Keys({"Enter"});
    EXPECT_TRUE(tui.WaitFor("Printer1: Check Printer Paused")) << tui.last();
    Replace(tui, "1");
    Down(tui, 6);
    Replace(tui, "12");
    EXPECT_TRUE(RefusedOnOk(tui, "This printer check offers the responses 0 to 10 only"))
        << tui.last();
    tui.Keys({"F1"});
    EXPECT_TRUE(tui.WaitFor("10  Redirect Print Queue")) << tui.last();
    EXPECT_EQ(tui.last().find("Queued Document"), std::string::npos) << tui.last();
    Down(tui, 5);
    tui.Keys({"Enter"});
    EXPECT_TRUE(tui.WaitFor("Pause the Printer  (F1 lists the choices)")) << tui.last();
    tui.Keys({"F10"});
    EXPECT_TRUE(tui.WaitFor("Check Printer Paused  (enabled)")) << tui.last();
    tui.Keys({"Escape"});
    EXPECT_TRUE(tui.WaitFor("F11 Checks...")) << tui.last();
    tui.Keys({"F10"});
    EXPECT_TRUE(tui.WaitFor("(2 of 7 checks enabled)")) << tui.last();
    tui.Keys({"Escape"});

    // Alerting: the message settings are a dialog of their own, which wants the title and
    // the text together.
    tui.Keys({"PgDn", "PgDn", "PgDn", "PgDn", "PgDn"});
    EXPECT_TRUE(tui.WaitFor("SMTP server port")) << tui.last();
    EXPECT_EQ(tui.last().find("Message title"), std::string::npos) << tui.last();
    tui.Keys({"F5"});
    EXPECT_TRUE(tui.WaitFor("E-mail & Network Message Settings")) << tui.last();
    EXPECT_TRUE(tui.WaitFor("NetSend Server")) << tui.last();
    tui.Type("Printer trouble");
    EXPECT_TRUE(RefusedOnOk(tui, "Both the Title and the message Text must be entered"))
        << tui.last();
    Down(tui, 1);
    tui.Type("<$$ERROR>");
    Down(tui, 1);
    tui.Type("printhost");
    tui.Keys({"F10"});
    EXPECT_TRUE(tui.WaitFor("SMTP server port")) << tui.last();
    OkWithoutRestart(tui);

    const std::string contacts = config::SubKey("Contacts");
    EXPECT_EQ(Get(store, contacts, "TitleText"), "Printer trouble");
    EXPECT_EQ(Get(store, contacts, "MessageText"), "<$$ERROR>");
    EXPECT_EQ(Get(store, contacts, "NetSend Server"), "printhost");
    // The monitor reads the codes as numbers, each for its check.
    test::ServiceFixture fx;
    LoadInto(fx);
    printmon::PrintServerConfig config;
    printmon::PrintServer_Config(fx.context, config);
    ASSERT_EQ(config.printers.size(), 1u);
    ASSERT_EQ(config.printers[0].checks.size(), 2u);
    for (const auto& check : config.printers[0].checks) {
        const bool size = check.title == "Check Document Size (Kb)";
        EXPECT_EQ(check.fields.actionToTake, size ? 14u : 5u) << check.title;
        if (size) {
            EXPECT_EQ(check.fields.threshold, 100u);
        }
    }
    test::ChildProcess check({KVZN_CFG_EXE, "--registry", store, "check"});
    EXPECT_EQ(check.Wait(30s).value_or(-1), 0) << check.Output();
}

}  // namespace
}  // namespace kvzn
