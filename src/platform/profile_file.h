// Profile (INI) files: alert records, the configuration-status file, the web server file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"
#include "platform/status.h"

namespace kvzn::platform {

// The content of one profile file. Section and key names compare without regard to case;
// the first of two equal sections or keys wins on reading and is the one changed on
// writing. Values never hold CR or LF: a line break given to Set is written as a blank.
class ProfileFile {
  public:
    // Loads the file; a missing file gives an empty profile, other failures a Status.
    static Result<ProfileFile> Load(const std::string& path);
    static ProfileFile Parse(std::string_view text);

    // The raw value (surrounding blanks removed, one pair of surrounding quotes removed).
    std::optional<std::string> Get(std::string_view section, std::string_view key) const;
    // Creates the section and key as needed.
    void Set(std::string_view section, std::string_view key, std::string_view value);
    bool DeleteKey(std::string_view section, std::string_view key);
    bool DeleteSection(std::string_view section);
    std::vector<std::string> KeyNames(std::string_view section) const;
    std::vector<std::string> SectionNames() const;

    std::string Serialize() const;
    // Writes the whole file atomically: a temporary file in the same directory, flushed to
    // disk, renamed over the old one. A reader sees the old or the new file, never a mix.
    Status Save(const std::string& path, int mode = 0644) const;

  private:
    struct Entry {
        std::string key;  // empty for a line that is not "key=value" (kept as it was)
        std::string value;
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;
    };
    Section* FindSection(std::string_view name);
    const Section* FindSection(std::string_view name) const;
    std::vector<std::string> preamble_;  // lines before the first section
    std::vector<Section> sections_;
};

// The calls the system makes on profile files, each on the file at `path`.
// @threadsafety Always: writes are serialised within the process and atomic on disk.

// The value cut to maxLength - 1 characters, or `defaultValue` when key or file is missing.
std::string GetProfileString(std::string_view section, std::string_view key,
                             std::string_view defaultValue, const std::string& path,
                             size_t maxLength = 260);
// The leading decimal digits of the value ("12abc" = 12), `defaultValue` when the key is
// missing or holds no digits; a leading "-" gives a negative number.
long GetProfileInt(std::string_view section, std::string_view key, long defaultValue,
                   const std::string& path);
// Sets (value given) or deletes (nullopt) one key; creates file and section.
bool WriteProfileString(std::string_view section, std::string_view key,
                        std::optional<std::string_view> value, const std::string& path);
bool DeleteProfileSection(std::string_view section, const std::string& path);
std::vector<std::string> GetProfileKeyNames(std::string_view section, const std::string& path);

}  // namespace kvzn::platform
