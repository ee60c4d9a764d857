// Byte streams to another program: the standard streams of this process, or the standard
// input and output of a transport command (ssh) started for the purpose.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace kvzn::platform {

// @threadsafety One thread at a time.
class ByteChannel {
  public:
    virtual ~ByteChannel() = default;
    // Writes all of `data`; ETIMEDOUT when the peer takes none of it for `timeout`.
    virtual Status Write(std::string_view data, std::chrono::milliseconds timeout) = 0;
    // Appends what arrives (at least one byte) to `out`; an empty read means end of stream.
    // ETIMEDOUT when nothing arrives within `timeout`.
    virtual Status Read(std::string& out, bool& endOfStream, std::chrono::milliseconds timeout) = 0;
};

// This process's standard input and output.
std::unique_ptr<ByteChannel> StandardStreams();

// Runs `/bin/sh -c 'COMMAND "$@"' sh ARGS...` with its standard input and output connected
// to the channel (standard error is inherited, so ssh can still ask and complain). Closing
// the channel closes its input, waits a moment for the program and then kills it; it is
// always reaped.
Result<std::unique_ptr<ByteChannel>> StartTransport(const std::string& command,
                                                    const std::vector<std::string>& args);

}  // namespace kvzn::platform
