// Account logon through PAM, and the service-logon right as membership of a group.
#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/account_logon.h"
#include "platform/file.h"

namespace kvzn::platform {
namespace {

constexpr std::chrono::seconds kGroupCommandTimeout{30};

struct Credentials {
    const std::string* name;
    const std::string* password;
};

void FreeReplies(pam_response* replies, int count) {
    for (int i = 0; i < count; ++i) {
        if (replies[i].resp != nullptr) {
            std::memset(replies[i].resp, 0, std::strlen(replies[i].resp));
            std::free(replies[i].resp);
        }
    }
    std::free(replies);
}

// Answers the modules' prompts: the name when echoed, the password when not.
extern "C" int Converse(int count, const pam_message** messages, pam_response** out, void* data) {
    if (count <= 0 || messages == nullptr || out == nullptr) {
        return PAM_CONV_ERR;
    }
    const auto* credentials = static_cast<const Credentials*>(data);
    auto* replies = static_cast<pam_response*>(std::calloc(count, sizeof(pam_response)));
    if (replies == nullptr) {
        return PAM_BUF_ERR;
    }
    for (int i = 0; i < count; ++i) {
        const char* answer = nullptr;
        switch (messages[i]->msg_style) {
            case PAM_PROMPT_ECHO_OFF:
                answer = credentials->password->c_str();
                break;
            case PAM_PROMPT_ECHO_ON:
                answer = credentials->name->c_str();
                break;
            case PAM_ERROR_MSG:
            case PAM_TEXT_INFO:
                continue;
            default:
                FreeReplies(replies, count);
                return PAM_CONV_ERR;
        }
        replies[i].resp = ::strdup(answer);
        if (replies[i].resp == nullptr) {
            FreeReplies(replies, count);
            return PAM_BUF_ERR;
        }
    }
    *out = replies;
    return PAM_SUCCESS;
}

class PamHandle {
  public:
    PamHandle() = default;
    ~PamHandle() {
        if (handle_ != nullptr) {
            ::pam_end(handle_, last_);
        }
    }
    PamHandle(const PamHandle&) = delete;
    PamHandle& operator=(const PamHandle&) = delete;
    pam_handle_t** Out() { return &handle_; }
    pam_handle_t* get() const { return handle_; }
    int Note(int rc) {
        last_ = rc;
        return rc;
    }
    std::string Error(int rc) const { return ::pam_strerror(handle_, rc); }

  private:
    pam_handle_t* handle_ = nullptr;
    int last_ = PAM_SUCCESS;
};

struct PasswdEntry {
    uint32_t uid = 0;
    uint32_t gid = 0;
    std::string name;
    std::string home;
    std::string shell;
};

Result<PasswdEntry> LookUpAccount(const std::string& name) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int rc = ::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < (1U << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0) {
            return Status::Errno("getpwnam_r", name, rc);
        }
        if (found == nullptr) {
            return Status::Error(ENOENT, "no account " + name);
        }
        return PasswdEntry{
            entry.pw_uid, entry.pw_gid, entry.pw_name, entry.pw_dir != nullptr ? entry.pw_dir : "/",
            entry.pw_shell != nullptr && *entry.pw_shell ? entry.pw_shell : "/bin/sh"};
    }
}

std::vector<uint32_t> GroupsOf(const PasswdEntry& account) {
    std::vector<gid_t> groups(32);
    for (int attempt = 0; attempt < 8; ++attempt) {
        int count = static_cast<int>(groups.size());
        if (::getgrouplist(account.name.c_str(), account.gid, groups.data(), &count) >= 0) {
            groups.resize(static_cast<size_t>(count));
            return {groups.begin(), groups.end()};
        }
        groups.resize(static_cast<size_t>(std::max(count, static_cast<int>(groups.size()) * 2)));
    }
    return {account.gid};
}

void SetEntry(std::vector<std::string>& env, const std::string& name, const std::string& value) {
    const std::string prefix = name + "=";
    auto same = std::find_if(env.begin(), env.end(),
                             [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
    if (same != env.end()) {
        *same = prefix + value;
    } else {
        env.push_back(prefix + value);
    }
}

struct GroupEntry {
    uint32_t gid = 0;
    std::vector<std::string> members;
};

Result<GroupEntry> LookUpGroup(const char* name) {
    std::vector<char> buffer(16384);
    for (;;) {
        group entry{};
        group* found = nullptr;
        const int rc = ::getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < (1U << 22)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0) {
            return Status::Errno("getgrnam_r", name, rc);
        }
        if (found == nullptr) {
            return Status::Error(ENOENT, std::string("no group ") + name);
        }
        GroupEntry out{entry.gr_gid, {}};
        for (char** m = entry.gr_mem; m != nullptr && *m != nullptr; ++m) {
            out.members.emplace_back(*m);
        }
        return out;
    }
}

// One logon through PAM, start to end.
Result<LocalAccount> LogOnNow(const std::string& name, const std::string& password,
                              const std::function<void(const std::string&)>& passwordAccepted) {
    Credentials credentials{&name, &password};
    const pam_conv conversation{Converse, &credentials};
    PamHandle pam;
    const char* confdir = std::getenv(kPamConfDirVariable);
    const int started =
        confdir != nullptr && *confdir != '\0'
            ? ::pam_start_confdir(kPamServiceName, name.c_str(), &conversation, confdir, pam.Out())
            : ::pam_start(kPamServiceName, name.c_str(), &conversation, pam.Out());
    if (started != PAM_SUCCESS) {
        return Status::Error(EIO, std::string("pam_start: ") + ::pam_strerror(nullptr, started));
    }
    int rc = pam.Note(::pam_authenticate(pam.get(), PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK));
    if (rc != PAM_SUCCESS) {
        const bool refused = rc == PAM_AUTH_ERR || rc == PAM_USER_UNKNOWN || rc == PAM_MAXTRIES ||
                             rc == PAM_CRED_INSUFFICIENT;
        return Status::Error(refused ? EACCES : EIO, "pam_authenticate: " + pam.Error(rc));
    }
    // PAM may have mapped the name.
    std::string user = name;
    const void* item = nullptr;
    if (::pam_get_item(pam.get(), PAM_USER, &item) == PAM_SUCCESS && item != nullptr) {
        user = static_cast<const char*>(item);
    }
    if (passwordAccepted) {
        passwordAccepted(user);
    }
    rc = pam.Note(::pam_acct_mgmt(pam.get(), PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK));
    if (rc != PAM_SUCCESS) {
        return Status::Error(EPERM, "pam_acct_mgmt: " + pam.Error(rc));
    }
    auto entry = LookUpAccount(user);
    if (!entry.ok()) {
        return entry.status();
    }
    LocalAccount account;
    account.name = entry->name;
    account.identity = RunIdentity{entry->uid, entry->gid, GroupsOf(*entry)};
    account.home = entry->home;
    if (char** list = ::pam_getenvlist(pam.get()); list != nullptr) {
        for (char** e = list; *e != nullptr; ++e) {
            if (std::strchr(*e, '=') != nullptr) {
                account.environment.emplace_back(*e);
            }
            std::free(*e);
        }
        std::free(list);
    }
    SetEntry(account.environment, "HOME", entry->home);
    SetEntry(account.environment, "USER", entry->name);
    SetEntry(account.environment, "LOGNAME", entry->name);
    SetEntry(account.environment, "SHELL", entry->shell);
    const bool hasPath = std::any_of(account.environment.begin(), account.environment.end(),
                                     [](const std::string& e) { return e.rfind("PATH=", 0) == 0; });
    if (!hasPath) {
        SetEntry(account.environment, "PATH",
                 entry->uid == 0 ? "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
                                 : "/usr/local/bin:/usr/bin:/bin");
    }
    pam.Note(PAM_SUCCESS);
    return account;
}

// What a logon's own thread and the caller share. `abandoned` is set, under the mutex, once
// the caller stopped waiting: the caller's callback is then never run.
struct PendingLogon {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool abandoned = false;
    Result<LocalAccount> result = Status::Error(EIO, "the logon did not end");
};

class PamAccountLogon : public AccountLogon {
  public:
    explicit PamAccountLogon(std::chrono::milliseconds timeout) : timeout_(timeout) {}

    // PAM modules may wait on the network (directory services, one-time passwords) without
    // a time-out of their own: the logon runs on a thread of its own and is waited for at
    // most the time-out. A logon left behind ends on its own and changes nothing.
    Result<LocalAccount> LogOn(
        const std::string& name, const std::string& password,
        const std::function<void(const std::string&)>& passwordAccepted) override {
        auto pending = std::make_shared<PendingLogon>();
        std::function<void(const std::string&)> accepted;
        if (passwordAccepted) {
            // Runs on the logon's thread while the caller still waits (it holds the mutex,
            // so the caller cannot give up meanwhile and leave `passwordAccepted` dangling).
            accepted = [pending, &passwordAccepted](const std::string& user) {
                std::scoped_lock lock(pending->mutex);
                if (!pending->abandoned) {
                    passwordAccepted(user);
                }
            };
        }
        try {
            std::thread([pending, name, secret = std::string(password),
                         accepted = std::move(accepted)]() mutable {
                Result<LocalAccount> result = LogOnNow(name, secret, accepted);
                std::fill(secret.begin(), secret.end(), '\0');
                std::scoped_lock lock(pending->mutex);
                pending->result = std::move(result);
                pending->done = true;
                pending->finished.notify_all();
            }).detach();
        } catch (const std::system_error& e) {
            return Status::Error(EAGAIN,
                                 std::string("the logon could not be started: ") + e.what());
        }
        std::unique_lock lock(pending->mutex);
        if (!pending->finished.wait_for(lock, timeout_, [&] { return pending->done; })) {
            pending->abandoned = true;
            return Status::Error(
                ETIMEDOUT, "PAM did not answer within " + std::to_string(timeout_.count()) + " ms");
        }
        return std::move(pending->result);
    }

    Status GrantServiceLogon(const std::string& name) override {
        auto account = LookUpAccount(name);
        if (!account.ok()) {
            return account.status();
        }
        if (name.empty() || name[0] == '-') {
            return Status::Error(EINVAL, "not an account name: " + name);
        }
        auto group = LookUpGroup(kServiceLogonGroup);
        if (!group.ok() && group.status().err() == ENOENT) {
            const Status made = RunCommandChecked({"groupadd", "--system", kServiceLogonGroup},
                                                  kGroupCommandTimeout);
            group = LookUpGroup(kServiceLogonGroup);
            if (!group.ok()) {
                return made.ok() ? group.status() : made;
            }
        }
        if (!group.ok()) {
            return group.status();
        }
        if (account->gid == group->gid || std::find(group->members.begin(), group->members.end(),
                                                    account->name) != group->members.end()) {
            return Status::Ok();
        }
        return RunCommandChecked({"usermod", "-a", "-G", kServiceLogonGroup, account->name},
                                 kGroupCommandTimeout);
    }

  private:
    std::chrono::milliseconds timeout_;
};

}  // namespace

std::unique_ptr<AccountLogon> MakeAccountLogon(std::chrono::milliseconds timeout) {
    return std::make_unique<PamAccountLogon>(timeout);
}

std::string PamServiceFileText() {
    return std::string(
               "# PAM service of kvZNPrint: logons of the remote command page.\n"
               "# The right to log on as a service is membership of the group ") +
           kServiceLogonGroup +
           ".\n"
           "auth     required  pam_unix.so\n"
           "account  required  pam_unix.so\n"
           "account  required  pam_succeed_if.so quiet user ingroup " +
           kServiceLogonGroup + "\n";
}

Status InstallPamServiceFile(const std::string& root) {
    const std::string base = root.empty() || root == "/" ? "" : root;
    const std::string dir = base + "/etc/pam.d";
    const std::string path = dir + "/" + kPamServiceFile;
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) {
        return Status::Ok();
    }
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        return Status::Error(ec.value(), "cannot create " + dir + ": " + ec.message());
    }
    return WriteFileAtomically(path, PamServiceFileText(), 0644);
}

}  // namespace kvzn::platform
