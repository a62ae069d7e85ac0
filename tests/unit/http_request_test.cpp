#include "server/api_call.h"
#include "server/http_client.h"
#include "server/http_error.h"
#include "server/http_request.h"
#include "server/url.h"

#include "support/fake_clock.h"
#include "support/memory_log.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

namespace telva {
namespace {

using test::WorkedExampleMoment;

const std::string kTail = "Accept: application/json\r\n"
                          "Accept-Encoding: identity\r\n"
                          "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64)\r\n"
                          "\r\n";

TEST(RequestHead, WorkedExampleInSessionMode) {
    FormFields form(WorkedExampleMoment());
    form.AddField("data[number]", "123");
    const HttpClient client = HttpClient::ForSession("s3ss10n", "t0k3n");
    EXPECT_EQ(client.RequestHead(
                  "http://192.0.2.10/app/index.php/contractItems/contractItem/api/fetchItemData/", form),
              "POST /app/index.php/contractItems/contractItem/api/fetchItemData/ HTTP/1.0\r\n"
              "Connection: keep-alive\r\n"
              "Content-Type: multipart/form-data; boundary=--------030524140709045\r\n"
              "Content-Length: 187\r\n"
              "ZURMO_SESSION_ID: s3ss10n\r\n"
              "ZURMO_TOKEN: t0k3n\r\n"
              "ZURMO_API_REQUEST_TYPE: REST\r\n"
              "Host: 192.0.2.10\r\n" +
                  kTail);
}

TEST(RequestHead, EmptyFormInCredentialsModeHasLengthZeroAndABoundary) {
    const HttpClient client = HttpClient::ForCredentials("admin", "secret");
    EXPECT_EQ(client.RequestHead("http://srv:8080/app/index.php/zurmo/api/login",
                                 FormFields(WorkedExampleMoment())),
              "POST /app/index.php/zurmo/api/login HTTP/1.0\r\n"
              "Connection: keep-alive\r\n"
              "Content-Type: multipart/form-data; boundary=--------030524140709045\r\n"
              "Content-Length: 0\r\n"
              "ZURMO_AUTH_USERNAME: admin\r\n"
              "ZURMO_AUTH_PASSWORD: secret\r\n"
              "ZURMO_API_REQUEST_TYPE: REST\r\n"
              "Host: srv:8080\r\n" +
                  kTail);
}

TEST(RequestHead, HeaderTextOutsideAsciiIsSentAsQuestionMarks) {
    const HttpClient client = HttpClient::ForCredentials("jos\xC3\xA9", "p\xC3\xA3ss\xF0\x9F\x98\x80");
    EXPECT_EQ(client.custom_lines()[0], "ZURMO_AUTH_USERNAME: jos\xC3\xA9");
    const std::string head = client.RequestHead("http://h/p", FormFields(WorkedExampleMoment()));
    EXPECT_NE(head.find("ZURMO_AUTH_USERNAME: jos?\r\n"), std::string::npos);
    EXPECT_NE(head.find("ZURMO_AUTH_PASSWORD: p?ss??\r\n"), std::string::npos);
}

TEST(RequestHead, EmptyValuesEndWithTheSpace) {
    const HttpClient session = HttpClient::ForSession("abc", "");
    EXPECT_EQ(
        session.custom_lines(),
        (std::vector<std::string>{"ZURMO_SESSION_ID: abc", "ZURMO_TOKEN: ", "ZURMO_API_REQUEST_TYPE: REST"}));
    const HttpClient credentials = HttpClient::ForCredentials("", "");
    EXPECT_EQ(credentials.custom_lines()[0], "ZURMO_AUTH_USERNAME: ");
    EXPECT_EQ(credentials.custom_lines()[1], "ZURMO_AUTH_PASSWORD: ");
}

TEST(RequestHead, ControlCharactersInValuesCannotSplitALine) {
    const HttpClient client = HttpClient::ForSession("id\r\nX-Injected: 1", "to\x00ken\x7F\t"s);
    EXPECT_EQ(client.custom_lines()[0], "ZURMO_SESSION_ID: idX-Injected: 1");
    EXPECT_EQ(client.custom_lines()[1], "ZURMO_TOKEN: token");
    const std::string head = client.RequestHead("http://h/a\r\nb", FormFields(WorkedExampleMoment()));
    EXPECT_EQ(head.find("\r\nX-Injected"), std::string::npos);
    EXPECT_EQ(head.rfind("POST /ab HTTP/1.0\r\n", 0), 0u);
}

TEST(PrepareHttpClient, ModeFollowsSessionIdAtPreparation) {
    test::FakeClock clock;
    test::MemoryLog log;
    RunContext context(clock, log);
    context.settings.user_name = "user";
    context.settings.password = "pw";
    const HttpClient credentials = PrepareHttpClient(context);
    context.session.session_id = "S1";
    context.session.token = "T1";
    const HttpClient session = PrepareHttpClient(context);
    EXPECT_EQ(credentials.custom_lines()[0], "ZURMO_AUTH_USERNAME: user");
    EXPECT_EQ(credentials.custom_lines()[1], "ZURMO_AUTH_PASSWORD: pw");
    EXPECT_EQ(session.custom_lines()[0], "ZURMO_SESSION_ID: S1");
    EXPECT_EQ(session.custom_lines()[1], "ZURMO_TOKEN: T1");
}

TEST(ParseHttpUrl, HostPortAndTarget) {
    const HttpTarget plain = ParseHttpUrl("http://192.0.2.10/app/index.php/x?y=1");
    EXPECT_EQ(plain.connect_host, "192.0.2.10");
    EXPECT_EQ(plain.port, 80);
    EXPECT_EQ(plain.host_header, "192.0.2.10");
    EXPECT_EQ(plain.target, "/app/index.php/x?y=1");

    EXPECT_EQ(ParseHttpUrl("http://srv:8080/a").host_header, "srv:8080");
    EXPECT_EQ(ParseHttpUrl("http://srv:8080/a").port, 8080);
    EXPECT_EQ(ParseHttpUrl("http://srv:80/a").host_header, "srv");
    EXPECT_EQ(ParseHttpUrl("HTTP://srv/a").host_header, "srv");
    // Any other scheme with a port is spoken as http, and its Host line keeps the port.
    EXPECT_EQ(ParseHttpUrl("ftp://srv:80/a").host_header, "srv:80");
    EXPECT_EQ(ParseHttpUrl("http://srv").target, "/");
    EXPECT_EQ(ParseHttpUrl("http://srv\\app\\index.php?q=a\\b").target, "/app/index.php?q=a\\b");
    EXPECT_EQ(ParseHttpUrl("http://srv/%20a").target, "/%20a");
}

void ExpectUrlError(std::string_view url, const std::string& message) {
    try {
        ParseHttpUrl(url);
        ADD_FAILURE() << url << " was accepted";
    } catch (const HttpError& error) {
        EXPECT_EQ(error.what(), message) << url;
    }
}

TEST(ParseHttpUrl, HttpsTakesPort443AndTls) {
    const HttpTarget secure = ParseHttpUrl("HTTPS://srv.example/app/");
    EXPECT_TRUE(secure.tls);
    EXPECT_EQ(secure.port, 443);
    EXPECT_EQ(secure.host_header, "srv.example");
    EXPECT_EQ(ParseHttpUrl("https://srv:443/a").host_header, "srv");
    const HttpTarget own_port = ParseHttpUrl("https://srv:8443/a");
    EXPECT_EQ(own_port.port, 8443);
    EXPECT_EQ(own_port.host_header, "srv:8443");
    EXPECT_FALSE(ParseHttpUrl("http://srv:443/a").tls);
    EXPECT_EQ(ParseHttpUrl("http://srv:443/a").host_header, "srv:443");
    EXPECT_FALSE(ParseHttpUrl("ftp://srv:443/a").tls);
    ExpectUrlError("https:///app/", "URL has no host");
}

TEST(ParseHttpUrl, BracketedIPv6Host) {
    const HttpTarget v6 = ParseHttpUrl("http://[::1]:8080/app/");
    EXPECT_EQ(v6.connect_host, "::1");
    EXPECT_EQ(v6.port, 8080);
    EXPECT_EQ(v6.host_header, "[::1]:8080");
    EXPECT_EQ(ParseHttpUrl("http://[::1]/app/").host_header, "[::1]");
}

TEST(ParseHttpUrl, RefusedUrls) {
    ExpectUrlError("myhttpserver/app/index.php/", "Unknown Protocol");
    ExpectUrlError("ftp://srv/app/", "Unknown Protocol");
    ExpectUrlError("http:///app/index.php/", "URL has no host");
    ExpectUrlError("http://:8080/app/", "URL has no host");
    ExpectUrlError("http://srv:99999/app/", "Invalid port 99999");
    ExpectUrlError("http://srv:8o/app/", "Invalid port 8o");
    ExpectUrlError("http://srv:/app/", "Invalid port ");
}

} // namespace
} // namespace telva
