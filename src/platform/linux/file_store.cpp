// Configuration store kept in one text file, shared by the service and the configuration
// utility.
//
// Every change is a read-modify-write under an exclusive flock on "<store>.lock" (plus a
// mutex for the threads of this process). The new text goes to a temporary file in the same
// directory, which is fsync'ed and renamed over the store, so a reader or a crash sees either
// the old or the new store, never a mix. Leftover temporary files of a writer that died are
// removed by the next writer, which can tell them apart because it holds the lock.
//
// Reads come from a parsed copy of the file, kept while the file stays the same. The parsed
// tree costs a few hundred bytes per value, so it is kept only while reads need it: values
// read one at a time are also kept in a small table of their own, and once the tree has
// gone unused for a while the table answers alone. A service that reads its configuration
// at start and then the same few values every cycle keeps only those values.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "platform/config_store.h"
#include "platform/file.h"
#include "platform/process_memory.h"

namespace kvzn::platform {

namespace {

constexpr mode_t kFileMode = 0600;
constexpr mode_t kDirectoryMode = 0700;
constexpr std::string_view kTempInfix = ".tmp-";
constexpr size_t kTempUniqueChars = 6;  // the XXXXXX of mkostemp
// A cached tree is reused only for a file whose times are at least this much older than
// the moment it was read: a younger file might be replaced within one timestamp tick by
// another of the same size and (recycled) inode.
constexpr time_t kSettleSeconds = 2;
constexpr size_t kReadChunk = 4096;
// Values read one at a time that are kept for the same file version; the table starts
// afresh when it is full.
constexpr size_t kRecentValues = 64;
// A parsed tree unused for this long is released once a read is answered without it.
constexpr auto kTreeIdleTime = std::chrono::seconds(30);

using SteadyClock = std::chrono::steady_clock;

// Identity of a store file version as far as stat can tell.
struct FileStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};

    static FileStamp Of(const struct stat& st) {
        return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
    }
    bool operator==(const FileStamp& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
               ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

struct LoadedFile {
    std::shared_ptr<StoreTree> tree;
    bool exists = false;
    FileStamp stamp;
    bool settled = false;  // old enough for its stamp to identify its content
};

// Reads and parses the store file. A missing file is an empty tree.
Result<LoadedFile> LoadFile(const std::string& path) {
    LoadedFile loaded;
    loaded.tree = std::make_shared<StoreTree>();
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT) {
            return loaded;
        }
        return Status::Errno("open", path);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return Status::Errno("fstat", path);
    }
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    // Read straight into the text, sized from fstat plus room to see the end of the file
    // (or a file that grew meanwhile).
    std::string text(static_cast<size_t>(st.st_size > 0 ? st.st_size : 0) + kReadChunk, '\0');
    size_t used = 0;
    for (;;) {
        if (used == text.size()) {
            text.resize(used + kReadChunk);
        }
        const ssize_t n = ::read(fd.get(), text.data() + used, text.size() - used);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Status::Errno("read", path);
        }
        if (n == 0) {
            break;
        }
        used += static_cast<size_t>(n);
    }
    text.resize(used);
    Status parsed = StoreTree::Parse(text, path, *loaded.tree);
    if (!parsed.ok()) {
        return parsed;
    }
    loaded.exists = true;
    loaded.stamp = FileStamp::Of(st);
    const time_t newest = std::max(st.st_mtim.tv_sec, st.st_ctim.tv_sec);
    loaded.settled = newest + kSettleSeconds <= now.tv_sec;
    return loaded;
}

std::pair<std::string, std::string> SplitDirectory(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// Creates `dir` and any missing parents with mode 0700.
Status MakeDirectories(const std::string& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        return Status::Ok();
    }
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') {
            continue;
        }
        const std::string prefix = dir.substr(0, pos);
        if (::mkdir(prefix.c_str(), kDirectoryMode) != 0 && errno != EEXIST) {
            return Status::Errno("mkdir", prefix);
        }
    }
    return Status::Ok();
}

class FileStore final : public ConfigStore {
  public:
    explicit FileStore(std::string path) : path_(std::move(path)), lockPath_(path_ + ".lock") {
        std::tie(dir_, base_) = SplitDirectory(path_);
    }

    // The reader gets an immutable snapshot and runs without any lock held.
    Status Read(const std::function<void(const StoreTree&)>& reader) override {
        struct stat st {};
        if (::stat(path_.c_str(), &st) != 0) {
            if (errno != ENOENT) {
                return Status::Errno("stat", path_);
            }
            reader(StoreTree());
            return Status::Ok();
        }
        Result<Snapshot> snapshot = TreeOf(st);
        if (!snapshot.ok()) {
            return snapshot.status();
        }
        reader(*snapshot->tree);
        return Status::Ok();
    }

    Result<std::optional<StoreValue>> ReadValue(std::string_view keyPath,
                                                std::string_view name) override {
        struct stat st {};
        if (::stat(path_.c_str(), &st) != 0) {
            if (errno != ENOENT) {
                return Status::Errno("stat", path_);
            }
            return std::optional<StoreValue>();
        }
        std::string id;
        id.reserve(keyPath.size() + 1 + name.size());
        id.append(keyPath).append(1, '\0').append(name);
        {
            std::unique_lock lock(cacheMutex_);
            if (recentStamp_ && *recentStamp_ == FileStamp::Of(st)) {
                if (auto it = recent_.find(id); it != recent_.end()) {
                    std::optional<StoreValue> value = it->second;
                    std::shared_ptr<const StoreTree> idle;
                    if (cached_ && SteadyClock::now() - treeUsed_ >= kTreeIdleTime) {
                        idle = std::move(cached_);
                    }
                    lock.unlock();
                    if (idle) {
                        idle.reset();
                        ReleaseFreeMemory();  // the tree was most of the heap
                    }
                    return value;
                }
            }
        }
        Result<Snapshot> snapshot = TreeOf(st);
        if (!snapshot.ok()) {
            return snapshot.status();
        }
        std::optional<StoreValue> value;
        if (const StoreValue* found = snapshot->tree->Find(keyPath, name)) {
            value = *found;
        }
        if (snapshot->cached) {
            std::scoped_lock lock(cacheMutex_);
            if (recentStamp_ && *recentStamp_ == snapshot->stamp) {
                if (recent_.size() >= kRecentValues) {
                    recent_.clear();
                }
                recent_.emplace(std::move(id), value);
            }
        }
        return value;
    }

    Status Update(const std::function<bool(StoreTree&)>& writer) override {
        std::scoped_lock updating(updateMutex_);
        if (Status made = MakeDirectories(dir_); !made.ok()) {
            return made;
        }
        UniqueFd lock(
            ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kFileMode));
        if (lock.get() < 0) {
            return Status::Errno("open", lockPath_);
        }
        while (::flock(lock.get(), LOCK_EX) != 0) {
            if (errno != EINTR) {
                return Status::Errno("flock", lockPath_);
            }
        }
        // Always the file as it is now, never the cache: another process may have just
        // replaced it.
        Result<LoadedFile> current = LoadFile(path_);
        if (!current.ok()) {
            return current.status();
        }
        StoreTree& tree = *current->tree;
        if (!writer(tree)) {
            return Status::Ok();
        }
        RemoveLeftovers();
        return Replace(tree.Serialize());
    }

    std::string Location() const override { return path_; }

  private:
    struct Snapshot {
        std::shared_ptr<const StoreTree> tree;
        FileStamp stamp;
        bool cached = false;  // the tree the cache holds for `stamp`
    };

    // The tree of the file version `st` describes: the cached one, or the file read again
    // (and cached when it is old enough for its stamp to identify it).
    Result<Snapshot> TreeOf(const struct stat& st) {
        const FileStamp stamp = FileStamp::Of(st);
        {
            std::scoped_lock lock(cacheMutex_);
            if (cached_ && cachedStamp_ == stamp) {
                treeUsed_ = SteadyClock::now();
                return Snapshot{cached_, stamp, true};
            }
        }
        Result<LoadedFile> loaded = LoadFile(path_);
        if (!loaded.ok()) {
            return loaded.status();
        }
        Snapshot snapshot{loaded->tree, loaded->stamp, false};
        if (loaded->exists && loaded->settled) {
            std::shared_ptr<const StoreTree> replaced;  // freed after the lock is released
            std::scoped_lock lock(cacheMutex_);
            replaced = std::move(cached_);
            cached_ = snapshot.tree;
            cachedStamp_ = snapshot.stamp;
            treeUsed_ = SteadyClock::now();
            if (!recentStamp_ || !(*recentStamp_ == snapshot.stamp)) {
                recent_.clear();
                recentStamp_ = snapshot.stamp;
            }
            snapshot.cached = true;
        }
        return snapshot;
    }

    // Writes `text` to a new temporary file and renames it over the store. Called with the
    // lock held.
    Status Replace(const std::string& text) {
        std::string temp = path_ + std::string(kTempInfix) + std::string(kTempUniqueChars, 'X');
        UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
        if (fd.get() < 0) {
            return Status::Errno("mkostemp", temp);
        }
        bool renamed = false;
        struct TempRemover {
            const std::string& name;
            const bool& done;
            ~TempRemover() {
                if (!done) {
                    ::unlink(name.c_str());
                }
            }
        } remover{temp, renamed};

        if (::fchmod(fd.get(), kFileMode) != 0) {
            return Status::Errno("fchmod", temp);
        }
        if (Status written = WriteAll(fd.get(), text, temp); !written.ok()) {
            return written;
        }
        if (::fsync(fd.get()) != 0) {
            return Status::Errno("fsync", temp);
        }
        if (fd.Close() != 0) {
            return Status::Errno("close", temp);
        }
        if (::rename(temp.c_str(), path_.c_str()) != 0) {
            const int err = errno;
            return Status::Errno("rename", temp + " -> " + path_, err);
        }
        renamed = true;
        UniqueFd dir(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.get() < 0) {
            return Status::Errno("open", dir_);
        }
        if (::fsync(dir.get()) != 0) {
            return Status::Errno("fsync", dir_);
        }
        return Status::Ok();
    }

    // Removes temporary files left by a writer that died before its rename. Only a writer
    // holding the lock has a temporary file, so with the lock held every one is a leftover.
    void RemoveLeftovers() {
        std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(dir_.c_str()), ::closedir);
        if (!dir) {
            return;
        }
        const std::string prefix = base_ + std::string(kTempInfix);
        while (const dirent* entry = ::readdir(dir.get())) {
            const std::string_view name = entry->d_name;
            if (name.size() == prefix.size() + kTempUniqueChars && name.starts_with(prefix)) {
                ::unlinkat(::dirfd(dir.get()), entry->d_name, 0);
            }
        }
    }

    const std::string path_;
    const std::string lockPath_;
    std::string dir_;
    std::string base_;
    std::mutex updateMutex_;  // one read-modify-write of this process at a time
    std::mutex cacheMutex_;   // guards the members below
    std::shared_ptr<const StoreTree> cached_;
    FileStamp cachedStamp_;
    SteadyClock::time_point treeUsed_{};
    // Values read one at a time from the file version recentStamp_, by "key\0name"; no
    // value when the value is missing.
    std::optional<FileStamp> recentStamp_;
    std::unordered_map<std::string, std::optional<StoreValue>> recent_;
};

}  // namespace

std::shared_ptr<ConfigStore> OpenFileStore(std::string path) {
    return std::make_shared<FileStore>(std::move(path));
}

std::string DefaultStorePath() {
    const char* path = std::getenv(kStoreEnvironmentVariable);
    return path != nullptr && *path != '\0' ? std::string(path) : std::string(kDefaultStorePath);
}

}  // namespace kvzn::platform
