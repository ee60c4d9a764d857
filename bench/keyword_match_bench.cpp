// Keyword matching throughput of the log file monitor over a large log, against
// `grep -F -c` with the same terms over the same file in the same run.
//   keyword_match_bench [megabytes] [repetitions]
// Writes a synthetic log (200 MB by default) into a temporary directory, warms the page
// cache, then times the monitor's reading path (block reads, the block scanner, the
// keyword groups) and grep, reporting the best of the repetitions. Both count the lines
// holding any of the terms; the exit status is 1 when the counts differ.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "logmon/keyword_groups.h"
#include "logmon/log_follower.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::vector<std::string> kTerms = {"paper jam", "timeout", "disk full"};

void WriteLog(const std::string& path, size_t megabytes) {
    const std::vector<std::string> words = {
        "printer", "queue", "job", "spooler", "started", "completed", "user", "document",
        "pages",   "tray",  "ok",  "status",  "ready",   "driver",    "port", "network"};
    std::mt19937 random(42);
    std::ofstream out(path, std::ios::binary);
    std::string line;
    size_t written = 0;
    unsigned n = 0;
    while (written < megabytes << 20) {
        line = "2026-12-07 10:" + std::to_string(10 + n % 50) + ":" + std::to_string(10 + n % 49) +
               " host cupsd[" + std::to_string(1000 + n % 9000) + "]:";
        const unsigned count = 6 + random() % 12;
        for (unsigned i = 0; i < count; ++i) {
            line += ' ';
            line += words[random() % words.size()];
        }
        if (random() % 100 == 0) {
            line += " " + kTerms[random() % kTerms.size()] + " on queue " + std::to_string(n % 7);
        }
        line += '\n';
        out << line;
        written += line.size();
        ++n;
    }
}

// Lines that hold any term, read as the monitor reads a file.
size_t MonitorCount(const std::string& path) {
    using namespace kvzn::logmon;
    KeywordList groups;
    for (const std::string& term : kTerms) {
        groups.push_back(SplitAnds(term));
    }
    const BlockScanner scanner(AllTerms({&groups}));
    LogFollower follower(path);  // never positioned: the file is read from its start
    size_t matched = 0;
    follower.ReadNew(
        &scanner,
        [&](std::string_view record) {
            matched += static_cast<size_t>(MatchKeywords(record, 0, groups));
            return true;
        },
        [](FollowNotice, const std::string&) {});
    return matched;
}

size_t GrepCount(const std::string& path) {
    std::string command = "LC_ALL=C grep -F -c";
    for (const std::string& term : kTerms) {
        command += " -e '" + term + "'";
    }
    command += " " + path;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return 0;
    }
    char buffer[64] = {};
    const bool read = std::fgets(buffer, sizeof buffer, pipe) != nullptr;
    ::pclose(pipe);
    return read ? std::strtoull(buffer, nullptr, 10) : 0;
}

template <class F>
double BestSeconds(int repetitions, F&& run, size_t& result) {
    double best = 1e9;
    for (int i = 0; i < repetitions; ++i) {
        const auto start = Clock::now();
        result = run();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 3;
    char dirTemplate[] = "/tmp/kvzn-keyword-bench-XXXXXX";
    if (::mkdtemp(dirTemplate) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string path = std::string(dirTemplate) + "/app.log";
    WriteLog(path, megabytes);
    const double mb = static_cast<double>(std::filesystem::file_size(path)) / (1 << 20);

    size_t ours = 0;
    size_t grep = 0;
    GrepCount(path);  // page cache
    const double grepSeconds = BestSeconds(
        repetitions, [&] { return GrepCount(path); }, grep);
    const double ourSeconds = BestSeconds(
        repetitions, [&] { return MonitorCount(path); }, ours);
    std::filesystem::remove_all(dirTemplate);

    std::printf("log: %.0f MB, terms:", mb);
    for (const std::string& term : kTerms) {
        std::printf(" \"%s\"", term.c_str());
    }
    std::printf("\nmonitor (case-blind): %zu lines, %.3f s, %.0f MB/s\n", ours, ourSeconds,
                mb / ourSeconds);
    std::printf("grep -F -c:           %zu lines, %.3f s, %.0f MB/s\n", grep, grepSeconds,
                mb / grepSeconds);
    std::printf("monitor speed / grep speed: %.2f (target at least 0.50)\n",
                grepSeconds / ourSeconds);
    return ours == grep ? 0 : 1;
}
