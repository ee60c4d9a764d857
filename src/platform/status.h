// Small checked result of a platform call: the errno and the call that failed.
#pragma once

#include <cerrno>
#include <optional>
#include <string>
#include <utility>

namespace kvzn::platform {

// Status of a platform call. ok() when err == 0. `call` names the failing system call or
// step, `detail` carries extra context (a path, a line number) for the log record.
class Status {
  public:
    Status() = default;
    static Status Ok() { return {}; }
    // Failure of a system call; takes errno at the time of the call unless given.
    static Status Errno(std::string call, std::string detail = {}, int err = errno) {
        return Status(err == 0 ? EIO : err, std::move(call), std::move(detail));
    }
    // Failure that is not an errno (a parse error, a refused request).
    static Status Error(int err, std::string what) { return Status(err, {}, std::move(what)); }

    bool ok() const { return err_ == 0; }
    int err() const { return err_; }
    const std::string& call() const { return call_; }
    const std::string& detail() const { return detail_; }
    // "open(/etc/x): No such file or directory" or the detail text alone.
    std::string Text() const;

  private:
    Status(int err, std::string call, std::string detail)
        : err_(err), call_(std::move(call)), detail_(std::move(detail)) {}
    int err_ = 0;
    std::string call_;
    std::string detail_;
};

// A value or the Status that explains why there is none.
template <class T>
class Result {
  public:
    Result(T value) : value_(std::move(value)) {}          // NOLINT(google-explicit-constructor)
    Result(Status status) : status_(std::move(status)) {}  // NOLINT
    bool ok() const { return value_.has_value(); }
    const Status& status() const { return status_; }
    T& value() { return *value_; }
    const T& value() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }

  private:
    std::optional<T> value_;
    Status status_;
};

}  // namespace kvzn::platform
