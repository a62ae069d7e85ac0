#include "snmp/snmp_message.h"

namespace telva {

void AddBinding(SnmpMessage& message, const std::string& oid, const std::string& text, std::uint8_t tag) {
    message.bindings.push_back(VariableBinding{oid, SnmpValue{text, tag}});
}

std::string FindBindingText(const SnmpMessage& message, const std::string& oid) {
    for (const VariableBinding& binding : message.bindings) {
        if (binding.oid == oid) {
            return binding.value.text;
        }
    }
    return {};
}

} // namespace telva
