// Quoting of untrusted values for /bin/sh, checked by running the quoted command lines.
#include "responses/shell_quote.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "alerting/message_text.h"
#include "platform/process.h"
#include "support/test_support.h"

namespace kvzn::responses {
namespace {

// Values that try to break out of every kind of quoting.
const std::vector<std::string>& HostileValues() {
    static const std::vector<std::string> values = {
        "x\"; touch PWNED #",  "$(touch PWNED)",
        "`touch PWNED`",       "a'b; touch PWNED; 'c",
        "\\'; touch PWNED; #", "\\\"; touch PWNED; #",
        "line\ntouch PWNED",   "* ~root $HOME -n",
        "trailing\\",          "",
    };
    return values;
}

class ShellQuoteTest : public ::testing::Test {
  protected:
    // Runs prefix + quoted value + suffix in a fresh directory; the output, and whether
    // anything created the file PWNED.
    std::string Run(const std::string& prefix, const std::string& value,
                    const std::string& suffix) {
        const std::string command = prefix + QuoteForShell(value, prefix) + suffix;
        platform::ProcessOptions options;
        options.workingDirectory = dir.path();
        auto result = platform::RunProcess({"/bin/sh", "-c", command}, options);
        EXPECT_TRUE(result.ok()) << result.status().Text();
        EXPECT_FALSE(std::filesystem::exists(dir / "PWNED")) << "ran: " << command;
        std::filesystem::remove(dir / "PWNED");
        return result.ok() ? result->output : std::string();
    }
    test::TempDir dir;
};

TEST_F(ShellQuoteTest, ValuesArriveLiterallyWhereTheQuotingIsKnown) {
    const struct {
        const char* where;
        const char* prefix;
        const char* suffix;
        const char* before;  // expected around the value
        const char* after;
    } places[] = {
        {"unquoted", "printf '%s' ", "", "", ""},
        {"inside a word", "printf '%s' x", "y", "x", "y"},
        {"double quotes", "printf '%s' \"<", ">\"", "<", ">"},
        {"single quotes", "printf '%s' '<", ">'", "<", ">"},
        {"double quotes holding a quote", "printf '%s' \"it's ", "\"", "it's ", ""},
        {"after closed quotes", "echo 'a''b' \"#\" >/dev/null; printf '%s' ", "", "", ""},
        {"escaped quote before", "printf '%s' \\' ", "", "'", ""},
        {"after a comment line", "# it's \"odd\n printf '%s' ", "", "", ""},
        {"single quotes in backquotes", "printf '%s' \"`printf '%s' '<", ">'`\"", "<", ">"},
        {"double quotes in backquotes", "printf '%s' \"`printf '%s' \\\"<", ">\\\"`\"", "<", ">"},
        {"backquotes in backquotes", "printf '%s' \"`printf '%s' \"\\`printf '%s' ", "\\`\"`\"", "",
         ""},
        {"substitution in backquotes", "printf '%s' \"`printf '%s' \"$(printf '%s' ", ")\"`\"", "",
         ""},
        {"after closed substitutions",
         "echo $(echo ')(') `echo \\`echo x\\`` $((1+(2))) >/dev/null; printf '%s' ", "", "", ""},
    };
    for (const auto& place : places) {
        for (const auto& value : HostileValues()) {
            SCOPED_TRACE(std::string(place.where) + ": " + value);
            const std::string expected = std::string(place.before) + value + place.after;
            EXPECT_EQ(Run(place.prefix, value, place.suffix), expected);
        }
    }
}

TEST_F(ShellQuoteTest, UncertainPlacesKeepOnlyHarmlessCharacters) {
    const struct {
        const char* where;
        const char* prefix;
        const char* suffix;
    } places[] = {
        {"substitution with a case", "echo $(case x in x) echo ", ";; esac)"},
        {"arithmetic", "echo $((1 + ", "))"},
        {"here-document", "cat <<EOF\n", "\nEOF"},
        {"here-document word", "<<", "\n"},
        {"a dollar starting a command", "$", ""},
        {"parameter expansion", "echo ${UNSET_X:-", "}"},
        {"after a dollar", "echo $", ""},
        {"after a backslash", "echo \\", ""},
        {"comment", "echo hi # ", "\necho after"},
    };
    for (const auto& place : places) {
        for (const auto& value : HostileValues()) {
            SCOPED_TRACE(std::string(place.where) + ": " + value);
            Run(place.prefix, value, place.suffix);
        }
    }
    EXPECT_EQ(QuoteForShell("Doc 1; rm -rf /tmp/x's \"y\"\n", "cat <<EOF\n"),
              "Doc_1__rm_-rf_/tmp/x_s__y__");
    EXPECT_EQ(Run("printf '%s' \"${UNSET_X:-", "a.b,c:d@e%f+g=h/i-j_k", "}\""),
              "a.b,c:d@e%f+g=h/i-j_k");
}

TEST_F(ShellQuoteTest, NulBytesAreDropped) {
    EXPECT_EQ(QuoteForShell(std::string("a\0b", 3), ""), "'ab'");
    EXPECT_EQ(QuoteForShell(std::string("a\0b", 3), "`"), "'ab'");
    EXPECT_EQ(QuoteForShell(std::string("a\0b", 3), "<<"), "ab");
}

TEST_F(ShellQuoteTest, CommandTemplatesQuoteEachValueForItsPlace) {
    alerting::AlertTextContext ctx;
    ctx.title = "it's";
    ctx.extra2 = "a\"b";
    std::string out;
    ASSERT_EQ(alerting::SubstituteParamsForString_Dynamic(
                  2, "echo <$$TEST> \"<$$DOCUMENT>\" '<$$TITLE>' <$$FOO> $(<$$DOCUMENT>)", out, ctx,
                  1, QuoteForShell),
              1);
    EXPECT_EQ(out, "echo 'it'\\''s' \"a\\\"b\" 'it'\\''s' [not defined] $('a\"b')");
}

}  // namespace
}  // namespace kvzn::responses
