// The HTTP client and CallApi over TLS against real python3 TLS servers on loopback (tests/https/
// tls_server.py, started by a CTest fixture): a test CA and certificates for "localhost" made by the openssl
// command, a plain HTTP server, and a port that accepts and never answers.

#include "run_context.h"
#include "server/api_call.h"
#include "server/http_client.h"
#include "server/http_error.h"
#include "server/json.h"
#include "support/fake_clock.h"
#include "support/memory_log.h"
#include "tls_servers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace telva {
namespace {

using test::FailureOf;
using test::ReadBytes;
using test::ScenarioName;
using test::TlsServers;

const std::string kOk = R"([{"body": "{\"status\":\"SUCCESS\",\"data\":{\"n\":1},\"errors\":null}"}])";

class HttpsClient : public ::testing::Test {
protected:
    FormFields Form() const {
        FormFields form(test::WorkedExampleMoment());
        form.AddField("data[number]", "77");
        return form;
    }

    TlsServers servers_;
    HttpLimits limits_{5000, 5000, 20000, kMaxAnswerBodyBytes};
};

TEST_F(HttpsClient, UploadArrivesInsideTlsByteForByteAsOverHttp) {
    const std::string scenario = ScenarioName("");
    // The third answer spans many TLS records and comes in chunks.
    const std::string big_data(300000, 'y');
    const std::string ok = R"({"body": "{\"status\":\"SUCCESS\",\"data\":{\"n\":1},\"errors\":null}"})";
    servers_.Script(scenario, "[" + ok + "," + ok + R"(,{"framing": "chunked", "body": "{\"data\":\")" +
                                  big_data + R"(\"}"}])");
    FormFields form(test::WorkedExampleMoment());
    form.AddField("data[number]", "77");
    // Longer than one TLS record and than the client's send buffer, with bytes that need encoding.
    form.AddField("data[items][0][lco]", std::string(200000, 'x') + "\xc3\xa3=.\r\n.5 ");
    form.AddField("data[count]", "");
    const HttpClient client = HttpClient::ForSession("SID", "TK", limits_, servers_.CaFile());
    const std::string https_url = servers_.Url("https", "localhost", "good", scenario) + "u/";
    EXPECT_EQ(client.PostForm(https_url, form), R"({"status":"SUCCESS","data":{"n":1},"errors":null})");
    EXPECT_EQ(client.PostForm(servers_.Url("http", "127.0.0.1", "plain", scenario) + "u/", form),
              R"({"status":"SUCCESS","data":{"n":1},"errors":null})");

    const std::string secure = servers_.RawRequest(scenario, 1);
    const std::string plain = servers_.RawRequest(scenario, 2);
    const std::string head = client.RequestHead(https_url, form);
    ASSERT_EQ(secure.substr(0, head.size()), head);
    EXPECT_NE(head.find("\r\nHost: localhost:" + servers_.Port("good") + "\r\n"), std::string::npos);
    EXPECT_EQ(secure.substr(head.size()), plain.substr(plain.find("\r\n\r\n") + 4));
    EXPECT_EQ(secure.size() - head.size(), form.BodyLength());
    EXPECT_EQ(client.PostForm(https_url, form), "{\"data\":\"" + big_data + "\"}");
    // The host name went out for SNI.
    EXPECT_NE(ReadBytes(servers_.Path("sni.txt")).find("localhost\n"), std::string::npos);
}

TEST_F(HttpsClient, UnverifiedServersGetNothingAndTheFailureIsNamed) {
    const std::string scenario = ScenarioName("");
    servers_.Script(scenario, kOk);
    const FormFields form = Form();
    const HttpClient trusting = HttpClient::ForCredentials("user", "secret", limits_, servers_.CaFile());
    const HttpClient system_store_only = HttpClient::ForCredentials("user", "secret", limits_);
    const HttpClient missing_ca =
        HttpClient::ForCredentials("user", "secret", limits_, servers_.Path("no-such-ca.pem"));
    using Failure = std::pair<std::string, bool>;

    EXPECT_EQ(FailureOf([&] {
                  system_store_only.PostForm(servers_.Url("https", "localhost", "good", scenario), form);
              }),
              Failure("TLS: certificate not trusted (unknown issuer) for localhost", true));
    EXPECT_EQ(
        FailureOf([&] { trusting.PostForm(servers_.Url("https", "127.0.0.1", "good", scenario), form); }),
        Failure("TLS: certificate is not for the name 127.0.0.1", true));
    EXPECT_EQ(
        FailureOf([&] { trusting.PostForm(servers_.Url("https", "localhost", "expired", scenario), form); }),
        Failure("TLS: certificate expired for localhost", true));
    EXPECT_EQ(
        FailureOf([&] { trusting.PostForm(servers_.Url("https", "127.0.0.1", "plain", scenario), form); }),
        Failure("TLS: 127.0.0.1:" + servers_.Port("plain") + " does not speak TLS (plain HTTP?)", true));
    EXPECT_EQ(
        FailureOf([&] { missing_ca.PostForm(servers_.Url("https", "localhost", "good", scenario), form); }),
        Failure("TLS: cannot read CA certificates from " + servers_.Path("no-such-ca.pem"), true));
    // Not one request arrived, so the credentials never left the client.
    EXPECT_FALSE(servers_.Received(scenario, 1));
    // A refused connection is a socket failure as over plain HTTP.
    EXPECT_EQ(FailureOf([&] { trusting.PostForm("https://127.0.0.1:1/app/", form); }),
              Failure("Connection refused by 127.0.0.1:1", false));
}

TEST_F(HttpsClient, CertificateForAnAddressMatchesOnlyThatAddress) {
    const std::string scenario = ScenarioName("");
    servers_.Script(scenario, kOk);
    const HttpClient client = HttpClient::ForCredentials("user", "secret", limits_, servers_.CaFile());
    EXPECT_EQ(client.PostForm(servers_.Url("https", "127.0.0.1", "address", scenario), Form()),
              R"({"status":"SUCCESS","data":{"n":1},"errors":null})");
    EXPECT_EQ(
        FailureOf([&] { client.PostForm(servers_.Url("https", "localhost", "address", scenario), Form()); }),
        std::make_pair(std::string("TLS: certificate is not for the name localhost"), true));
    EXPECT_TRUE(servers_.Received(scenario, 1));
    EXPECT_FALSE(servers_.Received(scenario, 2));
}

// The CA file's certificate is trusted, not another of its name and serial number; a chain through a
// certificate without the right to issue, or through a CA limited to other names, is refused; a server
// asking for a client certificate it does not require is answered without one.
TEST_F(HttpsClient, TrustIsTheWholeCaCertificateAndAnOptionalClientCertificateIsLeftOut) {
    const std::string scenario = ScenarioName("");
    servers_.Script(scenario, kOk);
    const HttpClient client = HttpClient::ForCredentials("user", "secret", limits_, servers_.CaFile());
    const auto failure = [&](const char* server) {
        return FailureOf(
            [&] { client.PostForm(servers_.Url("https", "localhost", server, scenario), Form()); });
    };
    const auto [forged, tls] = failure("forged");
    EXPECT_TRUE(tls && forged.starts_with("TLS: certificate not trusted (")) << forged;
    EXPECT_EQ(failure("notca"),
              std::make_pair(std::string("TLS: certificate rejected (invalid CA certificate) for localhost"),
                             true));
    EXPECT_EQ(
        failure("constrained"),
        std::make_pair(std::string("TLS: certificate rejected (permitted subtree violation) for localhost"),
                       true));
    EXPECT_FALSE(servers_.Received(scenario, 1));
    EXPECT_EQ(client.PostForm(servers_.Url("https", "localhost", "optional", scenario), Form()),
              R"({"status":"SUCCESS","data":{"n":1},"errors":null})");
}

TEST_F(HttpsClient, HandshakeEndsWithTheConnectLimit) {
    const HttpClient client = HttpClient::ForCredentials(
        "user", "secret", HttpLimits{400, 5000, 20000, kMaxAnswerBodyBytes}, servers_.CaFile());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FailureOf([&] { client.PostForm(servers_.Url("https", "127.0.0.1", "silent", "x"), Form()); }),
              std::make_pair("TLS: no handshake with 127.0.0.1:" + servers_.Port("silent") +
                                 " within the time limit",
                             true));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}

TEST(HttpsCallApi, TlsFailureIsTheFirstLogLineAndCertificadoLetsTheCallThrough) {
    const TlsServers servers;
    const std::string scenario = ScenarioName("");
    servers.Script(scenario, kOk);
    test::FakeClock clock;
    test::MemoryLog log;
    RunContext context(clock, log);
    context.http_limits = HttpLimits{5000, 5000, 20000, kMaxAnswerBodyBytes};
    context.settings.base_url = servers.Url("https", "localhost", "good", scenario);
    context.session = {"SID", "TK"};

    EXPECT_EQ(CallApi(context, "p/", FormFields(clock.Now())).outcome, ApiOutcome::Failed);
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{"TLS: certificate not trusted (unknown issuer) for localhost",
                                        context.settings.base_url + "p/"}));
    EXPECT_FALSE(servers.Received(scenario, 1));

    context.settings.ca_file = servers.CaFile();
    const ApiAnswer answer = CallApi(context, "p/", FormFields(clock.Now()));
    ASSERT_EQ(answer.outcome, ApiOutcome::Success);
    EXPECT_EQ(ValueText(*FindMember(answer.data->root(), "n")), "1");
    EXPECT_EQ(log.Lines().size(), 2u);
    EXPECT_NE(servers.RawRequest(scenario, 1).find("\r\nZURMO_SESSION_ID: SID\r\n"), std::string::npos);
}

} // namespace
} // namespace telva
