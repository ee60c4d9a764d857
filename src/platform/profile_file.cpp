// Profile (INI) files with case-insensitive names, first-wins duplicates and atomic writes.
#include "platform/profile_file.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "platform/text.h"

namespace kvzn::platform {

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

bool SameName(std::string_view a, std::string_view b) {
    return EqualsNoCase(a, b);
}

std::string OneLine(std::string_view value) {
    std::string v(value);
    for (char& c : v) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    return v;
}

std::mutex& WriteMutex() {
    static std::mutex m;
    return m;
}

}  // namespace

ProfileFile ProfileFile::Parse(std::string_view text) {
    ProfileFile p;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        pos = end + 1;
        const std::string_view trimmed = Trim(line);
        if (trimmed.size() >= 2 && trimmed.front() == '[' &&
            trimmed.find(']') != std::string_view::npos) {
            p.sections_.push_back(
                {std::string(Trim(trimmed.substr(1, trimmed.find(']') - 1))), {}});
            continue;
        }
        const size_t eq = line.find('=');
        Entry entry;
        if (eq != std::string_view::npos && !Trim(line.substr(0, eq)).empty() &&
            trimmed.front() != ';') {
            entry.key = std::string(Trim(line.substr(0, eq)));
            entry.value = std::string(Trim(line.substr(eq + 1)));
        } else {
            entry.value = std::string(line);
        }
        if (p.sections_.empty()) {
            p.preamble_.push_back(std::string(line));
        } else {
            p.sections_.back().entries.push_back(std::move(entry));
        }
    }
    return p;
}

Result<ProfileFile> ProfileFile::Load(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return ProfileFile();
        }
        return Status::Errno("open", path);
    }
    std::string text;
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            Status st = Status::Errno("read", path);
            ::close(fd);
            return st;
        }
        if (n == 0) {
            break;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return Parse(text);
}

ProfileFile::Section* ProfileFile::FindSection(std::string_view name) {
    for (Section& s : sections_) {
        if (SameName(s.name, name)) {
            return &s;
        }
    }
    return nullptr;
}

const ProfileFile::Section* ProfileFile::FindSection(std::string_view name) const {
    return const_cast<ProfileFile*>(this)->FindSection(name);
}

std::optional<std::string> ProfileFile::Get(std::string_view section, std::string_view key) const {
    const Section* s = FindSection(section);
    if (s == nullptr) {
        return std::nullopt;
    }
    for (const Entry& e : s->entries) {
        if (!e.key.empty() && SameName(e.key, key)) {
            std::string_view v = e.value;
            if (v.size() >= 2 && ((v.front() == '"' && v.back() == '"') ||
                                  (v.front() == '\'' && v.back() == '\''))) {
                v = v.substr(1, v.size() - 2);
            }
            return std::string(v);
        }
    }
    return std::nullopt;
}

void ProfileFile::Set(std::string_view section, std::string_view key, std::string_view value) {
    Section* s = FindSection(section);
    if (s == nullptr) {
        sections_.push_back({OneLine(section), {}});
        s = &sections_.back();
    }
    for (Entry& e : s->entries) {
        if (!e.key.empty() && SameName(e.key, key)) {
            e.value = OneLine(value);
            return;
        }
    }
    // New keys go after the last key of the section, before trailing blank lines.
    auto at = s->entries.end();
    while (at != s->entries.begin() && std::prev(at)->key.empty() &&
           Trim(std::prev(at)->value).empty()) {
        --at;
    }
    s->entries.insert(at, Entry{OneLine(key), OneLine(value)});
}

bool ProfileFile::DeleteKey(std::string_view section, std::string_view key) {
    Section* s = FindSection(section);
    if (s == nullptr) {
        return false;
    }
    for (auto it = s->entries.begin(); it != s->entries.end(); ++it) {
        if (!it->key.empty() && SameName(it->key, key)) {
            s->entries.erase(it);
            return true;
        }
    }
    return false;
}

bool ProfileFile::DeleteSection(std::string_view section) {
    for (auto it = sections_.begin(); it != sections_.end(); ++it) {
        if (SameName(it->name, section)) {
            sections_.erase(it);
            return true;
        }
    }
    return false;
}

std::vector<std::string> ProfileFile::KeyNames(std::string_view section) const {
    std::vector<std::string> names;
    if (const Section* s = FindSection(section)) {
        for (const Entry& e : s->entries) {
            bool seen = false;
            for (const std::string& n : names) {
                seen = seen || SameName(n, e.key);
            }
            if (!e.key.empty() && !seen) {
                names.push_back(e.key);
            }
        }
    }
    return names;
}

std::vector<std::string> ProfileFile::SectionNames() const {
    std::vector<std::string> names;
    for (const Section& s : sections_) {
        names.push_back(s.name);
    }
    return names;
}

std::string ProfileFile::Serialize() const {
    std::string out;
    for (const std::string& line : preamble_) {
        out += line + "\r\n";
    }
    for (const Section& s : sections_) {
        out += "[" + s.name + "]\r\n";
        for (const Entry& e : s.entries) {
            out += e.key.empty() ? e.value : e.key + "=" + e.value;
            out += "\r\n";
        }
    }
    return out;
}

Status ProfileFile::Save(const std::string& path, int mode) const {
    return WriteFileAtomically(path, Serialize(), mode);
}

std::string GetProfileString(std::string_view section, std::string_view key,
                             std::string_view defaultValue, const std::string& path,
                             size_t maxLength) {
    auto profile = ProfileFile::Load(path);
    std::string value(defaultValue);
    if (profile.ok()) {
        if (auto v = profile->Get(section, key)) {
            value = *v;
        }
    }
    if (maxLength > 0 && value.size() > maxLength - 1) {
        value.resize(maxLength - 1);
    }
    return value;
}

long GetProfileInt(std::string_view section, std::string_view key, long defaultValue,
                   const std::string& path) {
    auto profile = ProfileFile::Load(path);
    if (!profile.ok()) {
        return defaultValue;
    }
    const auto v = profile->Get(section, key);
    if (!v) {
        return defaultValue;
    }
    std::string_view s = Trim(*v);
    const bool negative = !s.empty() && s.front() == '-';
    if (negative) {
        s.remove_prefix(1);
    }
    if (s.empty() || s.front() < '0' || s.front() > '9') {
        return defaultValue;
    }
    long n = 0;
    for (char c : s) {
        if (c < '0' || c > '9') {
            break;
        }
        n = n * 10 + (c - '0');
    }
    return negative ? -n : n;
}

bool WriteProfileString(std::string_view section, std::string_view key,
                        std::optional<std::string_view> value, const std::string& path) {
    std::scoped_lock lock(WriteMutex());
    auto profile = ProfileFile::Load(path);
    if (!profile.ok()) {
        return false;
    }
    if (value) {
        profile->Set(section, key, *value);
    } else if (!profile->DeleteKey(section, key)) {
        return true;
    }
    return profile->Save(path).ok();
}

bool DeleteProfileSection(std::string_view section, const std::string& path) {
    std::scoped_lock lock(WriteMutex());
    auto profile = ProfileFile::Load(path);
    if (!profile.ok()) {
        return false;
    }
    if (!profile->DeleteSection(section)) {
        return true;
    }
    return profile->Save(path).ok();
}

std::vector<std::string> GetProfileKeyNames(std::string_view section, const std::string& path) {
    auto profile = ProfileFile::Load(path);
    return profile.ok() ? profile->KeyNames(section) : std::vector<std::string>{};
}

}  // namespace kvzn::platform
