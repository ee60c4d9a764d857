// Validation of a whole store: what the utility refuses and what the service would refuse
// or never read.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/config_store.h"
#include "platform/status.h"

namespace kvzn::cfgutil {

struct StoreProblem {
    std::string keyPath;  // full key path
    std::string name;     // value name; empty for a problem of the key itself
    std::string message;
};

// Every problem of `tree`, in key order: missing required settings, values of the wrong
// type or outside their rules, list entries the service never reads (after a gap), and
// notification contacts that can never be reached.
std::vector<StoreProblem> CheckStore(const platform::StoreTree& tree);

// "KEY\NAME: message" for reports.
std::string DescribeProblem(const StoreProblem& problem);

// The number of the line of the store file `text` that holds keyPath\name (the section
// header when `name` is empty); 0 when it is not there.
size_t LineOfValue(std::string_view text, std::string_view keyPath, std::string_view name);

// Parses a store file for import: the file must parse, and must pass CheckStore apart from
// missing required settings. On failure returns EINVAL with "<fileName>:<line>: <message>"
// for the first bad line and leaves `out` untouched.
platform::Status ParseImport(std::string_view text, std::string_view fileName,
                             platform::StoreTree& out);

// Values the service itself writes while it runs; an import keeps the store's own.
bool IsServiceWrittenValue(std::string_view keyPath, std::string_view name);

}  // namespace kvzn::cfgutil
