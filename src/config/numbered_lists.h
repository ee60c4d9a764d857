// Walkers of the numbered lists of the configuration: numbered subkeys and numbered values.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "companion/registry.h"

namespace kvzn::config {

// Walks the entries "<listKey>\<format with n>" for n = 1, 2, ... and stops at the first
// entry whose `identifyingValue` is missing; entries after a gap are never read. With
// `skipDisabled`, an entry whose "Enabled" is not 1 is passed over and the walk goes on.
// `visit` gets the entry number and the entry's key path. Returns the entries visited.
int WalkNumberedSubkeys(const companion::Registry& registry, std::string_view listKey,
                        std::string_view entryFormat, std::string_view identifyingValue,
                        bool skipDisabled,
                        const std::function<void(int, const std::string&)>& visit);

// Walks the values "<format with n>" of one key for n = 1, 2, ... and stops at the first
// missing one. With an `enabledFormat`, entries whose numbered flag is not 1 are passed over.
// `visit` gets the entry number. Returns the entries visited.
int WalkNumberedValues(const companion::Registry& registry, std::string_view key,
                       std::string_view identifyingFormat, std::string_view enabledFormat,
                       const std::function<void(int)>& visit);

}  // namespace kvzn::config
