#include "support/fake_service_binding.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace telva {
namespace {

using test::FakeServiceBinding;
using test::TestService;

// The service's life on a thread of its own (the service-main thread of the platform bindings).
class ServiceRun {
public:
    explicit ServiceRun(Service& service) : thread_([&service] { service.RunService(); }) {}
    ~ServiceRun() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    void Join() { thread_.join(); }

private:
    std::thread thread_;
};

// An execute handler that idles in short ticks, handling requests after each, until Terminated.
struct IdleLoop {
    std::atomic<int> ticks{0};
    void operator()(Service& service) {
        while (!service.Terminated()) {
            ++ticks;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            service.CurrentThread()->ProcessRequests();
        }
    }
};

ServiceStatusRecord Record(std::uint32_t state, std::uint32_t check_point, std::uint32_t accepted) {
    ServiceStatusRecord record;
    record.current_state = state;
    record.check_point = check_point;
    record.controls_accepted = accepted;
    return record;
}

TEST(StatusReportState, CountsCheckPointsOnlyForARepeatedPendingState) {
    StatusReportState state;
    EXPECT_EQ(state.Next(ServiceState::StartPending), Record(2, 1, 0));
    EXPECT_EQ(state.Next(ServiceState::StartPending), Record(2, 2, 0));
    EXPECT_EQ(state.Next(ServiceState::Running), Record(4, 0, 7));
    EXPECT_EQ(state.Next(ServiceState::Running), Record(4, 0, 7));
    EXPECT_EQ(state.Next(ServiceState::PausePending), Record(6, 0, 7));
    EXPECT_EQ(state.Next(ServiceState::Paused), Record(7, 0, 7));
    EXPECT_EQ(state.Next(ServiceState::StopPending), Record(3, 0, 7));
    EXPECT_EQ(state.Next(ServiceState::StopPending), Record(3, 1, 7));
    EXPECT_EQ(state.Next(ServiceState::StopPending), Record(3, 2, 7));
    EXPECT_EQ(state.Next(ServiceState::Stopped), Record(1, 0, 7));
    EXPECT_EQ(Record(1, 0, 7).wait_hint, 5000u);
    EXPECT_EQ(Record(1, 0, 7).service_type, 0x10u);
}

TEST(ServiceLifecycle, StartRunStopReportsEveryStateWithItsCheckPoint) {
    FakeServiceBinding binding;
    TestService service(binding);
    int stops = 0;
    IdleLoop loop;
    service.on_start = [](Service&, bool& started) { EXPECT_TRUE(started); };
    service.on_stop = [&](Service&, bool& stopped) {
        EXPECT_TRUE(stopped);
        ++stops;
    };
    service.on_execute = std::ref(loop);
    ServiceRun run(service);
    ASSERT_TRUE(binding.WaitForState(ServiceState::Running));
    service.QueueControlRequest(kControlStop);
    run.Join();
    EXPECT_EQ(binding.Records(),
              (std::vector<ServiceStatusRecord>{Record(2, 1, 0), Record(2, 2, 0), Record(4, 0, 7),
                                                Record(3, 0, 7), Record(1, 0, 7)}));
    EXPECT_EQ(stops, 1);
    EXPECT_TRUE(binding.Events().empty());
    EXPECT_EQ(service.CurrentThread(), nullptr);
    EXPECT_FALSE(service.Terminated());
}

TEST(ServiceLifecycle, StartHandlerThatRefusesEndsWithoutRunning) {
    FakeServiceBinding binding;
    TestService service(binding);
    bool executed = false;
    service.on_start = [](Service&, bool& started) { started = false; };
    service.on_execute = [&](Service&) { executed = true; };
    service.RunService();
    EXPECT_EQ(binding.States(), (std::vector<std::uint32_t>{2, 2, 1}));
    EXPECT_FALSE(executed);
    EXPECT_TRUE(binding.Events().empty());
}

TEST(ServiceLifecycle, ErrorInStartHandlerIsLoggedAsStart) {
    FakeServiceBinding binding;
    TestService service(binding);
    service.on_start = [](Service&, bool&) { throw std::runtime_error("no settings"); };
    service.RunService();
    EXPECT_EQ(binding.States(), (std::vector<std::uint32_t>{2, 2, 1}));
    EXPECT_EQ(binding.Events(),
              std::vector<std::string>{"TELVA4Audit: Service failed on start: no settings"});
}

TEST(ServiceLifecycle, ControlRequestsBeforeTheQueueExistsAreDroppedHarmlessly) {
    FakeServiceBinding binding;
    TestService service(binding);
    int stops = 0;
    IdleLoop loop;
    service.on_stop = [&](Service&, bool&) { ++stops; };
    service.on_execute = std::ref(loop);
    // Before RunService there is no service thread and no queue: nothing is kept for later.
    service.QueueControlRequest(kControlStop);
    service.QueueControlRequest(kControlPause);
    service.QueueControlRequest(kControlShutdown);
    ServiceRun run(service);
    ASSERT_TRUE(binding.WaitForState(ServiceState::Running));
    while (loop.ticks.load() < 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_FALSE(service.Terminated());
    EXPECT_EQ(service.Status(), ServiceState::Running);
    service.QueueControlRequest(kControlStop);
    run.Join();
    EXPECT_EQ(stops, 1);
    // After the service thread is gone, a request has no queue either.
    service.QueueControlRequest(kControlStop);
    EXPECT_EQ(stops, 1);
    EXPECT_TRUE(binding.Events().empty());
}

TEST(ServiceLifecycle, ErrorEscapingExecuteStopsWithoutHandlingQueuedRequests) {
    FakeServiceBinding binding;
    TestService service(binding);
    int stops = 0;
    service.on_stop = [&](Service&, bool&) { ++stops; };
    service.on_execute = [](Service& self) {
        self.QueueControlRequest(kControlStop);
        throw std::runtime_error("printer value unreadable");
    };
    service.RunService();
    EXPECT_EQ(binding.States(), (std::vector<std::uint32_t>{2, 2, 4, 1}));
    EXPECT_EQ(stops, 0);
    EXPECT_EQ(binding.Events(),
              std::vector<std::string>{"TELVA4Audit: Service failed on execute: printer value unreadable"});
}

TEST(ServiceLifecycle, TwoStopsDuringARunAreBothHandledAfterIt) {
    FakeServiceBinding binding;
    TestService service(binding);
    std::atomic<bool> release{false};
    int stops = 0;
    service.on_stop = [&](Service&, bool&) { ++stops; };
    service.on_execute = [&](Service& self) {
        // One long "audit run" during which both requests arrive, then the request handling of the loop.
        while (!release.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        self.CurrentThread()->ProcessRequests();
        EXPECT_TRUE(self.Terminated());
    };
    ServiceRun run(service);
    ASSERT_TRUE(binding.WaitForState(ServiceState::Running));
    service.QueueControlRequest(kControlStop);
    service.QueueControlRequest(kControlStop);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(stops, 0); // nothing happens while the run goes on
    release.store(true);
    run.Join();
    EXPECT_EQ(stops, 2);
    // The second stop-pending report repeats a pending state and counts its check point up.
    EXPECT_EQ(binding.Records(),
              (std::vector<ServiceStatusRecord>{Record(2, 1, 0), Record(2, 2, 0), Record(4, 0, 7),
                                                Record(3, 0, 7), Record(3, 1, 7), Record(1, 0, 7)}));
}

TEST(ServiceLifecycle, StopRefusedByTheHandlerRestoresTheStateAndKeepsRunning) {
    FakeServiceBinding binding;
    TestService service(binding);
    int stops = 0;
    IdleLoop loop;
    service.on_stop = [&](Service&, bool& stopped) { stopped = ++stops > 1; };
    service.on_execute = std::ref(loop);
    ServiceRun run(service);
    ASSERT_TRUE(binding.WaitForState(ServiceState::Running));
    service.QueueControlRequest(kControlStop);
    ASSERT_TRUE(binding.WaitForState(ServiceState::Running, 2));
    EXPECT_FALSE(service.Terminated());
    service.QueueControlRequest(kControlStop);
    run.Join();
    EXPECT_EQ(binding.States(), (std::vector<std::uint32_t>{2, 2, 4, 3, 4, 3, 1}));
    EXPECT_EQ(stops, 2);
}

TEST(ServiceLifecycle, ShutdownEndsWithoutTheStopHandler) {
    FakeServiceBinding binding;
    TestService service(binding);
    int stops = 0;
    IdleLoop loop;
    service.on_stop = [&](Service&, bool&) { ++stops; };
    service.on_execute = std::ref(loop);
    ServiceRun run(service);
    ASSERT_TRUE(binding.WaitForState(ServiceState::Running));
    service.QueueControlRequest(kControlShutdown);
    run.Join();
    EXPECT_EQ(binding.States(), (std::vector<std::uint32_t>{2, 2, 4, 3, 1}));
    EXPECT_EQ(stops, 0);
}

TEST(ServiceLifecycle, OnlyAStopOrShutdownEndsTheWaitForOneAndItsArrivalIsAnnouncedAsItIsQueued) {
    FakeServiceBinding binding;
    TestService service(binding);
    std::vector<std::uint32_t> arrivals; // on the posting thread, this one
    service.on_stop_arriving = [&](std::uint32_t code) { arrivals.push_back(code); };
    std::atomic<bool> first_wait_over{false};
    bool interrogate_ended_it = true;
    bool shutdown_ended_it = false;
    std::chrono::steady_clock::duration waited{};
    service.on_execute = [&](Service& self) {
        ServiceThread& thread = *self.CurrentThread();
        interrogate_ended_it = thread.WaitForStopRequest(200);
        first_wait_over.store(true);
        const auto start = std::chrono::steady_clock::now();
        shutdown_ended_it = thread.WaitForStopRequest(120000);
        waited = std::chrono::steady_clock::now() - start;
        thread.ProcessRequests();
    };
    ServiceRun run(service);
    ASSERT_TRUE(binding.WaitForState(ServiceState::Running));
    service.QueueControlRequest(kControlInterrogate);
    while (!first_wait_over.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    service.QueueControlRequest(kControlShutdown);
    run.Join();
    EXPECT_FALSE(interrogate_ended_it);
    EXPECT_TRUE(shutdown_ended_it);
    EXPECT_LT(waited, std::chrono::seconds(60)) << "the shutdown did not end the wait";
    EXPECT_EQ(arrivals, std::vector<std::uint32_t>{kControlShutdown});
    EXPECT_EQ(binding.States(), (std::vector<std::uint32_t>{2, 2, 4, 4, 3, 1}));
}

TEST(ServiceLifecycle, PauseFreezesTheThreadInterrogateWakesItContinueRuns) {
    FakeServiceBinding binding;
    TestService service(binding);
    IdleLoop loop;
    service.on_execute = std::ref(loop);
    ServiceRun run(service);
    ASSERT_TRUE(binding.WaitForState(ServiceState::Running));
    service.QueueControlRequest(kControlPause);
    ASSERT_TRUE(binding.WaitForState(ServiceState::Paused));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const int frozen = loop.ticks.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(loop.ticks.load(), frozen); // no tick while paused
    EXPECT_TRUE(service.CurrentThread()->Queue().Suspended());

    service.QueueControlRequest(kControlInterrogate);
    ASSERT_TRUE(binding.WaitForState(ServiceState::Paused, 2)); // the paused state reported again
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (loop.ticks.load() == frozen && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GT(loop.ticks.load(), frozen); // the loop runs on while the reported state stays paused

    service.QueueControlRequest(kControlContinue);
    ASSERT_TRUE(binding.WaitForState(ServiceState::Running, 2));
    service.QueueControlRequest(kControlStop);
    run.Join();
    EXPECT_EQ(binding.States(), (std::vector<std::uint32_t>{2, 2, 4, 6, 7, 7, 5, 4, 3, 1}));
}

TEST(ServiceLifecycle, PauseWithAContinueAlreadyQueuedDoesNotStick) {
    FakeServiceBinding binding;
    TestService service(binding);
    service.on_execute = [](Service& self) {
        self.QueueControlRequest(kControlPause);
        self.QueueControlRequest(kControlContinue);
        self.QueueControlRequest(kControlStop);
        self.CurrentThread()->ProcessRequests();
    };
    service.RunService();
    EXPECT_EQ(binding.States(), (std::vector<std::uint32_t>{2, 2, 4, 6, 7, 5, 4, 3, 1}));
}

TEST(ServiceLifecycle, ErrorInAHandlerRestoresTheStateAndLogsTheRequestWord) {
    FakeServiceBinding binding;
    TestService service(binding);
    int stops = 0;
    service.on_stop = [&](Service&, bool&) {
        if (++stops == 1) {
            throw std::runtime_error("disk full");
        }
    };
    service.on_execute = [](Service& self) {
        self.QueueControlRequest(kControlStop);
        self.QueueControlRequest(200); // custom: does nothing
        self.QueueControlRequest(201); // custom: the test service's handler fails
        self.QueueControlRequest(kControlInterrogate);
        self.CurrentThread()->ProcessRequests();
        EXPECT_FALSE(self.Terminated());
        self.QueueControlRequest(kControlStop);
        self.QueueControlRequest(kControlInterrogate); // handled although behind the stop
        self.CurrentThread()->ProcessRequests();
        EXPECT_TRUE(self.Terminated());
    };
    service.RunService();
    EXPECT_EQ(binding.States(), (std::vector<std::uint32_t>{2, 2, 4, 3, 4, 4, 4, 3, 3, 1}));
    EXPECT_EQ(binding.Events(),
              (std::vector<std::string>{"TELVA4Audit: Service failed on stop: disk full",
                                        "TELVA4Audit: Service failed in custom message(201): "
                                        "custom trouble"}));
}

TEST(ServiceLifecycle, FailedStatusReportIsLoggedAndTheServiceCarriesOn) {
    FakeServiceBinding binding;
    binding.FailStatusWith(6);
    TestService service(binding);
    service.on_execute = [](Service& self) {
        self.QueueControlRequest(kControlStop);
        self.CurrentThread()->ProcessRequests();
    };
    service.RunService();
    EXPECT_EQ(binding.States(), (std::vector<std::uint32_t>{2, 2, 4, 3, 1}));
    EXPECT_EQ(binding.Events().size(), 5u);
    EXPECT_EQ(binding.Events().front(), "TELVA4Audit: system text 6");
}

TEST(ServiceLifecycle, RequestWithoutAServiceThreadIsDropped) {
    FakeServiceBinding binding;
    TestService service(binding);
    service.QueueControlRequest(kControlStop);
    EXPECT_FALSE(service.Terminated());
    EXPECT_TRUE(binding.Records().empty());
    ASSERT_EQ(ServiceInstance(), &service);
    ForwardControlRequest(kControlStop); // the manager's handler call, also without a thread
    EXPECT_TRUE(binding.Records().empty());
}

TEST(ServiceMessages, FormatsOfLifecycleErrors) {
    EXPECT_EQ(ServiceFailedMessage("execute", "x"), "Service failed on execute: x");
    EXPECT_EQ(CustomMessageFailedMessage(128, "y"), "Service failed in custom message(128): y");
    EXPECT_EQ(ControlWord(1), "stop");
    EXPECT_EQ(ControlWord(2), "pause");
    EXPECT_EQ(ControlWord(3), "continue");
    EXPECT_EQ(ControlWord(4), "interrogate");
    EXPECT_EQ(ControlWord(5), "shutdown");
    EXPECT_EQ(ControlWord(6), "");
}

} // namespace
} // namespace telva
