#include "snmp/snmp_info.h"

namespace telva {

void MIBAdd(TSNMPInfo& message, const std::string& oid, const std::string& value, std::uint8_t tag) {
    message.MIBOID.push_back(oid);
    message.MIBValue.push_back(TSNMPValue{value, tag});
}

std::string MIBGet(const TSNMPInfo& message, const std::string& oid) {
    for (std::size_t i = 0; i < message.MIBOID.size() && i < message.MIBValue.size(); ++i) {
        if (message.MIBOID[i] == oid) {
            return message.MIBValue[i].Text;
        }
    }
    return {};
}

} // namespace telva
