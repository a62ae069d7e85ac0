// CallApi, its re-login and the four endpoints against a real HTTP server process, with the daily log
// read back line by line.

#include "server/api_call.h"
#include "server/api_endpoints.h"
#include "server/http_client.h"
#include "site/daily_log.h"
#include "support/fake_clock.h"

#include "scripted_server.h"

#include <gtest/gtest.h>

namespace telva {
namespace {

using test::CurrentTestName;
using test::ScriptedServer;

const std::string kOk = R"({"body": "{\"status\":\"SUCCESS\",\"data\":{\"n\":1},\"errors\":null}"})";
const std::string kExpired =
    R"({"body": "{\"status\":\"FAILURE\",\"data\":{\"list\":[1,[\"x\",\"Sign in required\"]]},\"errors\":null}"})";
const std::string kLoginOk =
    R"({"body": "{\"status\":\"SUCCESS\",\"data\":{\"sessionId\":\"NEW\",\"token\":\"TK\"},\"errors\":[]}"})";
const std::string kServerError = R"({"status": 500, "reason": "Server Error", "body": "{}"})";

class CallApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        context_.http_limits = HttpLimits{5000, 5000, 20000, kMaxAnswerBodyBytes};
        context_.settings.base_url = server_.BaseUrl(CurrentTestName());
        context_.settings.user_name = "user";
        context_.settings.password = "pw";
        context_.session = {"OLD", "OLDTOKEN"};
    }
    void TearDown() override { std::filesystem::remove_all(log_directory_); }

    FormFields Form() { return FormFields(clock_.Now()); }

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
            const std::string text = test::ReadFileBytes(entry.path());
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
    std::string Url(std::string_view path) const { return context_.settings.base_url + std::string(path); }

    ScriptedServer server_;
    std::filesystem::path log_directory_ = test::MakeTempDirectory("telva-log-");
    test::FakeClock clock_;
    DailyLog log_{log_directory_.string() + "/", clock_};
    RunContext context_{clock_, log_};
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
    const auto ok = CallApi(context_, "a/", Form()).data;
    ASSERT_TRUE(ok);
    EXPECT_EQ(ValueText(*FindMember(ok->root(), "n")), "1");
    const auto null_data = CallApi(context_, "b/", Form()).data;
    ASSERT_TRUE(null_data);
    EXPECT_TRUE(null_data->root().IsNull());
    EXPECT_FALSE(CallApi(context_, "c/", Form()).data); // lower-case status: none, no log line
    EXPECT_FALSE(CallApi(context_, "d/", Form()).data); // only the first "status" counts
    EXPECT_EQ(LogLines().size(), 0u);
    EXPECT_FALSE(CallApi(context_, "e/", Form()).data); // no "errors": a failed exchange
    EXPECT_EQ(LogLines(), (std::vector<std::string>{R"({"status":"SUCCESS","data":1})", Url("e/")}));
    EXPECT_TRUE(CallApi(context_, "f/", Form()).data); // a line break after the object is whitespace
    EXPECT_FALSE(CallApi(context_, "g/", Form()).data);
    EXPECT_EQ(LogLines().size(), 4u);
    EXPECT_EQ(Requests(), 7);
    EXPECT_EQ(context_.session.session_id, "OLD");
}

TEST_F(CallApiTest, OutcomeTellsSuccessRefusalAndFailureApart) {
    Script({kOk, Answer(R"({"status":"FAILURE","data":null,"errors":["Contract not found",{"code":42}]})"),
            Answer(R"({"status":"FAILURE","data":null,"errors":null})"), R"({"body": "not json"})"});
    EXPECT_EQ(CallApi(context_, "a/", Form()).outcome, ApiOutcome::Success);
    const ApiAnswer refused = CallApi(context_, "b/", Form());
    EXPECT_EQ(refused.outcome, ApiOutcome::Refused);
    EXPECT_FALSE(refused.data);
    EXPECT_EQ(refused.refusal, "FAILURE: Contract not found; 42");
    EXPECT_EQ(CallApi(context_, "c/", Form()).refusal, "FAILURE");
    const ApiAnswer failed = CallApi(context_, "d/", Form());
    EXPECT_EQ(failed.outcome, ApiOutcome::Failed);
    EXPECT_EQ(failed.refusal, "");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"not json", Url("d/")})); // only the failure is logged
}

TEST_F(CallApiTest, FailedExchangesLogWhyAndTheUrl) {
    Script({R"({"status": 500, "reason": "Server Error",
                "body": "{\"status\":\"SUCCESS\",\"data\":1,\"errors\":null}"})",
            R"({"status": 302, "reason": "Found\u001b[2J", "headers": [["Location", "/x/"]]})",
            R"({"status": 204, "reason": "No Content", "headers": []})", R"({"body": "not json"})",
            R"({"body": "<b>oops</b>\r\n01/01/2001 00:00:00 Audit summary\u001a"})", kOk});
    EXPECT_FALSE(CallApi(context_, "p/", Form()).data);
    EXPECT_FALSE(CallApi(context_, "q/", Form()).data);
    EXPECT_FALSE(CallApi(context_, "r/", Form()).data);
    EXPECT_FALSE(CallApi(context_, "s/", Form()).data);
    EXPECT_FALSE(CallApi(context_, "t/", Form()).data);
    const std::string server = "127.0.0.1:" + std::to_string(server_.port());
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{server + " answered 500 Server Error", Url("p/"),
                                        server + " answered 302 Found [2J", Url("q/"),
                                        "Empty answer from the server", Url("r/"), "not json", Url("s/"),
                                        "<b>oops</b>  01/01/2001 00:00:00 Audit summary ", Url("t/")}));
    // Nothing of the failed exchanges remains: the next call is a complete request.
    EXPECT_TRUE(CallApi(context_, "u/", Form()).data);
    EXPECT_EQ(Requests(), 6);

    // No answer at all: the words of the failure, which the console is given too.
    context_.http_limits = HttpLimits{5000, 300, 5000, kMaxAnswerBodyBytes};
    Script({R"({"action": "hang"})"});
    const std::vector<std::pair<std::string, std::string>> failures = {
        {"https://127.0.0.1:1/app/index.php/", "Connection refused by 127.0.0.1:1"},
        {"http://printer..invalid/app/index.php/", "Host name not resolved: printer..invalid"},
        {context_.settings.base_url, "No answer within 0.3 s from " + server},
    };
    for (const auto& [base_url, words] : failures) {
        context_.settings.base_url = base_url;
        EXPECT_EQ(CallApi(context_, "v/", Form()).failure, words);
        EXPECT_EQ(LogLines().end()[-2], words);
        EXPECT_EQ(LogLines().back(), base_url + "v/");
    }
}

TEST_F(CallApiTest, AnswerIsReducedToAsciiBeforeParsing) {
    Script(
        {R"({"body": "{\"status\":\"SUCCESS\",\"data\":{\"raw\":\"S\u00e3o\",\"escaped\":\"S\\u00e3o\"},\"errors\":0}",
                "headers": [["Content-Type", "application/json; charset=utf-8"]]})"});
    const auto data = CallApi(context_, "x/", Form()).data;
    ASSERT_TRUE(data);
    EXPECT_EQ(FindMember(data->root(), "raw")->text(), "Sao");
    EXPECT_EQ(FindMember(data->root(), "escaped")->text(), "S\xC3\xA3o");
}

TEST_F(CallApiTest, ExpiredSessionLogsInOnceAndRepeatsTheSameForm) {
    Script({kExpired, kLoginOk, kOk});
    const auto data = FetchItemData(context_, "C-77").data;
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
    EXPECT_EQ(context_.session.session_id, "NEW");
}

TEST_F(CallApiTest, PhraseInLowerCaseStartsNoReLogin) {
    Script({Answer(R"({"status":"FAIL","data":["sign in required"],"errors":0})")});
    EXPECT_FALSE(CallApi(context_, "x/", Form()).data);
    EXPECT_EQ(Requests(), 1);
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(CallApiTest, PhraseInTheReLoginsOwnAnswerStartsNoSecondReLogin) {
    Script({kExpired, Answer(R"({"status":"FAIL","data":"Sign in required","errors":0})"), kOk});
    EXPECT_FALSE(CallApi(context_, "x/", Form()).data);
    EXPECT_EQ(Requests(), 2); // the login failed: no re-post, the first answer is evaluated
    EXPECT_TRUE(LogLines().empty());
    EXPECT_EQ(context_.session.session_id, "");
    EXPECT_EQ(context_.session.token, "");
}

TEST_F(CallApiTest, LoginAnsweredWithThePhraseLogsInTwice) {
    context_.session = {};
    Script(
        {Answer(
             R"({"status":"SUCCESS","data":{"sessionId":"A","token":"B","note":"Sign in required"},"errors":0})"),
         Answer(
             R"({"status":"SUCCESS","data":{"sessionId":"S2","token":"T2","x":"Sign in required"},"errors":0})"),
         Answer(R"({"status":"SUCCESS","data":{"sessionId":"S3","token":"T3"},"errors":0})")});
    EXPECT_TRUE(LogIn(context_).succeeded());
    EXPECT_EQ(Requests(), 3);
    EXPECT_NE(RawRequest(3).find("\r\nZURMO_SESSION_ID: S2\r\n"), std::string::npos);
    EXPECT_EQ(context_.session.session_id, "S3");
    EXPECT_EQ(context_.session.token, "T3");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Login TELVA ok", "Login TELVA ok"}));
}

TEST_F(CallApiTest, FailedReLoginEvaluatesTheFirstAnswer) {
    Script({Answer(R"({"status":"SUCCESS","data":"kept","errors":0,"m":"Sign in required"})"), kServerError});
    const auto data = CallApi(context_, "x/", Form()).data;
    ASSERT_TRUE(data);
    EXPECT_EQ(data->root().text(), "kept");
    EXPECT_EQ(Requests(), 2);
    // The login's own failed exchange leaves its two lines.
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"127.0.0.1:" + std::to_string(server_.port()) +
                                                        " answered 500 Server Error",
                                                    Url("zurmo/api/login")}));
}

TEST_F(CallApiTest, FailedRePostLogsTheLastAnswerThatArrived) {
    Script({kExpired, kLoginOk, kServerError});
    EXPECT_FALSE(CallApi(context_, "x/", Form()).data);
    const std::string first =
        R"({"status":"FAILURE","data":{"list":[1,["x","Sign in required"]]},"errors":null})";
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Login TELVA ok", first, Url("x/")}));
    EXPECT_EQ(context_.session.session_id, "NEW");
}

TEST_F(CallApiTest, RePostWithUnreadableAnswerLogsThatAnswer) {
    Script({kExpired, kLoginOk, R"({"body": "<html>oops</html>"})"});
    EXPECT_FALSE(CallApi(context_, "x/", Form()).data);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Login TELVA ok", "<html>oops</html>", Url("x/")}));
    EXPECT_EQ(Requests(), 3);
}

TEST_F(CallApiTest, LoginReadsSessionThroughValueText) {
    context_.session = {};
    Script({Answer(R"({"status":"SUCCESS","data":{"sessionId":12345,"token":"t"},"errors":0})"),
            Answer(R"({"status":"SUCCESS","data":{"sessionId":null,"token":"t"},"errors":0})"),
            Answer(R"({"status":"SUCCESS","data":null,"errors":0})"),
            Answer(R"({"status":"SUCCESS","data":{"sessionId":"s"},"errors":0})"),
            Answer(R"({"status":"SUCCESS","data":{"sessionId":1e400,"token":"t"},"errors":0})")});
    EXPECT_TRUE(LogIn(context_).succeeded());
    EXPECT_EQ(context_.session.session_id, "12345");
    EXPECT_TRUE(LogIn(context_).succeeded());
    EXPECT_EQ(context_.session.session_id, "");
    EXPECT_EQ(context_.session.token, "t");
    context_.session = {"", "stale"};
    EXPECT_FALSE(LogIn(context_).succeeded());
    EXPECT_EQ(context_.session.token, "");
    EXPECT_FALSE(LogIn(context_).succeeded());
    EXPECT_FALSE(LogIn(context_).succeeded());
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Login TELVA ok", "Login TELVA ok"}));
    EXPECT_EQ(Target(1), "/" + CurrentTestName() + "/app/index.php/zurmo/api/login");
}

TEST_F(CallApiTest, LogoutClearsTheSessionWhateverTheServerSays) {
    Script({Answer(R"({"status":"REFUSED","data":null,"errors":["no"]})")});
    EXPECT_EQ(LogOut(context_).outcome, ApiOutcome::Refused);
    EXPECT_EQ(context_.session.session_id, "");
    EXPECT_EQ(context_.session.token, "");
    EXPECT_EQ(LogLines(), std::vector<std::string>{"Logout TELVA ok"});
    EXPECT_EQ(Target(1), "/" + CurrentTestName() + "/app/index.php/zurmo/api/logout");
    EXPECT_NE(RawRequest(1).find("\r\nZURMO_SESSION_ID: OLD\r\n"), std::string::npos);
    EXPECT_NE(RawRequest(1).find("\r\nContent-Length: 0\r\n"), std::string::npos);
}

TEST_F(CallApiTest, FetchAndUpdateSendTheirPathsAndForms) {
    Script({kOk, kOk});
    EXPECT_TRUE(FetchItemData(context_, "").data);
    FormFields upload = Form();
    upload.AddField("data[items][0][lco]", "100");
    upload.AddField("data[count]", "1");
    upload.AddField("data[number]", "C-1");
    EXPECT_TRUE(UpdateItemData(context_, upload).data);
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
