// Files and directories on Linux.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/file.h"

namespace kvzn::platform {

namespace {

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

Status Sync(int fd, Durability durability, const std::string& what) {
    if (durability != Durability::kNone && ::fdatasync(fd) != 0) {
        return Status::Errno("fdatasync", what);
    }
    return Status::Ok();
}

Status SyncDirectory(const std::string& dir) {
    UniqueFd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dfd.valid()) {
        return Status::Errno("open", dir);
    }
    if (::fsync(dfd.get()) != 0) {
        return Status::Errno("fsync", dir);
    }
    return Status::Ok();
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.Release();
    }
    return *this;
}

int UniqueFd::Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

int UniqueFd::Close() {
    const int rc = fd_ >= 0 ? ::close(fd_) : 0;
    fd_ = -1;
    return rc;
}

Result<UniqueFd> OpenForReading(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return Status::Errno("open", path);
    }
    return fd;
}

Result<UniqueFd> OpenForAppending(const std::string& path, int mode) {
    UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, static_cast<mode_t>(mode)));
    if (!fd.valid()) {
        return Status::Errno("open", path);
    }
    return fd;
}

Status WriteAll(int fd, std::string_view data, const std::string& what) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Status::Errno("write", what);
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return Status::Ok();
}

Result<std::string> ReadWholeFile(const std::string& path) {
    auto fd = OpenForReading(path);
    if (!fd.ok()) {
        return fd.status();
    }
    std::string text;
    struct stat st {};
    if (::fstat(fd->get(), &st) == 0 && st.st_size > 0) {
        text.reserve(static_cast<size_t>(st.st_size));
    }
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(fd->get(), buf, sizeof buf);
        if (n == 0) {
            return text;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Status::Errno("read", path);
        }
        text.append(buf, static_cast<size_t>(n));
    }
}

Status AppendToFile(const std::string& path, std::string_view data, Durability durability,
                    int mode) {
    auto opened = OpenForAppending(path, mode);
    if (!opened.ok()) {
        return opened.status();
    }
    UniqueFd& fd = *opened;
    ssize_t n;
    do {
        n = ::write(fd.get(), data.data(), data.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return Status::Errno("write", path);
    }
    if (static_cast<size_t>(n) != data.size()) {
        // Out of room part-way: the line is incomplete and readers cut it at its end.
        return Status::Errno("write", path, ENOSPC);
    }
    if (Status st = Sync(fd.get(), durability, path); !st.ok()) {
        return st;
    }
    if (fd.Close() != 0) {
        return Status::Errno("close", path);
    }
    return Status::Ok();
}

Status WriteFileAtomically(const std::string& path, std::string_view content, int mode,
                           Durability durability) {
    std::string tmp = path + ".XXXXXX.tmp";
    UniqueFd fd(::mkostemps(tmp.data(), 4, O_CLOEXEC));
    if (!fd.valid()) {
        return Status::Errno("mkostemps", tmp);
    }
    auto fail = [&](Status st) {
        fd.Close();
        ::unlink(tmp.c_str());
        return st;
    };
    if (Status st = WriteAll(fd.get(), content, tmp); !st.ok()) {
        return fail(st);
    }
    if (::fchmod(fd.get(), static_cast<mode_t>(mode)) != 0) {
        return fail(Status::Errno("fchmod", tmp));
    }
    if (Status st = Sync(fd.get(), durability, tmp); !st.ok()) {
        return fail(st);
    }
    if (fd.Close() != 0) {
        return fail(Status::Errno("close", tmp));
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const Status st = Status::Errno("rename", tmp + " -> " + path);
        ::unlink(tmp.c_str());
        return st;
    }
    if (durability == Durability::kDataAndDirectory) {
        return SyncDirectory(DirectoryOf(path));
    }
    return Status::Ok();
}

Status OverwriteFile(const std::string& path, std::string_view content) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (!fd.valid()) {
        return Status::Errno("open", path);
    }
    if (Status st = WriteAll(fd.get(), content, path); !st.ok()) {
        return st;
    }
    if (fd.Close() != 0) {
        return Status::Errno("close", path);
    }
    return Status::Ok();
}

Result<int64_t> ModifiedTime(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return Status::Errno("stat", path);
    }
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

Status SetModifiedTime(const std::string& path, int64_t modifiedNs) {
    const timespec times[2] = {
        {0, UTIME_OMIT},
        {static_cast<time_t>(modifiedNs / 1000000000), static_cast<long>(modifiedNs % 1000000000)}};
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
        return Status::Errno("utimensat", path);
    }
    return Status::Ok();
}

Status RemoveFile(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return Status::Errno("unlink", path);
    }
    return Status::Ok();
}

Result<std::vector<DirectoryEntry>> ListDirectory(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return Status::Errno("opendir", dir);
    }
    std::vector<DirectoryEntry> entries;
    while (const dirent* e = ::readdir(d)) {
        const std::string_view name = e->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        DirectoryEntry entry;
        entry.name = std::string(name);
        struct stat st {};
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            entry.regular = S_ISREG(st.st_mode);
            entry.modifiedNs =
                static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        }
        entries.push_back(std::move(entry));
    }
    ::closedir(d);
    return entries;
}

size_t DeleteMatchingFiles(const std::string& dir, const char* pattern,
                           std::optional<int64_t> modifiedBeforeNs) {
    auto entries = ListDirectory(dir);
    if (!entries.ok()) {
        return 0;
    }
    size_t deleted = 0;
    for (const DirectoryEntry& e : *entries) {
        if (!e.regular || ::fnmatch(pattern, e.name.c_str(), 0) != 0 ||
            (modifiedBeforeNs && e.modifiedNs >= *modifiedBeforeNs)) {
            continue;
        }
        deleted += ::unlink((dir + "/" + e.name).c_str()) == 0 ? 1 : 0;
    }
    return deleted;
}

int64_t FileClockNowNs() {
    // File times are taken from the coarse clock, which may lag the precise one by a tick.
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

Status MakeDirectory(const std::string& dir, int mode) {
    if (dir.empty()) {
        return Status::Error(EINVAL, "no directory named");
    }
    if (::mkdir(dir.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) {
        return Status::Errno("mkdir", dir);
    }
    return Status::Ok();
}

Result<std::string> ReadFromStart(int fd, size_t limit, const std::string& what) {
    std::string out;
    char buffer[65536];
    off_t offset = 0;
    while (out.size() < limit) {
        const size_t want = std::min(sizeof buffer, limit - out.size());
        const ssize_t n = ::pread(fd, buffer, want, offset);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Status::Errno("pread", what);
        }
        if (n == 0) {
            break;
        }
        out.append(buffer, static_cast<size_t>(n));
        offset += n;
    }
    return out;
}

Status MakePrivateDirectory(const std::string& dir) {
    if (dir.empty()) {
        return Status::Error(EINVAL, "no directory named");
    }
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return Status::Errno("mkdir", dir);
    }
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return Status::Errno("open", dir, errno == ELOOP ? ENOTDIR : errno);
    }
    UniqueFd owned(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return Status::Errno("fstat", dir);
    }
    if (st.st_uid != ::geteuid()) {
        return Status::Errno("fstat", dir + " belongs to another user", EPERM);
    }
    if ((st.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0) {
        return Status::Errno("fchmod", dir);
    }
    return Status::Ok();
}

Result<CreatedFile> CreateUniqueFile(const std::string& dir, const std::string& prefix,
                                     const std::string& suffix) {
    std::string path = dir + "/" + prefix + "XXXXXX" + suffix;
    const int fd = ::mkostemps(path.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
    if (fd < 0) {
        return Status::Errno("mkostemps", path);
    }
    return CreatedFile{UniqueFd(fd), std::move(path)};
}

}  // namespace kvzn::platform
