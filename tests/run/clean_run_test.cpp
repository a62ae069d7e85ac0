// Audit runs where nothing goes wrong: the requests as the simulator received them, every reading as the
// simulator's MIME parser decoded it at its position, and the daily log byte for byte.

#include "run_fixture.h"

#include "server/api_endpoints.h"

namespace telva::test {
namespace {

using CleanRun = AuditRunTest;

// Identifiers the fleet's second agent holds besides the counters, each of another SNMP type.
const std::array<std::string, 6> kTypedOids = {"1.3.6.1.4.1.32473.44.1.0", "1.3.6.1.4.1.32473.44.2.0",
                                               "1.3.6.1.4.1.32473.44.3.0", "1.3.6.1.4.1.32473.44.4.0",
                                               "1.3.6.1.4.1.32473.44.5.0", "1.3.6.1.4.1.32473.44.6.0"};

// The head every request carries after its mode's two headers. Every form of a run is made at the same fake
// moment (5 March 2024, 14:07:09.045), hence one boundary.
std::vector<Field> ExpectedHeaders(const RecordedRequest& request, const std::vector<Field>& mode_headers,
                                   const std::string& host) {
    std::vector<Field> headers = {{"Connection", "keep-alive"},
                                  {"Content-Type", "multipart/form-data; boundary=--------030524140709045"},
                                  {"Content-Length", std::to_string(request.body.size())}};
    headers.insert(headers.end(), mode_headers.begin(), mode_headers.end());
    headers.insert(headers.end(), {{"ZURMO_API_REQUEST_TYPE", "REST"},
                                   {"Host", host},
                                   {"Accept", "application/json"},
                                   {"Accept-Encoding", "identity"},
                                   {"User-Agent", "Mozilla/5.0 (Windows NT 10.0; Win64; x64)"}});
    return headers;
}

TEST_F(CleanRun, EveryReadingReachesTheServerByteExactInFieldOrder) {
    const Fleet& fleet = RunFleet();
    const FleetPrinter& plain = fleet.printers[0];
    const FleetPrinter& typed = fleet.printers[1];
    const FleetPrinter& lacking = fleet.printers[2]; // holds no lifecount: noSuchName, an empty reading
    PrinterTable printers;
    // Member names play no part: "17" comes first and is position 0, "4" is position 1.
    printers.AddAgent(lacking, CounterOids(), "4711", "17");
    printers.AddAgent(plain, CounterOids(), "\"A-12\"", "4");
    printers.AddAgent(typed, kTypedOids, "", "x");
    printers.AddAgent(typed, CounterOids(), "", "y", "SERIAL-NEVER-SENT");
    server().ServeItems(printers.ItemsJson());

    RunAudit(context_);

    std::vector<std::string> lines = {"Login TELVA ok", "Printer count 4"};
    for (std::size_t i = 0; i < printers.size(); ++i) {
        lines = Join({lines, ReadLines(printers.Address(i))});
    }
    // The identifier the agent lacks is answered (with an error status): that printer counts as read.
    lines = Join({lines, {"Update()", Summary(4, 4, 0, 0, 0, "accepted"), "Logout TELVA ok"}});
    EXPECT_EQ(log_.Lines(), lines);
    std::string file;
    for (const std::string& line : lines) {
        file += "05/03/2024 14:07:09 " + line + "\r\n";
    }
    EXPECT_EQ(DailyFile(), file);

    const std::vector<RecordedRequest> requests = server().Requests();
    ASSERT_EQ(server().Endpoints(), (std::vector<std::string>{"login", "fetch", "update", "logout"}));
    const std::array<std::string_view, 4> paths = {kLoginPath, kFetchItemDataPath, kUpdateItemDataPath,
                                                   kLogoutPath};
    const std::string session_id = requests[1].Header("ZURMO_SESSION_ID");
    const std::string token = requests[1].Header("ZURMO_TOKEN");
    EXPECT_FALSE(session_id.empty());
    EXPECT_FALSE(token.empty());
    for (std::size_t r = 0; r < requests.size(); ++r) {
        SCOPED_TRACE(requests[r].endpoint);
        EXPECT_EQ(requests[r].request_line, "POST /app/index.php/" + std::string(paths[r]) + " HTTP/1.0");
        const std::vector<Field> mode =
            r == 0 ? std::vector<Field>{{"ZURMO_AUTH_USERNAME", "vrel"}, {"ZURMO_AUTH_PASSWORD", "24680"}}
                   : std::vector<Field>{{"ZURMO_SESSION_ID", session_id}, {"ZURMO_TOKEN", token}};
        EXPECT_EQ(requests[r].headers, ExpectedHeaders(requests[r], mode, server().Address()));
        EXPECT_EQ(requests[r].status, 200);
        EXPECT_EQ(requests[r].problems, std::vector<std::string>{});
        EXPECT_EQ(requests[r].body.find("SN-"), std::string::npos);
        EXPECT_EQ(requests[r].body.find("SERIAL-NEVER-SENT"), std::string::npos);
        if (r > 0) {
            EXPECT_TRUE(requests[r].session_valid) << "the session the login handed out";
        }
    }
    EXPECT_TRUE(requests[0].body.empty());
    EXPECT_EQ(requests[1].fields, (std::vector<Field>{{"data[number]", "77"}}));

    const std::vector<RecordedUpload> uploads = server().Uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_TRUE(uploads[0].accepted);
    EXPECT_TRUE(uploads[0].layout_ok) << uploads[0].layout_problem;
    EXPECT_EQ(uploads[0].fields, printers.UploadFields("77"));
    EXPECT_EQ(uploads[0].count, "4");
    EXPECT_EQ(uploads[0].number, "77");
    // Spot checks against the agents' configured values, independently of the table above.
    const std::vector<Field>& fields = uploads[0].fields;
    EXPECT_EQ(fields[0], Field("data[items][0][lco]", ""));
    EXPECT_EQ(fields[1], Field("data[items][0][lcc]", "302003"));
    EXPECT_EQ(fields[6], Field("data[items][0][cid]", "4711"));
    EXPECT_EQ(fields[7], Field("data[items][1][lco]", "101001"));
    EXPECT_EQ(fields[12], Field("data[items][1][sco]", "106001"));
    EXPECT_EQ(fields[13], Field("data[items][1][cid]", "A-12"));
    // An octet string goes over as its bytes (here UTF-8); each SNMP type as its text.
    EXPECT_EQ(fields[14], Field("data[items][2][lco]", "Sala 2 - caf\xC3\xA9"));
    EXPECT_EQ(fields[15], Field("data[items][2][lcc]", "-7"));
    EXPECT_EQ(fields[16], Field("data[items][2][lcm]", "4294967295"));
    EXPECT_EQ(fields[18], Field("data[items][2][lcmb]", "1.3.6.1.4.1.32473.1"));
    EXPECT_EQ(fields[19], Field("data[items][2][sco]", "-2147483648"));
    EXPECT_EQ(fields[20], Field("data[items][2][cid]", "1002"));
}

TEST_F(CleanRun, EmptyItemsUploadCountZero) {
    server().ServeItems("{}");
    RunAudit(context_);
    EXPECT_EQ(log_.Lines(),
              (std::vector<std::string>{"Login TELVA ok", "Printer count 0", "Update()",
                                        Summary(0, 0, 0, 0, 0, "accepted"), "Logout TELVA ok"}));
    EXPECT_EQ(server().Endpoints(), (std::vector<std::string>{"login", "fetch", "update", "logout"}));
    const std::vector<RecordedUpload> uploads = server().Uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].fields, (std::vector<Field>{{"data[count]", "0"}, {"data[number]", "77"}}));
    EXPECT_TRUE(uploads[0].layout_ok) << uploads[0].layout_problem;
}

TEST_F(CleanRun, ManyPrintersAreAllReadAndSentInListOrder) {
    // 130 entries over three agents, three of them at the address without agent (every query refused).
    const Fleet& fleet = RunFleet();
    PrinterTable printers;
    for (std::size_t position = 0; position < 130; ++position) {
        if (position == 4 || position == 64 || position == 129) {
            printers.AddEmpty(fleet.printers[3].address);
        } else {
            printers.AddAgent(fleet.printers[position % 3]);
        }
    }
    server().ServeItems(printers.ItemsJson());
    RunAudit(context_);

    std::vector<std::string> lines = {"Login TELVA ok", "Printer count 130"};
    for (std::size_t i = 0; i < printers.size(); ++i) {
        const bool refused = i == 4 || i == 64 || i == 129;
        lines = Join({lines, refused ? NoAnswerLines(printers.Address(i)) : ReadLines(printers.Address(i))});
    }
    EXPECT_EQ(log_.Lines(),
              Join({lines, {"Update()", Summary(130, 127, 0, 3, 0, "accepted"), "Logout TELVA ok"}}));
    EXPECT_EQ(server().Endpoints(), (std::vector<std::string>{"login", "fetch", "update", "logout"}));
    const std::vector<RecordedUpload> uploads = server().Uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_TRUE(uploads[0].layout_ok) << uploads[0].layout_problem;
    EXPECT_EQ(uploads[0].fields, printers.UploadFields("77"));
    ASSERT_EQ(uploads[0].fields.size(), 130u * 7 + 2);
    EXPECT_EQ(uploads[0].fields[127 * 7], Field("data[items][127][lco]", "201002"));
    EXPECT_EQ(uploads[0].fields[129 * 7 + 6], Field("data[items][129][cid]", "1129"));
}

} // namespace
} // namespace telva::test
