// The device's latest records as the mapped outputs read them: with which
// of them the device has sent at all.
#pragma once

#include <algorithm>
#include <iterator>

#include "VandryInterface.h"
#include "channel_map.h"
#include "port_feeder.h"

namespace vandry_tools {

// The library's port parser says that a frame was decoded, not which
// records it wrote (a frame carries the 15 channels, the banks, or both).
// A record that is still all zero is the one the host started with, so it
// counts as not sent: a channel map that reads it holds its output back
// rather than send positions nobody's stick set. A device whose record
// really is all zero is taken as sending it once a value moves.
class DeviceValues {
public:
    void take(const PortRecords& records) {
        records_ = records;
        channels_sent_ = channels_sent_ || any_set(records.channels.channel);
        banks_sent_ = banks_sent_ || any_set(records.banks.bank[0]) || any_set(records.banks.bank[1]);
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
    template <std::size_t N>
    static bool any_set(const std::uint16_t (&values)[N]) {
        return std::any_of(std::begin(values), std::end(values), [](std::uint16_t v) { return v != 0; });
    }

    PortRecords records_{};
    bool channels_sent_ = false;
    bool banks_sent_ = false;
};

}  // namespace vandry_tools
