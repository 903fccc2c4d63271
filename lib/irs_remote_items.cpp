// A daemon's items as the header's records: the devices of a discovery, the values of a query.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "discovery.h"
#include "irs_remote.h"

void irsRemoteStoreDevice(IrsRemoteCall& call, const IrsdMsg& item) {
    if (call.devices == nullptr || call.items >= call.itemsMax) {
        return;
    }
    // The stack's own record of a device, so names and hints read as in-process.
    LapDiscovered found;
    found.address = static_cast<uint32_t>(irsdInt(item, IRSD_DEVICE_ADDRESS));
    const auto hints = static_cast<uint16_t>(item.num.at(IRSD_DEVICE_HINTS));
    size_t at = 0;
    found.info.at(at++) = static_cast<uint8_t>(hints & 0xFFU);
    if ((hints & 0x80U) != 0) {
        found.info.at(at++) = static_cast<uint8_t>(hints >> 8U);
    }
    found.info.at(at++) = 0; // ASCII
    const std::string_view nickname = irsdText(item, IRSD_DEVICE_NICKNAME);
    for (size_t i = 0; i < nickname.size() && at < found.info.size(); ++i) {
        found.info.at(at++) = static_cast<uint8_t>(nickname[i]);
    }
    found.infoLength = static_cast<uint8_t>(at);
    irsDeviceFrom(found, call.devices[call.items++]);
}

void irsRemoteStoreValue(IrsRemoteCall& call, const IrsdMsg& item) {
    if (call.values == nullptr || call.items >= call.itemsMax) {
        return;
    }
    irs_ias_value& value = call.values[call.items++];
    value = irs_ias_value{};
    value.type = static_cast<int>(item.num.at(IRSD_IAS_TYPE));
    value.object_id = static_cast<uint16_t>(item.num.at(IRSD_IAS_OBJECT));
    value.integer = irsdInt(item, IRSD_IAS_INTEGER);
    value.charset = static_cast<uint8_t>(item.num.at(IRSD_IAS_CHARSET));
    value.length = item.num.at(IRSD_IAS_LENGTH);
    const std::string_view bytes = irsdText(item, IRSD_IAS_BYTES);
    // A string keeps room for its null.
    const size_t most = value.type == IRS_IAS_STRING ? sizeof value.bytes - 1 : sizeof value.bytes;
    std::memcpy(value.bytes, bytes.data(), std::min(bytes.size(), most));
}
