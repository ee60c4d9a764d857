// The remote command page.
#include "web/remote_exec.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "companion/activity_log.h"
#include "companion/html.h"
#include "platform/account_logon.h"
#include "platform/file.h"
#include "web/web_access.h"

namespace kvzn::web {

namespace {
constexpr std::string_view kModule = "kvZNSharedHTML";
constexpr std::string_view kPageName = "ZNRExec";
constexpr std::string_view kTitle = "Tessel Monitor - Virtual Command Session";
constexpr int kDefaultTimeout = 30;
constexpr int kLongestTimeout = 24 * 60 * 60;
constexpr int kDefaultOutputRows = 15;
constexpr int kDefaultCommandRows = 10;
// What a page shows of each of the output and error files.
constexpr size_t kShownOutput = 1 << 20;
// How often a waiting request looks for a cancel, and how long a killed command may take
// to be reaped.
constexpr std::chrono::milliseconds kCancelCheck{100};
constexpr std::chrono::seconds kReapAfterKill{5};

constexpr const char* kWorkFilePrefix = "RE_PRT_";

using companion::HtmlEscape;

std::string WorkDirectory(const service::ServiceContext& ctx) {
    return ctx.htmlTargetDirectory + "/RemoteExec";
}

bool IsBlank(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

// One line; false when a quote is left open.
bool SplitLine(std::string_view line, std::vector<std::string>& words) {
    std::string word;
    bool inWord = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ' || c == '\t') {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
            continue;
        }
        inWord = true;
        if (c == '\'') {
            const size_t close = line.find('\'', i + 1);
            if (close == std::string_view::npos) {
                return false;
            }
            word.append(line.substr(i + 1, close - i - 1));
            i = close;
        } else if (c == '"') {
            size_t j = i + 1;
            for (; j < line.size() && line[j] != '"'; ++j) {
                if (line[j] == '\\' && j + 1 < line.size() &&
                    (line[j + 1] == '"' || line[j + 1] == '\\')) {
                    ++j;
                }
                word.push_back(line[j]);
            }
            if (j >= line.size()) {
                return false;
            }
            i = j;
        } else if (c == '\\' && i + 1 < line.size()) {
            word.push_back(line[++i]);
        } else {
            word.push_back(c);
        }
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return true;
}

std::string WithoutNul(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c != '\0') {
            out.push_back(c);
        }
    }
    return out;
}

bool FromOwnForm(const PageRequest& request, const HttpRequest& http) {
    const std::string* token = http.Param("token");
    return http.method == Method::kPost && request.session && token != nullptr &&
           SecretsEqual(*token, request.session->token);
}

// The work files of one request, deleted when it ends.
class WorkFiles {
  public:
    WorkFiles() = default;
    WorkFiles(const WorkFiles&) = delete;
    WorkFiles& operator=(const WorkFiles&) = delete;
    ~WorkFiles() {
        for (const auto* file : {&output, &errors}) {
            if (!file->path.empty()) {
                platform::RemoveFile(file->path);
            }
        }
    }
    platform::Status Create(const std::string& dir) {
        if (platform::Status s = platform::MakePrivateDirectory(dir); !s.ok()) {
            return s;
        }
        auto out = platform::CreateUniqueFile(dir, kWorkFilePrefix, ".out");
        if (!out.ok()) {
            return out.status();
        }
        output = std::move(*out);
        auto err = platform::CreateUniqueFile(dir, kWorkFilePrefix, ".err");
        if (!err.ok()) {
            return err.status();
        }
        errors = std::move(*err);
        return platform::Status::Ok();
    }
    platform::CreatedFile output;
    platform::CreatedFile errors;
};

std::string ReadShown(const platform::CreatedFile& file, const companion::Logger& log) {
    auto text = platform::ReadFromStart(file.fd.get(), kShownOutput, file.path);
    if (!text.ok()) {
        log(1, "Unable to read the file ", file.path, ": ", text.status().Text());
        return {};
    }
    if (text->size() >= kShownOutput) {
        *text += "\n[... only the first " + std::to_string(kShownOutput) + " bytes are shown]";
    }
    return std::move(*text);
}

// The result text: the output, the errors when there are any, and the commands.
std::string CollectCommandOutput(const WorkFiles& files, const std::string& commands,
                                 const companion::Logger& log) {
    std::string out = ReadShown(files.output, log);
    std::replace(out.begin(), out.end(), '\0', ' ');
    const std::string errors = ReadShown(files.errors, log);
    if (!errors.empty()) {
        out += "\n\n-------------- The Following Errors Occurred --------------\n\n";
        out += errors;
    }
    out += "\n\n--------------- Original Command(s) Follows ---------------\n\n";
    out += commands;
    out += "\n\n-----------------------------------------------------------\n";
    return out;
}

struct RunOutcome {
    int code = -1;  // exit status; -1 not run, -2 timed out, -3 service stopping
};

// Runs the commands as the account and waits for them up to `timeoutSeconds` (0: until
// they end), or not at all when `dontWait`.
RunOutcome RunRemoteCommand(const PageRequest& request, RemoteSession& remote,
                            const platform::LocalAccount& account,
                            const std::vector<std::vector<std::string>>& commands,
                            const WorkFiles& files, int timeoutSeconds, bool dontWait) {
    const companion::Logger log(kModule, "RunRemoteCommand");
    platform::SequenceOptions options;
    options.identity = account.identity;
    options.environment = account.environment;
    options.workingDirectory = account.home;
    options.outputFd = files.output.fd.get();
    options.errorFd = files.errors.fd.get();
    log(3, "Running ", commands.size(), " command line(s) for the client at ",
        request.clientAddress, " as user ", account.name, dontWait ? " without waiting" : "");
    auto started = platform::SpawnSequence(commands, options);
    if (!started.ok()) {
        log(1, "Unable to run the command(s) of ", request.clientAddress, " as user ", account.name,
            ". The error code returned was ", started.status().err(), " (", started.status().Text(),
            ")");
        remote.EndRun();
        return {-1};
    }
    platform::SpawnedProcess process = std::move(*started);
    if (dontWait) {
        remote.KeepRunning(std::move(process));
        return {0};
    }
    const auto limit = std::chrono::seconds(timeoutSeconds > 0 ? timeoutSeconds : kLongestTimeout);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    RunOutcome outcome;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const platform::WaitOutcome waited = process.WaitFor(
            std::clamp(left, std::chrono::milliseconds(0), kCancelCheck), &request.ctx.stopEvent);
        if (waited == platform::WaitOutcome::kExited) {
            outcome.code = process.ExitCode();
            break;
        }
        if (waited == platform::WaitOutcome::kStopped) {
            log(3, "The Tessel Monitor is being shutdown");
            outcome.code = -3;
            break;
        }
        if (remote.CancelRequested()) {
            process.KillGroup();
            process.WaitFor(kReapAfterKill);
            outcome.code = process.ExitCode();
            break;
        }
        if (left.count() <= 0) {
            log(1, "The remote commands of user ", account.name,
                " timed out. The process will be cancelled");
            process.KillGroup();
            process.WaitFor(kReapAfterKill);
            outcome.code = -2;
            break;
        }
    }
    remote.EndRun();
    return outcome;
}

std::string ResultLine(int code, bool dontWait) {
    switch (code) {
        case -2:
            return "<strong>The command timed out before completing</strong>";
        case -1:
        case -3:
            return "<strong>An error prevented the command from being run</strong>";
        case 0:
            return dontWait ? "The command executed successfully."
                            : "The command executed successfully. The results are shown below.";
        default:
            return "The command returned the code " + std::to_string(code) +
                   ". Any results are shown below.";
    }
}

}  // namespace

ParsedCommands ParseCommandLines(std::string_view text) {
    ParsedCommands parsed;
    size_t lineNumber = 0;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = text.find('\n', start);
        std::string line =
            WithoutNul(text.substr(start, end == std::string_view::npos ? end : end - start));
        line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
        ++lineNumber;
        std::vector<std::string> words;
        if (!SplitLine(line, words)) {
            parsed.commands.clear();
            parsed.badLine = lineNumber;
            return parsed;
        }
        if (!words.empty()) {
            parsed.commands.push_back(std::move(words));
        }
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    return parsed;
}

int RemoteTimeoutSeconds(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        ++i;
    }
    size_t end = i;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
        ++end;
    }
    long long value = 0;
    const auto [ptr, ec] = std::from_chars(text.data() + i, text.data() + end, value);
    if (ec == std::errc::result_out_of_range) {
        value = std::numeric_limits<long long>::max();
    }
    if (negative || (value == 0 && !text.starts_with('0'))) {
        return kDefaultTimeout;
    }
    return static_cast<int>(std::min<long long>(value, kLongestTimeout));
}

int TextAreaRows(const std::string* text, int fallback) {
    if (text == nullptr) {
        return fallback;
    }
    int rows = 0;
    const auto [ptr, ec] = std::from_chars(text->data(), text->data() + text->size(), rows);
    return ec == std::errc() && rows >= 1 && rows <= 500 ? rows : fallback;
}

std::optional<std::string> RemoteSession::StoredPassword(const std::string& account) const {
    std::scoped_lock lock(mutex_);
    if (!password_ || account_ != account) {
        return std::nullopt;
    }
    return password_;
}

void RemoteSession::Store(const std::string& account, const std::string& password) {
    std::scoped_lock lock(mutex_);
    account_ = account;
    password_ = password;
}

void RemoteSession::Forget() {
    std::scoped_lock lock(mutex_);
    account_.clear();
    password_.reset();
}

std::string RemoteSession::Account() const {
    std::scoped_lock lock(mutex_);
    return password_ ? account_ : std::string();
}

bool RemoteSession::BackgroundRunning() {
    if (background_ &&
        background_->WaitFor(std::chrono::milliseconds(0)) == platform::WaitOutcome::kExited) {
        background_.reset();
    }
    return background_.has_value();
}

bool RemoteSession::BeginRun() {
    std::scoped_lock lock(mutex_);
    if (claimed_ || BackgroundRunning()) {
        cancelRequested_ = claimed_;
        if (background_) {
            background_->KillGroup();
            background_->WaitFor(kReapAfterKill);
            background_.reset();
        }
        return false;
    }
    claimed_ = true;
    cancelRequested_ = false;
    return true;
}

void RemoteSession::EndRun() {
    std::scoped_lock lock(mutex_);
    claimed_ = false;
    cancelRequested_ = false;
}

void RemoteSession::KeepRunning(platform::SpawnedProcess process) {
    std::scoped_lock lock(mutex_);
    background_ = std::move(process);
    claimed_ = false;
    cancelRequested_ = false;
}

bool RemoteSession::Cancel() {
    std::scoped_lock lock(mutex_);
    bool any = false;
    if (claimed_) {
        cancelRequested_ = true;
        any = true;
    }
    if (BackgroundRunning()) {
        background_->KillGroup();
        background_->WaitFor(kReapAfterKill);
        background_.reset();
        any = true;
    }
    return any;
}

bool RemoteSession::CancelRequested() const {
    std::scoped_lock lock(mutex_);
    return cancelRequested_;
}

int BuildHTMLRemoteExecFile(const PageRequest& request, const HttpRequest& http,
                            std::string& page) {
    const companion::Logger log(kModule, "BuildHTMLRemoteExecFile");
    if (!request.session || !request.session->remote) {
        log(1,
            "Internal Error - session details missing for session . The user is not be "
            "logged on. Processing cannot continue with this page");
        return 0;
    }
    RemoteSession& remote = *request.session->remote;
    const std::string* userField = http.Param("hUserID");
    const std::string* commandsField = http.Param("hCommands");
    const std::string* timeoutField = http.Param("hTimeout");
    const bool dontWait = http.Has("hDontWait");
    const bool acting = http.Has("CancelBtn") || http.Has("LogoffBtn") ||
                        (userField != nullptr && !userField->empty());

    std::string message;
    std::string account;
    bool loggedOn = false;
    std::optional<platform::LocalAccount> logon;
    if (acting && !FromOwnForm(request, http)) {
        log(1, "A remote command request of ", request.clientAddress,
            " was not sent by a form of the session's own page and is refused");
        message =
            "The request did not come from this session's own page and has been refused. "
            "Nothing was run or cancelled ...<BR>";
        account = remote.Account();
        loggedOn = !account.empty();
    } else if (http.Has("CancelBtn")) {
        message = remote.Cancel()
                      ? "The job was successfully cancelled ...<BR>"
                      : "The current job could not be cancelled. It may not/no longer be "
                        "running<BR>or may no longer be associated with this session ... <BR>";
        account = remote.Account();
        loggedOn = !account.empty();
    } else if (http.Has("LogoffBtn")) {
        remote.Forget();
    } else if (userField == nullptr || userField->empty()) {
        message =
            "Please enter your User and Password (for security, the ID must reside on this "
            "server) ...<BR>";
        account = remote.Account();
        loggedOn = !account.empty();
    } else {
        account = *userField;
        const std::optional<std::string> stored = remote.StoredPassword(account);
        const std::string* typed = http.Param("hPassword");
        const std::string password = stored ? *stored : (typed != nullptr ? *typed : "");
        platform::AccountLogon& accounts = request.ctx.Accounts();
        // The right is granted only to an account whose password was accepted.
        auto result = accounts.LogOn(account, password, [&](const std::string& name) {
            if (!request.ctx.autoAdjustPrivileges) {
                return;
            }
            const platform::Status granted = accounts.GrantServiceLogon(name);
            if (!granted.ok()) {
                companion::Logger("kvZNPermissions", "MakeAccountServiceable")(
                    1, "Unable to assign requested privilege to user ", name, ": ", granted.Text());
            }
        });
        if (result.ok()) {
            loggedOn = true;
            if (!stored) {
                remote.Store(account, password);
            }
            logon = std::move(*result);
        } else {
            log(1, "An error occurred logging on as user ", account, ": ", result.status().Text());
            if (stored) {
                remote.Forget();
            }
            message =
                "Unable to logon using the above logon details (or your prev. logon has timed "
                "out). Please re-enter your logon<BR>details and ensure that your user is "
                "defined on this server ...<BR>";
        }
    }

    std::string prevResult = "N/A";
    std::string results = "N/A";
    std::string commandsCopy;
    bool commandsSent = commandsField != nullptr && !commandsField->empty();
    int timeoutUsed = kDefaultTimeout;
    if (timeoutField != nullptr) {
        timeoutUsed = RemoteTimeoutSeconds(*timeoutField);
    }
    if (logon && commandsSent && !IsBlank(*commandsField)) {
        const ParsedCommands parsed = ParseCommandLines(*commandsField);
        if (!remote.BeginRun()) {
            message +=
                "The active command, which was already running has now been cancelled.<BR>"
                "Please click the Back button to repeat the original request or re-submit new "
                "commands now ...<BR>";
        } else if (timeoutField == nullptr) {
            remote.EndRun();
        } else if (parsed.badLine != 0) {
            remote.EndRun();
            message += "Line " + std::to_string(parsed.badLine) +
                       " of the command(s) has a quote that is not closed. Nothing was run "
                       "...<BR>";
        } else {
            WorkFiles files;
            const std::string dir = WorkDirectory(request.ctx);
            if (const platform::Status made = files.Create(dir); !made.ok()) {
                remote.EndRun();
                log(1, "Unable to create required files below ", request.ctx.htmlTargetDirectory,
                    ". The command(s) cannot be run at this time: ", made.Text());
                message +=
                    "An internal error has prevented the commands from being run. Please retry "
                    "the request again. If the problem persists, please contact your System "
                    "Administrator. The server's log file may contain additional information "
                    "on this error ...<BR>";
            } else {
                commandsCopy = WithoutNul(*commandsField);
                const RunOutcome outcome = RunRemoteCommand(
                    request, remote, *logon, parsed.commands, files, timeoutUsed, dontWait);
                prevResult = ResultLine(outcome.code, dontWait);
                results = CollectCommandOutput(files, commandsCopy, log);
                if (results.empty()) {
                    results = "[The Command Returned No Output]";
                }
            }
        }
    }
    if (commandsCopy.empty() && commandsField != nullptr) {
        commandsCopy = WithoutNul(*commandsField);
    }

    const int outputRows = TextAreaRows(http.Param("hOutputLines"), kDefaultOutputRows);
    const int commandRows = TextAreaRows(http.Param("hCommandLines"), kDefaultCommandRows);
    return StreamPage(
        request, "rexec.html", kPageName, kTitle, page,
        [&](const std::string& mark, std::string& out) {
            if (mark == "TOKEN") {
                out += "<input type=\"hidden\" name=\"token\" value=\"" +
                       HtmlEscape(request.session->token) + "\">";
            } else if (mark == "USERID") {
                if (!loggedOn) {
                    out += "<input type=\"text\" name=\"hUserID\" size=\"30\" value=\"" +
                           HtmlEscape(account) + "\">";
                }
            } else if (mark == "LOGGEDON") {
                if (loggedOn) {
                    out += "<input type=\"hidden\" name=\"hUserID\" value=\"" +
                           HtmlEscape(account) +
                           "\"><button type=\"submit\" name=\"LogoffBtn\" value=\"1\">Logoff the "
                           "Remote Session (user " +
                           HtmlEscape(account) + ")</button>";
                } else {
                    out += "[You are not logged on]";
                }
            } else if (mark == "PASSWORD") {
                out += loggedOn ? "N/A"
                                : "<input type=\"password\" name=\"hPassword\" size=\"30\" "
                                  "autocomplete=\"off\">";
            } else if (mark == "MESSAGE") {
                if (!message.empty()) {
                    out += "<p class=\"message\">" + message + "</p>";
                }
            } else if (mark == "NOCOMMANDROWS") {
                out += std::to_string(commandRows);
            } else if (mark == "COMMANDS") {
                out += commandsSent && commandsCopy.empty()
                           ? "[Press your Browser Back Button to retrieve previous commands]"
                           : HtmlEscape(commandsCopy);
            } else if (mark == "TIMEOUT") {
                out += std::to_string(timeoutUsed);
            } else if (mark == "DONTWAIT") {
                out += dontWait ? "CHECKED" : "";
            } else if (mark == "OUTPUTLINES") {
                out += std::to_string(outputRows);
            } else if (mark == "COMMANDLINES") {
                out += std::to_string(commandRows);
            } else if (mark == "PREVRESULT") {
                out += prevResult;
            } else if (mark == "NORESULTSROWS") {
                out += std::to_string(outputRows);
            } else if (mark == "RESULTS") {
                out += HtmlEscape(results);
            } else {
                return false;
            }
            return true;
        });
}

int BuildHTMLRExecDisabledFile(const PageRequest& request, std::string& page) {
    return StreamPage(request, "rexec_disabled.html", kPageName, kTitle, page,
                      [](const std::string&, std::string&) { return false; });
}

void TidyRemoteExecDirectory(const service::ServiceContext& ctx) {
    const companion::Logger log(kModule, "TidyRemoteExecDirectory");
    if (ctx.htmlTargetDirectory.empty()) {
        return;
    }
    const std::string dir = WorkDirectory(ctx);
    if (const platform::Status made = platform::MakePrivateDirectory(dir); !made.ok()) {
        log(1, "Unable to prepare the directory ", dir, ": ", made.Text());
        return;
    }
    for (const char* pattern : {"*.bat", "*.out", "*.err"}) {
        platform::DeleteMatchingFiles(dir, pattern);
    }
}

}  // namespace kvzn::web
