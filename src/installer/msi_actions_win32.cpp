// The Windows installer package's custom actions: a DLL kept in the package (never installed) whose
// exported functions the installer calls by name (packaging/windows/telva4-audit.wxs says where in the
// sequence). They do what the installer's own tables cannot: write the settings given as properties into
// config.ini with an access list of its own, refuse a first installation without a server and a contract
// and a package that is not newer than the installed one (with a line in the log), delete config.ini on
// removal, wait for the service's stop and keep its registered path in quotation marks. Failures are reported
// through the installer's log and give ERROR_INSTALL_FAILURE (exit status 1603).

#include "installer/settings_properties.h"
#include "platform/wide_text_win32.h"

#include <windows.h>

#include <aclapi.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace telva {
namespace {

using platform::Narrow;
using platform::Wide;

constexpr const wchar_t* kSection = L"SERVIDOR";
constexpr std::uintmax_t kMaxSettingsFileBytes = 1 << 20;
constexpr ULONGLONG kServiceStopWaitMs = 60'000;

// Owns a handle of the installer or the service manager and closes it at the end of the scope.
template <typename Raw, auto Close> class Owned {
public:
    explicit Owned(Raw raw) : raw_(raw) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() {
        if (raw_) {
            Close(raw_);
        }
    }
    Raw get() const { return raw_; }

private:
    Raw raw_;
};
using Record = Owned<MSIHANDLE, &MsiCloseHandle>;
using ServiceHandle = Owned<SC_HANDLE, &CloseServiceHandle>;

// Text from an installer call that takes a buffer and its length: asked once for the length, then read.
template <typename Call> std::string InstallerText(Call call) {
    DWORD length = 0;
    wchar_t empty[1] = {};
    if (call(empty, &length) != ERROR_MORE_DATA) {
        return {};
    }
    std::wstring text(length + 1, L'\0');
    length = static_cast<DWORD>(text.size());
    if (call(text.data(), &length) != ERROR_SUCCESS) {
        return {};
    }
    text.resize(length);
    return Narrow(text);
}

std::string Property(MSIHANDLE install, const wchar_t* name) {
    return InstallerText(
        [&](wchar_t* buffer, DWORD* length) { return MsiGetPropertyW(install, name, buffer, length); });
}

// One line in the installer's log: an error (shown, and logged, as the reason the installation failed) or
// an information line.
void Report(MSIHANDLE install, const std::string& text, INSTALLMESSAGE kind) {
    const Record record(MsiCreateRecord(1));
    MsiRecordSetStringW(record.get(), 0, L"[1]");
    MsiRecordSetStringW(record.get(), 1, Wide(text).c_str());
    MsiProcessMessage(install, kind, record.get());
}

UINT Fail(MSIHANDLE install, const std::string& text) {
    Report(install, text, static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR));
    return ERROR_INSTALL_FAILURE;
}

std::string ErrorText(DWORD code) {
    return " (system error " + std::to_string(code) + ")";
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The whole file, or nothing when it cannot be read or is larger than any settings file.
std::optional<std::string> ReadWholeFile(const std::wstring& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    std::string content(error ? 0 : std::min<std::uintmax_t>(size, kMaxSettingsFileBytes + 1), '\0');
    if (error || !in.read(content.data(), static_cast<std::streamsize>(content.size())) ||
        content.size() > kMaxSettingsFileBytes) {
        return std::nullopt;
    }
    return content;
}

std::string ProfileValue(const std::wstring& path, const wchar_t* key) {
    wchar_t buffer[2048] = {};
    const DWORD length = GetPrivateProfileStringW(kSection, key, L"", buffer, 2048, path.c_str());
    return Narrow(std::wstring_view(buffer, length));
}

// The security descriptor the access list text describes; LocalFree when done.
PSECURITY_DESCRIPTOR SecurityDescriptor(const std::string& access) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(Wide(access).c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return nullptr;
    }
    return descriptor;
}

// Creates config.ini with the access list from its start, holding `content`, or (none) a new settings file:
// UTF-16 with its byte-order mark, so that any character of a value given as a property is kept.
DWORD CreateSettingsFile(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor,
                         const std::optional<std::string>& content) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    std::string bytes;
    if (content) {
        bytes = *content;
    } else {
        const std::wstring text = std::wstring(1, L'\xFEFF') + L"[" + kSection + L"]\r\n";
        bytes.assign(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    }
    DWORD written = 0;
    const bool ok = bytes.empty() ||
                    (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                     written == bytes.size());
    const DWORD error = ok ? 0 : GetLastError();
    CloseHandle(file);
    return error;
}

// Replaces the file's access list with the descriptor's, protected from inherited entries.
DWORD ProtectFile(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    std::wstring name = path;
    return SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                 nullptr, dacl, nullptr);
}

std::string CustomActionData(MSIHANDLE install) {
    return Property(install, L"CustomActionData");
}

} // namespace
} // namespace telva

using namespace telva;

// Immediate, first in the sequence when this package is not newer than the version installed already (or is
// that very package again): refuses with the package's own words, its property NotNewerMessage.
extern "C" __declspec(dllexport) UINT __stdcall RefuseNotNewer(MSIHANDLE install) {
    const Record record(MsiCreateRecord(0));
    MsiRecordSetStringW(record.get(), 0, Wide(Property(install, L"NotNewerMessage")).c_str());
    return Fail(install, InstallerText([&](wchar_t* buffer, DWORD* length) {
                    return MsiFormatRecordW(install, record.get(), buffer, length);
                }));
}

// Immediate, after the folder is known: checks the given settings and what config.ini already holds, refuses
// an installation that would leave it without a server or a contract, and hands on to SaveSettings (and to
// its rollback, UndoSettings) through their action data. The password travels only in that data, which the
// package hides from the log.
extern "C" __declspec(dllexport) UINT __stdcall PrepareSettings(MSIHANDLE install) {
    const std::wstring path = Wide(Property(install, L"INSTALLDIR")) + L"config.ini";
    std::vector<SettingAssignment> given;
    for (const std::string_view key : kPackageSettingKeys) {
        std::string value = Property(install, Wide(SettingProperty(key)).c_str());
        if (!value.empty()) {
            given.push_back({std::string(key), std::move(value)});
        }
    }
    const std::string problem = AssignmentProblem(given);
    if (!problem.empty()) {
        return Fail(install, problem);
    }
    SettingsWrite write{Narrow(path), Property(install, L"SettingsFileAccess"), std::nullopt, {}};
    if (FileExists(path)) {
        write.previous_content = ReadWholeFile(path);
        if (!write.previous_content) {
            return Fail(install, "The existing " + write.path + " cannot be read. Nothing was installed.");
        }
    }
    const auto given_or_kept = [&](const char* key) {
        for (const SettingAssignment& assignment : given) {
            if (assignment.key == key) {
                return true;
            }
        }
        return write.previous_content && !ProfileValue(path, Wide(key).c_str()).empty();
    };
    const std::string missing =
        MissingServerProblem(given_or_kept("endereco"), given_or_kept("contrato"), write.path);
    if (!missing.empty()) {
        return Fail(install, missing);
    }
    for (const SettingAssignment& assignment : given) {
        write.assignments.push_back({assignment.key, ProfileValueText(assignment.value)});
    }
    MsiSetPropertyW(install, L"SaveSettings", Wide(EncodeSettingsWrite(write)).c_str());
    MsiSetPropertyW(install, L"UndoSettings", write.previous_content ? L"" : path.c_str());
    return ERROR_SUCCESS;
}

// Deferred, as LocalSystem, after the files are in place: makes sure config.ini exists (created with its
// access list, or restored as it was when an older version's removal took it away), puts the access list on
// it before any value is written, then writes the given keys; the other keys stay as they are.
extern "C" __declspec(dllexport) UINT __stdcall SaveSettings(MSIHANDLE install) {
    const std::optional<SettingsWrite> write = DecodeSettingsWrite(CustomActionData(install));
    if (!write) {
        return Fail(install, "The settings to write reached the installer damaged.");
    }
    const std::wstring path = Wide(write->path);
    PSECURITY_DESCRIPTOR descriptor = SecurityDescriptor(write->access);
    if (descriptor == nullptr) {
        return Fail(install, "The package's access list for config.ini is not valid" +
                                 ErrorText(GetLastError()) + ".");
    }
    DWORD error = FileExists(path) ? 0 : CreateSettingsFile(path, descriptor, write->previous_content);
    if (error == 0) {
        error = ProtectFile(path, descriptor);
    }
    LocalFree(descriptor);
    if (error != 0) {
        return Fail(install,
                    "config.ini could not be created or protected: " + write->path + ErrorText(error) + ".");
    }
    for (const SettingAssignment& assignment : write->assignments) {
        if (!WritePrivateProfileStringW(kSection, Wide(assignment.key).c_str(),
                                        Wide(assignment.value).c_str(), path.c_str())) {
            return Fail(install, "The key " + assignment.key + " could not be written into " + write->path +
                                     ErrorText(GetLastError()) + ".");
        }
    }
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, path.c_str());
    return ERROR_SUCCESS;
}

// Rollback of SaveSettings: deletes config.ini when this installation created it.
extern "C" __declspec(dllexport) UINT __stdcall UndoSettings(MSIHANDLE install) {
    const std::string path = CustomActionData(install);
    if (!path.empty()) {
        DeleteFileW(Wide(path).c_str());
    }
    return ERROR_SUCCESS;
}

// Deferred, on removal (not on an upgrade's removal of the older version): deletes config.ini, which holds
// the password, and then the folder when nothing else is left in it. The daily logs are elsewhere and stay.
extern "C" __declspec(dllexport) UINT __stdcall RemoveSettings(MSIHANDLE install) {
    const std::wstring folder = Wide(CustomActionData(install));
    if (folder.empty()) {
        return ERROR_SUCCESS;
    }
    const std::wstring path = folder + L"config.ini";
    if (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        Report(install, "config.ini could not be deleted: " + Narrow(path) + ErrorText(GetLastError()),
               INSTALLMESSAGE_WARNING);
    }
    RemoveDirectoryW(folder.c_str());
    return ERROR_SUCCESS;
}

// Deferred, after the stop request: waits until the service has stopped (its stop takes some seconds), so
// that its program is replaced or removed only then. Nothing to wait for when it is not there.
extern "C" __declspec(dllexport) UINT __stdcall AwaitServiceStop(MSIHANDLE install) {
    const std::string name = CustomActionData(install);
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (manager.get() == nullptr) {
        return Fail(install, "The service manager cannot be opened" + ErrorText(GetLastError()) + ".");
    }
    const ServiceHandle service(OpenServiceW(manager.get(), Wide(name).c_str(), SERVICE_QUERY_STATUS));
    if (service.get() == nullptr) {
        return ERROR_SUCCESS;
    }
    const ULONGLONG started = GetTickCount64();
    for (;;) {
        SERVICE_STATUS status{};
        if (!QueryServiceStatus(service.get(), &status) || status.dwCurrentState == SERVICE_STOPPED) {
            return ERROR_SUCCESS;
        }
        if (GetTickCount64() - started >= kServiceStopWaitMs) {
            return Fail(install, "The service " + name + " did not stop within " +
                                     std::to_string(kServiceStopWaitMs / 1000) + " seconds.");
        }
        Sleep(250);
    }
}

// Deferred, after the service is registered: its program's path in quotation marks, so that a path with
// blanks can never be taken for a shorter one. The data is "service name|program path".
extern "C" __declspec(dllexport) UINT __stdcall QuoteServicePath(MSIHANDLE install) {
    const std::string data = CustomActionData(install);
    const auto bar = data.find('|');
    if (bar == std::string::npos) {
        return Fail(install, "The service to check reached the installer damaged.");
    }
    const std::wstring name = Wide(data.substr(0, bar));
    const std::wstring quoted = L"\"" + Wide(data.substr(bar + 1)) + L"\"";
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const ServiceHandle service(
        manager.get() == nullptr
            ? nullptr
            : OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG));
    if (service.get() == nullptr) {
        return Fail(install,
                    "The service " + Narrow(name) + " cannot be opened" + ErrorText(GetLastError()) + ".");
    }
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<unsigned char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (needed == 0 || !QueryServiceConfigW(service.get(), config, needed, &needed)) {
        return Fail(install,
                    "The service " + Narrow(name) + " cannot be read" + ErrorText(GetLastError()) + ".");
    }
    if (config->lpBinaryPathName != nullptr && config->lpBinaryPathName[0] == L'"') {
        return ERROR_SUCCESS;
    }
    if (!ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                              quoted.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
        return Fail(install, "The service " + Narrow(name) + "'s path cannot be set" +
                                 ErrorText(GetLastError()) + ".");
    }
    return ERROR_SUCCESS;
}
