// Housekeeping of the service's working directories.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kvzn::platform {

// The file system's clock, in nanoseconds since the epoch: a file written after this call
// carries a modification time no earlier than the value returned.
int64_t FileClockNowNs();

// Deletes the regular files directly in `dir` whose names match the shell pattern
// `pattern`; with `modifiedBeforeNs`, only those last modified before that time. Links,
// directories and files that cannot be deleted are left alone. Returns how many were
// deleted.
size_t DeleteMatchingFiles(const std::string& dir, const char* pattern,
                           std::optional<int64_t> modifiedBeforeNs = std::nullopt);

}  // namespace kvzn::platform
