// The device's latest records as the mapped outputs read them: with which
// of them the device has sent at all.
#pragma once

#include <cstdint>

#include "VandryInterface.h"
#include "channel_map.h"
#include "port_feeder.h"

namespace vandry_tools {

// A record counts as sent once a frame that carries it has arrived: a
// channel map that reads a record the device has not sent holds its output
// back rather than send positions nobody's stick set.
class DeviceValues {
public:
    void take(const PortRecords& records, std::uint8_t payload_type) {
        records_ = records;
        channels_sent_ = channels_sent_ || payload_type == VANDRY_PAYLOAD_CHANNELS || payload_type == VANDRY_PAYLOAD_BOTH;
        banks_sent_ = banks_sent_ || payload_type == VANDRY_PAYLOAD_BANKS || payload_type == VANDRY_PAYLOAD_BOTH;
    }

    // A compatible HID report: it carries the 15 channels, whatever they hold.
    void take(const channel_values& channels) {
        records_.channels = channels;
        channels_sent_ = true;
    }

    vandry_bridge::SourceValues sources() const {
        return {channels_sent_ ? &records_.channels : nullptr, banks_sent_ ? &records_.banks : nullptr};
    }
    const PortRecords& records() const { return records_; }

private:
    PortRecords records_{};
    bool channels_sent_ = false;
    bool banks_sent_ = false;
};

}  // namespace vandry_tools
