#pragma once
// Starts tests/http/scripted_server.py as a real HTTP server process on loopback for one test, hands out
// scenario URLs, and reads back what the server recorded. The process is ended by its pid.

#include "server/json.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace telva::test {

inline std::string ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

inline std::filesystem::path MakeTempDirectory(const std::string& stem) {
    std::string pattern = (std::filesystem::temp_directory_path() / (stem + "XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

class ScriptedServer {
public:
    ScriptedServer() : directory_(MakeTempDirectory("telva-http-")) {
        const std::string script = std::string(TELVA_SOURCE_DIR) + "/tests/http/scripted_server.py";
        const std::string dir = directory_.string();
        const char* argv[] = {"python3", script.c_str(), "--dir", dir.c_str(), nullptr};
        if (posix_spawnp(&pid_, "python3", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
            throw std::runtime_error("cannot start python3");
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!std::filesystem::exists(directory_ / "port")) {
            if (std::chrono::steady_clock::now() > deadline) {
                throw std::runtime_error("the scripted server did not start");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        port_ = std::stoi(ReadFileBytes(directory_ / "port"));
    }

    ~ScriptedServer() {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }

    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return port_; }

    // The base URL of a scenario, as the service would hold it in its settings' base_url.
    std::string BaseUrl(const std::string& scenario) const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/" + scenario + "/app/index.php/";
    }

    // Sets the answers of a scenario: `answers` is the JSON text of the answer list.
    void Script(const std::string& scenario, const std::string& answers) const {
        std::ofstream(directory_ / (scenario + ".json"), std::ios::binary)
            << "{\"answers\": " << answers << "}";
    }

    // How many requests the scenario has received.
    int RequestCount(const std::string& scenario) const {
        int count = 0;
        while (std::filesystem::exists(directory_ / scenario / (std::to_string(count + 1) + ".json"))) {
            ++count;
        }
        return count;
    }

    // The exact bytes of request `number` (from 1) of the scenario.
    std::string RawRequest(const std::string& scenario, int number) const {
        return ReadFileBytes(directory_ / scenario / (std::to_string(number) + ".raw"));
    }

    // The server's record of request `number`: target, lines, fields (decoded by python's email package).
    JsonDocument Record(const std::string& scenario, int number) const {
        auto record =
            ParseJsonObject(ReadFileBytes(directory_ / scenario / (std::to_string(number) + ".json")));
        if (!record) {
            throw std::runtime_error("unreadable request record");
        }
        return std::move(*record);
    }

private:
    std::filesystem::path directory_;
    pid_t pid_ = 0;
    int port_ = 0;
};

// The name of the running test, usable as a scenario name.
inline std::string CurrentTestName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name();
}

} // namespace telva::test
