// Audit runs over a site as the field has it: printers that answer at their own pace, some not at all, some
// only in part, names that do not resolve and addresses that refuse; read several at a time ("paralelo"),
// and a stop or a shutdown that comes while a silent printer is being read.

#include "run_fixture.h"

#include "audit_service.h"
#include "net/snmp_answers.h"
#include "net/udp_responder.h"
#include "platform/sleep.h"
#include "platform/udp.h"
#include "service/service_status.h"
#include "site/local_address.h"
#include "support/fake_service_binding.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace telva::test {
namespace {

using SteadyClock = std::chrono::steady_clock;

// The counter identifiers of site printer p: one arc for the printer, one for the counter.
std::array<std::string, 6> SiteOids(int printer) {
    std::array<std::string, 6> oids;
    for (std::size_t k = 0; k < oids.size(); ++k) {
        oids[k] = "1.3.6.1.4.1.32473.90." + std::to_string(printer) + "." + std::to_string(k);
    }
    return oids;
}

unsigned SiteValue(int printer, int counter) {
    return 1000u * static_cast<unsigned>(printer) + static_cast<unsigned>(counter) + 1;
}

std::string SiteReading(int printer, int counter) {
    return std::to_string(SiteValue(printer, counter));
}

// A query as the site peer saw it.
struct SeenQuery {
    int printer = 0;
    int counter = 0;
    SteadyClock::time_point at;
};

// The printers of a site behind one loopback address and port, answering any number of clients at once:
// each query's answer leaves after the delay the script gives for its printer and counter, without holding
// up the answers to other clients; a negative delay leaves the query unanswered. The printer and counter
// are the last two arcs of the queried identifier (SiteOids).
class SitePeer {
public:
    using Script = std::function<int(int printer, int counter)>;

    explicit SitePeer(Script script) : script_(std::move(script)) {
        if (socket_.Open() != 0 || socket_.Bind(0, PeerAddress(230)) != 0) {
            throw std::runtime_error("the site peer cannot bind " + Address());
        }
        thread_ = std::thread([this] { Run(); });
    }
    ~SitePeer() {
        stop_ = true;
        thread_.join();
    }
    SitePeer(const SitePeer&) = delete;
    SitePeer& operator=(const SitePeer&) = delete;

    static std::string Address() { return PeerAddressText(230); }
    std::uint16_t Port() const { return socket_.LocalPort(); }
    std::vector<SeenQuery> Queries() {
        const std::lock_guard lock(mutex_);
        return queries_;
    }
    // `look` is called on the peer's thread with every query as it arrives.
    void OnQuery(std::function<void(const SeenQuery&)> look) {
        const std::lock_guard lock(mutex_);
        on_query_ = std::move(look);
    }

private:
    struct Pending {
        SteadyClock::time_point due;
        platform::Ipv4Address to{};
        std::uint16_t port = 0;
        Bytes datagram;
    };

    void Run() {
        Bytes buffer(2048);
        while (!stop_) {
            bool ready = false;
            socket_.WaitReadable(2, ready);
            if (ready) {
                Receive(buffer);
            }
            const auto now = SteadyClock::now();
            for (auto it = pending_.begin(); it != pending_.end();) {
                if (it->due <= now) {
                    std::size_t sent = 0;
                    socket_.SendTo(it->to, it->port, it->datagram.data(), it->datagram.size(), sent);
                    it = pending_.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }

    void Receive(Bytes& buffer) {
        std::size_t received = 0;
        Pending answer;
        if (socket_.ReceiveFrom(buffer.data(), buffer.size(), received, &answer.to, &answer.port) != 0 ||
            received < 6) {
            return;
        }
        // The request ends with the identifier's last two arcs and the empty value 04 00.
        const SeenQuery query{buffer[received - 4], buffer[received - 3], SteadyClock::now()};
        std::function<void(const SeenQuery&)> look;
        {
            const std::lock_guard lock(mutex_);
            queries_.push_back(query);
            look = on_query_;
        }
        if (look) {
            look(query);
        }
        const int delay = script_(query.printer, query.counter);
        if (delay < 0) {
            return;
        }
        const std::string oid = SiteOids(query.printer)[static_cast<std::size_t>(query.counter)];
        const unsigned value = SiteValue(query.printer, query.counter);
        const Bytes counter = {static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 8),
                               static_cast<std::uint8_t>(value)};
        answer.datagram = Response(0, Binding(oid, Tlv(0x41, counter)));
        answer.due = query.at + std::chrono::milliseconds(delay);
        pending_.push_back(std::move(answer));
    }

    Script script_;
    platform::UdpSocket socket_;
    std::mutex mutex_;
    std::vector<SeenQuery> queries_;
    std::function<void(const SeenQuery&)> on_query_;
    std::deque<Pending> pending_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The most printers whose queries the peer saw under way at one moment: from a printer's first query to
// its last, it had a client.
std::size_t MostPrintersAtOnce(const std::vector<SeenQuery>& queries) {
    std::map<int, std::pair<SteadyClock::time_point, SteadyClock::time_point>> spans;
    for (const SeenQuery& query : queries) {
        auto [it, fresh] = spans.try_emplace(query.printer, query.at, query.at);
        it->second.first = std::min(it->second.first, query.at);
        it->second.second = std::max(it->second.second, query.at);
    }
    std::size_t most = 0;
    for (const auto& [printer, span] : spans) {
        std::size_t at_once = 0;
        for (const auto& [other, other_span] : spans) {
            at_once += other_span.first <= span.first && span.first <= other_span.second;
        }
        most = std::max(most, at_once);
    }
    return most;
}

using Parallel = AuditRunTest;

TEST_F(Parallel, LinesInListOrderTheFormOfAOneAfterAnotherRunAndAtMostParaleloClients) {
    // Per position, in turn: silent; answering, the earlier printers the slower (so later ones finish
    // first); a name that does not resolve; answering at once; answering the first three counters only; an
    // address where nothing listens.
    constexpr int kPrinters = 12;
    SitePeer peer([](int printer, int counter) {
        switch (printer % 6) {
        case 1:
            return (kPrinters - printer) * 6;
        case 3:
            return 0;
        case 4:
            return counter < 3 ? 0 : -1;
        default:
            return -1;
        }
    });
    context_.snmp.agent_port = peer.Port();
    PrinterTable printers;
    std::vector<std::string> lines = {"Login TELVA ok", "Printer count " + std::to_string(kPrinters)};
    int read = 0;
    int partial = 0;
    int failed = 0;
    for (int p = 0; p < kPrinters; ++p) {
        std::array<std::string, 6> readings;
        switch (p % 6) {
        case 0:
            printers.Add(SitePeer::Address(), SiteOids(p), {});
            lines = Join({lines, NoAnswerLines(SitePeer::Address())});
            break;
        case 2:
            printers.Add("printer..invalid", SiteOids(p), {});
            lines = Join(
                {lines,
                 {"SNMP trying IP printer..invalid", "Error 0 - Socket Error # 11001\r\nHost not found."}});
            ++failed;
            break;
        case 4:
            for (int k = 0; k < 3; ++k) {
                readings[static_cast<std::size_t>(k)] = SiteReading(p, k);
            }
            printers.Add(SitePeer::Address(), SiteOids(p), readings);
            lines = Join({lines, NoAnswerLines(SitePeer::Address(), 3)});
            ++partial;
            break;
        case 5:
            printers.Add("127.0.0.231", SiteOids(p), {});
            lines = Join({lines, NoAnswerLines("127.0.0.231")});
            break;
        default:
            for (int k = 0; k < 6; ++k) {
                readings[static_cast<std::size_t>(k)] = SiteReading(p, k);
            }
            printers.Add(SitePeer::Address(), SiteOids(p), readings);
            lines = Join({lines, ReadLines(SitePeer::Address())});
            ++read;
            break;
        }
    }
    lines = Join({lines,
                  {"Update()",
                   Summary(kPrinters, read, partial, kPrinters - read - partial - failed, failed, "accepted"),
                   "Logout TELVA ok"}});
    server().ServeItems(printers.ItemsJson());

    RunAudit(context_); // paralelo absent: one printer after the other
    const std::size_t first_queries = peer.Queries().size();
    EXPECT_EQ(log_.Lines(), lines);
    EXPECT_EQ(MostPrintersAtOnce(peer.Queries()), 1u);

    context_.settings.parallel = 4;
    RunAudit(context_);
    std::vector<std::string> logged = log_.Lines();
    EXPECT_EQ(
        std::vector<std::string>(logged.begin() + static_cast<std::ptrdiff_t>(lines.size()), logged.end()),
        lines);

    // The same form, byte for byte (both are made at the same fake moment, so with one boundary).
    std::vector<std::string> bodies;
    for (const RecordedRequest& request : server().Requests()) {
        if (request.endpoint == "update") {
            bodies.push_back(request.body);
        }
    }
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(bodies[0], bodies[1]);
    for (const RecordedUpload& upload : server().Uploads()) {
        EXPECT_EQ(upload.fields, printers.UploadFields("77"));
    }

    // Each printer: its queries in field order, none repeated; never more than four printers at once, and
    // more than one.
    const std::vector<SeenQuery> all = peer.Queries();
    const std::vector<SeenQuery> second(all.begin() + static_cast<std::ptrdiff_t>(first_queries), all.end());
    std::map<int, std::vector<int>> counters;
    for (const SeenQuery& query : second) {
        counters[query.printer].push_back(query.counter);
    }
    for (const auto& [printer, asked] : counters) {
        EXPECT_EQ(asked, (std::vector<int>{0, 1, 2, 3, 4, 5})) << "printer " << printer;
    }
    // Every printer on the peer's address was asked; the unresolvable names never reach it. (The address
    // without a peer does not either, but for Wine, which delivers its datagrams to the peer's socket.)
    for (int p = 0; p < kPrinters; ++p) {
        EXPECT_EQ(counters.count(p), p % 6 == 2   ? 0u
                                     : p % 6 == 5 ? counters.count(p)
                                                  : 1u)
            << "printer " << p;
    }
    const std::size_t most = MostPrintersAtOnce(second);
    EXPECT_LE(most, 4u);
    EXPECT_GE(most, 2u);
}

// The service's handlers around a run that a stop or a shutdown reaches while a printer stays silent.
class StopDuringRun : public AuditRunTest {
protected:
    // Runs the service with `paralelo` until it stops; `request` goes to the service once `ready` holds for
    // the queries the peer has seen.
    void RunService(SitePeer& peer, int paralelo, std::uint32_t request,
                    const std::function<bool(const std::vector<SeenQuery>&)>& ready) {
        context_.settings = Settings();
        context_.snmp.agent_port = peer.Port();
        const Credentials login = ContractServer::StandardCredentials();
        dir_.Write("config.ini",
                   "[SERVIDOR]\r\ncontrato=" + login.contract + "\r\nendereco=" + server().Address() +
                       "\r\nhorario=23:59\r\nuser=" + login.user + "\r\npass=" + login.password +
                       "\r\nparalelo=" + std::to_string(paralelo) + "\r\n");
        AuditService service(context_, dir_.file("config.ini"), binding_);
        std::atomic<bool> sent{false};
        peer.OnQuery([&](const SeenQuery&) {
            if (!sent.load() && ready(peer.Queries())) {
                sent.store(true);
                service.QueueControlRequest(request);
            }
        });
        clock_.before_sleep = [&](std::uint32_t) {
            if (clock_.Time() > kDayMs) { // a loop that never stopped: end it, and fail
                ADD_FAILURE() << "no stop within a day";
                service.QueueControlRequest(kControlStop);
            }
        };
        service.RunService();
        peer.OnQuery(nullptr);
        EXPECT_TRUE(sent.load());
        EXPECT_EQ(service.Status(), ServiceState::Stopped);
        EXPECT_TRUE(binding_.Events().empty());
    }

    FakeServiceBinding binding_;
};

TEST_F(StopDuringRun, AStopUploadsTheReadingsTakenLogsOutAndStops) {
    // Printer 0 answers; printer 1 answers its first counter and then falls silent; printer 2 answers.
    SitePeer peer([](int printer, int counter) { return printer == 1 && counter > 0 ? -1 : 0; });
    PrinterTable printers;
    printers.Add(SitePeer::Address(), SiteOids(0),
                 {SiteReading(0, 0), SiteReading(0, 1), SiteReading(0, 2), SiteReading(0, 3),
                  SiteReading(0, 4), SiteReading(0, 5)});
    printers.Add(SitePeer::Address(), SiteOids(1), {SiteReading(1, 0)});
    printers.Add(SitePeer::Address(), SiteOids(2), {});
    server().ServeItems(printers.ItemsJson());

    RunService(peer, 1, kControlStop, [](const std::vector<SeenQuery>& seen) {
        return seen.back().printer == 1 && seen.back().counter == 1;
    });

    const std::string address = SitePeer::Address();
    EXPECT_EQ(log_.Lines(),
              Join({{"Service started, IP " + GetLocalAddress(), "Login TELVA ok", "Printer count 3"},
                    ReadLines(address),
                    {"SNMP trying IP " + address, "Run cut short by a stop: 1 of 3 printers read", "Update()",
                     Summary(3, 1, 1, 1, 0, "accepted"), "Logout TELVA ok",
                     "Service stopped, IP " + GetLocalAddress()}}));
    // The silent query was the last: within its one wait the stop was seen; printer 2 was never asked.
    const std::vector<SeenQuery> seen = peer.Queries();
    ASSERT_EQ(seen.size(), 8u);
    EXPECT_EQ(seen.back().printer, 1);
    EXPECT_EQ(server().Endpoints(), (std::vector<std::string>{"login", "fetch", "update", "logout"}));
    const std::vector<RecordedUpload> uploads = server().Uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].fields, printers.UploadFields("77"));
    // No pause after the run: the stop handler's wait is the only one.
    EXPECT_EQ(clock_.Sleeps(), std::vector<std::uint32_t>{5000});
}

TEST_F(StopDuringRun, AShutdownWhileTwoPrintersAreReadAtOnceEndsTheRunTheSameWay) {
    // Printer 0 answers two counters and falls silent, printer 1 is silent from the start; the shutdown comes
    // while both wait. Printers 2 and 3 would answer.
    SitePeer peer([](int printer, int counter) {
        if (printer == 0) {
            return counter < 2 ? 0 : -1;
        }
        return printer == 1 ? -1 : 0;
    });
    PrinterTable printers;
    printers.Add(SitePeer::Address(), SiteOids(0), {SiteReading(0, 0), SiteReading(0, 1)});
    for (int p = 1; p < 4; ++p) {
        printers.Add(SitePeer::Address(), SiteOids(p), {});
    }
    server().ServeItems(printers.ItemsJson());

    RunService(peer, 2, kControlShutdown, [](const std::vector<SeenQuery>& seen) {
        bool first_waits = false;
        bool second_waits = false;
        for (const SeenQuery& query : seen) {
            first_waits = first_waits || (query.printer == 0 && query.counter == 2);
            second_waits = second_waits || query.printer == 1;
        }
        return first_waits && second_waits;
    });

    const std::string address = SitePeer::Address();
    EXPECT_EQ(log_.Lines(), (std::vector<std::string>{
                                "Service started, IP " + GetLocalAddress(), "Login TELVA ok",
                                "Printer count 4", "SNMP trying IP " + address, "SNMP trying IP " + address,
                                "Run cut short by a shutdown: 0 of 4 printers read", "Update()",
                                Summary(4, 0, 1, 3, 0, "accepted"), "Logout TELVA ok"}));
    EXPECT_EQ(peer.Queries().size(), 4u);
    EXPECT_EQ(server().Endpoints(), (std::vector<std::string>{"login", "fetch", "update", "logout"}));
    const std::vector<RecordedUpload> uploads = server().Uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].fields, printers.UploadFields("77"));
    EXPECT_TRUE(clock_.Sleeps().empty()); // a shutdown has no stop handler and no pause
}

} // namespace
} // namespace telva::test
