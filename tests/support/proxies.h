#pragma once
// Two real HTTP proxies on loopback (tests/https/proxy_server.py: tinyproxy): `open` asks nothing, `auth`
// asks for Basic credentials. Natively this object starts them in a temporary directory and stops them by
// pid; under Wine (no POSIX process can be started) a CTest fixture has, and TELVA_PROXIES names the place.

#include "server/json.h"
#include "support/temp_dir.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#ifndef _WIN32
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;
#endif

namespace telva::test {

class Proxies {
public:
    Proxies() {
        const char* named = std::getenv("TELVA_PROXIES");
        directory_ = named != nullptr ? std::string(named) : own_.path().string();
        if (named == nullptr && Script("start") != 0) {
            throw std::runtime_error("the proxies did not start (tinyproxy; TELVA_PROXIES under Wine)");
        }
        const auto names = ParseJsonObject(Log("proxies.json"));
        if (!names) {
            throw std::runtime_error("no proxies.json in " + directory_);
        }
        open = "127.0.0.1:" + ValueText(*FindMember(names->root(), "open"));
        auth = "127.0.0.1:" + ValueText(*FindMember(names->root(), "auth"));
        user = ValueText(*FindMember(names->root(), "user"));
        password = ValueText(*FindMember(names->root(), "password"));
    }
    ~Proxies() {
        if (std::getenv("TELVA_PROXIES") == nullptr) {
            Script("stop");
        }
    }

    // A file of the proxies' directory: "open.log" and "auth.log" hold a line per connection and request.
    std::string Log(const std::string& name) const {
        std::ifstream in(directory_ + "/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::string open; // "127.0.0.1:<port>"
    std::string auth;
    std::string user;
    std::string password;

private:
    // Runs proxy_server.py `command` on the directory; its exit status.
    int Script(const char* command) const {
#ifdef _WIN32
        (void)command;
        return -1;
#else
        const std::string script = std::string(TELVA_SOURCE_DIR) + "/tests/https/proxy_server.py";
        const char* argv[] = {"python3", script.c_str(), command, "--dir", directory_.c_str(), nullptr};
        pid_t pid = 0;
        int status = 0;
        if (posix_spawnp(&pid, "python3", nullptr, nullptr, const_cast<char**>(argv), environ) != 0 ||
            waitpid(pid, &status, 0) != pid) {
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    }

    TempDir own_;
    std::string directory_;
};

} // namespace telva::test
