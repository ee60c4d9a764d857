// kvZNPrintCfg's subcommands as scripts use them: exit codes, import and export byte for
// byte, hostile imports, and remote stores through the agent over a local transport.
#include <gtest/gtest.h>

#include <filesystem>

#include "cfgutil/store_agent.h"
#include "config/registry_names.h"
#include "platform/config_store.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace kvzn {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct CfgRun {
    int status;
    std::string output;  // standard output and error together
};

class CfgCommandsTest : public ::testing::Test {
  protected:
    CfgRun Cfg(std::vector<std::string> args, const std::string& registry = {}) {
        args.insert(args.begin(),
                    {KVZN_CFG_EXE, "--registry", registry.empty() ? store : registry});
        test::ChildProcess p(args, {"KVZN_TRANSPORT=" + dir / "transport"}, dir.path());
        const auto status = p.Wait(30s);
        EXPECT_TRUE(status.has_value());
        return {status.value_or(-1), p.Output()};
    }
    void Fill() {
        for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
                 {"set", ".", "Home", dir.path()},
                 {"set", ".", "DataDirectory", dir / "data"},
                 {"set", ".", "HTMLTargetDirectory", dir / "html"},
                 {"set", ".", "ImagesDirectory", dir / "images"},
                 {"set", ".", "MaxStoredMsgs", "100"},
                 {"set", ".", "StoredMsgNo", "dword:7"},
                 {"set", ".", "Data2", "s3cret"},
                 {"set", "AlertLogging", "Data1", "dbuser"},
                 {"set", "Contacts", "MessageText", "Printer \"<$$PRINTER>\"\tC:\\queue"},
                 {"set", "Contacts", "TitleText", "Alert"},
                 {"set", "Printers\\Printer1", "Printer", "laser"},
                 {"set", "Printers\\Printer1\\Check Printer Paused", "Enabled", "dword:1"},
                 {"set", "Printers\\Printer1\\Check Printer Paused", "CountBeforeAction",
                  "dword:2"},
             }) {
            const CfgRun r = Cfg(args);
            ASSERT_EQ(r.status, 0) << args[2] << ": " << r.output;
        }
    }

    test::TempDir dir;
    const std::string store = dir / "registry.reg";
};

TEST_F(CfgCommandsTest, ScriptsGetSetListAndCheckWithExitCodesTheyCanTest) {
    EXPECT_EQ(Cfg({"check"}).status, 3);  // an empty store lacks the required settings
    Fill();
    EXPECT_EQ(Cfg({"get", ".", "maxstoredmsgs"}).output, "100\n");
    EXPECT_EQ(Cfg({"get", "Printers\\Printer1", "Printer"}).output, "laser\n");
    // Passwords are given in plain text and stored scrambled: four bytes a character.
    EXPECT_EQ(Cfg({"get", ".", "Data2"}).output.size(), std::string("hex:").size() + 6 * 12);
    EXPECT_EQ(Cfg({"get", "AlertLogging", "Data1"}).output.substr(0, 4), "hex:");
    EXPECT_EQ(Cfg({"get", ".", "NoSuchValue"}).status, 1);
    EXPECT_EQ(Cfg({"list", "NoSuchKey"}).status, 1);
    EXPECT_EQ(Cfg({"get", "."}).status, 2);
    EXPECT_EQ(Cfg({"frobnicate"}).status, 2);
    const CfgRun listed = Cfg({"list", "Printers\\Printer1"});
    EXPECT_EQ(listed.output, "Check Printer Paused\\\nPrinter\ttext\tlaser\n");

    // A refused value changes nothing and says why.
    const std::string before = test::ReadFile(store);
    CfgRun refused = Cfg({"set", ".", "MaxStoredMsgs", "49"});
    EXPECT_EQ(refused.status, 3);
    EXPECT_NE(refused.output.find("The number of cached alerts must be 50 or more"),
              std::string::npos);
    EXPECT_EQ(Cfg({"set", ".", "HTTPListenPortNo", "0"}).status, 3);
    EXPECT_EQ(Cfg({"set", ".", "StoredMsgNo", "seven"}).status, 3);
    EXPECT_EQ(test::ReadFile(store), before);

    CfgRun checked = Cfg({"check"});
    EXPECT_EQ(checked.status, 0) << checked.output;
    EXPECT_EQ(checked.output, store + ": no problems found\n");
    ASSERT_EQ(Cfg({"set", "Contacts", "EMail1", "ops@example.com"}).status, 0);
    ASSERT_EQ(Cfg({"set", "Disk Space\\Disk3", "Enabled", "dword:1"}).status, 0);
    checked = Cfg({"check"});
    EXPECT_EQ(checked.status, 3);
    EXPECT_NE(checked.output.find("Contacts\\EMailLevel1: Please select at least one Alert Level"),
              std::string::npos)
        << checked.output;
    EXPECT_NE(checked.output.find("Disk Space\\Disk3: is never read: entry 1 before it is missing"),
              std::string::npos)
        << checked.output;
    EXPECT_NE(checked.output.find("2 problems in " + store), std::string::npos);

    // A damaged store is reported with its file and line, never taken for an empty one.
    test::WriteFile(store, test::ReadFile(store) + "garbage line\n", 0600);
    const CfgRun damaged = Cfg({"get", ".", "Home"});
    EXPECT_EQ(damaged.status, 4);
    EXPECT_NE(damaged.output.find(store + ":"), std::string::npos) << damaged.output;
    EXPECT_EQ(Cfg({"set", ".", "LogLevel", "4"}).status, 4);
}

TEST_F(CfgCommandsTest, ExportImportRoundTripIsByteForByte) {
    Fill();
    const std::string exported = dir / "exported.reg";
    ASSERT_EQ(Cfg({"export", exported}).status, 0);
    EXPECT_EQ(Cfg({"export"}).output, test::ReadFile(exported));
    EXPECT_EQ(test::ReadFile(exported), test::ReadFile(store));

    // Into a new store: the store file and its export are the imported file, byte for byte.
    const std::string other = dir / "other.reg";
    const CfgRun imported = Cfg({"import", exported}, other);
    ASSERT_EQ(imported.status, 0) << imported.output;
    EXPECT_EQ(test::ReadFile(other), test::ReadFile(exported));
    const std::string again = dir / "again.reg";
    ASSERT_EQ(Cfg({"export", again}, other).status, 0);
    EXPECT_EQ(test::ReadFile(again), test::ReadFile(exported));
    EXPECT_EQ(Cfg({"get", "Contacts", "MessageText"}, other).output,
              "Printer \"<$$PRINTER>\"\tC:\\queue\n");
    EXPECT_EQ((fs::status(other).permissions() & fs::perms::all),
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(CfgCommandsTest, HostileOrInvalidImportChangesNothingAndNamesTheLine) {
    Fill();
    const std::string good = dir / "good.reg";
    ASSERT_EQ(Cfg({"export", good}).status, 0);
    const std::string text = test::ReadFile(good);
    std::string deep = "[HKEY_LOCAL_MACHINE";
    for (int i = 0; i < 300; ++i) {
        deep += "\\k";
    }
    const struct {
        const char* what;
        std::string content;
        std::string where;
    } cases[] = {
        {"unterminated section", text + "[HKEY_LOCAL_MACHINE\\Software\n", "bad.reg:"},
        {"keys nested too deep", text + deep + "]\n", "bad.reg:"},
        {"binary junk", text + std::string("\"x\"=\"a\0b\n\x01\xff", 12), "bad.reg:"},
        {"hex running past the end", text + "[HKEY_LOCAL_MACHINE\\S]\n\"b\"=hex:01,\\\n",
         "bad.reg:"},
        {"value the utility refuses",
         text + "[HKEY_LOCAL_MACHINE\\Software\\Halvern\\Korvane "
                "Tessel Print Monitor\\CurrentVersion\\AlertLogging]"
                "\n\"AutoDelTime\"=dword:00000000\n",
         "cannot be less than 1"},
        {"empty file", "", "Home: is not defined"},
    };
    const std::string before = test::ReadFile(store);
    for (const auto& c : cases) {
        test::WriteFile(dir / "bad.reg", c.content);
        const CfgRun r = Cfg({"import", dir / "bad.reg"});
        EXPECT_EQ(r.status, 3) << c.what << ": " << r.output;
        EXPECT_NE(r.output.find(c.where), std::string::npos) << c.what << ": " << r.output;
        EXPECT_NE(r.output.find("nothing was imported"), std::string::npos) << c.what;
        EXPECT_EQ(test::ReadFile(store), before) << c.what;
    }
    test::WriteFile(dir / "bad.reg", cases[4].content);
    const size_t lines = std::count(cases[4].content.begin(), cases[4].content.end(), '\n');
    EXPECT_NE(
        Cfg({"import", dir / "bad.reg"}).output.find("bad.reg:" + std::to_string(lines) + ": "),
        std::string::npos);
    EXPECT_EQ(Cfg({"import", dir / "missing.reg"}).status, 4);

    // An older export brought back keeps the alert slot counter the service has moved on.
    ASSERT_EQ(Cfg({"set", ".", "StoredMsgNo", "dword:9"}).status, 0);
    ASSERT_EQ(Cfg({"set", ".", "MaxStoredMsgs", "200"}).status, 0);
    ASSERT_EQ(Cfg({"import", good}).status, 0);
    EXPECT_EQ(Cfg({"get", ".", "StoredMsgNo"}).output, "9\n");
    EXPECT_EQ(Cfg({"get", ".", "MaxStoredMsgs"}).output, "100\n");
}

TEST_F(CfgCommandsTest, RemoteStoresAreReachedThroughTheAgentAndRetryAfterOtherWriters) {
    const std::string remote = dir / "remote.reg";
    test::WriteFile(dir / "transport",
                    "#!/bin/sh\necho \"$*\" >> '" + dir / "transport.log" +
                        "'\nexec env KVZN_REGISTRY='" + remote + "' " + KVZN_CFG_EXE + " --agent\n",
                    0755);
    CfgRun r = Cfg({"--server", "printhost", "set", ".", "MaxStoredMsgs", "75"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(Cfg({"--server", "printhost", "get", ".", "MaxStoredMsgs"}).output, "75\n");
    EXPECT_EQ(Cfg({"get", ".", "MaxStoredMsgs"}, remote).output, "75\n");
    EXPECT_FALSE(fs::exists(store));
    r = Cfg({"--server", "printhost", "set", ".", "MaxStoredMsgs", "5"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.output.find("50 or more"), std::string::npos);

    // A server name that the transport would take for an option never reaches it.
    fs::remove(dir / "transport.log");
    r = Cfg({"--server", "-oProxyCommand=touch x", "get", ".", "Home"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.output.find("invalid server name"), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(dir / "transport.log"));

    // A transport that never reaches an agent is an error, not an empty store.
    test::WriteFile(dir / "transport", "#!/bin/sh\necho 'ssh: connect refused' >&2\nexit 255\n",
                    0755);
    r = Cfg({"--server", "printhost", "get", ".", "MaxStoredMsgs"});
    EXPECT_EQ(r.status, 4) << r.output;

    // Another writer between the read and the write: the write is tried again on the new
    // store, so the other writer's value survives.
    test::WriteFile(
        dir / "transport",
        "#!/bin/sh\nexec env KVZN_REGISTRY='" + remote + "' " + KVZN_CFG_EXE + " --agent\n", 0755);
    auto connection =
        cfgutil::AgentConnection::Open(dir / "transport", "printhost", "kvZNPrintCfg --agent");
    ASSERT_TRUE(connection.ok()) << connection.status().Text();
    auto remoteStore = (*connection)->Store();
    int runs = 0;
    const platform::Status status = remoteStore->Update([&](platform::StoreTree& tree) {
        if (++runs == 1) {
            platform::OpenFileStore(remote)->Update([](platform::StoreTree& t) {
                t.Set(config::kProductKey, "StoredMsgNo", platform::StoreValue::MakeNumber(11));
                return true;
            });
        }
        tree.Set(config::kProductKey, "PrinterInterval", platform::StoreValue::MakeNumber(3));
        return true;
    });
    ASSERT_TRUE(status.ok()) << status.Text();
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(Cfg({"get", ".", "StoredMsgNo"}, remote).output, "11\n");
    EXPECT_EQ(Cfg({"get", ".", "PrinterInterval"}, remote).output, "3\n");
}

}  // namespace
}  // namespace kvzn
