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
        carried_.channels = payload_type == VANDRY_PAYLOAD_CHANNELS || payload_type == VANDRY_PAYLOAD_BOTH;
        carried_.banks = payload_type == VANDRY_PAYLOAD_BANKS || payload_type == VANDRY_PAYLOAD_BOTH;
        channels_sent_ = channels_sent_ || carried_.channels;
        banks_sent_ = banks_sent_ || carried_.banks;
    }

    // A compatible HID report: it carries the 15 channels, whatever they hold.
    void take(const channel_values& channels) {
        records_.channels = channels;
        carried_ = {true, false};
        channels_sent_ = true;
    }

    vandry_bridge::SourceValues sources() const {
        return {channels_sent_ ? &records_.channels : nullptr, banks_sent_ ? &records_.banks : nullptr};
    }
    const PortRecords& records() const { return records_; }
    // What the latest update carried: an output whose values it does not
    // carry must let them go stale.
    vandry_bridge::CarriedRecords carried() const { return carried_; }
    bool renews(const vandry_bridge::ChannelMap& map) const { return map.renewed_by(sources(), carried_); }

private:
    PortRecords records_{};
    vandry_bridge::CarriedRecords carried_;
    bool channels_sent_ = false;
    bool banks_sent_ = false;
};

}  // namespace vandry_tools
