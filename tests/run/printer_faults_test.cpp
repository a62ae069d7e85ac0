// Audit runs over printers that fail: host names that do not resolve, addresses without agent, peers that
// answer wrongly, late or never, a printer list the run cannot use, and the trap port held by another socket.
// Every failure stays with its own printer: the upload holds each reading at its own position.

#include "run_fixture.h"

#include "net/snmp_answers.h"
#include "net/udp_responder.h"
#include "platform/udp.h"

#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace telva::test {
namespace {

using Clock = std::chrono::steady_clock;

// One GetRequest as a peer received it, read by a decoder of this test's own.
struct Query {
    std::string community;
    long long request_id = 0;
    std::string oid;
    Clock::time_point at;
};

struct TlvAt {
    std::uint8_t tag = 0;
    std::size_t start = 0; // of the content
    std::size_t size = 0;
    std::size_t end() const { return start + size; }
};

TlvAt ReadTlv(const Bytes& data, std::size_t pos) {
    if (pos + 2 > data.size()) {
        throw std::runtime_error("datagram ends inside a header");
    }
    TlvAt tlv{data[pos], pos + 2, data[pos + 1]};
    if (tlv.size & 0x80) {
        const std::size_t count = tlv.size & 0x7F;
        tlv.size = 0;
        for (std::size_t i = 0; i < count && tlv.start < data.size(); ++i) {
            tlv.size = tlv.size << 8 | data[tlv.start++];
        }
    }
    if (tlv.end() > data.size()) {
        throw std::runtime_error("datagram ends inside a value");
    }
    return tlv;
}

Query ParseGetRequest(const Bytes& data) {
    const TlvAt message = ReadTlv(data, 0);
    const TlvAt version = ReadTlv(data, message.start);
    const TlvAt community = ReadTlv(data, version.end());
    const TlvAt pdu = ReadTlv(data, community.end());
    const TlvAt id = ReadTlv(data, pdu.start);
    const TlvAt status = ReadTlv(data, id.end());
    const TlvAt index = ReadTlv(data, status.end());
    const TlvAt list = ReadTlv(data, index.end());
    const TlvAt binding = ReadTlv(data, list.start);
    const TlvAt oid = ReadTlv(data, binding.start);
    if (message.tag != 0x30 || pdu.tag != 0xA0 || oid.tag != 0x06 || oid.size == 0) {
        throw std::runtime_error("not a GetRequest");
    }
    Query query;
    query.community.assign(data.begin() + static_cast<std::ptrdiff_t>(community.start),
                           data.begin() + static_cast<std::ptrdiff_t>(community.end()));
    for (std::size_t i = id.start; i < id.end(); ++i) {
        query.request_id = query.request_id * 256 + data[i];
    }
    query.oid = std::to_string(data[oid.start] / 40) + "." + std::to_string(data[oid.start] % 40);
    unsigned long long arc = 0;
    for (std::size_t i = oid.start + 1; i < oid.end(); ++i) {
        arc = arc << 7 | (data[i] & 0x7Fu);
        if (!(data[i] & 0x80)) {
            query.oid += "." + std::to_string(arc);
            arc = 0;
        }
    }
    query.at = Clock::now();
    return query;
}

Bytes BerInteger(long long value) {
    Bytes content;
    do {
        content.insert(content.begin(), static_cast<std::uint8_t>(value & 0xFF));
        value >>= 8;
    } while (!(value == 0 && !(content.front() & 0x80)) && !(value == -1 && (content.front() & 0x80)));
    return Tlv(0x02, content);
}

Bytes Unsigned(std::uint8_t tag, unsigned long long value) {
    Bytes content;
    do {
        content.insert(content.begin(), static_cast<std::uint8_t>(value & 0xFF));
        value >>= 8;
    } while (value != 0);
    if (content.front() & 0x80) {
        content.insert(content.begin(), 0);
    }
    return Tlv(tag, content);
}

Bytes GetResponse(const std::string& oid, const Bytes& value, const std::string& community = "quarno",
                  long long request_id = 0) {
    const Bytes pdu =
        Concat({BerInteger(request_id), BerInteger(0), BerInteger(0), Tlv(0x30, Binding(oid, value))});
    return Tlv(0x30,
               Concat({BerInteger(0), Tlv(0x04, Bytes(community.begin(), community.end())), Tlv(0xA2, pdu)}));
}

std::size_t CounterIndex(const std::string& oid) {
    for (std::size_t k = 0; k < CounterOids().size(); ++k) {
        if (CounterOids()[k] == oid) {
            return k;
        }
    }
    return 99;
}

// The counter value crafted printer p holds for counter k.
unsigned long long ValueOf(std::size_t printer, std::size_t k) {
    return 1000000ull * (printer + 1) + 1000 + k;
}

std::array<std::string, 6> ValuesOf(std::size_t printer) {
    std::array<std::string, 6> values;
    for (std::size_t k = 0; k < values.size(); ++k) {
        values[k] = std::to_string(ValueOf(printer, k));
    }
    return values;
}

// A crafted printer: a UDP peer on its own loopback address that keeps every query and answers as told.
struct CraftedPrinter {
    std::string address;
    std::function<std::vector<ScriptedAnswer>(const Query&)> answer;
    std::mutex mutex;
    std::vector<Query> queries;

    std::vector<Query> Queries() {
        const std::lock_guard lock(mutex);
        return queries;
    }
};

// Crafted printers on 127.0.0.220.. sharing one port, which the run then uses as the agent port.
class CraftedFleet {
public:
    CraftedPrinter& Add(std::function<std::vector<ScriptedAnswer>(const Query&)> answer) {
        auto& printer = printers_.emplace_back();
        printer.address = PeerAddressText(static_cast<std::uint8_t>(220 + printers_.size() - 1));
        printer.answer = std::move(answer);
        return printer;
    }
    std::deque<CraftedPrinter>& Printers() { return printers_; }

    // Binds every printer: all on one port free on all their addresses (`one_port`), or each on a port of
    // its own. Yields each printer's port.
    std::vector<std::uint16_t> Start(bool one_port) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            const std::uint16_t shared = one_port ? FreeUdpPort() : 0;
            try {
                std::vector<std::uint16_t> ports;
                for (std::size_t i = 0; i < printers_.size(); ++i) {
                    CraftedPrinter& printer = printers_[i];
                    const platform::Ipv4Address address = PeerAddress(static_cast<std::uint8_t>(220 + i));
                    peers_.push_back(std::make_unique<UdpResponder>(
                        address,
                        [&printer](const Bytes& request, int) {
                            Query query;
                            try {
                                query = ParseGetRequest(request);
                            } catch (const std::exception& error) {
                                query.oid = std::string("unreadable: ") + error.what();
                            }
                            {
                                const std::lock_guard lock(printer.mutex);
                                printer.queries.push_back(query);
                            }
                            return printer.answer(query);
                        },
                        shared));
                    ports.push_back(peers_.back()->Port());
                }
                return ports;
            } catch (const std::runtime_error&) {
                peers_.clear(); // the port was taken meanwhile on one of the addresses: another one
            }
        }
        throw std::runtime_error("no port free on every crafted printer's address");
    }

private:
    std::deque<CraftedPrinter> printers_;
    std::vector<std::unique_ptr<UdpResponder>> peers_;
};

using PrinterFaults = AuditRunTest;

TEST_F(PrinterFaults, UnresolvableHostAndAddressWithoutAgentStayWithTheirPrinters) {
    const Fleet& fleet = RunFleet();
    PrinterTable printers;
    printers.AddAgent(fleet.printers[0]);
    printers.AddEmpty("printer..invalid");
    printers.AddEmpty(fleet.printers[3].address); // nothing listens: every query refused, no error line
    printers.AddAgent(fleet.printers[1]);
    server().ServeItems(printers.ItemsJson());

    RunAudit(context_);

    const std::string host_not_found = "Error 0 - Socket Error # 11001\r\nHost not found.";
    EXPECT_EQ(log_.Lines(), Join({{"Login TELVA ok", "Printer count 4"},
                                  ReadLines(fleet.printers[0].address),
                                  {"SNMP trying IP printer..invalid", host_not_found},
                                  NoAnswerLines(fleet.printers[3].address),
                                  ReadLines(fleet.printers[1].address),
                                  {"Update()", Summary(4, 2, 0, 1, 1, "accepted"), "Logout TELVA ok"}}));
    // In the daily file the two-line message is one entry: one time stamp, CR LF inside and at its end.
    EXPECT_NE(DailyFile().find("05/03/2024 14:07:09 SNMP trying IP printer..invalid\r\n"
                               "05/03/2024 14:07:09 " +
                               host_not_found + "\r\n05/03/2024 14:07:09 SNMP trying IP "),
              std::string::npos)
        << DailyFile();
    const std::vector<RecordedUpload> uploads = server().Uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_TRUE(uploads[0].accepted);
    EXPECT_EQ(uploads[0].fields, printers.UploadFields("77"));
}

// Wine refuses a second socket on one port at another loopback address (these sockets leave address reuse
// off), so there each crafted printer gets a port and a run of its own; elsewhere they all share one run.
#ifdef _WIN32
constexpr bool kOneRunForAll = false;
#else
constexpr bool kOneRunForAll = true;
#endif

TEST_F(PrinterFaults, MisbehavingPrintersEachKeepTheirFailureToThemselves) {
    struct Expected {
        std::string address;
        std::array<std::string, 6> readings;
        std::string error;  // the line after "SNMP trying IP" when an error ended the printer's queries
        int unanswered = 0; // queries without an answer (none is "SNMP OK IP")
    };
    CraftedFleet crafted;
    std::vector<Expected> expected;
    const auto full = [](std::size_t p, const Query& query) {
        return GetResponse(query.oid, Unsigned(0x41, ValueOf(p, CounterIndex(query.oid))));
    };
    const auto add = [&](std::function<std::vector<ScriptedAnswer>(const Query&)> answer,
                         const std::array<std::string, 6>& readings, const std::string& error = "",
                         int unanswered = 0) {
        CraftedPrinter& printer = crafted.Add(std::move(answer));
        expected.push_back({printer.address, readings, error, unanswered});
        return &printer;
    };
    // 0: cut inside the value: the binding is unreadable, so no value (never a partial number).
    add(
        [full](const Query& q) {
            Bytes answer = full(0, q);
            answer.resize(answer.size() - 2);
            return std::vector<ScriptedAnswer>{{answer}};
        },
        {});
    // 1: the outer length claims 100 bytes more than the datagram holds: the binding inside is whole.
    add(
        [full](const Query& q) {
            const Bytes answer = full(1, q);
            Bytes lying = {0x30, 0x81, static_cast<std::uint8_t>(answer[1] + 100)};
            lying.insert(lying.end(), answer.begin() + 2, answer.end());
            return std::vector<ScriptedAnswer>{{lying}};
        },
        ValuesOf(1));
    // 2: 9000 bytes do not fit the 8192-byte receive buffer: an error ends this printer's queries.
    CraftedPrinter* oversized = add(
        [](const Query& q) {
            return std::vector<ScriptedAnswer>{{GetResponse(q.oid, Tlv(0x04, Bytes(8950, '7')))}};
        },
        {}, "Error 0 - Socket Error # 10040\r\nMessage too long.");
    // 3, 4: another community or request id is still this printer's answer.
    add(
        [](const Query& q) {
            return std::vector<ScriptedAnswer>{
                {GetResponse(q.oid, Unsigned(0x41, ValueOf(3, CounterIndex(q.oid))), "public")}};
        },
        ValuesOf(3));
    add(
        [](const Query& q) {
            return std::vector<ScriptedAnswer>{
                {GetResponse(q.oid, Unsigned(0x41, ValueOf(4, CounterIndex(q.oid))), "quarno", 4711)}};
        },
        ValuesOf(4));
    // 5: an answer for another identifier: the reading stays empty.
    add(
        [](const Query& q) {
            return std::vector<ScriptedAnswer>{{GetResponse(q.oid + ".9", Unsigned(0x41, 5))}};
        },
        {});
    // 6: every answer comes after the receive wait, while the next query waits for its own: a late answer
    // to an earlier query is dropped, so six empty readings, none shifted to the next field.
    add(
        [full](const Query& q) {
            return std::vector<ScriptedAnswer>{{full(6, q), kReceiveWaitMs + 250}};
        },
        {}, "", 6);
    // 7: Counter64 values beyond 32 bits.
    add(
        [](const Query& q) {
            return std::vector<ScriptedAnswer>{
                {GetResponse(q.oid, Unsigned(0x46, (1ull << 40) + CounterIndex(q.oid)))}};
        },
        {"1099511627776", "1099511627777", "1099511627778", "1099511627779", "1099511627780",
         "1099511627781"});
    // 8: silent: each query costs the receive wait and is sent once.
    CraftedPrinter* silent = add([](const Query&) { return std::vector<ScriptedAnswer>{}; }, {}, "", 6);
    // 9: an address where nothing listens on that port.
    expected.push_back({"127.0.0.229", {}, "", 6});

    const std::vector<std::uint16_t> ports = crafted.Start(kOneRunForAll);
    std::vector<std::string> lines;
    std::vector<std::vector<Field>> uploads;
    const auto run = [&](std::uint16_t port, std::size_t first, std::size_t end) {
        PrinterTable printers;
        lines = Join({lines, {"Login TELVA ok", "Printer count " + std::to_string(end - first)}});
        int read = 0;
        int partial = 0;
        int failed = 0;
        for (std::size_t i = first; i < end; ++i) {
            const Expected& printer = expected[i];
            printers.Add(printer.address, CounterOids(), printer.readings);
            if (!printer.error.empty()) {
                lines = Join({lines, {"SNMP trying IP " + printer.address, printer.error}});
                ++failed;
            } else if (printer.unanswered > 0) {
                lines = Join({lines, NoAnswerLines(printer.address, printer.unanswered)});
                partial += printer.unanswered < 6;
            } else {
                lines = Join({lines, ReadLines(printer.address)});
                ++read;
            }
        }
        const int count = static_cast<int>(end - first);
        lines = Join(
            {lines,
             {"Update()", Summary(count, read, partial, count - read - partial - failed, failed, "accepted"),
              "Logout TELVA ok"}});
        uploads.push_back(printers.UploadFields("77"));
        context_.snmp.agent_port = port;
        server().ServeItems(printers.ItemsJson());
        RunAudit(context_);
    };
    if (kOneRunForAll) {
        run(ports[0], 0, expected.size());
    } else {
        for (std::size_t i = 0; i < expected.size(); ++i) {
            run(i < ports.size() ? ports[i] : FreeUdpPort(), i, i + 1);
        }
    }

    EXPECT_EQ(log_.Lines(), lines);
    std::vector<std::vector<Field>> received;
    for (const RecordedUpload& upload : server().Uploads()) {
        EXPECT_TRUE(upload.layout_ok) << upload.layout_problem;
        received.push_back(upload.fields);
    }
    EXPECT_EQ(received, uploads);

    for (CraftedPrinter& printer : crafted.Printers()) {
        std::vector<std::string> oids;
        for (const Query& query : printer.Queries()) {
            oids.push_back(query.oid);
            EXPECT_EQ(query.community, "quarno") << printer.address;
        }
        const std::size_t asked = &printer == oversized ? 1 : 6; // no query after the error
        EXPECT_EQ(oids, std::vector<std::string>(CounterOids().begin(), CounterOids().begin() + asked))
            << printer.address;
    }
    const std::vector<Query> silent_queries = silent->Queries();
    for (std::size_t k = 1; k < silent_queries.size(); ++k) {
        EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(silent_queries[k].at -
                                                                        silent_queries[k - 1].at)
                      .count(),
                  kReceiveWaitMs / 2)
            << "the silent printer's next query only after its wait (the arrival times are the peer's, "
               "taken on a loaded machine: half the wait tells it from a query sent at once)";
    }
}

TEST_F(PrinterFaults, UnreadablePrinterValueUploadsNothingAndQueriesNoPrinter) {
    CraftedFleet crafted;
    CraftedPrinter& printer = crafted.Add(
        [](const Query& q) { return std::vector<ScriptedAnswer>{{GetResponse(q.oid, Unsigned(0x41, 1))}}; });
    context_.snmp.agent_port = crafted.Start(true)[0];
    // A number literal of 12 characters with an exponent has no text of its own.
    PrinterTable printers;
    printers.Add(printer.address, CounterOids(), {}, "1");
    printers.Add(printer.address, CounterOids(), {}, "123456789e10");
    server().ServeItems(printers.ItemsJson());
    RunAudit(context_);
    EXPECT_EQ(log_.Lines(),
              (std::vector<std::string>{"Login TELVA ok",
                                        "Printer list not usable, nothing uploaded: printer 1 "
                                        "\"id\" cannot be read: The number 123456789e10 cannot be "
                                        "read as text",
                                        "Logout TELVA ok"}));
    EXPECT_EQ(server().Endpoints(), (std::vector<std::string>{"login", "fetch", "logout"}));
    EXPECT_TRUE(server().Uploads().empty());
    EXPECT_TRUE(printer.Queries().empty()) << "no printer is read from a list the run cannot use";
}

// Binds the local UDP port 162 itself, so it alone takes the shared ports' lock.
using TrapPort162 = AuditRunTest;

TEST_F(TrapPort162, HeldTrapPortCostsNoReadingOneAfterAnotherNorSeveralAtOnce) {
    context_.snmp = SnmpTiming(); // the service's own: agents on 161, the trap port 162
    context_.snmp.receive_timeout_ms = kReceiveWaitMs;
    platform::UdpSocket holder;
    ASSERT_EQ(holder.Open(), 0);
    // Should another program hold the port already, the run meets the same condition.
    [[maybe_unused]] const int bound = holder.Bind(162);
    const Fleet& fleet = RunFleet();
    PrinterTable printers;
    for (const std::size_t agent : {0, 1}) {
        printers.AddAgent(fleet.printers[agent]);
    }
    server().ServeItems(printers.ItemsJson());
    const std::string held = "Port 162 is held by another program; printers are read without it";
    const std::string& first = fleet.printers[0].address;
    const std::string& second = fleet.printers[1].address;
    const std::vector<std::string> closing = {"Update()", Summary(2, 2, 0, 0, 0, "accepted"),
                                              "Logout TELVA ok"};

    // One after the other: the line comes once, when the first printer's client meets the port.
    RunAudit(context_);
    EXPECT_EQ(log_.Lines(), Join({{"Login TELVA ok", "Printer count 2", "SNMP trying IP " + first, held,
                                   "SNMP OK IP " + first},
                                  ReadLines(second),
                                  closing}));
    // Several at once: the run tries the port once, before the printers.
    const std::size_t before = log_.Lines().size();
    context_.settings.parallel = 2;
    RunAudit(context_);
    const std::vector<std::string> lines = log_.Lines();
    EXPECT_EQ(
        std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(before), lines.end()),
        Join({{"Login TELVA ok", "Printer count 2", held}, ReadLines(first), ReadLines(second), closing}));

    const std::vector<RecordedUpload> uploads = server().Uploads();
    ASSERT_EQ(uploads.size(), 2u);
    for (const RecordedUpload& upload : uploads) {
        EXPECT_TRUE(upload.accepted);
        EXPECT_EQ(upload.fields, printers.UploadFields("77"));
    }
}

} // namespace
} // namespace telva::test
