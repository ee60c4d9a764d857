// Cleaning of terminal message texts: what a terminal would act on never gets through.
#include <gtest/gtest.h>

#include "platform/terminal_messages.h"

namespace kvzn::platform {
namespace {

TEST(CleanTerminalTextTest, RemovesWhatDrivesATerminalAndKeepsTheText) {
    const struct {
        const char* what;
        std::string in;
        std::string out;
    } cases[] = {
        {"plain text", "Printer HP4050 jammed", "Printer HP4050 jammed"},
        {"line feed and tab", "a\tb\nc", "a\tb\nc"},
        {"carriage return", "a\r\nb\rc", "a\nbc"},
        {"colour CSI", "\x1b[1;31mRed\x1b[0m", "Red"},
        {"private CSI", "\x1b[?25lx", "x"},
        {"title ended by BEL",
         "\x1b]0;title\x07"
         "after",
         "after"},
        {"title ended by ST", "\x1b]0;title\x1b\\after", "after"},
        {"device control string", "\x1bPq#0;2;0;0;0\x1b\\x", "x"},
        {"unclosed title ends at the line end", "\x1b]0;title\nnext", "\nnext"},
        {"character set", "\x1b(Bx", "x"},
        {"terminal reset",
         "\x1b"
         "cX",
         "X"},
        {"ESC at the end", "abc\x1b", "abc"},
        {"ESC before a line feed", "a\x1b\nb", "a\nb"},
        {"BEL, backspace, DEL",
         "a\x07\x08\x7f"
         "b",
         "ab"},
        {"other C0",
         std::string("a\0\x01\x1f"
                     "b",
                     5),
         "ab"},
        {"8-bit CSI",
         "a\x9b"
         "31mb",
         "a31mb"},
        {"8-bit NEL",
         "a\x85"
         "b",
         "ab"},
        {"UTF-8 CSI",
         "a\xc2\x9b"
         "b",
         "ab"},
        {"UTF-8 text",
         "Gr\xc3\xbc\xc3\x9f"
         "e \xe2\x80\x93 \xf0\x9f\x98\x80",
         "Gr\xc3\xbc\xc3\x9f"
         "e \xe2\x80\x93 \xf0\x9f\x98\x80"},
        {"UTF-8 no-break space",
         "a\xc2\xa0"
         "b",
         "a\xc2\xa0"
         "b"},
        {"Latin-1 text", "caf\xe9", "caf\xe9"},
        {"cut UTF-8 sequence", "a\xe2\x82", "a\xe2"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CleanTerminalText(c.in), c.out) << c.what;
    }
}

}  // namespace
}  // namespace kvzn::platform
