#include "sbus_sender.h"

#include <algorithm>

#include "VandryInterface.h"

namespace vandry_tools {
namespace {

constexpr std::uint8_t kSbusStartByte = 0x0F;

sbus_channels scaled_by_the_library(const PortRecords& records, SbusSource source) {
    std::uint16_t values[16] = {};  // channel 16 stays 0 when the source has 15
    const std::uint16_t* from = source == SbusSource::channels ? records.channels.channel
                                : source == SbusSource::bank0  ? records.banks.bank[0]
                                                               : records.banks.bank[1];
    std::copy_n(from, source == SbusSource::channels ? 15 : 16, values);
    sbus_channels scaled;
    convert_std_sbus_data(&scaled, values);
    return scaled;
}

vandry_bridge::SourceRecord record_of(SbusSource source) {
    return source == SbusSource::channels ? vandry_bridge::SourceRecord::channels
           : source == SbusSource::bank0  ? vandry_bridge::SourceRecord::bank0
                                          : vandry_bridge::SourceRecord::bank1;
}

sbus_frame frame_of(const sbus_channels& channels) {
    sbus_frame frame;
    frame.bytes[0] = kSbusStartByte;
    encode_sbus_data_v2(&frame, &channels);
    return frame;
}

}  // namespace

SbusSender::SbusSender(SbusLine& line, const MonitorOptions& options)
    : line_(line),
      path_(options.sbus_out),
      source_(options.sbus_source),
      repeater_(options.sbus_rate, kSbusFrameSeconds, options.stale_seconds) {
    if (options.map) map_ = options.map->onto(vandry_bridge::kSbusRange);
}

void SbusSender::tell(const std::string& text) const { write_stderr("vandry-monitor: " + text + "\n"); }

void SbusSender::update(const DeviceValues& values, double now) {
    latest_ = values;
    // Only the values the frames carry keep them fresh: see DeviceValues::carried.
    const bool renews = map_ ? values.renews(*map_)
                             : values.renews(vandry_bridge::ChannelMap::identity(record_of(source_), vandry_bridge::kSbusRange));
    repeater_.update(now, renews);
}

bool SbusSender::service(double now) {
    const std::string change = repeater_.says(now, "SBUS output " + path_, "the receiver");
    if (!change.empty()) tell(change);
    return !repeater_.due(now) || send();
}

// The next frame; none while the map reads a record the device has not sent.
std::optional<sbus_frame> SbusSender::frame() {
    if (!map_) return frame_of(scaled_by_the_library(latest_.records(), source_));
    const vandry_bridge::SourceValues sources = latest_.sources();
    const auto values = map_->apply(sources);
    if (!values) {
        if (held_back_++ == 0)
            tell("SBUS output " + path_ + ": holding frames back until the device sends " +
                 std::string(map_->missing(sources)) + ", which the channel map reads");
        return std::nullopt;
    }
    sbus_channels channels;
    std::copy(values->begin(), values->end(), channels.channel);
    return frame_of(channels);
}

bool SbusSender::send() {
    const std::optional<sbus_frame> next = frame();
    if (!next) return true;
    switch (line_.send(next->bytes, error_)) {
        case SbusLine::Sent::sent:
            if (waiting_for_reader_) tell("SBUS output " + path_ + ": a reader came; sending");
            waiting_for_reader_ = false;
            ++sent_;
            return true;
        case SbusLine::Sent::no_reader:
            if (!waiting_for_reader_) tell("SBUS output " + path_ + ": waiting for a reader");
            waiting_for_reader_ = true;
            return true;
        case SbusLine::Sent::busy: ++busy_; return true;
        case SbusLine::Sent::failed: return false;
    }
    return false;
}

void SbusSender::finish() const {
    if (busy_ != 0) tell("SBUS output " + path_ + ": " + std::to_string(busy_) + " frames found the line full and were dropped");
    if (waiting_for_reader_ && sent_ == 0) tell("SBUS output " + path_ + ": no reader came; nothing was sent");
}

}  // namespace vandry_tools
