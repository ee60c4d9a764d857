// Test program entry: the process activity log goes to a temporary file, not the
// working directory.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "companion/activity_log.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const std::string log = "/tmp/kvzn-test-" + std::to_string(::getpid()) + ".log";
    kvzn::companion::ActivityLog::Process().SetFile(log);
    const int rc = RUN_ALL_TESTS();
    std::remove(log.c_str());
    return rc;
}
