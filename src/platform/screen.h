// The configuration utility's screens: a tabbed sheet of labelled fields, message boxes,
// questions and a one-line input, drawn on the terminal.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/status.h"

namespace kvzn::platform {

struct ScreenField {
    std::string label;
    std::string hint;     // shown after the field (units, choices)
    bool secret = false;  // typed text is not shown
};

struct SheetView {
    std::string title;
    std::vector<std::string> tabs;
    size_t currentTab = 0;
    std::vector<ScreenField> fields;
    std::string buttons;  // the command keys line
    std::string status;   // a line of state under the fields
};

// What ended an edit of the sheet.
enum class SheetCommand {
    NextPage,
    PreviousPage,
    Apply,
    Ok,
    Cancel,
    StartStop,
    Reports,
    LogFile,
    PageDialog,  // the current page's own dialog (web security, message settings)
    TestEMail,
    TestMessages,  // the network message and alert script tests
    Entries,
    Choices,  // list the choices of the current field
    Refresh,  // the refresh period passed without a key
};

// What the user chose in a list of entries.
struct ListChoice {
    enum class Action { Edit, Add, Delete, Close };
    Action action = Action::Close;
    size_t index = 0;       // the entry the cursor was on (Edit, Delete)
    bool selected = false;  // false when the list was empty
};

// @threadsafety One thread (the user-interface thread).
class Screen {
  public:
    virtual ~Screen() = default;
    // Shows the sheet with `texts` in its fields and lets the user edit them until a command
    // key, or until `refresh` passes without a key. `texts` receive the edited values and
    // `focus` the field the cursor was on (it also gives the field to start on).
    virtual SheetCommand EditSheet(const SheetView& view, std::vector<std::string>& texts,
                                   size_t& focus, std::chrono::seconds refresh) = 0;
    // A message box; returns when the user presses Enter.
    virtual void Message(const std::string& title, const std::string& text) = 0;
    // Yes (true) or No.
    virtual bool Ask(const std::string& title, const std::string& text) = 0;
    // Shows a "please wait" text and returns at once; the next call replaces it.
    virtual void Wait(const std::string& text) = 0;
    // A one-line input box; nullopt when cancelled (Escape). A secret input is not shown.
    virtual std::optional<std::string> Input(const std::string& title, const std::string& prompt,
                                             const std::string& initial, bool secret = false) = 0;
    // A list of entries to pick from: Enter edits, Insert or 'a' adds, Delete or 'd'
    // deletes, Escape closes.
    virtual ListChoice ChooseEntry(const std::string& title, const std::vector<std::string>& items,
                                   size_t current) = 0;
    // Leaves the screen, runs `command` with `argument` on the terminal ("$PAGER FILE"), and
    // draws the screen again. The command's exit status.
    virtual int RunOnTerminal(const std::string& command, const std::string& argument) = 0;
};

// The terminal of this process, drawn with curses. An error when there is no terminal.
Result<std::unique_ptr<Screen>> OpenTerminalScreen();

}  // namespace kvzn::platform
