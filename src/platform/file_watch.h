// Change notification for followed files: wakes a monitor when a file it follows is
// written, truncated, created, renamed or deleted, between its polls.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/event.h"
#include "platform/status.h"

namespace kvzn::platform {

// @threadsafety One thread at a time.
class FileWatcher {
  public:
    enum class Wake { kChanged, kStopped, kTimedOut };
    virtual ~FileWatcher() = default;
    // Watches the directory entry `path` (whether or not the file exists yet). A failure
    // (no such directory, a file system without notification, too many watches) leaves the
    // path to polling.
    virtual Status Watch(const std::string& path) = 0;
    // Forgets every watched path.
    virtual void Clear() = 0;
    // Waits until a watched path changed, `stop` is set or `timeout` passes. Notices that
    // arrived since the last wait count as a change.
    virtual Wake Wait(const Event& stop, std::chrono::milliseconds timeout) = 0;
};

// inotify on the directories of the watched paths; when inotify cannot be set up, a
// watcher whose waits only time out (polling).
std::unique_ptr<FileWatcher> MakeFileWatcher();

}  // namespace kvzn::platform
