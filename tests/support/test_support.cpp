// Helpers shared by the tests.
#include "support/test_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kvzn::test {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kvzn-test-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + tmpl);
    }
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) {
        old_ = old;
    }
    if (value) {
        setenv(name_.c_str(), value->c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (old_) {
        setenv(name_.c_str(), old_->c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

LogCapture::LogCapture() {
    companion::ActivityLog::Process().AddSink(this);
}
LogCapture::~LogCapture() {
    companion::ActivityLog::Process().RemoveSink(this);
}

void LogCapture::Consume(const companion::LogRecord& record) {
    std::scoped_lock lock(mutex_);
    records_.push_back(record);
}

std::vector<companion::LogRecord> LogCapture::Records() const {
    std::scoped_lock lock(mutex_);
    return records_;
}

bool LogCapture::Contains(const std::string& text, const std::string& module) const {
    std::scoped_lock lock(mutex_);
    for (const auto& r : records_) {
        if (r.message.find(text) != std::string::npos && (module.empty() || r.module == module)) {
            return true;
        }
    }
    return false;
}

size_t LogCapture::Count(const std::string& text) const {
    std::scoped_lock lock(mutex_);
    size_t n = 0;
    for (const auto& r : records_) {
        n += r.message.find(text) != std::string::npos ? 1 : 0;
    }
    return n;
}

bool LogCapture::WaitFor(const std::string& text, std::chrono::milliseconds timeout) const {
    return WaitUntil([&] { return Contains(text); }, timeout);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, const std::string& content, int mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }
    ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

}  // namespace kvzn::test
