// Audit runs against a contract server that refuses, breaks its answers, hangs, or ends the session: which
// requests still go out, what the log says, and what the upload holds. One printer (a fleet agent) each.

#include "run_fixture.h"

#include "audit_service.h"
#include "server/api_endpoints.h"

#include <algorithm>
#include <functional>

namespace telva::test {
namespace {

struct Behaviour {
    const char* endpoint;
    const char* action;
    const char* parameters;
};

struct Outcome {
    std::vector<RecordedRequest> requests;
    std::vector<RecordedUpload> uploads;
    std::vector<std::string> lines;
    long long run_ms = 0;
};

struct ServerCase {
    const char* name;
    std::vector<Behaviour> behaviours;
    std::vector<std::string> endpoints;
    // The run's log lines; "@read" stands for the printer's two lines, "@fail <path>|<words>" for a failed
    // call's two lines (the failure's words, "@server" standing for the server's address, then the URL).
    std::vector<std::string> lines;
    std::vector<bool> uploads_accepted = {}; // one per upload the server recorded
    std::uint32_t idle_ms = 0;               // HTTP limits of the run; 0 keeps the fixture's
    std::uint32_t total_ms = 0;
    std::function<void(const Outcome&)> also = nullptr;
};

const std::string kLogin(kLoginPath);
const std::string kFetch(kFetchItemDataPath);
const std::string kUpdate(kUpdateItemDataPath);
const std::string kLogout(kLogoutPath);
const char* const kTruncatedAnswer = R"({"status":"SUCCESS","data":{)";
// What a reset in the middle of an answer is called. Under Wine the reset reads either so or, depending on
// when it comes, as the connection's end (kClosedWords): there both are taken.
const std::string kResetWords =
    "Connection with @server failed: Connection reset by peer (socket error 10054)";
[[maybe_unused]] const std::string kClosedWords =
    "Connection closed before the answer was complete (@server)";

std::vector<ServerCase> Cases() {
    const auto run_lines = [](std::vector<std::string> between) {
        return Join({{"Login TELVA ok", "Printer count 1", "@read"}, between, {"Logout TELVA ok"}});
    };
    return {
        {.name = "LoginRefusedSendsNothingElse",
         .behaviours = {{"login", "refuse", ""}},
         .endpoints = {"login"},
         .lines = {"Erro no login"}},
        {.name = "FetchRefusedLogsOutWithoutUpload",
         .behaviours = {{"fetch", "refuse", ""}},
         .endpoints = {"login", "fetch", "logout"},
         .lines = {"Login TELVA ok",
                   "Printer list not received: FAILURE: Refused by the contract-server simulator",
                   "Logout TELVA ok"}},
        {.name = "UploadRefusedStillLogsUpdateAndLogsOut",
         .behaviours = {{"update", "refuse", ""}},
         .endpoints = {"login", "fetch", "update", "logout"},
         .lines = run_lines({"Update()", Summary(1, 1, 0, 0, 0, "refused")}),
         .uploads_accepted = {false}},
        {.name = "ServerErrorOnUploadThenTruncatedJsonOnLogout",
         .behaviours = {{"update", "error500", ""},
                        {"logout", "malformed", R"("body": "{\"status\":\"SUCCESS\",\"data\":{")"}},
         .endpoints = {"login", "fetch", "update", "logout"},
         // A 500 has no answer text, also with an envelope; an unreadable answer's text is logged.
         .lines = run_lines({"@fail " + kUpdate + "|@server answered 500 Internal Server Error", "Update()",
                             Summary(1, 1, 0, 0, 0, "failed"), kTruncatedAnswer, "@url " + kLogout}),
         .uploads_accepted = {false}},
        {.name = "FetchCutByResetThenLogoutRedirected",
         .behaviours = {{"fetch", "close_mid", R"("bytes": 10, "reset": true)"},
                        {"logout", "redirect", R"("location": "http://127.0.0.1:9/visited")"}},
         .endpoints = {"login", "fetch", "logout"},
         // A failed logout still ends the session on this side, and says so.
         .lines = {"Login TELVA ok", "@fail " + kFetch + "|" + kResetWords,
                   "@fail " + kLogout + "|@server answered 302 Found", "Logout TELVA ok"}},
        {.name = "OversizedFetchThenEndlessChunkedLogout",
         .behaviours = {{"fetch", "huge", R"("bytes": 67108865)"},
                        {"logout", "chunked", R"("endless": true, "chunk": 16384)"}},
         .endpoints = {"login", "fetch", "logout"},
         .lines = {"Login TELVA ok", "@fail " + kFetch + "|Answer larger than 67108864 bytes (@server)",
                   "@fail " + kLogout + "|Answer larger than 67108864 bytes (@server)", "Logout TELVA ok"}},
        {.name = "UploadNeverAnsweredEndsAtTheIdleLimitAndDrippingLogoutAtTheTotalLimit",
         .behaviours = {{"update", "hang", R"("seconds": 10)"}, {"logout", "drip", R"("interval": 0.25)"}},
         .endpoints = {"login", "fetch", "update", "logout"},
         .lines = run_lines({"@fail " + kUpdate + "|No answer within 1 s from @server", "Update()",
                             Summary(1, 1, 0, 0, 0, "failed"),
                             "@fail " + kLogout + "|No complete answer within 2 s from @server"}),
         .uploads_accepted = {true},
         .idle_ms = 1000,
         .total_ms = 2000,
         .also =
             [](const Outcome& outcome) {
                 EXPECT_EQ(outcome.requests[2].status, std::nullopt) << "the upload was never answered";
                 // The idle limit, then the total limit: never the hang's 10 s or the drip's 25 s.
                 EXPECT_GE(outcome.run_ms, 1000 + 2000 - 250);
                 EXPECT_LT(outcome.run_ms, 8000);
             }},
        {.name = "SessionExpiredOnFetchLogsInAgainAndRepostsTheForm",
         .behaviours = {{"fetch", "expire", R"("times": 1)"}},
         .endpoints = {"login", "fetch", "login", "fetch", "update", "logout"},
         .lines = Join({{"Login TELVA ok"}, run_lines({"Update()", Summary(1, 1, 0, 0, 0, "accepted")})}),
         .uploads_accepted = {true},
         .also =
             [](const Outcome& outcome) {
                 EXPECT_EQ(outcome.requests[2].mode, "credentials");
                 EXPECT_EQ(outcome.requests[1].body, outcome.requests[3].body);
                 EXPECT_TRUE(outcome.requests[3].session_valid);
             }},
        {.name = "SessionExpiredOnUploadRepostsTheSameFormOnce",
         .behaviours = {{"update", "expire", R"("times": 1)"}},
         .endpoints = {"login", "fetch", "update", "login", "update", "logout"},
         .lines = run_lines({"Login TELVA ok", "Update()", Summary(1, 1, 0, 0, 0, "accepted")}),
         .uploads_accepted = {false, true},
         .also =
             [](const Outcome& outcome) {
                 EXPECT_EQ(outcome.requests[3].mode, "credentials");
                 EXPECT_EQ(outcome.requests[2].body, outcome.requests[4].body)
                     << "byte-identical, boundary included";
                 EXPECT_NE(outcome.requests[2].Header("ZURMO_SESSION_ID"),
                           outcome.requests[4].Header("ZURMO_SESSION_ID"));
             }},
        {.name = "SessionExpiringOnEveryFetchAndLogoutLogsInOncePerCall",
         .behaviours = {{"fetch", "expire", ""}, {"logout", "expire", ""}},
         .endpoints = {"login", "fetch", "login", "fetch", "logout", "login", "logout"},
         .lines = {"Login TELVA ok", "Login TELVA ok",
                   "Printer list not received: FAILURE: Sign in required.", "Login TELVA ok",
                   "Logout TELVA ok"}},
        {.name = "SignInRequiredOnEveryAnswerEndsAtTheLogin",
         .behaviours = {{"*", "expire", ""}},
         // The login's re-login is its own login request; it does not start another one.
         .endpoints = {"login", "login"},
         .lines = {"Erro no login"}},
        {.name = "SessionTextsWithLineBreaksInjectNoHeader",
         .behaviours = {{"login", "crlf_session", R"("where": "both")"}},
         .endpoints = {"login", "fetch", "update", "logout"},
         .lines = run_lines({"Update()", Summary(1, 1, 0, 0, 0, "accepted")}),
         .uploads_accepted = {true},
         .also =
             [](const Outcome& outcome) {
                 for (std::size_t r = 1; r < outcome.requests.size(); ++r) {
                     const RecordedRequest& request = outcome.requests[r];
                     EXPECT_EQ(request.mode, "session");
                     EXPECT_TRUE(request.session_valid) << request.head_raw;
                     EXPECT_EQ(request.head_raw.find("\r\nX-Injected"), std::string::npos)
                         << request.head_raw;
                     EXPECT_EQ(request.HeaderCount("ZURMO_SESSION_ID"), 1u);
                     EXPECT_EQ(request.HeaderCount("ZURMO_TOKEN"), 1u);
                     for (const auto& header : request.headers) {
                         EXPECT_NE(header.first.rfind("X-Injected", 0), 0u) << request.head_raw;
                     }
                 }
             }},
    };
}

// Failure messages name the row, not its bytes.
void PrintTo(const ServerCase& row, std::ostream* out) {
    *out << row.name;
}

class ServerFaults : public AuditRunTest, public ::testing::WithParamInterface<ServerCase> {};

TEST_P(ServerFaults, RunOutcome) {
    const ServerCase& row = GetParam();
    const FleetPrinter& agent = RunFleet().printers[0];
    PrinterTable printers;
    printers.AddAgent(agent);
    server().ServeItems(printers.ItemsJson());
    for (const Behaviour& behaviour : row.behaviours) {
        server().Behave(behaviour.endpoint, behaviour.action, behaviour.parameters);
    }
    if (row.idle_ms != 0) {
        context_.http_limits.idle_ms = row.idle_ms;
        context_.http_limits.total_ms = row.total_ms;
    }

    Outcome outcome;
    outcome.run_ms = TimedRun();
    outcome.requests = server().Requests();
    outcome.uploads = server().Uploads();
    outcome.lines = log_.Lines();

    const auto at_server = [this](std::string words) {
        if (const std::size_t at = words.find("@server"); at != std::string::npos) {
            words.replace(at, 7, server().Address());
        }
        return words;
    };
#ifdef _WIN32
    std::replace(outcome.lines.begin(), outcome.lines.end(), at_server(kClosedWords), at_server(kResetWords));
#endif
    std::vector<std::string> lines;
    for (const std::string& line : row.lines) {
        if (line == "@read") {
            lines = Join({lines, ReadLines(agent.address)});
        } else if (line.rfind("@fail ", 0) == 0) {
            const std::size_t bar = line.find('|');
            lines = Join({lines, {at_server(line.substr(bar + 1)), Url(line.substr(6, bar - 6))}});
        } else if (line.rfind("@url ", 0) == 0) {
            lines.push_back(Url(line.substr(5)));
        } else {
            lines.push_back(line);
        }
    }
    EXPECT_EQ(outcome.lines, lines);
    EXPECT_EQ(server().Endpoints(), row.endpoints);
    ASSERT_EQ(outcome.requests.size(), row.endpoints.size());
    ASSERT_EQ(outcome.uploads.size(), row.uploads_accepted.size());
    for (std::size_t u = 0; u < outcome.uploads.size(); ++u) {
        EXPECT_EQ(outcome.uploads[u].accepted, row.uploads_accepted[u]) << "upload " << u;
        EXPECT_TRUE(outcome.uploads[u].layout_ok) << outcome.uploads[u].layout_problem;
        EXPECT_EQ(outcome.uploads[u].fields, printers.UploadFields("77")) << "upload " << u;
    }
    if (row.also) {
        row.also(outcome);
    }
}

INSTANTIATE_TEST_SUITE_P(Run, ServerFaults, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<ServerCase>& row) { return row.param.name; });

using ServerConnection = AuditRunTest;

TEST_F(ServerConnection, AddressWithAnUnknownSchemeSendsNothingAndRunsAsWithoutAddress) {
    // "httpss" holds "http", so no "http://" would go in front, and a scheme other than https with a port
    // would go out as plain HTTP, the password in its headers.
    AuditService service(context_, dir_.file("config.ini"));
    bool started = true;
    const auto start_and_run = [&](const std::string& address) {
        dir_.Write("config.ini", "[SERVIDOR]\r\ncontrato=77\r\nendereco=" + address + "\r\n");
        service.HandleStart(started);
        RunAudit(context_);
        return log_.Lines();
    };
    const std::string address = "HTTPSS://" + server().Address();
    std::vector<std::string> unusable = start_and_run(address);
    ASSERT_GT(unusable.size(), 2u);
    EXPECT_EQ(unusable[1], "Server address not usable: " + address);
    unusable.erase(unusable.begin() + 1);
    const std::vector<std::string> both = start_and_run("");
    EXPECT_EQ(
        std::vector<std::string>(both.begin() + static_cast<std::ptrdiff_t>(unusable.size() + 1), both.end()),
        unusable);
    EXPECT_TRUE(server().Requests().empty());
}

TEST_F(ServerConnection, RefusedConnectionFailsTheLogin) {
    // Nothing listens on port 1 of the loopback host: the connection is refused at once.
    context_.settings.base_url = "http://127.0.0.1:1/app/index.php/";
    const long long run_ms = TimedRun();
    EXPECT_EQ(log_.Lines(),
              (std::vector<std::string>{"Connection refused by 127.0.0.1:1", Url(kLogin), "Erro no login"}));
    EXPECT_LT(run_ms, 5000) << "a refused connection ends the call at once";
    EXPECT_TRUE(server().Endpoints().empty());
}

} // namespace
} // namespace telva::test
