#pragma once
// Two real HTTP proxies on loopback (tests/https/proxy_server.py: tinyproxy), one that asks nothing and one
// that asks for Basic credentials. Natively this object starts them in a temporary directory and stops them
// by pid when it goes; under Wine (no POSIX process can be started) a CTest fixture has started them and
// TELVA_PROXIES names their directory.

#include "server/json.h"

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#ifndef _WIN32
#include "support/temp_dir.h"

#include <spawn.h>
#include <sys/wait.h>

extern char** environ;
#endif

namespace telva::test {

class Proxies {
public:
    Proxies() {
        if (const char* directory = std::getenv("TELVA_PROXIES")) {
            directory_ = directory;
        } else {
#ifdef _WIN32
            throw std::runtime_error("TELVA_PROXIES is not set (the CTest fixture starts the proxies)");
#else
            own_ = std::make_unique<TempDir>();
            directory_ = own_->path().string();
            if (Script("start") != 0) {
                throw std::runtime_error("the proxies did not start (tinyproxy)");
            }
#endif
        }
        const auto names = ParseJsonObject(Read("proxies.json"));
        if (!names) {
            throw std::runtime_error("no proxies.json in " + directory_);
        }
        open_ = ValueText(*FindMember(names->root(), "open"));
        auth_ = ValueText(*FindMember(names->root(), "auth"));
        user_ = ValueText(*FindMember(names->root(), "user"));
        password_ = ValueText(*FindMember(names->root(), "password"));
    }

    // "127.0.0.1:<port>" of the proxy that asks nothing, and of the one that asks for credentials.
    std::string Open() const {
        return "127.0.0.1:" + open_;
    }
    std::string Auth() const {
        return "127.0.0.1:" + auth_;
    }
    const std::string& user() const {
        return user_;
    }
    const std::string& password() const {
        return password_;
    }

    ~Proxies() {
#ifndef _WIN32
        if (own_) {
            Script("stop");
        }
#endif
    }
    Proxies(const Proxies&) = delete;
    Proxies& operator=(const Proxies&) = delete;

    // What the proxy ("open" or "auth") has logged so far: one line per connection and request.
    std::string Log(const std::string& name) const {
        return Read(name + ".log");
    }

private:
#ifndef _WIN32
    // Runs proxy_server.py `command` on this object's directory; its exit status.
    int Script(const char* command) const {
        const std::string script = std::string(TELVA_SOURCE_DIR) + "/tests/https/proxy_server.py";
        const char* argv[] = {"python3", script.c_str(), command, "--dir", directory_.c_str(), nullptr};
        pid_t pid = 0;
        if (posix_spawnp(&pid, "python3", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
            return -1;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::unique_ptr<TempDir> own_;
#endif

    std::string Read(const std::string& name) const {
        std::ifstream in(directory_ + "/" + name, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }

    std::string directory_;
    std::string open_;
    std::string auth_;
    std::string user_;
    std::string password_;
};

} // namespace telva::test
