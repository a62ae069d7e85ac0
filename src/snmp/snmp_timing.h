#pragma once
// The SNMP exchange's fixed values: the wait for each answer, the printers' port and the local trap port held
// while a printer is read.

#include <cstdint>

namespace telva {

struct SnmpTiming {
    std::int32_t receive_timeout_ms = 10000;
    std::uint16_t agent_port = 161;
    std::uint16_t trap_port = 162;
};

} // namespace telva
