// Helpers shared by the tests: temporary directories, environment, captured log records.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "companion/activity_log.h"

// Defined when the program is built with AddressSanitizer or ThreadSanitizer, whose runtimes
// replace the allocator and take descriptors of their own. gcc and clang say so differently.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KVZN_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KVZN_TEST_SANITIZED 1
#endif
#endif

namespace kvzn::test {

// A fresh directory under $TMPDIR (or /tmp), removed with its content on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Sets (or unsets, with nullopt) an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// Captures the records of the process log while it lives.
class LogCapture : public companion::LogSink {
  public:
    LogCapture();
    ~LogCapture() override;
    void Consume(const companion::LogRecord& record) override;
    std::vector<companion::LogRecord> Records() const;
    // True when a record's message contains `text` (and, when given, the module matches).
    bool Contains(const std::string& text, const std::string& module = {}) const;
    size_t Count(const std::string& text) const;
    // Waits up to `timeout` for a record containing `text`.
    bool WaitFor(const std::string& text, std::chrono::milliseconds timeout) const;

  private:
    mutable std::mutex mutex_;
    std::vector<companion::LogRecord> records_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content, int mode = 0644);
// Polls `condition` every 20 ms until it holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

}  // namespace kvzn::test
