#include "main.h"

#include "commons/daily_log.h"
#include "commons/local_address.h"
#include "commons/settings.h"
#include "platform/memory.h"
#include "platform/unicode.h"

namespace telva {

namespace {
constexpr std::uint32_t kStopWaitMs = 5000;

void ServiceControlHandler(std::uint32_t code) {
    if (TService* service = ServiceInstance()) {
        service->QueueControlRequest(code);
    }
}

} // namespace

TTELVA4Audit::TTELVA4Audit(TimeSource& time, ScheduleClock& schedule, ServiceBinding& binding)
    : TService(kServiceName, kServiceDisplayName, binding), SettingsPath(SettingsFilePath()), time_(time),
      schedule_(schedule) {
    OnStart = [this](TService&, bool& Started) { ServiceStart(Started); };
    OnStop = [this](TService&, bool& Stopped) { ServiceStop(Stopped); };
    OnExecute = [this](TService& Sender) { ServiceExecute(Sender); };
}

ServiceControllerFunction TTELVA4Audit::GetServiceController() {
    return &ServiceControlHandler;
}

std::string DeriveBaseUrl(std::string_view server_address) {
    std::string url = platform::ToLowerText(server_address) + "/app/index.php/";
    if (url.find("http") == std::string::npos) {
        url = "http://" + url;
    }
    return url;
}

void TTELVA4Audit::ServiceStart(bool& Started) {
    AuditSettings.LocalIP = GetLocalAddress();
    // "timeout" is read for compatibility with existing files; nothing uses its value.
    (void)ReadConfigIntegerFrom(SettingsPath, kSettingsSection, "timeout", 50);
    AuditSettings.ContractNumber = ReadConfigStringFrom(SettingsPath, kSettingsSection, "contrato", "");
    AuditSettings.ServerAddress = ReadConfigStringFrom(SettingsPath, kSettingsSection, "endereco", "");
    AuditSettings.ScheduleTime = ReadConfigStringFrom(SettingsPath, kSettingsSection, "horario", "03:00");
    AuditSettings.UserName = ReadConfigStringFrom(SettingsPath, kSettingsSection, "user", "vrel");
    AuditSettings.Password = ReadConfigStringFrom(SettingsPath, kSettingsSection, "pass", "24680");
    AuditSettings.BaseUrl = DeriveBaseUrl(AuditSettings.ServerAddress);
    Started = true;
    WriteLog("Service started, IP " + AuditSettings.LocalIP);
}

void TTELVA4Audit::ServiceStop(bool& Stopped) {
    time_.Sleep(kStopWaitMs);
    WriteLog("Service stopped, IP " + AuditSettings.LocalIP);
    Stopped = true;
}

void TTELVA4Audit::ServiceExecute(TService& Sender) {
    RunScheduleLoop(Sender, schedule_, [this] {
        RunAudit();
        // What a run allocated (the printer list, the upload form) is given back while the service rests.
        platform::ReleaseFreeMemory();
    });
}

} // namespace telva
