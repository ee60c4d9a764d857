// Files followed while another program writes them: which file a path names now, and
// reads at an offset through a descriptor kept open across rotations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"
#include "platform/status.h"

namespace kvzn::platform {

// Which file, and how long it is.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    bool SameFile(const FileIdentity& other) const {
        return device == other.device && inode == other.inode;
    }
};

// The file `path` names now (symbolic links followed). Missing: err() == ENOENT.
Result<FileIdentity> IdentifyPath(const std::string& path);
// The file an open descriptor refers to, even after it was renamed or deleted.
Result<FileIdentity> IdentifyOpenFile(int fd);
// Reads up to `size` bytes at `offset` without moving the descriptor's position; 0 at the
// end of the file. Interrupted reads are resumed.
Result<size_t> ReadAt(int fd, int64_t offset, char* buffer, size_t size);

}  // namespace kvzn::platform
