// Passwords and user names kept in the store as scrambled binary values.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "companion/registry.h"
#include "platform/config_store.h"

namespace kvzn::config {

// Longest text a scrambled value holds, and the largest value a reader accepts (bytes).
inline constexpr size_t kScrambledMaxChars = 128;
inline constexpr size_t kScrambledMaxBytes = 512;

// One 32-bit little-endian number per character: c^E mod M. Texts over 128 characters or
// with a character outside 1..127 cannot be stored (empty result, false).
bool ScrambleText(std::string_view text, std::vector<uint8_t>& out);
// The inverse: each number^D mod M, keeping the low byte.
std::string UnscrambleBytes(const std::vector<uint8_t>& bytes);

// Stores `text` scrambled under `path`\`name` of `root` (the local store), or of the
// registry's connected server when it has one. 1 on success, 0 on failure (logged).
int kvHlpSvc1(companion::Registry& registry, std::string_view text, platform::ConfigStore& root,
              std::string_view path, std::string_view name);

// Reads a scrambled value into `buffer`, which holds at most bufferSize - 1 characters.
// 1 when read, and also when the value is missing (buffer untouched); 0 on failure:
// a value too long for the buffer, or over 512 bytes, is a failure, never an empty text.
int kvHlpSvc2(companion::Registry& registry, platform::ConfigStore& root, std::string_view path,
              std::string_view name, std::string& buffer, size_t bufferSize);

}  // namespace kvzn::config
