// The utility's non-interactive subcommands: get, set, list, export, import and check.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "platform/config_store.h"

namespace kvzn::cfgutil {

// Exit codes a script can test.
inline constexpr int kExitOk = 0;
inline constexpr int kExitNotFound = 1;    // get/list: no such key or value
inline constexpr int kExitUsage = 2;       // wrong command line
inline constexpr int kExitRefused = 3;     // a value or file refused; check found problems
inline constexpr int kExitStoreError = 4;  // the store could not be read or written
inline constexpr int kExitConflict = 5;    // the store kept changing while it was written

bool IsCommand(std::string_view word);

// Runs one subcommand (args[0] is its name) on `store`.
int RunCommand(const std::vector<std::string>& args, platform::ConfigStore& store,
               std::ostream& out, std::ostream& err);

// The full key path a command-line KEY names: "." or "" the product key, a path starting
// with "Software\" or "HKEY_LOCAL_MACHINE\" as it is, anything else a subkey of the
// product key.
std::string ResolveKey(std::string_view key);

// The value a script typed for keyPath\name: the field's own rules when the utility edits
// that value, "dword:HEX" and "hex:.." forms, else the type of the value it replaces (a
// number in decimal), else a text. Returns the refusal message, empty when accepted.
std::string ParseCommandValue(std::string_view keyPath, std::string_view name,
                              std::string_view text, const platform::StoreValue* current,
                              platform::StoreValue& out);

}  // namespace kvzn::cfgutil
