// The remote command page: command lines run as a local account of this server that the
// web user logs on with its password, their output and errors shown in the browser, and a
// cancel. Each line runs one program with its arguments; no shell reads the text.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process.h"
#include "service/service_context.h"
#include "web/http_request.h"
#include "web/pages.h"

namespace kvzn::web {

// The commands of the page's text: one per line, split into words at blanks and tabs.
// '...' keeps everything up to the next ' as it is; "..." likewise, but \" and \\ stand for
// " and \; outside quotes a backslash takes the next character as it is. Nothing else is
// special: ; | & $ ` < > * ? and the like are ordinary characters of a word. Blank lines are
// skipped, NUL bytes and carriage returns dropped.
struct ParsedCommands {
    std::vector<std::vector<std::string>> commands;
    size_t badLine = 0;  // the first line (from 1) whose quote is not closed; 0 when none
};
ParsedCommands ParseCommandLines(std::string_view text);

// The seconds to wait for the commands from the "hTimeout" text: its leading number; text
// that reads as 0 without beginning with "0" (words, nothing) and negative numbers give 30;
// more than a day gives a day. 0 means until the commands end (but no longer than a day).
int RemoteTimeoutSeconds(std::string_view text);

// The rows of a text area from its field: outside 1 to 500, or missing, `fallback`.
int TextAreaRows(const std::string* text, int fallback);

// The remote command state of one web session: the account logged on with its password,
// and the command it runs.
// @threadsafety Always.
class RemoteSession {
  public:
    // The password that logged `account` on in this session, when one did.
    std::optional<std::string> StoredPassword(const std::string& account) const;
    void Store(const std::string& account, const std::string& password);
    void Forget();
    // The account logged on in this session; empty when none.
    std::string Account() const;

    // Claims the session for a new command. False when a command still runs: that one is
    // cancelled instead and nothing new may start.
    bool BeginRun();
    // The claim ends: the command ended, or it was never started.
    void EndRun();
    // The claim ends with the command still running (not waited for); it stays with the
    // session until it ends, is cancelled, or the session goes.
    void KeepRunning(platform::SpawnedProcess process);
    // Cancels the running command. True when there was one.
    bool Cancel();
    // True when a cancel asked the request waiting for the command to end it.
    bool CancelRequested() const;

  private:
    bool BackgroundRunning();  // with mutex_ held

    mutable std::mutex mutex_;
    std::string account_;
    std::optional<std::string> password_;
    bool claimed_ = false;          // a request runs or waits for a command
    bool cancelRequested_ = false;  // a cancel came for it
    std::optional<platform::SpawnedProcess> background_;
};

// Logs the account on, runs the commands of a form of the session's own page and writes
// the page. 1 when written; 0 (logged) when the request has no session.
int BuildHTMLRemoteExecFile(const PageRequest& request, const HttpRequest& http, std::string& page);
// The page that says the facility is switched off on this server.
int BuildHTMLRExecDisabledFile(const PageRequest& request, std::string& page);

// Creates the private work directory of the page below the HTML target directory and
// deletes work files left in it (at the web server's start and stop).
void TidyRemoteExecDirectory(const service::ServiceContext& ctx);

}  // namespace kvzn::web
