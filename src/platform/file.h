// Files and directories: owned descriptors, whole-file reads, appends, atomic replacement
// and directory listings, each reporting failure as a Status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace kvzn::platform {

// An open file descriptor, closed when the owner goes.
class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { Close(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int Release();
    // Closes now; returns close's result (a file being written reports its last error here).
    int Close();

  private:
    int fd_;
};

// Opens `path` read-only (close-on-exec).
Result<UniqueFd> OpenForReading(const std::string& path);

// Opens `path` for appending (created with `mode` when missing; close-on-exec).
Result<UniqueFd> OpenForAppending(const std::string& path, int mode = 0644);

// Writes all of `data`, resuming after interruptions and short writes. `what` names the
// file in the Status.
Status WriteAll(int fd, std::string_view data, const std::string& what);

// The first `limit` bytes of the open file `fd` (read from its start, whatever its offset).
Result<std::string> ReadFromStart(int fd, size_t limit, const std::string& what);

// The whole content of a file. A missing file is a failure with err() == ENOENT.
Result<std::string> ReadWholeFile(const std::string& path);

// How far a write is made durable before the call returns.
enum class Durability {
    kNone,              // left to the kernel
    kData,              // the file's data is on disk (fdatasync)
    kDataAndDirectory,  // also the directory entry of a new or renamed file
};

// Appends `data` with one write to the end of `path` (created with `mode` when missing), so
// that concurrent appenders never interleave within it.
Status AppendToFile(const std::string& path, std::string_view data, Durability durability,
                    int mode = 0644);

// Replaces `path` with `content` atomically: a temporary file "<path>.XXXXXX.tmp" in the same
// directory, written, given `mode`, made durable and renamed over `path`. A reader sees the
// old or the new file, never a mix; a crash leaves at most a temporary file behind.
Status WriteFileAtomically(const std::string& path, std::string_view content, int mode = 0644,
                           Durability durability = Durability::kDataAndDirectory);

// Writes `content` over the file in place (truncated first): the fallback when there is no
// room for a second file. Not atomic.
Status OverwriteFile(const std::string& path, std::string_view content);

// The modification time of a file (nanoseconds since the epoch).
Result<int64_t> ModifiedTime(const std::string& path);
// Sets the modification time of a file (nanoseconds since the epoch).
Status SetModifiedTime(const std::string& path, int64_t modifiedNs);

// Removes a file; a file that is already gone is not a failure.
Status RemoveFile(const std::string& path);

struct DirectoryEntry {
    std::string name;
    bool regular = false;    // a regular file (symbolic links are not followed)
    int64_t modifiedNs = 0;  // modification time, nanoseconds since the epoch
};
// The entries of `dir` other than "." and "..", in no particular order.
Result<std::vector<DirectoryEntry>> ListDirectory(const std::string& dir);

// Deletes the regular files directly in `dir` whose names match the shell pattern
// `pattern`; with `modifiedBeforeNs`, only those last modified before that time. Links,
// directories and files that cannot be deleted are left alone. Returns how many were
// deleted.
size_t DeleteMatchingFiles(const std::string& dir, const char* pattern,
                           std::optional<int64_t> modifiedBeforeNs = std::nullopt);

// The file system's clock, in nanoseconds since the epoch: a file written after this call
// carries a modification time no earlier than the value returned.
int64_t FileClockNowNs();

// Creates the directory (mode 0755) unless it exists.
Status MakeDirectory(const std::string& dir, int mode = 0755);

// Makes `dir` a directory only this process's user can enter (mode 0700): created when
// missing; an existing one must be a real directory (not a link) owned by us, and is set to
// 0700. EPERM when it belongs to someone else, ENOTDIR when it is no directory.
Status MakePrivateDirectory(const std::string& dir);

// A new file of its own: "<dir>/<prefix>XXXXXX<suffix>" with a random part, created
// exclusively (never an existing file or link) with mode 0600, open for reading and writing
// (close-on-exec).
struct CreatedFile {
    UniqueFd fd;
    std::string path;
};
Result<CreatedFile> CreateUniqueFile(const std::string& dir, const std::string& prefix,
                                     const std::string& suffix);

}  // namespace kvzn::platform
