#pragma once
// The net-snmp agents the client tests read from, started by tools/printer-fleet. CTest starts the fleet
// as a fixture and names its directory in TELVA_PRINTER_FLEET; when the variable is not set (the test
// program run by hand on a POSIX build) the first use starts a private fleet and the end of the program
// stops it.

#include <string>
#include <vector>

namespace telva::test {

struct FleetValue {
    std::string address; // the printer's loopback address
    bool running = false;
    std::string oid;
    std::string type; // counter, integer, uinteger, octet_str, object_id
    std::string value;
};

// Every value of every printer, in the fleet's order. Fails the calling test when no fleet is available.
const std::vector<FleetValue>& FleetValues();

// The distinct printer addresses, in order, with whether an agent listens there.
std::vector<std::pair<std::string, bool>> FleetPrinters();

} // namespace telva::test
