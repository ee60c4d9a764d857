// Text written into HTML pages.
#include "companion/html.h"

#include <gtest/gtest.h>

namespace kvzn::companion {
namespace {

TEST(HtmlEscapeTest, MarkupAndQuotesBecomeReferencesAndEverythingElseStays) {
    EXPECT_EQ(HtmlEscape(R"(<a href="x" title='y'>Tom & Jerry</a>)"),
              "&lt;a href=&quot;x&quot; title=&#39;y&#39;&gt;Tom &amp; Jerry&lt;/a&gt;");
    // Already escaped text is escaped again: it is text, not markup.
    EXPECT_EQ(HtmlEscape("&amp;"), "&amp;amp;");
    EXPECT_EQ(HtmlEscape("Laser 3 (2. Stock) \xc3\xa4"), "Laser 3 (2. Stock) \xc3\xa4");
    EXPECT_EQ(HtmlEscape(""), "");
}

}  // namespace
}  // namespace kvzn::companion
