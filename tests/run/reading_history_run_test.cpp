// The reading history in real audit runs: a counter lower than the last accepted reading of the same printer
// id ("conferir"), and a history that cannot be read or saved, which only "conferir" names. Without the key
// the log and the upload are those of a run without a history.

#include "run_fixture.h"

#include "site/reading_history_file.h"

#include <filesystem>

namespace telva::test {
namespace {

class HistoryRun : public AuditRunTest {
protected:
    void SetUp() override {
        AuditRunTest::SetUp();
        context_.reading_history_path = HistoryIn("state");
    }

    // The history file in the temporary directory's subdirectory `name`.
    std::string HistoryIn(const std::string& name) const {
        return dir_.file(name) + dir_.dir().back() + "reading_history.txt";
    }

    // One audit over `printers`: its lines; the upload must carry exactly their readings.
    std::vector<std::string> Run(const PrinterTable& printers) {
        server().Reset();
        server().ServeItems(printers.ItemsJson());
        const std::size_t before = log_.Lines().size();
        RunAudit(context_);
        const std::vector<RecordedUpload> uploads = server().Uploads();
        EXPECT_EQ(uploads.size(), 1u);
        if (!uploads.empty()) {
            EXPECT_EQ(uploads[0].fields, printers.UploadFields("77"));
        }
        const std::vector<std::string> lines = log_.Lines();
        return {lines.begin() + static_cast<std::ptrdiff_t>(before), lines.end()};
    }

    // The lines of a run that read every printer, with `summary_counts` after "0 failed".
    static std::vector<std::string> Lines(const PrinterTable& printers,
                                          const std::string& summary_counts = "") {
        std::vector<std::string> lines = {"Login TELVA ok",
                                          "Printer count " + std::to_string(printers.size())};
        for (std::size_t i = 0; i < printers.size(); ++i) {
            lines = Join({lines, ReadLines(printers.Address(i))});
        }
        const int n = static_cast<int>(printers.size());
        std::string summary = Summary(n, n, 0, 0, 0, "accepted");
        summary.insert(summary.find(";"), summary_counts);
        return Join({lines, {"Update()", summary, "Logout TELVA ok"}});
    }
};

TEST_F(HistoryRun, ACounterThatWentBackIsNamedAfterItsPrinterWithConferirOnly) {
    const FleetPrinter& lower = RunFleet().printers[0];  // counters 1010xx
    const FleetPrinter& higher = RunFleet().printers[1]; // counters 2010xx
    PrinterTable first;
    first.AddAgent(higher, CounterOids(), "\"P-7\"");
    first.AddAgent(lower, CounterOids(), "8");
    // Without conferir: the run as ever, and the history kept all the same.
    EXPECT_EQ(Run(first), Lines(first));
    ASSERT_NE(LoadReadingHistory(context_.reading_history_path).history.Find("77", "P-7"), nullptr);

    // The next run finds P-7 answered by another machine.
    context_.settings.compare_counters = true;
    PrinterTable swapped;
    swapped.AddAgent(lower, CounterOids(), "\"P-7\"");
    swapped.AddAgent(lower, CounterOids(), "8");
    std::string went_back = "Counters lower than last run: printer P-7 at " + lower.address + ": ";
    for (std::size_t k = 0; k < kCounterCount; ++k) {
        const std::string& oid = CounterOids()[k];
        ASSERT_LT(std::stoull(lower.Value(oid)), std::stoull(higher.Value(oid)));
        went_back += std::string(k > 0 ? ", " : "") + kCounterFields[k].upload_key + " " + higher.Value(oid) +
                     " -> " + lower.Value(oid);
    }
    std::vector<std::string> expected = Lines(swapped, ", 1 with lower counters");
    expected.insert(expected.begin() + 4, went_back);
    EXPECT_EQ(Run(swapped), expected);

    // The accepted upload made the lower readings the reference: said once.
    EXPECT_EQ(Run(swapped), Lines(swapped, ", 0 with lower counters"));
}

TEST_F(HistoryRun, AHistoryThatCannotBeReadOrSavedIsNamedWithConferirOnly) {
    PrinterTable printers;
    printers.AddAgent(RunFleet().printers[0]);
    std::filesystem::create_directories(dir_.path() / "state");
    const std::string path = context_.reading_history_path;
    // A file whose directory is a plain file: nothing to read, and it cannot be written.
    dir_.Write("plain", "");
    const std::string unwritable = HistoryIn("plain");
    for (const bool compare : {false, true}) {
        SCOPED_TRACE(compare ? "conferir=1" : "conferir absent");
        context_.settings.compare_counters = compare;
        context_.reading_history_path = path;
        dir_.Write("state/reading_history.txt",
                   "TELVA4Audit reading history 1\ncontract 77\nprinter 1000 2024");
        std::vector<std::string> lines = Run(printers);
        std::vector<std::string> expected = Lines(printers, compare ? ", 0 with lower counters" : "");
        if (compare) {
            ASSERT_GT(lines.size(), 2u);
            EXPECT_EQ(lines[2].rfind(HistoryNotUsableLine(path, ""), 0), 0u) << lines[2];
            lines.erase(lines.begin() + 2);
        }
        EXPECT_EQ(lines, expected);
        // The accepted upload replaced the cut-short history.
        const HistoryRead replaced = LoadReadingHistory(path);
        EXPECT_EQ(replaced.problem, "");
        EXPECT_NE(replaced.history.Find("77", "1000"), nullptr);

        context_.reading_history_path = unwritable;
        lines = Run(printers);
        if (compare) {
            ASSERT_EQ(lines.size(), expected.size() + 1);
            EXPECT_EQ(lines[lines.size() - 2].rfind(HistoryNotSavedLine(unwritable, ""), 0), 0u);
            lines.erase(lines.end() - 2);
        }
        EXPECT_EQ(lines, expected);
    }
}

} // namespace
} // namespace telva::test
