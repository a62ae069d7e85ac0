#include "server/proxy.h"

#include "platform/system_proxy.h"
#include "server/http_error.h"
#include "text/ascii.h"

#include <algorithm>
#include <vector>

namespace telva {
namespace {

// `text` with its %XX escapes decoded; none for a "%" not followed by two hexadecimal digits.
std::optional<std::string> PercentDecoded(std::string_view text) {
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size() || HexDigitValue(text[i + 1]) < 0 || HexDigitValue(text[i + 2]) < 0) {
            return std::nullopt;
        }
        decoded.push_back(static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2])));
        i += 2;
    }
    return decoded;
}

// `text` without what lies between the user name and the "@" of its user part: the password.
std::string WithoutPassword(std::string_view text) {
    const std::size_t scheme_end = text.find("://");
    const std::size_t start = scheme_end == std::string_view::npos ? 0 : scheme_end + 3;
    const std::size_t at = text.rfind('@');
    if (at == std::string_view::npos || at < start) {
        return std::string(text);
    }
    const std::size_t colon = text.find(':', start);
    if (colon == std::string_view::npos || colon > at) {
        return std::string(text);
    }
    return std::string(text.substr(0, colon)) + std::string(text.substr(at));
}

// Reads "host:port" (an IPv6 host in brackets) into `server`; the reason when it cannot.
std::string ReadHostAndPort(std::string_view text, std::optional<std::uint16_t> default_port,
                            ProxyServer& server) {
    std::string_view port_text;
    bool has_port = false;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return "an IPv6 address without its closing bracket";
        }
        server.host = std::string(text.substr(0, close + 1));
        server.connect_host = std::string(text.substr(1, close - 1));
        const std::string_view after = text.substr(close + 1);
        if (!after.empty() && after.front() != ':') {
            return "text after the address";
        }
        has_port = !after.empty();
        port_text = has_port ? after.substr(1) : std::string_view();
    } else {
        const std::size_t colon = text.find(':');
        if (colon != std::string_view::npos && text.find(':', colon + 1) != std::string_view::npos) {
            return "an IPv6 address must be written in brackets";
        }
        server.host = std::string(text.substr(0, colon));
        server.connect_host = server.host;
        has_port = colon != std::string_view::npos;
        port_text = has_port ? text.substr(colon + 1) : std::string_view();
    }
    if (server.connect_host.empty()) {
        return "no host";
    }
    if (!has_port) {
        if (!default_port) {
            return "no port";
        }
        server.port = *default_port;
        return {};
    }
    unsigned value = 0;
    for (const char c : port_text) {
        value = IsAsciiDigit(c) && value <= 65535 ? value * 10 + static_cast<unsigned>(c - '0') : 70000;
    }
    if (port_text.empty() || value == 0 || value > 65535) {
        return "the port is not a number from 1 to 65535";
    }
    server.port = static_cast<std::uint16_t>(value);
    return {};
}

ProxySetting Unusable(ProxySetting setting, const std::string& why) {
    setting.mode = ProxyMode::Unusable;
    setting.problem =
        "Proxy setting not usable (" + why + "): " + setting.shown + "; nothing is sent to the server";
    return setting;
}

// The entries of a WinHTTP list: separated by ";" or blanks.
std::vector<std::string_view> ListEntries(std::string_view list) {
    std::vector<std::string_view> entries;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= list.size(); ++i) {
        if (i == list.size() || list[i] == ';' || IsBlank(list[i])) {
            if (i > start) {
                entries.push_back(list.substr(start, i - start));
            }
            start = i + 1;
        }
    }
    return entries;
}

std::string_view WithoutScheme(std::string_view text) {
    const std::size_t separator = text.find("://");
    return separator == std::string_view::npos ? text : text.substr(separator + 3);
}

// Whether `text` matches `pattern`, in which "*" stands for any run of characters; without ASCII case.
bool WildcardMatch(std::string_view pattern, std::string_view text) {
    std::size_t p = 0;
    std::size_t t = 0;
    std::size_t star = std::string_view::npos;
    std::size_t resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && LowerAscii(pattern[p]) == LowerAscii(text[t])) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

bool Bypassed(std::string_view bypass, std::string_view host) {
    for (const std::string_view entry : ListEntries(bypass)) {
        if (EqualsIgnoringAsciiCase(entry, "<local>") ? host.find_first_of(".:") == std::string_view::npos
                                                      : WildcardMatch(WithoutScheme(entry), host)) {
            return true;
        }
    }
    return false;
}

} // namespace

std::string ProxyServer::Where() const {
    return host + ":" + std::to_string(port);
}

ProxySetting ParseProxySetting(std::string_view text) {
    ProxySetting setting;
    text = TrimBlanks(text);
    if (text.empty()) {
        return setting;
    }
    if (EqualsIgnoringAsciiCase(text, "system")) {
        setting.shown = "system";
        if (!platform::SystemProxySupported()) {
            return Unusable(setting, "the machine's proxy setting is read on Windows only");
        }
        setting.mode = ProxyMode::System;
        return setting;
    }
    setting.shown = WithoutPassword(text);
    std::string_view rest = text;
    if (const std::size_t separator = rest.find("://"); separator != std::string_view::npos) {
        if (!EqualsIgnoringAsciiCase(rest.substr(0, separator), "http")) {
            return Unusable(setting, "only an http:// proxy can be used");
        }
        rest.remove_prefix(separator + 3);
    }
    ProxyServer& server = setting.server;
    std::string_view user_text;
    if (const std::size_t at = rest.rfind('@'); at != std::string_view::npos) {
        const std::string_view user_part = rest.substr(0, at);
        const std::size_t colon = user_part.find(':');
        user_text = user_part.substr(0, colon);
        const std::optional<std::string> user = PercentDecoded(user_text);
        const std::optional<std::string> password = PercentDecoded(
            colon == std::string_view::npos ? std::string_view() : user_part.substr(colon + 1));
        if (!user || !password) {
            return Unusable(setting,
                            "a \"%\" in the user name or password is not followed by two hex digits");
        }
        if (user->empty()) {
            return Unusable(setting, "the user name is empty");
        }
        server.user = *user;
        server.password = *password;
        rest.remove_prefix(at + 1);
    }
    if (!rest.empty() && rest.back() == '/') {
        rest.remove_suffix(1);
    }
    if (rest.find_first_of("/?#") != std::string_view::npos) {
        return Unusable(setting, "a proxy's address has no path");
    }
    if (const std::string why = ReadHostAndPort(rest, std::nullopt, server); !why.empty()) {
        return Unusable(setting, why);
    }
    setting.mode = ProxyMode::Named;
    setting.shown = "http://" + (user_text.empty() ? "" : std::string(user_text) + "@") + server.Where();
    return setting;
}

std::string ProxyInEffect(const ProxySetting& setting) {
    switch (setting.mode) {
    case ProxyMode::Direct:
        return "none";
    case ProxyMode::Named:
        return setting.shown;
    case ProxyMode::Unusable:
        return setting.shown + " (not usable: nothing is sent to the server)";
    case ProxyMode::System:
        break;
    }
    const platform::SystemProxyConfig config = platform::ReadSystemProxy();
    if (config.proxies.empty()) {
        return "system: none";
    }
    return "system: " + config.proxies + (config.bypass.empty() ? "" : ", not for " + config.bypass);
}

std::optional<ProxyServer> ProxyFor(const ProxySetting& setting, const HttpTarget& target) {
    switch (setting.mode) {
    case ProxyMode::Direct:
        return std::nullopt;
    case ProxyMode::Named:
        return setting.server;
    case ProxyMode::Unusable:
        throw HttpError(setting.problem);
    case ProxyMode::System:
        break;
    }
    const platform::SystemProxyConfig config = platform::ReadSystemProxy();
    return ChooseSystemProxy(config.proxies, config.bypass, target.connect_host, target.tls);
}

std::optional<ProxyServer> ChooseSystemProxy(std::string_view proxies, std::string_view bypass,
                                             std::string_view host, bool tls) {
    std::optional<std::string_view> for_scheme;
    std::optional<std::string_view> for_any;
    for (const std::string_view entry : ListEntries(proxies)) {
        const std::size_t equals = entry.find('=');
        if (equals == std::string_view::npos) {
            for_any = for_any.value_or(entry);
        } else if (EqualsIgnoringAsciiCase(entry.substr(0, equals), tls ? "https" : "http")) {
            for_scheme = for_scheme.value_or(entry.substr(equals + 1));
        }
    }
    const std::optional<std::string_view> chosen = for_scheme ? for_scheme : for_any;
    if (!chosen || Bypassed(bypass, host)) {
        return std::nullopt;
    }
    ProxyServer server;
    std::string_view address = WithoutScheme(*chosen);
    if (!address.empty() && address.back() == '/') {
        address.remove_suffix(1);
    }
    if (const std::string why = ReadHostAndPort(address, 80, server); !why.empty()) {
        throw HttpError("The machine's proxy setting is not usable (" + why + "): " + std::string(*chosen));
    }
    return server;
}

std::string BasicCredentials(std::string_view user, std::string_view password) {
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string plain = std::string(user) + ":" + std::string(password);
    std::string encoded = "Basic ";
    for (std::size_t i = 0; i < plain.size(); i += 3) {
        const std::size_t count = std::min<std::size_t>(3, plain.size() - i);
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 3; ++j) {
            group = (group << 8) | (j < count ? static_cast<unsigned char>(plain[i + j]) : 0u);
        }
        for (std::size_t j = 0; j < 4; ++j) {
            encoded.push_back(j <= count ? kDigits[(group >> (18 - 6 * j)) & 0x3F] : '=');
        }
    }
    return encoded;
}

} // namespace telva
