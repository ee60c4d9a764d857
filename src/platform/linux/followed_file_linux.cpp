// Identity and positioned reads of followed files over stat and pread.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/followed_file.h"

namespace kvzn::platform {

namespace {
FileIdentity FromStat(const struct stat& st) {
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
            static_cast<int64_t>(st.st_size)};
}
}  // namespace

Result<FileIdentity> IdentifyPath(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return Status::Errno("stat", path);
    }
    return FromStat(st);
}

Result<FileIdentity> IdentifyOpenFile(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return Status::Errno("fstat");
    }
    return FromStat(st);
}

Result<size_t> ReadAt(int fd, int64_t offset, char* buffer, size_t size) {
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, size, static_cast<off_t>(offset));
        if (n >= 0) {
            return static_cast<size_t>(n);
        }
        if (errno != EINTR) {
            return Status::Errno("pread");
        }
    }
}

}  // namespace kvzn::platform
