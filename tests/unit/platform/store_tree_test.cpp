// Tests of the configuration store tree and its file text.
#include <gtest/gtest.h>

#include <cerrno>
#include <random>

#include "platform/config_store.h"

namespace kvzn::platform {
namespace {

constexpr std::string_view kSample =
    "; kvZNPrint configuration store. Edit with kvZNPrintCfg; the service reads it at start.\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Halvern\\Korvane Tessel Print Monitor\\CurrentVersion]\n"
    "\"Home\"=\"/opt/kvznprint\"\n"
    "\"LogLevel\"=dword:00000003\n"
    "\"Data2\"=hex:4f,00,00,00,12,00,00,00\n";
constexpr std::string_view kVersionKey =
    "Software\\Halvern\\Korvane Tessel Print Monitor\\CurrentVersion";

StoreTree MustParse(std::string_view text) {
    StoreTree tree;
    Status status = StoreTree::Parse(text, "test.reg", tree);
    EXPECT_TRUE(status.ok()) << status.Text();
    return tree;
}

TEST(StoreTreeTest, NamesCompareWithoutCaseAndKeepFirstSpelling) {
    StoreTree tree;
    tree.Set("Software\\Halvern", "LogLevel", StoreValue::MakeNumber(3));
    tree.Set("SOFTWARE\\halvern", "LOGLEVEL", StoreValue::MakeNumber(4));
    tree.Set("software\\HALVERN\\Printers", "a", StoreValue::MakeText("x"));

    const StoreValue* found = tree.Find("sOfTwArE\\HaLvErN", "loglevel");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(*found, StoreValue::MakeNumber(4));
    EXPECT_EQ(tree.SubKeyNames(""), std::vector<std::string>{"Software"});
    EXPECT_EQ(tree.SubKeyNames("software"), std::vector<std::string>{"Halvern"});
    EXPECT_EQ(tree.ValueNames("SOFTWARE\\HALVERN"), std::vector<std::string>{"LogLevel"});
    // Empty components are ignored.
    EXPECT_NE(tree.Find("\\Software\\\\Halvern\\Printers\\", "A"), nullptr);
    // Only ASCII letters fold: bytes of other characters stay distinct and sort unsigned.
    tree.Set("K", "\xc3\x89t\xc3\xa9", StoreValue::MakeText("upper"));
    EXPECT_EQ(tree.Find("K", "\xc3\xa9t\xc3\xa9"), nullptr);
    CaseInsensitiveLess less;
    EXPECT_TRUE(less("z", "\xe9"));
    // '_' lies between the upper and lower case letters; both spellings sort alike.
    EXPECT_EQ(less("_", "A"), less("_", "a"));
    EXPECT_TRUE(less("apple", "Banana") && less("APPLE", "banana"));
}

TEST(StoreTreeTest, DeleteAndListing) {
    StoreTree tree;
    tree.Set("A\\B\\C", "v", StoreValue::MakeNumber(1));
    tree.CreateKey("a\\b\\D");
    tree.Set("A\\E", "v", StoreValue::MakeNumber(2));
    tree.Set("A", "zeta", StoreValue::MakeNumber(0));
    tree.Set("A", "Alpha", StoreValue::MakeNumber(0));

    EXPECT_EQ(tree.SubKeyNames("A\\B"), (std::vector<std::string>{"C", "D"}));
    EXPECT_EQ(tree.ValueNames("A"), (std::vector<std::string>{"Alpha", "zeta"}));
    EXPECT_TRUE(tree.SubKeyNames("Missing").empty());
    EXPECT_TRUE(tree.ValueNames("Missing").empty());

    EXPECT_TRUE(tree.DeleteKey("a\\B"));
    EXPECT_FALSE(tree.KeyExists("A\\B"));
    EXPECT_FALSE(tree.KeyExists("A\\B\\C"));
    EXPECT_EQ(tree.Find("A\\B\\C", "v"), nullptr);
    EXPECT_TRUE(tree.KeyExists("A\\E"));
    EXPECT_FALSE(tree.DeleteKey("A\\B"));
    EXPECT_FALSE(tree.DeleteKey(""));
    EXPECT_TRUE(tree.KeyExists("A"));

    EXPECT_TRUE(tree.DeleteValue("a", "ZETA"));
    EXPECT_FALSE(tree.DeleteValue("a", "zeta"));
    EXPECT_FALSE(tree.DeleteValue("Missing", "zeta"));
    EXPECT_FALSE(tree.KeyExists("Missing"));  // DeleteValue never creates keys
}

TEST(StoreTreeTest, CopyIsDeepAndEqualityChecksEverything) {
    StoreTree original;
    original.Set("A\\B", "v", StoreValue::MakeText("1"));
    StoreTree copy = original;
    EXPECT_EQ(copy, original);
    copy.Set("A\\B", "v", StoreValue::MakeText("2"));
    EXPECT_EQ(original.Find("A\\B", "v")->text, "1");

    StoreTree respelled, retyped, extraKey = original;
    respelled.Set("a\\B", "v", StoreValue::MakeText("1"));
    retyped.Set("A\\B", "v", StoreValue::MakeBinary({'1'}));
    extraKey.CreateKey("A\\B\\C");
    for (const StoreTree* other : {&copy, &respelled, &retyped, &extraKey}) {
        EXPECT_FALSE(*other == original) << other->Serialize();
    }
}

TEST(StoreFileTest, ParsesTheDocumentedLayout) {
    StoreTree tree = MustParse(kSample);
    EXPECT_EQ(tree.Find(kVersionKey, "Home")->text, "/opt/kvznprint");
    EXPECT_EQ(tree.Find(kVersionKey, "LogLevel")->number, 3u);
    EXPECT_EQ(tree.Find(kVersionKey, "Data2")->binary,
              (std::vector<uint8_t>{0x4f, 0, 0, 0, 0x12, 0, 0, 0}));
    EXPECT_EQ(tree.SubKeyNames("Software\\Halvern"),
              std::vector<std::string>{"Korvane Tessel Print Monitor"});
    EXPECT_EQ(MustParse(tree.Serialize()), tree);
}

TEST(StoreFileTest, AcceptsCommentsBlankLinesAndHandEdits) {
    StoreTree tree = MustParse(
        "; first\r\n"
        "\r\n"
        "   [hkey_local_machine\\A]  \r\n"
        "\t; indented comment\n"
        "\"n\"=dword:A\n"
        "\"b\"=hex:1,\\\n"
        "   FF\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\Empty]\n"
        "[HKEY_LOCAL_MACHINE\\A]\n"
        "\"N\"=dword:ffffffff\n"
        "\"e\"=hex:");
    EXPECT_EQ(tree.Find("A", "n")->number, 0xffffffffu);  // last one wins
    EXPECT_EQ(tree.ValueNames("A"), (std::vector<std::string>{"b", "e", "n"}));
    EXPECT_EQ(tree.Find("A", "b")->binary, (std::vector<uint8_t>{1, 0xff}));
    EXPECT_TRUE(tree.Find("A", "e")->binary.empty());
    EXPECT_TRUE(tree.KeyExists("Empty"));
}

TEST(StoreFileTest, DamagedFilesNameFileAndLine) {
    struct Case {
        const char* name;
        std::string text;
        int line;
    };
    const std::string head = "[HKEY_LOCAL_MACHINE\\A]\n";
    std::string deep = "[HKEY_LOCAL_MACHINE";
    for (int i = 0; i < 100000; ++i) {
        deep += "\\k";
    }
    const std::vector<Case> cases = {
        {"value before section", "; c\n\"a\"=\"b\"\n", 2},
        {"unknown line", head + "Home=1\n", 2},
        {"missing root prefix", "\n[Software\\A]\n", 2},
        {"other root", "[HKEY_CURRENT_USER\\A]\n", 1},
        {"root name run on", "[HKEY_LOCAL_MACHINEX\\A]\n", 1},
        {"header not closed", "[HKEY_LOCAL_MACHINE\\A\n", 1},
        {"quoted key with trailing text", "[HKEY_LOCAL_MACHINE\\\"a\"b]\n", 1},
        {"key path too deep", head + deep + "]\n", 2},
        {"quoted key with backslash", "[HKEY_LOCAL_MACHINE\\\"a\\\\b\"]\n", 1},
        {"unterminated name", head + "\"a=\"b\n", 2},
        {"unterminated text", head + "\"a\"=\"b\n", 2},
        {"text ends in backslash", head + "\"a\"=\"b\\", 2},
        {"missing equals", head + "\"a\" \"b\"\n", 2},
        {"bad escape", head + "\"a\"=\"\\q\"\n", 2},
        {"short hex escape", head + "\"a\"=\"\\x4\"\n", 2},
        {"text after quote", head + "\"a\"=\"b\" x\n", 2},
        {"unknown type", head + "\"a\"=qword:1\n", 2},
        {"empty dword", head + "\"a\"=dword:\n", 2},
        {"dword too long", head + "\"a\"=dword:123456789\n", 2},
        {"dword not hex", head + "\"a\"=dword:12g\n", 2},
        {"bad byte", head + "\"a\"=hex:4g\n", 2},
        {"three-digit byte", head + "\"a\"=hex:123\n", 2},
        {"missing comma", head + "\"a\"=hex:00 01\n", 2},
        {"double comma", head + "\"a\"=hex:00,,01\n", 2},
        {"trailing comma", head + "\"a\"=hex:00,\n", 2},
        {"bad continuation line", head + "\"a\"=hex:00,\\\n  01,\\\n  zz\n", 4},
        {"continuation at end", head + "\"x\"=\"y\"\n\"a\"=hex:00,\\\n", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StoreTree out;
        out.Set("Keep", "me", StoreValue::MakeNumber(7));
        const StoreTree before = out;
        Status status = StoreTree::Parse(c.text, "/etc/x/store.reg", out);
        EXPECT_EQ(status.err(), EINVAL);
        const std::string prefix = "/etc/x/store.reg:" + std::to_string(c.line) + ": ";
        EXPECT_EQ(status.Text().rfind(prefix, 0), 0u) << status.Text();
        EXPECT_GT(status.Text().size(), prefix.size());
        EXPECT_EQ(out, before);
    }
}

TEST(StoreFileTest, AwkwardContentRoundTrips) {
    std::string everyByte;
    for (int c = 1; c < 256; ++c) {
        everyByte += static_cast<char>(c);
    }
    std::vector<uint8_t> allBytes;
    for (int c = 0; c < 1024; ++c) {
        allBytes.push_back(static_cast<uint8_t>(c));
    }
    StoreTree tree;
    tree.Set("Texts", everyByte, StoreValue::MakeText(everyByte));
    tree.Set("Texts", "", StoreValue::MakeText(""));
    tree.Set("Texts", "nul", StoreValue::MakeText(std::string("a\0b", 3)));
    tree.Set("Texts", "spaces", StoreValue::MakeText("  both ends\t "));
    tree.Set("Texts", "lookalikes", StoreValue::MakeText("\\x41 \\n \"=dword:1\" ;[x]"));
    tree.Set("Texts", "crlf", StoreValue::MakeText("line\r\n"));
    tree.Set("Numbers", "zero", StoreValue::MakeNumber(0));
    tree.Set("Numbers", "max", StoreValue::MakeNumber(0xffffffffu));
    for (size_t size : {0, 1, 24, 25, 26, 50, 51, 256, 1024}) {
        std::vector<uint8_t> bytes(allBytes.begin(), allBytes.begin() + size);
        tree.Set("Binary", "b" + std::to_string(size), StoreValue::MakeBinary(bytes));
    }
    std::string keyName = everyByte;
    std::erase(keyName, '\\');
    tree.Set("Keys\\" + keyName, "v", StoreValue::MakeNumber(1));
    for (const char* name : {"\"quoted\"", "]", "[x]", "; not a comment", " padded ", "a\"b"}) {
        tree.CreateKey(std::string("Keys\\") + name);
    }
    tree.CreateKey("Empty\\Nested\\Leaf");

    const std::string text = tree.Serialize();
    StoreTree parsed = MustParse(text);
    EXPECT_EQ(parsed, tree);
    EXPECT_EQ(parsed.Serialize(), text);
    EXPECT_TRUE(parsed.KeyExists("Empty\\Nested\\Leaf"));
    // Long binary values are split so that no line grows without bound.
    size_t longest = 0;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        longest = std::max(longest, end - start);
    }
    EXPECT_LT(longest, 1200u);
}

TEST(StoreFileTest, SerializesInTreeOrder) {
    StoreTree tree;
    tree.Set("", "RootValue", StoreValue::MakeNumber(0x1a));
    tree.Set("b", "t", StoreValue::MakeText("x"));
    tree.CreateKey("A\\Sub");
    tree.Set("A", "Bin", StoreValue::MakeBinary(std::vector<uint8_t>(26, 0xab)));
    const std::string bytes25 =
        "ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,"
        "ab,ab,ab,ab";
    EXPECT_EQ(tree.Serialize(),
              "; kvZNPrint configuration store. Edit with kvZNPrintCfg; the service reads it at "
              "start.\n"
              "\n[HKEY_LOCAL_MACHINE]\n\"RootValue\"=dword:0000001a\n"
              "\n[HKEY_LOCAL_MACHINE\\A]\n\"Bin\"=hex:" +
                  bytes25 +
                  ",\\\n  ab\n"
                  "\n[HKEY_LOCAL_MACHINE\\A\\Sub]\n"
                  "\n[HKEY_LOCAL_MACHINE\\b]\n\"t\"=\"x\"\n");
}

// Random damage must never crash the parser, and whatever it accepts must be stable.
TEST(StoreFileTest, SurvivesRandomAndTruncatedInput) {
    StoreTree sample = MustParse(kSample);
    sample.Set("Other\\Key", "long", StoreValue::MakeBinary(std::vector<uint8_t>(80, 0x5a)));
    sample.Set("Other", "esc", StoreValue::MakeText("a\\b\"c\x01"));
    const std::string valid = sample.Serialize();
    std::mt19937 random(12345);
    auto check = [](const std::string& input) {
        StoreTree out;
        out.Set("Marker", "m", StoreValue::MakeNumber(1));
        if (StoreTree::Parse(input, "f", out).ok()) {
            const std::string again = out.Serialize();
            StoreTree reparsed;
            ASSERT_TRUE(StoreTree::Parse(again, "f", reparsed).ok()) << input;
            EXPECT_EQ(reparsed, out) << input;
            EXPECT_EQ(reparsed.Serialize(), again) << input;
        } else {
            EXPECT_NE(out.Find("Marker", "m"), nullptr) << input;
        }
    };
    for (size_t cut = 0; cut <= valid.size(); ++cut) {
        check(valid.substr(0, cut));
    }
    for (int round = 0; round < 3000; ++round) {
        std::string input = valid;
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            input[random() % input.size()] = static_cast<char>(random() % 256);
        }
        check(input);
        std::string noise(random() % 64, '\0');
        for (char& c : noise) {
            c = "[]\"\\=,:;x0 \n\r\t"[random() % 14];
        }
        check(noise);
    }
}

}  // namespace
}  // namespace kvzn::platform
