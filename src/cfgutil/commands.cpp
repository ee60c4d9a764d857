// Subcommands of kvZNPrintCfg for scripts and configuration management.
#include "cfgutil/commands.h"

#include <cerrno>
#include <charconv>
#include <iostream>

#include "cfgutil/settings_fields.h"
#include "cfgutil/store_check.h"
#include "config/registry_names.h"
#include "platform/file.h"
#include "platform/text.h"

namespace kvzn::cfgutil {

namespace {

using platform::Status;
using platform::StoreTree;
using platform::StoreValue;

constexpr const char* kRootPrefix = "HKEY_LOCAL_MACHINE\\";

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           platform::EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

int StoreFailure(std::ostream& err, const Status& status) {
    err << "kvZNPrintCfg: " << status.Text() << '\n';
    return status.err() == EAGAIN ? kExitConflict : kExitStoreError;
}

std::string ValueText(const StoreValue& value) {
    switch (value.type) {
        case StoreValue::Type::Number:
            return std::to_string(value.number);
        case StoreValue::Type::Text:
            return value.text;
        case StoreValue::Type::Binary: {
            std::string text = "hex:";
            constexpr char kDigits[] = "0123456789abcdef";
            for (size_t i = 0; i < value.binary.size(); ++i) {
                if (i > 0) {
                    text += ',';
                }
                text += kDigits[value.binary[i] >> 4];
                text += kDigits[value.binary[i] & 0x0f];
            }
            return text;
        }
    }
    return {};
}

const char* TypeName(const StoreValue& value) {
    switch (value.type) {
        case StoreValue::Type::Number:
            return "number";
        case StoreValue::Type::Text:
            return "text";
        case StoreValue::Type::Binary:
            return "binary";
    }
    return "";
}

Status ReadTree(platform::ConfigStore& store, StoreTree& tree) {
    return store.Read([&](const StoreTree& t) { tree = t; });
}

int Get(const std::vector<std::string>& args, platform::ConfigStore& store, std::ostream& out,
        std::ostream& err) {
    if (args.size() != 3) {
        err << "usage: kvZNPrintCfg get KEY NAME\n";
        return kExitUsage;
    }
    const std::string key = ResolveKey(args[1]);
    auto value = store.ReadValue(key, args[2]);
    if (!value.ok()) {
        return StoreFailure(err, value.status());
    }
    if (!value->has_value()) {
        err << "kvZNPrintCfg: " << key << "\\" << args[2] << " is not set\n";
        return kExitNotFound;
    }
    out << ValueText(**value) << '\n';
    return kExitOk;
}

int Set(const std::vector<std::string>& args, platform::ConfigStore& store, std::ostream& err) {
    if (args.size() != 4) {
        err << "usage: kvZNPrintCfg set KEY NAME VALUE\n";
        return kExitUsage;
    }
    const std::string key = ResolveKey(args[1]);
    const std::string& name = args[2];
    std::string refused;
    // The value's type is decided on the store as it is under the lock, so a value written
    // meanwhile by someone else is judged by what it is now.
    const Status status = store.Update([&](StoreTree& tree) {
        StoreValue value;
        refused = ParseCommandValue(key, name, args[3], tree.Find(key, name), value);
        if (!refused.empty()) {
            return false;
        }
        tree.Set(key, name, std::move(value));
        return true;
    });
    if (!status.ok()) {
        return StoreFailure(err, status);
    }
    if (!refused.empty()) {
        err << "kvZNPrintCfg: " << name << ": " << refused << '\n';
        return kExitRefused;
    }
    return kExitOk;
}

int List(const std::vector<std::string>& args, platform::ConfigStore& store, std::ostream& out,
         std::ostream& err) {
    if (args.size() > 2) {
        err << "usage: kvZNPrintCfg list [KEY]\n";
        return kExitUsage;
    }
    const std::string key = ResolveKey(args.size() == 2 ? args[1] : ".");
    StoreTree tree;
    if (Status status = ReadTree(store, tree); !status.ok()) {
        return StoreFailure(err, status);
    }
    if (!tree.KeyExists(key)) {
        err << "kvZNPrintCfg: no key " << key << '\n';
        return kExitNotFound;
    }
    for (const std::string& sub : tree.SubKeyNames(key)) {
        out << sub << "\\\n";
    }
    for (const std::string& name : tree.ValueNames(key)) {
        const StoreValue* value = tree.Find(key, name);
        out << name << '\t' << TypeName(*value) << '\t' << ValueText(*value) << '\n';
    }
    return kExitOk;
}

int Export(const std::vector<std::string>& args, platform::ConfigStore& store, std::ostream& out,
           std::ostream& err) {
    if (args.size() > 2) {
        err << "usage: kvZNPrintCfg export [FILE]\n";
        return kExitUsage;
    }
    std::string text;
    if (Status status = store.Read([&](const StoreTree& t) { text = t.Serialize(); });
        !status.ok()) {
        return StoreFailure(err, status);
    }
    if (args.size() == 1 || args[1] == "-") {
        out << text << std::flush;
        return out ? kExitOk : kExitStoreError;
    }
    if (Status written = platform::WriteFileAtomically(args[1], text, 0600); !written.ok()) {
        return StoreFailure(err, written);
    }
    return kExitOk;
}

int Import(const std::vector<std::string>& args, platform::ConfigStore& store, std::ostream& err) {
    if (args.size() != 2) {
        err << "usage: kvZNPrintCfg import FILE\n";
        return kExitUsage;
    }
    std::string text;
    if (args[1] == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        auto read = platform::ReadWholeFile(args[1]);
        if (!read.ok()) {
            return StoreFailure(err, read.status());
        }
        text = std::move(*read);
    }
    StoreTree imported;
    if (Status parsed = ParseImport(text, args[1], imported); !parsed.ok()) {
        err << "kvZNPrintCfg: " << parsed.Text() << "\nkvZNPrintCfg: nothing was imported\n";
        return kExitRefused;
    }
    const Status status = store.Update([&](StoreTree& tree) {
        StoreTree next = imported;
        // The values the running service keeps for itself stay as the service left them.
        for (const std::string& name : tree.ValueNames(config::kProductKey)) {
            if (IsServiceWrittenValue(config::kProductKey, name)) {
                next.Set(config::kProductKey, name, *tree.Find(config::kProductKey, name));
            }
        }
        tree = std::move(next);
        return true;
    });
    if (!status.ok()) {
        return StoreFailure(err, status);
    }
    return kExitOk;
}

int Check(const std::vector<std::string>& args, platform::ConfigStore& store, std::ostream& out,
          std::ostream& err) {
    if (args.size() != 1) {
        err << "usage: kvZNPrintCfg check\n";
        return kExitUsage;
    }
    StoreTree tree;
    if (Status status = ReadTree(store, tree); !status.ok()) {
        return StoreFailure(err, status);
    }
    const std::vector<StoreProblem> problems = CheckStore(tree);
    for (const StoreProblem& problem : problems) {
        out << DescribeProblem(problem) << '\n';
    }
    if (!problems.empty()) {
        out << problems.size() << (problems.size() == 1 ? " problem" : " problems") << " in "
            << store.Location() << '\n';
        return kExitRefused;
    }
    out << store.Location() << ": no problems found\n";
    return kExitOk;
}

bool ParseHexBytes(std::string_view text, std::vector<uint8_t>& out) {
    out.clear();
    if (text.empty()) {
        return true;
    }
    size_t pos = 0;
    for (;;) {
        const size_t comma = text.find(',', pos);
        const std::string_view byte = text.substr(
            pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos);
        unsigned n = 0;
        const auto [end, ec] = std::from_chars(byte.data(), byte.data() + byte.size(), n, 16);
        if (byte.empty() || byte.size() > 2 || ec != std::errc() ||
            end != byte.data() + byte.size()) {
            return false;
        }
        out.push_back(static_cast<uint8_t>(n));
        if (comma == std::string_view::npos) {
            return true;
        }
        pos = comma + 1;
    }
}

}  // namespace

bool IsCommand(std::string_view word) {
    for (const char* c : {"get", "set", "list", "export", "import", "check"}) {
        if (word == c) {
            return true;
        }
    }
    return false;
}

std::string ResolveKey(std::string_view key) {
    if (key.empty() || key == "." || key == "\\") {
        return config::kProductKey;
    }
    if (StartsWithNoCase(key, kRootPrefix)) {
        key.remove_prefix(std::string_view(kRootPrefix).size());
        return std::string(key);
    }
    if (StartsWithNoCase(key, "Software\\")) {
        return std::string(key);
    }
    return config::SubKey(key);
}

std::string ParseCommandValue(std::string_view keyPath, std::string_view name,
                              std::string_view text, const StoreValue* current, StoreValue& out) {
    if (const FieldRule* field = FindField(keyPath, name)) {
        return ParseFieldText(*field, text, out);
    }
    if (StartsWithNoCase(text, "dword:")) {
        const std::string_view digits = text.substr(6);
        uint32_t n = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n, 16);
        if (digits.empty() || digits.size() > 8 || ec != std::errc() ||
            end != digits.data() + digits.size()) {
            return "dword: needs 1 to 8 hex digits";
        }
        out = StoreValue::MakeNumber(n);
        return {};
    }
    if (StartsWithNoCase(text, "hex:")) {
        std::vector<uint8_t> bytes;
        if (!ParseHexBytes(text.substr(4), bytes)) {
            return "hex: needs bytes of two hex digits separated by ','";
        }
        out = StoreValue::MakeBinary(std::move(bytes));
        return {};
    }
    if (current != nullptr && current->type == StoreValue::Type::Number) {
        uint32_t n = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
        if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
            return "the value is a number; enter digits (or dword:HEX)";
        }
        out = StoreValue::MakeNumber(n);
        return {};
    }
    if (text.find_first_of("\r\n") != std::string_view::npos) {
        return "a text value must be on one line";
    }
    out = StoreValue::MakeText(std::string(text));
    return {};
}

int RunCommand(const std::vector<std::string>& args, platform::ConfigStore& store,
               std::ostream& out, std::ostream& err) {
    const std::string& command = args.front();
    if (command == "get") {
        return Get(args, store, out, err);
    }
    if (command == "set") {
        return Set(args, store, err);
    }
    if (command == "list") {
        return List(args, store, out, err);
    }
    if (command == "export") {
        return Export(args, store, out, err);
    }
    if (command == "import") {
        return Import(args, store, err);
    }
    if (command == "check") {
        return Check(args, store, out, err);
    }
    err << "kvZNPrintCfg: unknown command " << command << '\n';
    return kExitUsage;
}

}  // namespace kvzn::cfgutil
