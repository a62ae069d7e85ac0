// The HTTP client through real HTTP proxies (tinyproxy, started by a CTest fixture) to the python servers of
// tls_server.py: http in the proxy's absolute form, https through a CONNECT tunnel with the certificate
// verified as without a proxy, the proxies' refusals and, on Windows, the machine's WinHTTP proxy setting.

#include "server/http_client.h"
#include "server/proxy.h"
#include "support/fake_clock.h"
#include "support/proxies.h"
#include "tls_servers.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <string>

namespace telva {
namespace {

using test::FailureOf;
using test::ScenarioName;
using Failure = std::pair<std::string, bool>;

const std::string kOkAnswer = R"({"status":"SUCCESS","data":{"n":1},"errors":null})";
const std::string kOkScript = R"([{"body": "{\"status\":\"SUCCESS\",\"data\":{\"n\":1},\"errors\":null}"}])";

class ProxyCalls : public ::testing::Test {
protected:
    FormFields Form() const {
        FormFields form(test::WorkedExampleMoment());
        form.AddField("data[number]", "77");
        form.AddField("data[items][0][lco]", "S\xC3\xA3o\r\n.5 " + std::string(100000, 'x'));
        return form;
    }
    HttpClient Client(const std::string& proxy, const std::string& ca_file = {}) const {
        return HttpClient::ForSession("SID", "TK", limits_, ca_file, ParseProxySetting(proxy));
    }
    std::string Refused(const std::string& proxy, const std::string& answer) const {
        return "Proxy " + proxy + " refused: " + answer;
    }

    test::TlsServers servers_;
    test::Proxies proxies_;
    HttpLimits limits_{5000, 5000, 20000, kMaxAnswerBodyBytes};
};

TEST_F(ProxyCalls, HttpGoesToTheProxyAsAnAbsoluteUriWithItsCredentials) {
    const std::string scenario = ScenarioName("");
    servers_.Script(scenario, kOkScript);
    const FormFields form = Form();
    const std::string host = "127.0.0.1:" + servers_.Port("plain");
    const std::string url = "http://" + host + "/" + scenario + "/app/index.php/u/";

    // Byte for byte as a proxy receives it (the scripted server stands in for one): only the request line
    // and the proxy's own line differ from the direct request; user and password are percent-decoded.
    const HttpClient to_proxy = Client("http://us%65r:p%40ss:w@" + host);
    EXPECT_EQ(to_proxy.PostForm(url, form), kOkAnswer);
    std::string expected = HttpClient::ForSession("SID", "TK", limits_).RequestHead(url, form);
    expected.replace(0, expected.find(' ') + 1, "POST http://" + host);
    expected.insert(expected.find("Host: "), "Proxy-Authorization: Basic dXNlcjpwQHNzOnc=\r\n");
    EXPECT_EQ(to_proxy.RequestHead(url, form), expected);
    EXPECT_EQ(servers_.RawRequest(scenario, 1), expected + form.Body());

    // Through tinyproxy, without and with credentials: the answer comes back and the form arrives whole.
    const std::string credentials = proxies_.user + ":" + proxies_.password + "@";
    int number = 1;
    for (const std::string& proxy : {proxies_.open, "http://" + credentials + proxies_.auth + "/"}) {
        SCOPED_TRACE(proxy);
        EXPECT_EQ(Client(proxy).PostForm(url, form), kOkAnswer);
        const std::string raw = servers_.RawRequest(scenario, ++number);
        EXPECT_NE(raw.find("\r\nVia: "), std::string::npos) << "not through the proxy";
        EXPECT_EQ(raw.substr(raw.find("\r\n\r\n") + 4), form.Body());
    }
    // Without its credentials: the proxy's 407, and nothing reached the server.
    EXPECT_EQ(FailureOf([&] { Client(proxies_.auth).PostForm(url, form); }),
              Failure(Refused(proxies_.auth, "407 Proxy Authentication Required"), false));
    EXPECT_FALSE(servers_.Received(scenario, number + 1));
}

TEST_F(ProxyCalls, HttpsGoesThroughATunnelAndIsVerifiedAsWithoutAProxy) {
    const std::string scenario = ScenarioName("");
    servers_.Script(scenario, kOkScript);
    const FormFields form = Form();
    const std::string url = servers_.Url("https", "localhost", "good", scenario) + "u/";
    const std::string credentials = proxies_.user + ":" + proxies_.password + "@";

    const HttpClient open = Client(proxies_.open, servers_.CaFile());
    EXPECT_EQ(open.PostForm(url, form), kOkAnswer);
    // Inside the tunnel the request is the direct one, byte for byte: the proxy saw none of it.
    EXPECT_EQ(servers_.RawRequest(scenario, 1), open.RequestHead(url, form) + form.Body());
    EXPECT_EQ(open.RequestHead(url, form),
              HttpClient::ForSession("SID", "TK", limits_).RequestHead(url, form));
    EXPECT_NE(proxies_.Log("open.log").find("CONNECT localhost:" + servers_.Port("good") + " HTTP/1.1"),
              std::string::npos);
    EXPECT_EQ(Client("http://" + credentials + proxies_.auth, servers_.CaFile()).PostForm(url, form),
              kOkAnswer);

    // The certificate is checked as without a proxy, and the refusals name the proxy and its answer.
    const std::string wrong_name = servers_.Url("https", "127.0.0.1", "good", scenario) + "u/";
    EXPECT_EQ(FailureOf([&] { open.PostForm(wrong_name, form); }),
              Failure("TLS: certificate is not for the name 127.0.0.1", true));
    EXPECT_EQ(FailureOf([&] { Client(proxies_.open).PostForm(url, form); }),
              Failure("TLS: certificate not trusted (unknown issuer) for localhost", true));
    EXPECT_EQ(FailureOf([&] { Client(proxies_.auth, servers_.CaFile()).PostForm(url, form); }),
              Failure(Refused(proxies_.auth, "407 Proxy Authentication Required"), false));
    EXPECT_EQ(FailureOf([&] { open.PostForm("https://127.0.0.1:1/app/", form); }),
              Failure(Refused(proxies_.open, "500 Unable to connect"), false));
    EXPECT_FALSE(servers_.Received(scenario, 3));
    // A proxy that is not there, and one that never answers CONNECT: the connect limit covers the tunnel.
    EXPECT_EQ(FailureOf([&] { Client("127.0.0.1:1", servers_.CaFile()).PostForm(url, form); }),
              Failure("Connection refused by proxy 127.0.0.1:1", false));
    limits_.connect_ms = 400;
    const std::string silent = "127.0.0.1:" + servers_.Port("silent");
    EXPECT_EQ(FailureOf([&] { Client(silent, servers_.CaFile()).PostForm(url, form); }),
              Failure("No tunnel through proxy " + silent + " within 0.4 s", false));
}

#ifdef _WIN32
// The machine's WinHTTP proxy setting, in the registry value where `netsh winhttp set proxy` keeps it (the
// layout WinHTTP reads: a header, then the proxy list and the bypass list, each a length and its bytes);
// removed again at the end.
class WinHttpSetting {
public:
    WinHttpSetting() {
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key_, nullptr);
    }
    ~WinHttpSetting() {
        RegDeleteValueW(key_, L"WinHttpSettings");
        RegCloseKey(key_);
    }
    void Write(const std::string& proxies, const std::string& bypass) {
        std::string value;
        for (const std::uint32_t word : {0x18u, 0u, 3u}) {
            value.append(reinterpret_cast<const char*>(&word), 4);
        }
        for (const std::string& text : {proxies, bypass}) {
            const auto length = static_cast<std::uint32_t>(text.size());
            value.append(reinterpret_cast<const char*>(&length), 4).append(text);
        }
        ASSERT_EQ(RegSetValueExW(key_, L"WinHttpSettings", 0, REG_BINARY,
                                 reinterpret_cast<const BYTE*>(value.data()),
                                 static_cast<DWORD>(value.size())),
                  ERROR_SUCCESS);
    }

private:
    static constexpr const wchar_t* kKey =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
    HKEY key_ = nullptr;
};

TEST_F(ProxyCalls, SystemSettingIsWinHttpsWithItsBypassList) {
    const std::string scenario = ScenarioName("");
    servers_.Script(scenario, kOkScript);
    const FormFields form = Form();
    const std::string http_url = servers_.Url("http", "127.0.0.1", "plain", scenario) + "u/";
    const std::string https_url = servers_.Url("https", "localhost", "good", scenario) + "u/";
    const HttpClient system = Client("system", servers_.CaFile());
    WinHttpSetting setting;

    // One proxy for all, except for the bypass list: 127.0.0.1 goes to the proxy that asks for
    // credentials (and is refused without them), localhost directly.
    setting.Write(proxies_.auth, "<local>;LocalHost");
    EXPECT_EQ(ProxyInEffect(ParseProxySetting("system")),
              "system: " + proxies_.auth + ", not for <local>;LocalHost");
    EXPECT_EQ(FailureOf([&] { system.PostForm(http_url, form); }),
              Failure(Refused(proxies_.auth, "407 Proxy Authentication Required"), false));
    EXPECT_EQ(system.PostForm(https_url, form), kOkAnswer);

    // A proxy for https only: http goes directly, https through the tunnel.
    setting.Write("https=" + proxies_.open, "");
    EXPECT_EQ(system.PostForm(http_url, form), kOkAnswer);
    EXPECT_EQ(servers_.RawRequest(scenario, 2).find("\r\nVia: "), std::string::npos);
    const std::size_t logged = proxies_.Log("open.log").size();
    EXPECT_EQ(system.PostForm(https_url, form), kOkAnswer);
    EXPECT_NE(proxies_.Log("open.log").find("CONNECT localhost:" + servers_.Port("good"), logged),
              std::string::npos);
}
#endif

} // namespace
} // namespace telva
