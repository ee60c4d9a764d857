// Profile files (alert records, the configuration-status file): any text parses, what is
// written reads back the same, and a value set by the writer reads back as set.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "platform/profile_file.h"

namespace {

using kvzn::platform::ProfileFile;

// What GetProfileString returns for a value given to Set: one line, surrounding blanks
// gone, then one pair of surrounding quotes.
std::string AsRead(std::string_view value) {
    std::string v(value);
    for (char& c : v) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    const size_t first = v.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    v = v.substr(first, v.find_last_not_of(" \t") - first + 1);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        v = v.substr(1, v.size() - 2);
    }
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // The last line of the input is the value a writer sets; the rest is the file.
    const size_t split = input.rfind('\n');
    const std::string_view text = split == std::string_view::npos ? input : input.substr(0, split);
    const std::string_view value =
        split == std::string_view::npos ? std::string_view() : input.substr(split + 1);

    ProfileFile profile = ProfileFile::Parse(text);
    const std::string written = profile.Serialize();
    const ProfileFile reread = ProfileFile::Parse(written);
    KVZN_FUZZ_CHECK(reread.Serialize() == written);
    for (const std::string& section : profile.SectionNames()) {
        for (const std::string& key : profile.KeyNames(section)) {
            KVZN_FUZZ_CHECK(reread.Get(section, key) == profile.Get(section, key));
        }
    }

    profile.Set("Default", "Message", value);
    const ProfileFile updated = ProfileFile::Parse(profile.Serialize());
    KVZN_FUZZ_CHECK(updated.Get("Default", "Message") == AsRead(value));
    return 0;
}
