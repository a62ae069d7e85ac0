#include "printer_fleet.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace telva::test {
namespace {

// The arguments the CTest fixture uses as well (tests/CMakeLists.txt).
const char* const kStartArguments =
    " start --count 3 --first-address 127.0.0.200 --lifetime 600 --values-file ";

std::string& OwnFleetDirectory() {
    static std::string directory;
    return directory;
}

class OwnFleetCleanup : public ::testing::Environment {
public:
    void TearDown() override {
        if (!OwnFleetDirectory().empty()) {
            const std::string command = std::string("python3 \"") + TELVA_SOURCE_DIR +
                                        "/tools/printer-fleet\" stop --dir \"" + OwnFleetDirectory() + "\"";
            EXPECT_EQ(std::system(command.c_str()), 0);
            OwnFleetDirectory().clear();
        }
    }
};

[[maybe_unused]] ::testing::Environment* const kCleanup =
    ::testing::AddGlobalTestEnvironment(new OwnFleetCleanup);

std::string FleetDirectory() {
    if (const char* given = std::getenv("TELVA_PRINTER_FLEET"); given != nullptr && *given != '\0') {
        return given;
    }
#ifdef _WIN32
    return {};
#else
    if (OwnFleetDirectory().empty()) {
        const std::string directory =
            (std::filesystem::temp_directory_path() / "telva4-net-tests-fleet").string();
        const std::string command = std::string("python3 \"") + TELVA_SOURCE_DIR + "/tools/printer-fleet\"" +
                                    kStartArguments + "\"" + TELVA_SOURCE_DIR +
                                    "/tests/net/fleet_values.json\" --dir \"" + directory + "\" >/dev/null";
        if (std::system(command.c_str()) != 0) {
            return {};
        }
        OwnFleetDirectory() = directory;
    }
    return OwnFleetDirectory();
#endif
}

std::vector<FleetValue> Load() {
    std::vector<FleetValue> values;
    const std::string directory = FleetDirectory();
    if (directory.empty()) {
        ADD_FAILURE() << "no printer fleet: run through CTest, or start tools/printer-fleet and set "
                         "TELVA_PRINTER_FLEET to its directory";
        return values;
    }
    std::ifstream file(std::filesystem::path(directory) / "fleet.txt", std::ios::binary);
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        FleetValue value;
        int running = 0;
        fields >> value.address >> running >> value.oid >> value.type;
        fields.get(); // the blank before the value, which may hold blanks itself
        std::getline(fields, value.value);
        value.running = running != 0;
        if (!value.oid.empty()) {
            values.push_back(value);
        }
    }
    if (values.empty()) {
        ADD_FAILURE() << "the printer fleet in " << directory << " lists no values";
    }
    return values;
}

} // namespace

const std::vector<FleetValue>& FleetValues() {
    static const std::vector<FleetValue> values = Load();
    return values;
}

std::vector<std::pair<std::string, bool>> FleetPrinters() {
    std::vector<std::pair<std::string, bool>> printers;
    for (const FleetValue& value : FleetValues()) {
        if (printers.empty() || printers.back().first != value.address) {
            printers.emplace_back(value.address, value.running);
        }
    }
    return printers;
}

} // namespace telva::test
