#pragma once
// The TLS peers a CTest fixture starts for the https tests (tests/https/tls_server.py), named by
// TELVA_TLS_SERVER: a test CA and certificates for "localhost" made by the openssl command, a plain HTTP
// server, TLS servers with a good, an expired and an address certificate, and a port that never answers.

#include "server/http_error.h"
#include "server/json.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

namespace telva::test {

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

inline bool Exists(const std::string& path) {
    return std::ifstream(path, std::ios::binary).good();
}

// The servers the fixture started: their directory and ports.
class TlsServers {
public:
    TlsServers() {
        const char* directory = std::getenv("TELVA_TLS_SERVER");
        if (directory == nullptr) {
            throw std::runtime_error("TELVA_TLS_SERVER is not set (the CTest fixture starts the servers)");
        }
        directory_ = directory;
        const auto ports = ParseJsonObject(ReadBytes(Path("ports.json")));
        if (!ports) {
            throw std::runtime_error("no ports.json in " + directory_);
        }
        for (const char* name : {"plain", "good", "expired", "address", "forged", "notca", "constrained",
                                 "optional", "silent"}) {
            ports_[name] = ValueText(*FindMember(ports->root(), name));
        }
    }

    std::string Path(const std::string& name) const { return directory_ + "/" + name; }
    std::string CaFile() const { return Path("ca.pem"); }

    // The base URL of a scenario on one of the servers.
    std::string Url(const std::string& scheme, const std::string& host, const std::string& server,
                    const std::string& scenario) const {
        return scheme + "://" + host + ":" + ports_.at(server) + "/" + scenario + "/app/index.php/";
    }
    std::string Port(const std::string& server) const { return ports_.at(server); }

    void Script(const std::string& scenario, const std::string& answers) const {
        std::ofstream(Path(scenario + ".json"), std::ios::binary) << "{\"answers\": " << answers << "}";
    }
    bool Received(const std::string& scenario, int number) const {
        return Exists(Path(scenario + "/" + std::to_string(number) + ".json"));
    }
    std::string RawRequest(const std::string& scenario, int number) const {
        return ReadBytes(Path(scenario + "/" + std::to_string(number) + ".raw"));
    }

private:
    std::string directory_;
    std::map<std::string, std::string> ports_;
};

// The name of the running test and `suffix`: a scenario of its own.
inline std::string ScenarioName(const std::string& suffix) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name() + suffix;
}

// The message of the HttpError that `post` raises, and whether it was a TLS failure.
template <typename Post> std::pair<std::string, bool> FailureOf(Post post) {
    try {
        post();
    } catch (const HttpError& error) {
        return {error.what(), error.tls()};
    }
    return {"(no failure)", false};
}

} // namespace telva::test
