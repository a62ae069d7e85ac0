// The reading history: what an accepted upload leaves in it, its file (form, hostile and cut-short files,
// an interrupted save, its size), and the counters that went back.

#include "lower_counters.h"
#include "platform/state_files.h"
#include "site/reading_history_file.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

#ifdef _WIN32
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#endif

namespace telva {
namespace {

using platform::LocalDateTime;

const LocalDateTime kFirstUpload{2026, 3, 1, 3, 4, 59, 0};

ReadingHistory AcceptedUpload(ReadingHistory kept, const LocalDateTime& when,
                              const std::vector<std::pair<std::string, CounterReadings>>& printers,
                              const std::string& contract = "77") {
    HistoryUpdate update(std::move(kept), contract, when);
    for (const auto& [id, readings] : printers) {
        update.Add(id, readings);
    }
    return std::move(update).Finish();
}

LocalDateTime DaysLater(const LocalDateTime& time, int days) {
    const std::chrono::year_month_day day{
        std::chrono::sys_days{std::chrono::year{time.year} / time.month / time.day} +
        std::chrono::days{days}};
    LocalDateTime later = time;
    later.year = static_cast<int>(day.year());
    later.month = static_cast<int>(static_cast<unsigned>(day.month()));
    later.day = static_cast<int>(static_cast<unsigned>(day.day()));
    return later;
}

TEST(ReadingHistory, AnAcceptedUploadKeepsWholeNumbersAndDropsWhatIsStaleOrAmbiguous) {
    ReadingHistory history =
        AcceptedUpload({}, kFirstUpload,
                       {{"101", {"1200", "", "abc", "-5", "0", "77"}},
                        {"102", {"1", "1", "1", "1", "1", "1"}},
                        {"102", {"2", "2", "2", "2", "2", "2"}}, // listed twice: not kept
                        {"103", {"", "", "", "", "", ""}},       // nothing read: nothing kept
                        {"300", {"5", "", "", "", "", ""}}});
    ASSERT_EQ(history.size(), 2U);
    const PrinterHistory* p101 = history.Find("77", "101");
    ASSERT_NE(p101, nullptr);
    EXPECT_EQ(p101->readings, (CounterReadings{"1200", "", "", "", "0", "77"}));
    EXPECT_EQ(p101->read.hour * 100 + p101->read.minute, 304);
    EXPECT_EQ(history.Find("78", "101"), nullptr); // another contract's printer 101

    // A day later 101 leaves lco unread: its last reading stays, the others are this upload's.
    history = AcceptedUpload(std::move(history), DaysLater(kFirstUpload, 1),
                             {{"101", {"", "9", "", "", "1", "70"}}});
    EXPECT_EQ(history.Find("77", "101")->readings, (CounterReadings{"1200", "9", "", "", "1", "70"}));

    // 300 was last listed on 1 March: kept 90 days after, dropped 91 days after.
    history =
        AcceptedUpload(std::move(history), DaysLater(kFirstUpload, 90), {{"101", {"1", "", "", "", "", ""}}});
    EXPECT_NE(history.Find("77", "300"), nullptr);
    history =
        AcceptedUpload(std::move(history), DaysLater(kFirstUpload, 91), {{"101", {"1", "", "", "", "", ""}}});
    EXPECT_EQ(history.Find("77", "300"), nullptr);
    EXPECT_EQ(history.size(), 1U);
}

TEST(ReadingHistoryFile, TextAReaderUnderstandsAndParsesBack) {
    const ReadingHistory history = AcceptedUpload(
        {}, kFirstUpload,
        {{"101", {"120345", "", "10", "0", "0", "77"}}, {"a b%\xC3\xA7", {"1", "2", "3", "4", "5", "6"}}},
        "77");
    const std::string text = EncodeReadingHistory(history);
    const std::string body = text.substr(text.find("\ncontract"));
    EXPECT_EQ(body, "\ncontract 77\n"
                    "printer 101 2026-03-01 2026-03-01T03:04 120345 - 10 0 0 77\n"
                    "printer a%20b%25%C3%A7 2026-03-01 2026-03-01T03:04 1 2 3 4 5 6\n"
                    "end 2\n");
    const HistoryRead back = ParseReadingHistory(text);
    EXPECT_EQ(back.problem, "");
    EXPECT_EQ(EncodeReadingHistory(back.history), text);
    EXPECT_EQ(ParseReadingHistory("TELVA4Audit reading history 1\r\n# edited\r\n\r\nend 0\r\n").problem, "");
}

TEST(ReadingHistoryFile, CutShortOrHostileFilesAreNotUsed) {
    const std::string good =
        EncodeReadingHistory(AcceptedUpload({}, kFirstUpload, {{"101", {"1", "2", "3", "4", "5", "6"}}}));
    for (std::size_t cut = 0; cut < good.size(); ++cut) { // a file cut at any byte
        EXPECT_NE(ParseReadingHistory(good.substr(0, cut)).problem, "") << "cut at " << cut;
    }
    const std::string head = "TELVA4Audit reading history 1\ncontract 77\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\x89PNG\r\n", "not a reading history (its first line is not \"TELVA4Audit reading history 1\")"},
        {head + "printer 101 2026-03-01 2026-03-01T03:04 1 2 3 4 5 6\n", "cut short: no end line"},
        {head + "printer 101 2026-03-01 2026-03-01T03:04 1 2 3 4 5 x\nend 1\n",
         "line 3: a reading is neither \"-\" nor a whole number of at most 20 digits"},
        {head + "printer 101 2026-03-01 2026-03-01T03:04 1 2 3 4 5 123456789012345678901\nend 1\n",
         "line 3: a reading is neither \"-\" nor a whole number of at most 20 digits"},
        {head + "printer 101 2026-02-30 2026-03-01T03:04 1 2 3 4 5 6\nend 1\n",
         "line 3: not a date (yyyy-mm-dd, then yyyy-mm-ddThh:mm)"},
        {head + "printer 101 2026-03-01 2026-03-01T24:00 1 2 3 4 5 6\nend 1\n",
         "line 3: not a date (yyyy-mm-dd, then yyyy-mm-ddThh:mm)"},
        {head + "printer 1%0 2026-03-01 2026-03-01T03:04 1 2 3 4 5 6\nend 1\n", "line 3: not a printer id"},
        {head + "printer " + std::string(65, 'x') + " 2026-03-01 2026-03-01T03:04 1 2 3 4 5 6\nend 1\n",
         "line 3: not a printer id"},
        {"TELVA4Audit reading history 1\nprinter 1 2026-03-01 2026-03-01T03:04 1 2 3 4 5 6\nend 1\n",
         "line 2: a printer before any contract line"},
        {head + "printer 1 2026-03-01 2026-03-01T03:04 1 2 3 4 5 6\n"
                "printer 1 2026-03-01 2026-03-01T03:04 1 2 3 4 5 6\nend 2\n",
         "line 4: the printer is given twice for its contract"},
        {head + "printer 1 2026-03-01 2026-03-01T03:04 1 2 3 4 5 6\nend 2\n",
         "line 4: the end line does not count the 1 printer lines"},
        {head + "end 0\nprinter 1 2026-03-01 2026-03-01T03:04 1 2 3 4 5 6\n",
         "line 4: text after the end line"},
        {head + "printer  1 2026-03-01 2026-03-01T03:04 1 2 3 4 5 6\nend 1\n",
         "line 3: not a contract, printer or end line"},
    };
    for (const auto& [text, problem] : cases) {
        const HistoryRead read = ParseReadingHistory(text);
        EXPECT_EQ(read.problem, problem) << text;
        EXPECT_TRUE(read.history.empty());
    }

    test::TempDir dir;
    EXPECT_EQ(LoadReadingHistory(dir.file("none.txt")).problem, ""); // the first run
    dir.Write("history.txt", good.substr(0, good.size() - 4));
    EXPECT_EQ(
        HistoryNotUsableLine(dir.file("history.txt"), LoadReadingHistory(dir.file("history.txt")).problem),
        "Reading history not usable, starting afresh: " + dir.file("history.txt") +
            ": cut short: the last line is incomplete");
    EXPECT_NE(LoadReadingHistory(dir.dir()).problem, ""); // a directory where the file should be
}

TEST(ReadingHistoryFile, AnInterruptedSaveLeavesTheOldHistory) {
    test::TempDir dir;
    const std::string path = dir.file("state") + "/" + kHistoryFileName; // its directory is made
    const ReadingHistory old_history =
        AcceptedUpload({}, kFirstUpload, {{"101", {"100", "", "", "", "", ""}}});
    const ReadingHistory new_history =
        AcceptedUpload({}, kFirstUpload, {{"101", {"200", "", "", "", "", ""}}});
    ASSERT_EQ(SaveReadingHistory(path, old_history), "");

    // Power lost after the new history was written, whole or in part, and before the rename.
    const std::string new_text = EncodeReadingHistory(new_history);
    for (const std::string& left : {new_text, new_text.substr(0, new_text.size() / 2)}) {
        ASSERT_EQ(platform::WriteStateFileFlushed(HistoryWorkPath(path), left), 0);
        const HistoryRead read = LoadReadingHistory(path);
        EXPECT_EQ(read.problem, "");
        EXPECT_EQ(read.history.Find("77", "101")->readings[0], "100");
    }
    // The next save goes over the work file left behind.
    ASSERT_EQ(SaveReadingHistory(path, new_history), "");
    EXPECT_EQ(LoadReadingHistory(path).history.Find("77", "101")->readings[0], "200");
    EXPECT_FALSE(std::filesystem::exists(HistoryWorkPath(path)));

    // A save that cannot write its work file reports why and leaves the history as it was.
    std::filesystem::create_directories(HistoryWorkPath(path) + "/x");
    const std::string why = SaveReadingHistory(path, old_history);
    EXPECT_EQ(why.rfind("the work file " + HistoryWorkPath(path) + " cannot be written: ", 0), 0U) << why;
    EXPECT_EQ(LoadReadingHistory(path).history.Find("77", "101")->readings[0], "200");

#ifdef _WIN32
    // Administrators and SYSTEM only, on the directory (passed down) and on the file itself. Wine keeps no
    // access lists (it shows ones made from the Unix mode), so this is checked on Windows itself.
    const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    for (const std::string& made : {dir.file("state"), path}) {
        if (wine) {
            break;
        }
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        PACL dacl = nullptr;
        const std::wstring wide(made.begin(), made.end());
        ASSERT_EQ(GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                        nullptr, &dacl, nullptr, &descriptor),
                  ERROR_SUCCESS);
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        GetSecurityDescriptorControl(descriptor, &control, &revision);
        EXPECT_NE(control & SE_DACL_PROTECTED, 0) << made;
        ASSERT_NE(dacl, nullptr);
        std::vector<std::string> sids;
        for (DWORD i = 0; i < dacl->AceCount; ++i) {
            ACCESS_ALLOWED_ACE* ace = nullptr;
            ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
            EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
            wchar_t* text = nullptr;
            ASSERT_TRUE(ConvertSidToStringSidW(reinterpret_cast<PSID>(&ace->SidStart), &text));
            sids.emplace_back(text, text + wcslen(text));
            LocalFree(text);
        }
        EXPECT_EQ(sids, (std::vector<std::string>{"S-1-5-18", "S-1-5-32-544"})) << made;
        LocalFree(descriptor);
    }
#else
    EXPECT_EQ(std::filesystem::status(dir.file("state")).permissions() & std::filesystem::perms::all,
              std::filesystem::perms(0750));
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms(0640));
#endif
}

TEST(ReadingHistoryFile, BoundedInPrintersAndBytes) {
    std::vector<std::pair<std::string, CounterReadings>> printers;
    for (int i = 0; i < 10000; ++i) {
        const std::string n = std::to_string(1000000 + i * 37);
        printers.push_back({std::to_string(200000 + i), {n, n, n, n, n, n}});
    }
    const ReadingHistory ten_thousand = AcceptedUpload({}, kFirstUpload, printers);
    const std::string text = EncodeReadingHistory(ten_thousand);
    EXPECT_LT(text.size(), 1024U * 1024U); // 10,000 printers of seven-digit counters: well under 2 MiB
    EXPECT_EQ(ParseReadingHistory(text).history.size(), 10000U);

    // Beyond the most printers, those listed longest ago go first.
    printers.clear();
    for (std::size_t i = 0; i < kHistoryMaxPrinters; ++i) {
        printers.push_back({"n" + std::to_string(i), {"1", "", "", "", "", ""}});
    }
    ReadingHistory full = AcceptedUpload(ten_thousand, DaysLater(kFirstUpload, 1), printers);
    EXPECT_EQ(full.size(), kHistoryMaxPrinters);
    EXPECT_EQ(full.Find("77", "200000"), nullptr);
    EXPECT_NE(full.Find("77", "n0"), nullptr);

    const std::string full_text = EncodeReadingHistory(full);
    const std::string one_more = full_text.substr(0, full_text.rfind("end ")) +
                                 "printer x 2026-03-01 2026-03-01T03:04 1 2 3 4 5 6\nend " +
                                 std::to_string(kHistoryMaxPrinters + 1) + "\n";
    EXPECT_EQ(ParseReadingHistory(one_more).problem, "more than 20000 printers");
    EXPECT_EQ(ParseReadingHistory(std::string(kHistoryFileLimit + 1, '#')).problem,
              "larger than 12582912 bytes");
}

TEST(LowerCounters, OnlyWholeNumbersThatWentBackAreNamed) {
    const ReadingHistory history =
        AcceptedUpload({}, kFirstUpload, {{"101", {"1000", "500", "", "18446744073709551615", "10", "007"}}});
    Printer printer;
    printer.id = "101";
    printer.address = "127.0.0.2";
    EXPECT_EQ(CheckCounters(history, "77", printer, {"999", "600", "1", "9999999999999999999", "x", "6"}),
              "Counters lower than last run: printer 101 at 127.0.0.2: lco 1000 -> 999, "
              "lccb 18446744073709551615 -> 9999999999999999999, sco 007 -> 6");
    EXPECT_EQ(CheckCounters(history, "77", printer, {"1000", "0500", "", "", "", "7"}), std::nullopt);
    EXPECT_EQ(CheckCounters(history, "78", printer, {"1", "1", "1", "1", "1", "1"}), std::nullopt);

    printer.address = "printer\r\n13:00 forged";
    EXPECT_EQ(CheckCounters(history, "77", printer, {"1", "", "", "", "", ""}),
              "Counters lower than last run: printer 101 at printer  13:00 forged: lco 1000 -> 1");
}

} // namespace
} // namespace telva
