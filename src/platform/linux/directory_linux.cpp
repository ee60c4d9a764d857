// Directory housekeeping with readdir, fnmatch and lstat.
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/directory.h"

namespace kvzn::platform {

namespace {
constexpr int64_t kNsPerSecond = 1'000'000'000;

int64_t Ns(const timespec& ts) {
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}
}  // namespace

int64_t FileClockNowNs() {
    // File times are taken from the coarse clock, which may lag the precise one by a tick.
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return Ns(now);
}

size_t DeleteMatchingFiles(const std::string& dir, const char* pattern,
                           std::optional<int64_t> modifiedBeforeNs) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return 0;
    }
    size_t deleted = 0;
    while (dirent* entry = ::readdir(d)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || ::fnmatch(pattern, name.c_str(), 0) != 0) {
            continue;
        }
        const std::string path = dir + "/" + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            continue;
        }
        if (modifiedBeforeNs && Ns(st.st_mtim) >= *modifiedBeforeNs) {
            continue;
        }
        deleted += ::unlink(path.c_str()) == 0 ? 1 : 0;
    }
    ::closedir(d);
    return deleted;
}

}  // namespace kvzn::platform
