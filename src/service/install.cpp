#include "service/install.h"

#include "service/system_error.h"

namespace telva {
namespace {

std::string FailedText(std::string_view verb, std::string_view display_name, std::string_view error_text) {
    std::string text = "Service \"";
    text += display_name;
    text += "\" failed to ";
    text += verb;
    text += " with error: \"";
    text += error_text;
    text += "\"";
    return text;
}

} // namespace

std::string InstallFailedText(std::string_view display_name, std::string_view error_text) {
    return FailedText("install", display_name, error_text);
}

std::string UninstallFailedText(std::string_view display_name, std::string_view error_text) {
    return FailedText("uninstall", display_name, error_text);
}

int RunInstallCommand(const Service& service, bool install, bool silent) {
    try {
        const bool done = install ? InstallService(service, silent) : UninstallService(service, silent);
        return done ? 0 : 1;
    } catch (...) {
        ShowMessage(CurrentErrorMessage(), MessageKind::Error, "Application Error");
        return 1;
    }
}

} // namespace telva
