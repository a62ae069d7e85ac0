// The HTTP client against a real HTTP server process on loopback.

#include "platform/tcp.h"
#include "server/http_client.h"
#include "server/http_error.h"

#include "platform/socket_error_text.h"
#include "scripted_server.h"
#include "support/fake_clock.h"

#include <gtest/gtest.h>

#include <thread>

namespace telva {
namespace {

using test::CurrentTestName;
using test::ScriptedServer;

class HttpClientTest : public ::testing::Test {
protected:
    HttpLimits limits_{5000, 5000, 20000, kMaxAnswerBodyBytes};

    std::string Url() const { return server_.BaseUrl(CurrentTestName()) + "zurmo/api/login"; }
    void Script(const std::string& answers) const { server_.Script(CurrentTestName(), answers); }
    std::string Post(const FormFields& form = FormFields(test::WorkedExampleMoment())) const {
        return HttpClient::ForCredentials("user", "pw", limits_).PostForm(Url(), form);
    }

    ScriptedServer server_;
};

// The values a form must carry through the wire unchanged (after the Latin-1 and line-break rules).
const std::vector<std::pair<std::string, std::string>> kValues = {
    {"data[number]", "123"},
    {"data[empty]", ""},
    {"data[dot]", ".5"},
    {"data[decimal]", "3.5"},
    {"data[blank]", "12 "},
    {"data[seventy]", std::string(70, 'x')},
    {"data[seventy-five]", std::string(75, 'y')},
    {"data[long]", std::string(300, '=')},
    {"data[latin]", "S\xC3\xA3o Jos\xC3\xA9"},
    {"data[lines]", "first\r\nsecond\r\n.third \r\nlast"},
    {"data[oid]", "1.3.6.1.2.1.43.10.2.1.4.1.1"},
};

TEST_F(HttpClientTest, RequestBytesAreExactlyTheComposedHeadAndBody) {
    Script(R"([{"body": "{}"}])");
    FormFields form(test::WorkedExampleMoment());
    for (const auto& [name, value] : kValues) {
        form.AddField(name, value);
    }
    const HttpClient client = HttpClient::ForSession("SID", "TOK", limits_);
    EXPECT_EQ(client.PostForm(Url(), form), "{}");
    const std::string raw = server_.RawRequest(CurrentTestName(), 1);
    EXPECT_EQ(raw, client.RequestHead(Url(), form) + form.Body());
    EXPECT_NE(raw.find("\r\nHost: 127.0.0.1:" + std::to_string(server_.port()) + "\r\n"), std::string::npos);
}

TEST_F(HttpClientTest, LargeFormIsSentThroughTheBufferUnchanged) {
    // A body of many send buffers: what arrives is still exactly the head and the whole body.
    Script(R"([{"body": "{}"}])");
    FormFields form(test::WorkedExampleMoment());
    for (int i = 0; i < 3000; ++i) {
        const std::string prefix = "data[items][" + std::to_string(i) + "]";
        form.AddField(prefix + "[lco]", std::to_string(1000000 + i));
        form.AddField(prefix + "[cid]", i % 7 == 0 ? "S\xC3\xA3o\r\n." + std::string(90, 'x') : "");
    }
    const HttpClient client = HttpClient::ForCredentials("user", "pw", limits_);
    EXPECT_EQ(client.PostForm(Url(), form), "{}");
    const std::string body = form.Body();
    ASSERT_GT(body.size(), 4u * 64 * 1024);
    EXPECT_EQ(server_.RawRequest(CurrentTestName(), 1), client.RequestHead(Url(), form) + body);
}

TEST_F(HttpClientTest, EmailPackageDecodesEveryFieldBack) {
    Script(R"([{"body": "{}"}])");
    FormFields form(test::WorkedExampleMoment());
    for (const auto& [name, value] : kValues) {
        form.AddField(name, value);
    }
    // A value that repeats the form's own delimiter must come back whole, not end the part.
    form.AddField("data[delimiter]", "--" + form.boundary() + "--\r\n--" + form.boundary());
    form.AddField("data[euro]", "5\xE2\x82\xAC");
    Post(form);
    const JsonDocument document = server_.Record(CurrentTestName(), 1);
    const JsonValue& record = document.root();
    EXPECT_TRUE(FindMember(record, "defects")->items().empty());
    const auto& fields = FindMember(record, "fields")->items();
    ASSERT_EQ(fields.size(), kValues.size() + 2);
    for (std::size_t i = 0; i < kValues.size(); ++i) {
        EXPECT_EQ(fields[i].items()[0].text(), kValues[i].first);
        EXPECT_EQ(fields[i].items()[1].text(), kValues[i].second) << kValues[i].first;
    }
    EXPECT_EQ(fields[kValues.size()].items()[1].text(),
              "--" + form.boundary() + "--\r\n--" + form.boundary());
    EXPECT_EQ(fields.back().items()[1].text(), "5?");
}

TEST_F(HttpClientTest, EmptyFormSendsNoBody) {
    Script(R"([{"body": "{}"}])");
    FormFields form(test::WorkedExampleMoment());
    Post(form);
    const std::string raw = server_.RawRequest(CurrentTestName(), 1);
    EXPECT_EQ(raw.size() - raw.find("\r\n\r\n"), 4u);
    EXPECT_NE(raw.find("\r\nContent-Length: 0\r\n"), std::string::npos);
    EXPECT_NE(raw.find("\r\nContent-Type: multipart/form-data; boundary=" + form.boundary() + "\r\n"),
              std::string::npos);
}

TEST_F(HttpClientTest, AnswerFramings) {
    Script(R"([{"body": "{\"framing\":\"length\"}"},
               {"body": "{\"framing\":\"chunked, in pieces of seven bytes\"}", "framing": "chunked"},
               {"body": "{\"framing\":\"close\"}", "framing": "close"},
               {"body": "{\"after\":\"100 Continue\"}", "interim": [100, 100]},
               {"status": 204, "reason": "No Content", "headers": [], "framing": "close"}])");
    EXPECT_EQ(Post(), "{\"framing\":\"length\"}");
    EXPECT_EQ(Post(), "{\"framing\":\"chunked, in pieces of seven bytes\"}");
    EXPECT_EQ(Post(), "{\"framing\":\"close\"}");
    EXPECT_EQ(Post(), "{\"after\":\"100 Continue\"}");
    EXPECT_EQ(Post(), "");
}

TEST_F(HttpClientTest, KnownLengthNeverWaitsForTheClose) {
    // The server holds the connection open long after its answer; the limits would fail a client that
    // waited for the close.
    limits_ = HttpLimits{5000, 4000, 6000, kMaxAnswerBodyBytes};
    Script(R"([{"body": "{\"a\":1}", "keep_open": 10},
               {"body": "{\"b\":2}", "framing": "chunked", "keep_open": 10}])");
    EXPECT_EQ(Post(), "{\"a\":1}");
    EXPECT_EQ(Post(), "{\"b\":2}");
}

TEST_F(HttpClientTest, FinalStatusOutsideTwoHundredsFails) {
    Script(R"([{"status": 302, "reason": "Found", "headers": [["Location", "/elsewhere/"]]},
               {"status": 500, "reason": "Internal Server Error",
                "body": "{\"status\":\"SUCCESS\",\"data\":1,\"errors\":null}"},
               {"status": 404, "reason": "Not Found", "body": "missing", "framing": "close"}])");
    EXPECT_THROW(Post(), HttpError);
    EXPECT_THROW(Post(), HttpError);
    EXPECT_THROW(Post(), HttpError);
    EXPECT_EQ(server_.RequestCount(CurrentTestName()), 3); // the Location was not visited
}

TEST_F(HttpClientTest, AnswerTextFollowsTheDeclaredCharset) {
    Script(R"([{"body": "{\"c\":\"S\u00e3o\"}", "encoding": "latin-1",
                "headers": [["Content-Type", "application/json; charset=ISO-8859-1"]]},
               {"body": "{\"c\":\"S\u00e3o\"}", "headers": [["Content-Type", "application/json; charset=utf-8"]]},
               {"body": "{\"c\":\"S\u00e3o\"}", "headers": [["Content-Type", "application/json"]]}])");
    EXPECT_EQ(Post(), "{\"c\":\"S\xC3\xA3o\"}");
    EXPECT_EQ(Post(), "{\"c\":\"S\xC3\xA3o\"}");
    EXPECT_EQ(Post(), "{\"c\":\"S\xC3\x83\xC2\xA3o\"}"); // no charset: one character per byte
}

TEST_F(HttpClientTest, ServerThatNeverAnswersFailsWithinTheLimits) {
    limits_ = HttpLimits{2000, 300, 1000, kMaxAnswerBodyBytes};
    Script(R"([{"action": "hang"}])");
    try {
        Post();
        ADD_FAILURE() << "a server that never answers was accepted";
    } catch (const HttpError& error) {
        EXPECT_EQ(error.socket_code(), platform::kWsaTimedOut);
    }
}

TEST_F(HttpClientTest, CutoffSetByAnotherThreadEndsTheExchangeAtOnce) {
    // The server holds its answer; the limits would wait a minute, a stop's cut-off ends the wait.
    Cutoff cutoff;
    limits_ = HttpLimits{60000, 60000, 120000, kMaxAnswerBodyBytes, &cutoff};
    Script(R"([{"action": "hang"}])");
    SteadyClock::time_point cut;
    std::thread stop([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        cut = SteadyClock::now();
        cutoff.Set(cut);
    });
    const std::string words =
        "Exchange with 127.0.0.1:" + std::to_string(server_.port()) + " cut short by the service's stop";
    try {
        Post();
        ADD_FAILURE() << "the exchange outlived the cut-off";
    } catch (const HttpError& error) {
        EXPECT_EQ(error.what(), words);
    }
    const auto ended = SteadyClock::now();
    stop.join();
    EXPECT_LT(ended - cut, std::chrono::seconds(2));
    // After the cut-off nothing more is sent.
    EXPECT_THROW(Post(), HttpError);
    EXPECT_EQ(server_.RequestCount(CurrentTestName()), 1);
}

TEST_F(HttpClientTest, AnswerBeforeTheWholeBodyDecidesOnlyAFailure) {
    // The server answers from the request's head alone and closes: a refusal is the failure (not the broken
    // send), a success for a body it did not take is none. The body is larger than the sockets can buffer.
    Script(R"([{"action": "early", "status": 413, "reason": "Payload Too Large", "framing": "close"},
               {"action": "early", "body": "{}"}])");
    FormFields form(test::WorkedExampleMoment());
    form.AddField("data[big]", std::string(5 * 1024 * 1024, '=')); // 15 MiB on the wire
    try {
        Post(form);
        ADD_FAILURE() << "a refused upload was accepted";
    } catch (const HttpError& error) {
        EXPECT_EQ(error.what(),
                  "127.0.0.1:" + std::to_string(server_.port()) + " answered 413 Payload Too Large");
    }
    EXPECT_THROW(Post(form), HttpError);
}

TEST_F(HttpClientTest, ResetMidBodyFails) {
    Script(R"([{"action": "reset", "body": "{\"status\":\"SUCCESS\",\"data\":\"a long enough body\"}"}])");
    EXPECT_ANY_THROW(Post());
}

TEST_F(HttpClientTest, OversizedAnswerFails) {
    limits_ = HttpLimits{5000, 5000, 20000, 1000};
    Script(R"([{"body": ")" + std::string(1001, 'a') + R"("},
               {"body": ")" +
           std::string(5000, 'b') + R"(", "framing": "close"},
               {"body": ")" +
           std::string(1000, 'c') + R"("}])");
    EXPECT_THROW(Post(), HttpError);
    EXPECT_THROW(Post(), HttpError);
    EXPECT_EQ(Post().size(), 1000u);
}

TEST(HttpClientFailures, ConnectionErrorsAndRefusedUrls) {
    const HttpClient client = HttpClient::ForCredentials("u", "p");
    const auto failure = [&](const std::string& url) {
        try {
            client.PostForm(url, FormFields(test::WorkedExampleMoment()));
        } catch (const HttpError& error) {
            return std::make_pair(std::string(error.what()), error.socket_code());
        }
        return std::make_pair(std::string("(no failure)"), 0);
    };
    EXPECT_EQ(failure("http://127.0.0.1:1/app/index.php/x"),
              std::make_pair(std::string("Connection refused by 127.0.0.1:1"), 10061));
    EXPECT_EQ(failure("http://printer..invalid/app/"),
              std::make_pair(std::string("Host name not resolved: printer..invalid"), 11001));
    EXPECT_EQ(failure("https://127.0.0.1:1/app/").first, "Connection refused by 127.0.0.1:1");
    EXPECT_EQ(failure("http:///app/index.php/").first, "URL has no host");
}

} // namespace
} // namespace telva
