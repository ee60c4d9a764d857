// Walkers of the numbered lists of the configuration.
#include "config/numbered_lists.h"

#include "config/registry_names.h"

namespace kvzn::config {

namespace {

// True when the value exists, whatever its type.
bool Present(const companion::Registry& registry, std::string_view key, std::string_view name) {
    bool found = false;
    registry.Store().Read(
        [&](const platform::StoreTree& tree) { found = tree.Find(key, name) != nullptr; });
    return found;
}

bool FlagIsOne(const companion::Registry& registry, std::string_view key, std::string_view name) {
    uint32_t flag = 0;
    return registry.ReadFlag(key, name, flag) == 0 && flag == 1;
}

}  // namespace

int WalkNumberedSubkeys(const companion::Registry& registry, std::string_view listKey,
                        std::string_view entryFormat, std::string_view identifyingValue,
                        bool skipDisabled,
                        const std::function<void(int, const std::string&)>& visit) {
    int visited = 0;
    for (int n = 1;; ++n) {
        const std::string entry = std::string(listKey) + "\\" + Numbered(entryFormat, n);
        if (!Present(registry, entry, identifyingValue)) {
            return visited;
        }
        if (skipDisabled && !FlagIsOne(registry, entry, check::kEnabled)) {
            continue;
        }
        visit(n, entry);
        ++visited;
    }
}

int WalkNumberedValues(const companion::Registry& registry, std::string_view key,
                       std::string_view identifyingFormat, std::string_view enabledFormat,
                       const std::function<void(int)>& visit) {
    int visited = 0;
    for (int n = 1;; ++n) {
        if (!Present(registry, key, Numbered(identifyingFormat, n))) {
            return visited;
        }
        if (!enabledFormat.empty() && !FlagIsOne(registry, key, Numbered(enabledFormat, n))) {
            continue;
        }
        visit(n);
        ++visited;
    }
}

}  // namespace kvzn::config
