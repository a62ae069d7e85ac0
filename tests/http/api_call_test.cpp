// CallApi, its re-login and the four endpoints against a real HTTP server process, with the daily log
// read back line by line.

#include "commons/api_call.h"
#include "commons/api_endpoints.h"
#include "commons/daily_log.h"
#include "commons/http_client.h"
#include "commons/process_records.h"

#include "scripted_server.h"

#include <gtest/gtest.h>

namespace telva {
namespace {

using testing::CurrentTestName;
using testing::ScriptedServer;

const std::string kOk = R"({"body": "{\"status\":\"SUCCESS\",\"data\":{\"n\":1},\"errors\":null}"})";
const std::string kExpired =
    R"({"body": "{\"status\":\"FAILURE\",\"data\":{\"list\":[1,[\"x\",\"Sign in required\"]]},\"errors\":null}"})";
const std::string kLoginOk =
    R"({"body": "{\"status\":\"SUCCESS\",\"data\":{\"sessionId\":\"NEW\",\"token\":\"TK\"},\"errors\":[]}"})";
const std::string kServerError = R"({"status": 500, "reason": "Server Error", "body": "{}"})";

class CallApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_directory_ = testing::MakeTempDirectory("telva-log-");
        SetLogDirectory(log_directory_.string() + "/");
        SetHttpLimits(HttpLimits{5000, 5000, 20000, kMaxAnswerBodyBytes});
        AuditSettings.BaseUrl = server_.BaseUrl(CurrentTestName());
        AuditSettings.UserName = "user";
        AuditSettings.Password = "pw";
        ApiSession = {"OLD", "OLDTOKEN"};
    }
    void TearDown() override {
        SetLogDirectory("");
        SetHttpLimits(HttpLimits{});
        AuditSettings = {};
        ApiSession = {};
        std::filesystem::remove_all(log_directory_);
    }

    void Script(const std::vector<std::string>& answers) const {
        std::string list = "[";
        for (const std::string& answer : answers) {
            list += (list.size() > 1 ? "," : "") + answer;
        }
        server_.Script(CurrentTestName(), list + "]");
    }

    // The messages of the log lines written so far, without their time stamps.
    std::vector<std::string> LogLines() const {
        std::vector<std::string> messages;
        for (const auto& entry : std::filesystem::directory_iterator(log_directory_)) {
            const std::string text = testing::ReadFileBytes(entry.path());
            std::size_t start = 0;
            for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
                messages.push_back(text.substr(start + 20, end - start - 20)); // "dd/mm/yyyy hh:nn:ss "
            }
        }
        return messages;
    }

    int Requests() const { return server_.RequestCount(CurrentTestName()); }
    std::string Target(int number) const {
        return std::string(FindMember(server_.Record(CurrentTestName(), number).root(), "target")->text());
    }
    std::string RawRequest(int number) const { return server_.RawRequest(CurrentTestName(), number); }
    std::string Url(std::string_view path) const { return AuditSettings.BaseUrl + std::string(path); }

    ScriptedServer server_;
    std::filesystem::path log_directory_;
};

std::string Answer(const std::string& envelope) {
    std::string escaped;
    for (const char c : envelope) {
        if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
        }
    }
    return R"({"body": ")" + escaped + R"("})";
}

TEST_F(CallApiTest, EnvelopeRules) {
    Script({kOk, Answer(R"({"status":"SUCCESS","data":null,"errors":[]})"),
            Answer(R"({"status":"success","data":1,"errors":[]})"),
            Answer(R"({"status":"FAIL","status":"SUCCESS","data":1,"errors":[]})"),
            Answer(R"({"status":"SUCCESS","data":1})"),
            Answer("{\"status\":\"SUCCESS\",\"data\":1,\"errors\":0}\n"),
            Answer(R"({"status":"SUCCESS","data":1,"errors":0}{})")});
    const auto ok = CallApi("a/", FormFields());
    ASSERT_TRUE(ok);
    EXPECT_EQ(ValueText(*FindMember(ok->root(), "n")), "1");
    const auto null_data = CallApi("b/", FormFields());
    ASSERT_TRUE(null_data);
    EXPECT_TRUE(null_data->root().IsNull());
    EXPECT_FALSE(CallApi("c/", FormFields())); // lower-case status: none, no log line
    EXPECT_FALSE(CallApi("d/", FormFields())); // only the first "status" counts
    EXPECT_EQ(LogLines().size(), 0u);
    EXPECT_FALSE(CallApi("e/", FormFields())); // no "errors": a failed exchange
    EXPECT_EQ(LogLines(), (std::vector<std::string>{R"({"status":"SUCCESS","data":1})", Url("e/")}));
    EXPECT_TRUE(CallApi("f/", FormFields())); // a line break after the object is whitespace
    EXPECT_FALSE(CallApi("g/", FormFields()));
    EXPECT_EQ(LogLines().size(), 4u);
    EXPECT_EQ(Requests(), 7);
    EXPECT_EQ(ApiSession.SessionId, "OLD");
}

TEST_F(CallApiTest, FailedExchangesLogAnEmptyAnswerAndTheUrl) {
    Script({R"({"status": 500, "reason": "Server Error",
                "body": "{\"status\":\"SUCCESS\",\"data\":1,\"errors\":null}"})",
            R"({"status": 302, "reason": "Found", "headers": [["Location", "/x/"]]})",
            R"({"status": 204, "reason": "No Content", "headers": []})", R"({"body": "not json"})", kOk});
    EXPECT_FALSE(CallApi("p/", FormFields()));
    EXPECT_FALSE(CallApi("q/", FormFields()));
    EXPECT_FALSE(CallApi("r/", FormFields()));
    EXPECT_FALSE(CallApi("s/", FormFields()));
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{"", Url("p/"), "", Url("q/"), "", Url("r/"), "not json", Url("s/")}));
    // Nothing of the failed exchanges remains: the next call is a complete request.
    EXPECT_TRUE(CallApi("t/", FormFields()));
    EXPECT_EQ(Requests(), 5);
    AuditSettings.BaseUrl = "https://127.0.0.1/app/index.php/";
    EXPECT_FALSE(CallApi("u/", FormFields()));
    EXPECT_EQ(LogLines().back(), "https://127.0.0.1/app/index.php/u/");
}

TEST_F(CallApiTest, AnswerIsReducedToAsciiBeforeParsing) {
    Script(
        {R"({"body": "{\"status\":\"SUCCESS\",\"data\":{\"raw\":\"S\u00e3o\",\"escaped\":\"S\\u00e3o\"},\"errors\":0}",
                "headers": [["Content-Type", "application/json; charset=utf-8"]]})"});
    const auto data = CallApi("x/", FormFields());
    ASSERT_TRUE(data);
    EXPECT_EQ(FindMember(data->root(), "raw")->text(), "Sao");
    EXPECT_EQ(FindMember(data->root(), "escaped")->text(), "S\xC3\xA3o");
}

TEST_F(CallApiTest, ExpiredSessionLogsInOnceAndRepeatsTheSameForm) {
    Script({kExpired, kLoginOk, kOk});
    const auto data = FetchItemData("C-77");
    ASSERT_TRUE(data);
    EXPECT_EQ(ValueText(*FindMember(data->root(), "n")), "1");
    ASSERT_EQ(Requests(), 3);
    EXPECT_EQ(Target(2), "/" + CurrentTestName() + "/app/index.php/zurmo/api/login");
    EXPECT_NE(RawRequest(1).find("\r\nZURMO_SESSION_ID: OLD\r\nZURMO_TOKEN: OLDTOKEN\r\n"),
              std::string::npos);
    EXPECT_NE(RawRequest(2).find("\r\nZURMO_AUTH_USERNAME: user\r\nZURMO_AUTH_PASSWORD: pw\r\n"),
              std::string::npos);
    EXPECT_NE(RawRequest(3).find("\r\nZURMO_SESSION_ID: NEW\r\nZURMO_TOKEN: TK\r\n"), std::string::npos);
    // The same form both times: same body, same boundary; only the custom lines differ.
    const std::string first = RawRequest(1);
    const std::string repeat = RawRequest(3);
    EXPECT_EQ(first.substr(first.find("\r\n\r\n")), repeat.substr(repeat.find("\r\n\r\n")));
    EXPECT_EQ(LogLines(), std::vector<std::string>{"Login TELVA ok"});
    EXPECT_EQ(ApiSession.SessionId, "NEW");
}

TEST_F(CallApiTest, PhraseInLowerCaseStartsNoReLogin) {
    Script({Answer(R"({"status":"FAIL","data":["sign in required"],"errors":0})")});
    EXPECT_FALSE(CallApi("x/", FormFields()));
    EXPECT_EQ(Requests(), 1);
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(CallApiTest, PhraseInTheReLoginsOwnAnswerStartsNoSecondReLogin) {
    Script({kExpired, Answer(R"({"status":"FAIL","data":"Sign in required","errors":0})"), kOk});
    EXPECT_FALSE(CallApi("x/", FormFields()));
    EXPECT_EQ(Requests(), 2); // the login failed: no re-post, the first answer is evaluated
    EXPECT_TRUE(LogLines().empty());
    EXPECT_EQ(ApiSession.SessionId, "");
    EXPECT_EQ(ApiSession.Token, "");
}

TEST_F(CallApiTest, LoginAnsweredWithThePhraseLogsInTwice) {
    ApiSession = {};
    Script(
        {Answer(
             R"({"status":"SUCCESS","data":{"sessionId":"A","token":"B","note":"Sign in required"},"errors":0})"),
         Answer(
             R"({"status":"SUCCESS","data":{"sessionId":"S2","token":"T2","x":"Sign in required"},"errors":0})"),
         Answer(R"({"status":"SUCCESS","data":{"sessionId":"S3","token":"T3"},"errors":0})")});
    EXPECT_TRUE(ApiLogin());
    EXPECT_EQ(Requests(), 3);
    EXPECT_NE(RawRequest(3).find("\r\nZURMO_SESSION_ID: S2\r\n"), std::string::npos);
    EXPECT_EQ(ApiSession.SessionId, "S3");
    EXPECT_EQ(ApiSession.Token, "T3");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Login TELVA ok", "Login TELVA ok"}));
}

TEST_F(CallApiTest, FailedReLoginEvaluatesTheFirstAnswer) {
    Script({Answer(R"({"status":"SUCCESS","data":"kept","errors":0,"m":"Sign in required"})"), kServerError});
    const auto data = CallApi("x/", FormFields());
    ASSERT_TRUE(data);
    EXPECT_EQ(data->root().text(), "kept");
    EXPECT_EQ(Requests(), 2);
    // The login's own failed exchange leaves its two lines.
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"", Url("zurmo/api/login")}));
}

TEST_F(CallApiTest, FailedRePostLogsTheLastAnswerThatArrived) {
    Script({kExpired, kLoginOk, kServerError});
    EXPECT_FALSE(CallApi("x/", FormFields()));
    const std::string first =
        R"({"status":"FAILURE","data":{"list":[1,["x","Sign in required"]]},"errors":null})";
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Login TELVA ok", first, Url("x/")}));
    EXPECT_EQ(ApiSession.SessionId, "NEW");
}

TEST_F(CallApiTest, RePostWithUnreadableAnswerLogsThatAnswer) {
    Script({kExpired, kLoginOk, R"({"body": "<html>oops</html>"})"});
    EXPECT_FALSE(CallApi("x/", FormFields()));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Login TELVA ok", "<html>oops</html>", Url("x/")}));
    EXPECT_EQ(Requests(), 3);
}

TEST_F(CallApiTest, LoginReadsSessionThroughValueText) {
    ApiSession = {};
    Script({Answer(R"({"status":"SUCCESS","data":{"sessionId":12345,"token":"t"},"errors":0})"),
            Answer(R"({"status":"SUCCESS","data":{"sessionId":null,"token":"t"},"errors":0})"),
            Answer(R"({"status":"SUCCESS","data":null,"errors":0})"),
            Answer(R"({"status":"SUCCESS","data":{"sessionId":"s"},"errors":0})"),
            Answer(R"({"status":"SUCCESS","data":{"sessionId":1e400,"token":"t"},"errors":0})")});
    EXPECT_TRUE(ApiLogin());
    EXPECT_EQ(ApiSession.SessionId, "12345");
    EXPECT_TRUE(ApiLogin());
    EXPECT_EQ(ApiSession.SessionId, "");
    EXPECT_EQ(ApiSession.Token, "t");
    ApiSession = {"", "stale"};
    EXPECT_FALSE(ApiLogin());
    EXPECT_EQ(ApiSession.Token, "");
    EXPECT_FALSE(ApiLogin());
    EXPECT_FALSE(ApiLogin());
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Login TELVA ok", "Login TELVA ok"}));
    EXPECT_EQ(Target(1), "/" + CurrentTestName() + "/app/index.php/zurmo/api/login");
}

TEST_F(CallApiTest, LogoutClearsTheSessionWhateverTheServerSays) {
    Script({Answer(R"({"status":"REFUSED","data":null,"errors":["no"]})")});
    EXPECT_TRUE(ApiLogout());
    EXPECT_EQ(ApiSession.SessionId, "");
    EXPECT_EQ(ApiSession.Token, "");
    EXPECT_EQ(LogLines(), std::vector<std::string>{"Logout TELVA ok"});
    EXPECT_EQ(Target(1), "/" + CurrentTestName() + "/app/index.php/zurmo/api/logout");
    EXPECT_NE(RawRequest(1).find("\r\nZURMO_SESSION_ID: OLD\r\n"), std::string::npos);
    EXPECT_NE(RawRequest(1).find("\r\nContent-Length: 0\r\n"), std::string::npos);
}

TEST_F(CallApiTest, FetchAndUpdateSendTheirPathsAndForms) {
    Script({kOk, kOk});
    EXPECT_TRUE(FetchItemData(""));
    FormFields upload;
    upload.AddField("data[items][0][lco]", "100");
    upload.AddField("data[count]", "1");
    upload.AddField("data[number]", "C-1");
    EXPECT_TRUE(UpdateItemData(upload));
    EXPECT_EQ(Target(1),
              "/" + CurrentTestName() + "/app/index.php/contractItems/contractItem/api/fetchItemData/");
    EXPECT_EQ(Target(2),
              "/" + CurrentTestName() + "/app/index.php/contractItems/contractItem/api/updateItemData/");
    const JsonDocument fetch = server_.Record(CurrentTestName(), 1);
    const auto fetch_fields = FindMember(fetch.root(), "fields")->items();
    ASSERT_EQ(fetch_fields.size(), 1u);
    EXPECT_EQ(fetch_fields[0].items()[0].text(), "data[number]");
    EXPECT_EQ(fetch_fields[0].items()[1].text(), "");
    const JsonDocument update = server_.Record(CurrentTestName(), 2);
    const auto update_fields = FindMember(update.root(), "fields")->items();
    ASSERT_EQ(update_fields.size(), 3u);
    EXPECT_EQ(update_fields[2].items()[1].text(), "C-1");
}

} // namespace
} // namespace telva
