// File change notification over inotify: one watch per directory, filtered by entry name.
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <set>

#include "platform/file.h"
#include "platform/file_watch.h"
#include "platform/readiness.h"

namespace kvzn::platform {

namespace {

constexpr uint32_t kDirectoryEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE |
                                      IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                                      IN_MOVE_SELF;

class InotifyWatcher final : public FileWatcher {
  public:
    explicit InotifyWatcher(UniqueFd fd) : fd_(std::move(fd)) {}

    Status Watch(const std::string& path) override {
        const size_t slash = path.rfind('/');
        const std::string dir = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : path.substr(0, slash);
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        const int wd = ::inotify_add_watch(fd_.get(), dir.c_str(), kDirectoryEvents);
        if (wd < 0) {
            return Status::Errno("inotify_add_watch", dir);
        }
        names_[wd].insert(name);
        return Status::Ok();
    }

    void Clear() override {
        for (const auto& [wd, names] : names_) {
            ::inotify_rm_watch(fd_.get(), wd);
        }
        names_.clear();
        Drain();
    }

    Wake Wait(const Event& stop, std::chrono::milliseconds timeout) override {
        using namespace std::chrono;
        const auto deadline = steady_clock::now() + timeout;
        for (;;) {
            const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
            const int r = WaitForReadable({fd_.get()}, stop, std::max(left, milliseconds(0)));
            if (r == kWaitStopped) {
                return Wake::kStopped;
            }
            if (r == kWaitTimedOut) {
                return Wake::kTimedOut;
            }
            if (Drain()) {
                return Wake::kChanged;
            }
        }
    }

  private:
    // Reads every pending notice; true when one concerns a watched entry.
    bool Drain() {
        bool relevant = false;
        alignas(inotify_event) char buffer[16384];
        for (;;) {
            const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
            if (n <= 0) {
                return relevant;
            }
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                const auto watched = names_.find(event->wd);
                if (watched == names_.end()) {
                    continue;
                }
                if (event->len == 0 || (event->mask & IN_Q_OVERFLOW) != 0 ||
                    watched->second.count(event->name) != 0) {
                    relevant = true;
                }
            }
        }
    }

    UniqueFd fd_;
    std::map<int, std::set<std::string>> names_;  // watch -> entry names in that directory
};

// Without inotify every wait is the poll interval.
class PollingWatcher final : public FileWatcher {
  public:
    Status Watch(const std::string&) override { return Status::Error(ENOSYS, "polling only"); }
    void Clear() override {}
    Wake Wait(const Event& stop, std::chrono::milliseconds timeout) override {
        return stop.WaitFor(timeout) ? Wake::kStopped : Wake::kTimedOut;
    }
};

}  // namespace

std::unique_ptr<FileWatcher> MakeFileWatcher() {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        return std::make_unique<PollingWatcher>();
    }
    return std::make_unique<InotifyWatcher>(UniqueFd(fd));
}

}  // namespace kvzn::platform
