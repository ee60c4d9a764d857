// Passwords and user names kept in the store as scrambled binary values.
#include "config/scrambled_values.h"

#include "companion/activity_log.h"

namespace kvzn::config {

namespace {

constexpr std::string_view kModule = "kvHlpSvcs";
// M = 251 * 241 and E * D = 1 modulo lcm(250, 240), so reading gives back every code
// below M; M < 65536 keeps every product of the 32-bit square-and-multiply below 2^32.
constexpr uint32_t kStoreExponent = 37;    // E
constexpr uint32_t kReadExponent = 12973;  // D
constexpr uint32_t kModulus = 60491;       // M

uint32_t PowMod(uint32_t base, uint32_t exponent) {
    uint32_t result = 1;
    base %= kModulus;
    while (exponent > 0) {
        if (exponent & 1u) {
            result = (result * base) % kModulus;
        }
        base = (base * base) % kModulus;
        exponent >>= 1;
    }
    return result;
}

platform::ConfigStore& Target(companion::Registry& registry, platform::ConfigStore& root) {
    auto connected = registry.ConnectedRoot();
    return connected ? *connected : root;
}

}  // namespace

bool ScrambleText(std::string_view text, std::vector<uint8_t>& out) {
    if (text.size() > kScrambledMaxChars) {
        return false;
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() * 4);
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == 0 || c > 127) {
            return false;
        }
        const uint32_t n = PowMod(c, kStoreExponent);
        for (int shift = 0; shift < 32; shift += 8) {
            bytes.push_back(static_cast<uint8_t>(n >> shift));
        }
    }
    out = std::move(bytes);
    return true;
}

std::string UnscrambleBytes(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        const uint32_t n = bytes[i] | (bytes[i + 1] << 8) | (bytes[i + 2] << 16) |
                           (static_cast<uint32_t>(bytes[i + 3]) << 24);
        text += static_cast<char>(PowMod(n % kModulus, kReadExponent) & 0xffu);
    }
    return text;
}

int kvHlpSvc1(companion::Registry& registry, std::string_view text, platform::ConfigStore& root,
              std::string_view path, std::string_view name) {
    const companion::Logger log(kModule, "kvHlpSvc1");
    std::vector<uint8_t> bytes;
    if (!ScrambleText(text, bytes)) {
        log(1,
            "Internal error #4 - the value to save must be at most 128 characters of 7-bit "
            "text");
        return 0;
    }
    const platform::Status status = Target(registry, root).Update([&](platform::StoreTree& tree) {
        tree.Set(path, name, platform::StoreValue::MakeBinary(std::move(bytes)));
        return true;
    });
    if (!status.ok()) {
        log(1, "Internal error #2 - unable to save the requested value to the Registry");
        return 0;
    }
    return 1;
}

int kvHlpSvc2(companion::Registry& registry, platform::ConfigStore& root, std::string_view path,
              std::string_view name, std::string& buffer, size_t bufferSize) {
    const companion::Logger log(kModule, "kvHlpSvc2");
    bool found = false;
    platform::StoreValue value;
    const platform::Status status =
        Target(registry, root).Read([&](const platform::StoreTree& tree) {
            if (const platform::StoreValue* v = tree.Find(path, name)) {
                value = *v;
                found = true;
            }
        });
    if (!status.ok()) {
        log(1, "Internal error #1 - unable to open the requested key in the Registry");
        return 0;
    }
    if (!found) {
        return 1;
    }
    if (value.type != platform::StoreValue::Type::Binary) {
        log(1, "Internal error #5 - the requested value in the Registry is not a scrambled value");
        return 0;
    }
    const size_t chars = value.binary.size() / 4;
    if (value.binary.size() > kScrambledMaxBytes || bufferSize == 0 || chars > bufferSize - 1) {
        log(1,
            "Internal error #3 - insufficient memory to read the requested value from the "
            "Registry");
        return 0;
    }
    buffer = UnscrambleBytes(value.binary);
    return 1;
}

}  // namespace kvzn::config
