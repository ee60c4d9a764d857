// The interactive property sheet: pages of fields read from the store, validated when the
// user leaves a page, written back on Apply or OK, and the service restarted to take them.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "cfgutil/service_controller.h"
#include "cfgutil/settings_fields.h"
#include "cfgutil/store_edit.h"
#include "platform/clock.h"
#include "platform/config_store.h"
#include "platform/screen.h"
#include "platform/service_manager.h"
#include "platform/spooler.h"

namespace kvzn::cfgutil {

struct SheetTarget {
    std::string server;  // empty for the local machine
    platform::ConfigStore& store;
    platform::ServiceManager& services;
    std::string serviceName;
    // Shown by "Display Log File..." ($PAGER); empty uses "less".
    std::string pager;
    // The login records the test network message reads; empty: the system's.
    std::string loginRecords = {};
    // The spooler whose queues are offered when a printer is added; none for a remote server.
    platform::Spooler* spooler = nullptr;
};

class PropertySheet {
  public:
    PropertySheet(SheetTarget target, platform::Screen& screen, platform::Clock& clock);
    // Runs the sheet until OK or Cancel. Returns 0, or 1 when the store could not be read.
    int Run();

    // "Korvane Tessel Configuration Utility on SERVER" or "... - Local Machine".
    static std::string Title(const std::string& server);
    // "LastConfigUpdateTime" text for `when`: "%B %d, %Y %H:%M:%S" in local time.
    static std::string UpdateTimeText(std::time_t when);

  private:
    class Prompt;
    // Validates the texts of the current page and records the changes; false (after the
    // message was shown and the focus moved to the field) when a field is refused.
    bool LeavePage();
    bool ApplyChanges();
    bool CheckListenPort(uint32_t port);
    void WritePortToIni(uint32_t port);
    void WebSecurity();
    // The e-mail and network message settings dialog of the Alerting page.
    void MessageSettings();
    void EditEntries();
    // Edits one list of the sheet; the changes are applied with the others.
    void EditList(const ListRule& list);
    void SendTestEMail();
    // The network message and alert script tests, over the settings as shown.
    void SendTestMessages();
    void ShowReports();
    void DisplayLogFile();
    void LoadPage();
    std::string ButtonsLine();

    SheetTarget target_;
    platform::Screen& screen_;
    platform::Clock& clock_;
    StoreEdit edit_;
    size_t page_ = 0;
    std::vector<std::string> texts_;
    std::vector<std::string> shown_;
    size_t focus_ = 0;
    bool running_ = false;
    bool portChanged_ = false;
};

inline constexpr std::chrono::seconds kSheetRefresh{20};
inline constexpr const char* kWebServerIni = "kvZNWebServer.ini";

}  // namespace kvzn::cfgutil
