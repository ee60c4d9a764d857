// The configuration store tree and its file layout.
//
// The store file is line-oriented, close to a ".reg" export, so that it can be read, edited
// and compared with ordinary text tools:
//
//   ; comment
//   [HKEY_LOCAL_MACHINE\Software\Halvern\Korvane Tessel Print Monitor\CurrentVersion]
//   "Home"="/opt/kvznprint"
//   "LogLevel"=dword:00000003
//   "Data2"=hex:4f,00,00,00,12,00,00,00
//
// One section per key, in tree order; a key without values still has its header. Long
// binary values continue over indented lines, each line but the last ending in ",\". Inside
// quotes a backslash, a double quote and the bytes below 0x20 and 0x7f are escaped (\\, \",
// \n, \r, \t, \xHH); other bytes are written as they are. A key name is written bare unless
// it holds such a byte or begins with a quote, in which case it is quoted the same way.
// Blank lines and lines starting with ';' are comments; spaces and tabs around a line and a
// CR before its LF are ignored.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>

#include "platform/config_store.h"
#include "platform/text.h"

namespace kvzn::platform {

namespace {

constexpr std::string_view kFileHeader =
    "; kvZNPrint configuration store. Edit with kvZNPrintCfg; the service reads it at start.\n";
constexpr std::string_view kRootName = "HKEY_LOCAL_MACHINE";
constexpr size_t kBytesPerLine = 25;
// Deeper keys in a file are refused: the tree code recurses once per level.
constexpr size_t kMaxKeyDepth = 256;

char FoldCase(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::vector<std::string_view> SplitPath(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

bool NeedsEscape(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

void AppendHexByte(std::string& out, unsigned char c) {
    constexpr char kDigits[] = "0123456789abcdef";
    out += kDigits[c >> 4];
    out += kDigits[c & 0x0f];
}

void AppendQuoted(std::string& out, std::string_view s) {
    out += '"';
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (NeedsEscape(c)) {
                    out += "\\x";
                    AppendHexByte(out, c);
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
}

void AppendKeyName(std::string& out, std::string_view name) {
    bool quote = !name.empty() && name.front() == '"';
    for (char ch : name) {
        quote = quote || NeedsEscape(static_cast<unsigned char>(ch));
    }
    if (quote) {
        AppendQuoted(out, name);
    } else {
        out += name;
    }
}

void AppendValue(std::string& out, std::string_view name, const StoreValue& value) {
    AppendQuoted(out, name);
    out += '=';
    switch (value.type) {
        case StoreValue::Type::Text:
            AppendQuoted(out, value.text);
            break;
        case StoreValue::Type::Number: {
            char digits[9];
            std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(value.number));
            out += "dword:";
            out += digits;
            break;
        }
        case StoreValue::Type::Binary:
            out += "hex:";
            for (size_t i = 0; i < value.binary.size(); ++i) {
                if (i > 0) {
                    out += i % kBytesPerLine == 0 ? ",\\\n  " : ",";
                }
                AppendHexByte(out, value.binary[i]);
            }
            break;
    }
    out += '\n';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = FoldCase(c);
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

// Lines of the file with their numbers; the value parser pulls continuation lines from it.
class LineReader {
  public:
    explicit LineReader(std::string_view text) : text_(text) {}
    bool Next(std::string_view& line) {
        if (pos_ >= text_.size()) {
            return false;
        }
        size_t end = text_.find('\n', pos_);
        if (end == std::string_view::npos) {
            end = text_.size();
        }
        line = Trim(text_.substr(pos_, end - pos_));
        pos_ = end + 1;
        ++number_;
        return true;
    }
    size_t number() const { return number_; }

  private:
    std::string_view text_;
    size_t pos_ = 0;
    size_t number_ = 0;
};

// Reads a quoted string starting at s[pos] == '"'; on success pos is past the closing
// quote. On failure returns false and sets `error`.
bool ReadQuoted(std::string_view s, size_t& pos, std::string& out, std::string& error) {
    out.clear();
    for (size_t i = pos + 1; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '"') {
            pos = i + 1;
            return true;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= s.size()) {
            break;
        }
        switch (s[i]) {
            case '\\':
                out += '\\';
                break;
            case '"':
                out += '"';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'x': {
                const int hi = i + 1 < s.size() ? HexDigit(s[i + 1]) : -1;
                const int lo = i + 2 < s.size() ? HexDigit(s[i + 2]) : -1;
                if (hi < 0 || lo < 0) {
                    error = "\\x must be followed by two hex digits";
                    return false;
                }
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                break;
            }
            default:
                error = std::string("unknown escape \\") + s[i];
                return false;
        }
    }
    error = "unterminated quoted string";
    return false;
}

struct ParseError {
    size_t line;
    std::string what;
};

// Parses the components after "HKEY_LOCAL_MACHINE" in a section header.
bool ParseKeyPath(std::string_view path, std::vector<std::string>& parts, std::string& error) {
    size_t pos = 0;
    while (pos < path.size()) {
        if (path[pos] == '\\') {
            ++pos;
            continue;
        }
        std::string part;
        if (path[pos] == '"') {
            if (!ReadQuoted(path, pos, part, error)) {
                return false;
            }
            if (pos < path.size() && path[pos] != '\\') {
                error = "text after a quoted key name";
                return false;
            }
            if (part.empty() || part.find('\\') != std::string::npos) {
                error = "a key name must be non-empty and hold no backslash";
                return false;
            }
        } else {
            const size_t end = std::min(path.find('\\', pos), path.size());
            part = path.substr(pos, end - pos);
            pos = end;
        }
        parts.push_back(std::move(part));
        if (parts.size() > kMaxKeyDepth) {
            error = "key path deeper than " + std::to_string(kMaxKeyDepth) + " levels";
            return false;
        }
    }
    return true;
}

bool ParseNumber(std::string_view digits, uint32_t& number) {
    if (digits.empty() || digits.size() > 8) {
        return false;
    }
    number = 0;
    for (char c : digits) {
        const int d = HexDigit(c);
        if (d < 0) {
            return false;
        }
        number = number * 16 + static_cast<uint32_t>(d);
    }
    return true;
}

// Parses the bytes after "hex:", pulling continuation lines (ending in "\") from `lines`.
std::optional<ParseError> ParseBinary(std::string_view rest, LineReader& lines,
                                      std::vector<uint8_t>& bytes) {
    enum class Want { FirstByte, Byte, CommaOrEnd } want = Want::FirstByte;
    for (;;) {
        const size_t lineNo = lines.number();
        const bool more = !rest.empty() && rest.back() == '\\';
        if (more) {
            rest = Trim(rest.substr(0, rest.size() - 1));
        }
        size_t i = 0;
        while (i < rest.size()) {
            const char c = rest[i];
            if (c == ' ' || c == '\t') {
                ++i;
            } else if (c == ',') {
                if (want != Want::CommaOrEnd) {
                    return ParseError{lineNo, "missing byte before ',' in hex data"};
                }
                want = Want::Byte;
                ++i;
            } else if (HexDigit(c) >= 0) {
                if (want == Want::CommaOrEnd) {
                    return ParseError{lineNo, "missing ',' between bytes in hex data"};
                }
                size_t end = i;
                while (end < rest.size() && HexDigit(rest[end]) >= 0) {
                    ++end;
                }
                if (end - i > 2) {
                    return ParseError{lineNo, "byte with more than two hex digits"};
                }
                int value = HexDigit(rest[i]);
                if (end - i == 2) {
                    value = value * 16 + HexDigit(rest[i + 1]);
                }
                bytes.push_back(static_cast<uint8_t>(value));
                want = Want::CommaOrEnd;
                i = end;
            } else {
                return ParseError{lineNo, std::string("unexpected '") + c + "' in hex data"};
            }
        }
        if (!more) {
            if (want == Want::Byte) {
                return ParseError{lineNo, "hex data ends with ','"};
            }
            return std::nullopt;
        }
        std::string_view next;
        if (!lines.Next(next)) {
            return ParseError{lineNo, "hex data continues past the end of the file"};
        }
        rest = next;
    }
}

}  // namespace

StoreValue StoreValue::MakeNumber(uint32_t n) {
    StoreValue v;
    v.type = Type::Number;
    v.number = n;
    return v;
}

StoreValue StoreValue::MakeText(std::string t) {
    StoreValue v;
    v.type = Type::Text;
    v.text = std::move(t);
    return v;
}

StoreValue StoreValue::MakeBinary(std::vector<uint8_t> b) {
    StoreValue v;
    v.type = Type::Binary;
    v.binary = std::move(b);
    return v;
}

bool CaseInsensitiveLess::operator()(std::string_view a, std::string_view b) const {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(FoldCase(a[i]));
        const auto cb = static_cast<unsigned char>(FoldCase(b[i]));
        if (ca != cb) {
            return ca < cb;
        }
    }
    return a.size() < b.size();
}

StoreTree::StoreTree(const StoreTree& other) {
    CopyNode(other.root_, root_);
}

StoreTree& StoreTree::operator=(const StoreTree& other) {
    if (this != &other) {
        Node copy;
        CopyNode(other.root_, copy);
        root_ = std::move(copy);
    }
    return *this;
}

void StoreTree::CopyNode(const Node& from, Node& to) {
    to.name = from.name;
    to.values = from.values;
    to.children.clear();
    for (const auto& [name, child] : from.children) {
        auto copy = std::make_unique<Node>();
        CopyNode(*child, *copy);
        to.children.emplace(name, std::move(copy));
    }
}

const StoreTree::Node* StoreTree::FindNode(std::string_view keyPath) const {
    const Node* node = &root_;
    for (std::string_view part : SplitPath(keyPath)) {
        auto it = node->children.find(part);
        if (it == node->children.end()) {
            return nullptr;
        }
        node = it->second.get();
    }
    return node;
}

StoreTree::Node* StoreTree::FindOrCreate(std::string_view keyPath) {
    Node* node = &root_;
    for (std::string_view part : SplitPath(keyPath)) {
        auto it = node->children.find(part);
        if (it == node->children.end()) {
            auto child = std::make_unique<Node>();
            child->name = std::string(part);
            it = node->children.emplace(std::string(part), std::move(child)).first;
        }
        node = it->second.get();
    }
    return node;
}

const StoreValue* StoreTree::Find(std::string_view keyPath, std::string_view name) const {
    const Node* node = FindNode(keyPath);
    if (node == nullptr) {
        return nullptr;
    }
    auto it = node->values.find(name);
    return it == node->values.end() ? nullptr : &it->second;
}

void StoreTree::Set(std::string_view keyPath, std::string_view name, StoreValue value) {
    auto& values = FindOrCreate(keyPath)->values;
    auto it = values.find(name);
    if (it == values.end()) {
        values.emplace(std::string(name), std::move(value));
    } else {
        it->second = std::move(value);
    }
}

void StoreTree::CreateKey(std::string_view keyPath) {
    FindOrCreate(keyPath);
}

bool StoreTree::DeleteValue(std::string_view keyPath, std::string_view name) {
    if (!KeyExists(keyPath)) {
        return false;
    }
    auto& values = FindOrCreate(keyPath)->values;
    auto it = values.find(name);
    if (it == values.end()) {
        return false;
    }
    values.erase(it);
    return true;
}

bool StoreTree::DeleteKey(std::string_view keyPath) {
    std::vector<std::string_view> parts = SplitPath(keyPath);
    if (parts.empty()) {
        return false;
    }
    const std::string_view last = parts.back();
    parts.pop_back();
    Node* parent = &root_;
    for (std::string_view part : parts) {
        auto it = parent->children.find(part);
        if (it == parent->children.end()) {
            return false;
        }
        parent = it->second.get();
    }
    auto it = parent->children.find(last);
    if (it == parent->children.end()) {
        return false;
    }
    parent->children.erase(it);
    return true;
}

bool StoreTree::KeyExists(std::string_view keyPath) const {
    return FindNode(keyPath) != nullptr;
}

std::vector<std::string> StoreTree::SubKeyNames(std::string_view keyPath) const {
    std::vector<std::string> names;
    if (const Node* node = FindNode(keyPath)) {
        for (const auto& [name, child] : node->children) {
            names.push_back(child->name);
        }
    }
    return names;
}

std::vector<std::string> StoreTree::ValueNames(std::string_view keyPath) const {
    std::vector<std::string> names;
    if (const Node* node = FindNode(keyPath)) {
        for (const auto& entry : node->values) {
            names.push_back(entry.first);
        }
    }
    return names;
}

bool StoreTree::NodesEqual(const Node& a, const Node& b) {
    if (a.name != b.name || a.values.size() != b.values.size() ||
        a.children.size() != b.children.size()) {
        return false;
    }
    for (auto ia = a.values.begin(), ib = b.values.begin(); ia != a.values.end(); ++ia, ++ib) {
        if (ia->first != ib->first || !(ia->second == ib->second)) {
            return false;
        }
    }
    for (auto ia = a.children.begin(), ib = b.children.begin(); ia != a.children.end();
         ++ia, ++ib) {
        if (!NodesEqual(*ia->second, *ib->second)) {
            return false;
        }
    }
    return true;
}

bool StoreTree::operator==(const StoreTree& other) const {
    return NodesEqual(root_, other.root_);
}

std::string StoreTree::Serialize() const {
    std::string out(kFileHeader);
    // Depth-first, parents before children, siblings in name order.
    struct Frame {
        const Node* node;
        std::string header;
    };
    std::vector<Frame> stack;
    stack.push_back({&root_, std::string(kRootName)});
    while (!stack.empty()) {
        Frame frame = std::move(stack.back());
        stack.pop_back();
        const Node& node = *frame.node;
        if (&node != &root_ || !node.values.empty()) {
            out += "\n[";
            out += frame.header;
            out += "]\n";
            for (const auto& [name, value] : node.values) {
                AppendValue(out, name, value);
            }
        }
        for (auto it = node.children.rbegin(); it != node.children.rend(); ++it) {
            std::string header = frame.header + '\\';
            AppendKeyName(header, it->second->name);
            stack.push_back({it->second.get(), std::move(header)});
        }
    }
    return out;
}

Status StoreTree::Parse(std::string_view text, std::string_view fileName, StoreTree& out) {
    StoreTree tree;
    Node* section = nullptr;
    LineReader lines(text);
    std::string_view line;
    std::optional<ParseError> error;
    std::string what;

    while (!error && lines.Next(line)) {
        const size_t lineNo = lines.number();
        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']' || line.size() < 2) {
                error = ParseError{lineNo, "section header without closing ']'"};
                break;
            }
            std::string_view path = line.substr(1, line.size() - 2);
            if (!EqualsNoCase(path.substr(0, kRootName.size()), kRootName) ||
                (path.size() > kRootName.size() && path[kRootName.size()] != '\\')) {
                error = ParseError{lineNo, "key path must start with HKEY_LOCAL_MACHINE\\"};
                break;
            }
            std::vector<std::string> parts;
            if (!ParseKeyPath(path.substr(kRootName.size()), parts, what)) {
                error = ParseError{lineNo, what};
                break;
            }
            section = &tree.root_;
            for (std::string& part : parts) {
                auto it = section->children.find(part);
                if (it == section->children.end()) {
                    auto child = std::make_unique<Node>();
                    child->name = part;
                    it = section->children.emplace(std::move(part), std::move(child)).first;
                }
                section = it->second.get();
            }
            continue;
        }
        if (line.front() != '"') {
            error = ParseError{lineNo, "unrecognised line"};
            break;
        }
        if (section == nullptr) {
            error = ParseError{lineNo, "value before the first [key] section"};
            break;
        }
        size_t pos = 0;
        std::string name;
        if (!ReadQuoted(line, pos, name, what)) {
            error = ParseError{lineNo, what};
            break;
        }
        if (pos >= line.size() || line[pos] != '=') {
            error = ParseError{lineNo, "expected '=' after the value name"};
            break;
        }
        std::string_view rest = line.substr(pos + 1);
        StoreValue value;
        if (!rest.empty() && rest.front() == '"') {
            pos = 0;
            std::string content;
            if (!ReadQuoted(rest, pos, content, what)) {
                error = ParseError{lineNo, what};
                break;
            }
            if (pos != rest.size()) {
                error = ParseError{lineNo, "text after the closing quote"};
                break;
            }
            value = StoreValue::MakeText(std::move(content));
        } else if (EqualsNoCase(rest.substr(0, 6), "dword:")) {
            uint32_t number = 0;
            if (!ParseNumber(rest.substr(6), number)) {
                error = ParseError{lineNo, "dword needs 1 to 8 hex digits"};
                break;
            }
            value = StoreValue::MakeNumber(number);
        } else if (EqualsNoCase(rest.substr(0, 4), "hex:")) {
            std::vector<uint8_t> bytes;
            error = ParseBinary(Trim(rest.substr(4)), lines, bytes);
            value = StoreValue::MakeBinary(std::move(bytes));
        } else {
            error = ParseError{lineNo, "unknown value type (want \"text\", dword: or hex:)"};
            break;
        }
        if (!error) {
            auto it = section->values.find(name);
            if (it == section->values.end()) {
                section->values.emplace(std::move(name), std::move(value));
            } else {
                it->second = std::move(value);
            }
        }
    }
    if (error) {
        return Status::Error(
            EINVAL, std::string(fileName) + ":" + std::to_string(error->line) + ": " + error->what);
    }
    out = std::move(tree);
    return Status::Ok();
}

}  // namespace kvzn::platform
