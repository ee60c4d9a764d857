// Framing and parsing of web requests: the cases a browser sends, and the hostile ones.
#include "web/http_request.h"

#include <gtest/gtest.h>

#include "web/http_reply.h"

namespace kvzn::web {
namespace {

TEST(HttpRequestTest, ParsesWhatBrowsersSend) {
    struct Case {
        const char* name;
        std::string request;
        Method method;
        std::string path;
        std::vector<std::pair<std::string, std::string>> params;
        std::string session;
    };
    const std::vector<Case> cases = {
        {"lower-case method with a query",
         "get /PrintStatus.kvp?AutoRefresh=On HTTP/1.0\r\n\r\n",
         Method::kGet,
         "/PrintStatus.kvp",
         {{"AutoRefresh", "On"}},
         ""},
        {"form body after the query",
         "POST /ZNLogon.kvp?x=1 HTTP/1.0\r\nContent-Length: 11\r\n\r\nhPassword=a",
         Method::kPost,
         "/ZNLogon.kvp",
         {{"x", "1"}, {"hPassword", "a"}},
         ""},
        {"session cookie among others",
         "GET / HTTP/1.1\r\nCookie: a=1; ckKorvanePrintSession=ABC; b=2\r\n\r\n",
         Method::kGet,
         "/",
         {},
         "ABC"},
        {"cookie whose name only ends like the session's",
         "GET / HTTP/1.1\r\nCookie: xckKorvanePrintSession=EVIL\r\n\r\n",
         Method::kGet,
         "/",
         {},
         ""},
        {"full URL",
         "GET http://srv:80/images/a.gif HTTP/1.0\r\n\r\n",
         Method::kGet,
         "/images/a.gif",
         {},
         ""},
        {"decoding after splitting",
         "GET /x?A%41B+C=%26%3D&n=a%0D%0Ab HTTP/1.0\r\n\r\n",
         Method::kGet,
         "/x",
         {{"AAB C", "&="}, {"n", "a\r\nb"}},
         ""},
        {"a lone percent stays",
         "GET /x?v=50%&w=%4 HTTP/1.0\r\n\r\n",
         Method::kGet,
         "/x",
         {{"v", "50%"}, {"w", "%4"}},
         ""},
        {"bare line feeds", "HEAD / HTTP/1.0\n\n", Method::kHead, "/", {}, ""},
        {"unsupported method", "DELETE / HTTP/1.0\r\n\r\n", Method::kNone, "", {}, ""},
        {"line break smuggled into the path",
         "GET /a%0D%0ASet-Cookie:x HTTP/1.0\r\n\r\n",
         Method::kNone,
         "",
         {},
         ""},
        {"relative target", "GET PrintStatus.kvp HTTP/1.0\r\n\r\n", Method::kNone, "", {}, ""},
    };
    for (const Case& c : cases) {
        HttpRequest r;
        EXPECT_EQ(DecodeRequestType(c.request, r), c.method) << c.name;
        EXPECT_EQ(r.path, c.path) << c.name;
        EXPECT_EQ(r.sessionId, c.session) << c.name;
        ASSERT_EQ(r.params.size(), c.params.size()) << c.name;
        for (size_t i = 0; i < c.params.size(); ++i) {
            EXPECT_EQ(r.params[i].name, c.params[i].first) << c.name;
            EXPECT_EQ(r.params[i].value, c.params[i].second) << c.name;
        }
    }
}

TEST(HttpRequestTest, ParameterLookupMatchesWholeNamesOnly) {
    HttpRequest r;
    ASSERT_EQ(
        DecodeRequestType("GET /p?xhPassword=1&a=hPassword%3D2&HPASSWORD=3 HTTP/1.0\r\n\r\n", r),
        Method::kGet);
    ASSERT_NE(r.Param("hpassword"), nullptr);
    EXPECT_EQ(*r.Param("hpassword"), "3");
    EXPECT_EQ(r.Param("Password"), nullptr);
    EXPECT_EQ(r.QueryText("hPassword"), "xhPassword=1&a=hPassword%3D2");
}

TEST(HttpRequestTest, FramingWaitsForTheWholeRequestAndRefusesTheOversized) {
    RequestLimits limits;
    limits.maxHeader = 100;
    limits.maxBody = 10;
    struct Case {
        const char* name;
        std::string data;
        Framing framing;
        size_t length;
    };
    const std::string get = "GET / HTTP/1.0\r\n\r\n";
    const std::vector<Case> cases = {
        {"nothing yet", "", Framing::kIncomplete, 0},
        {"start of a method", "PO", Framing::kIncomplete, 0},
        {"header not ended", "GET / HTTP/1.0\r\n", Framing::kIncomplete, 0},
        {"complete GET, pipelined bytes after it", get + "GARBAGE", Framing::kComplete, get.size()},
        {"binary garbage", std::string("\x16\x03\x01", 3), Framing::kMalformed, 0},
        {"console message", "CSL0001", Framing::kMalformed, 0},
        {"POST body short of its length", "POST / HTTP/1.0\r\nContent-Length: 5\r\n\r\nab",
         Framing::kIncomplete, 0},
        {"POST body complete", "POST / HTTP/1.0\r\ncontent-length:5\r\n\r\nabcde",
         Framing::kComplete, 42},
        {"POST without length", "POST / HTTP/1.0\r\n\r\nabc", Framing::kNoLength, 0},
        {"POST with a negative length", "POST / HTTP/1.0\r\nContent-Length: -1\r\n\r\n",
         Framing::kNoLength, 0},
        {"POST with a huge length", "POST / HTTP/1.0\r\nContent-Length: 99999999999999999\r\n\r\n",
         Framing::kNoLength, 0},
        {"POST over the body limit", "POST / HTTP/1.0\r\nContent-Length: 11\r\n\r\n",
         Framing::kBodyTooLarge, 0},
        {"header over the limit", "GET /" + std::string(200, 'a'), Framing::kHeaderTooLarge, 0},
    };
    for (const Case& c : cases) {
        const FramingResult r = FrameRequest(c.data, limits);
        EXPECT_EQ(r.framing, c.framing) << c.name;
        EXPECT_EQ(r.length, c.length) << c.name;
    }
}

TEST(HttpReplyTest, ContentLengthIsTheBodySentAndHeadersCarryNoInput) {
    const std::string cookie = SessionCookie("abc");
    const ReplyHeaders h{"PRINTSRV", 0, cookie, false};
    const std::string body = "line one\n\nline three";
    const std::string reply = BuildReply(200, "OK", "text/html", body, h);
    const size_t end = reply.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(reply.substr(end + 4), body);
    EXPECT_NE(reply.find("Content-Length: " + std::to_string(body.size()) + "\r\n"),
              std::string::npos);
    EXPECT_NE(reply.find("Set-Cookie: ckKorvanePrintSession=abc; Path=/; HttpOnly; "
                         "SameSite=Strict\r\n"),
              std::string::npos);
    EXPECT_NE(reply.find("Date: Thu, 01 Jan 1970 00:00:00 GMT\r\n"), std::string::npos);
    const std::string redirect =
        BuildRedirect("ZNLogon.kvp?Target=" + UrlEncode("/x?a=1\r\nSet-Cookie: y=2"), h);
    EXPECT_EQ(redirect.find("Set-Cookie: y"), std::string::npos);
    EXPECT_NE(redirect.find("Location: ZNLogon.kvp?Target=/x%3Fa%3D1%0D%0ASet-Cookie%3A%20y%3D2"),
              std::string::npos);
}

}  // namespace
}  // namespace kvzn::web
