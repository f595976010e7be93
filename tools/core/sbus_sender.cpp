#include "sbus_sender.h"

#include <algorithm>
#include <cstdio>

#include "VandryInterface.h"

namespace vandry_tools {
namespace {

constexpr std::uint8_t kSbusStartByte = 0x0F;

sbus_frame frame_of(const PortRecords& records, SbusSource source) {
    std::uint16_t values[16] = {};  // channel 16 stays 0 when the source has 15
    const std::uint16_t* from = source == SbusSource::channels ? records.channels.channel
                                : source == SbusSource::bank0  ? records.banks.bank[0]
                                                               : records.banks.bank[1];
    std::copy_n(from, source == SbusSource::channels ? 15 : 16, values);
    sbus_channels scaled;
    convert_std_sbus_data(&scaled, values);
    sbus_frame frame;
    frame.bytes[0] = kSbusStartByte;
    encode_sbus_data_v2(&frame, &scaled);
    return frame;
}

}  // namespace

SbusSender::SbusSender(SbusLine& line, const MonitorOptions& options)
    : line_(line),
      path_(options.sbus_out),
      source_(options.sbus_source),
      rate_(options.sbus_rate),
      ticker_(options.sbus_rate > 0 ? 1.0 / options.sbus_rate : kSbusFrameSeconds),
      freshness_(options.stale_seconds) {}

void SbusSender::tell(const std::string& text) const { write_stderr("vandry-monitor: " + text + "\n"); }

void SbusSender::update(const PortRecords& records, double now) {
    latest_ = records;
    pending_ = true;
    freshness_.renew(now);
}

bool SbusSender::service(double now) {
    char limit[32];
    std::snprintf(limit, sizeof limit, "%.0f ms", freshness_.limit() * 1000);
    switch (freshness_.change(now)) {
        case Freshness::Change::went_stale:
            tell("SBUS output " + path_ + " stopped: no data for " + limit + " (the receiver goes to its failsafe)");
            break;
        case Freshness::Change::fresh_again: tell("SBUS output " + path_ + " resumed: fresh data"); break;
        case Freshness::Change::none: break;
    }
    if (!freshness_.fresh(now)) return true;
    if (rate_ > 0) return !ticker_.due(now) || send(now);
    if (!pending_ || now < last_sent_ + kSbusFrameSeconds) return true;  // a later frame carries the newest values
    pending_ = false;
    return send(now);
}

double SbusSender::next_wake(double now) const {
    double wake = now + 3600;
    if (freshness_.fresh(now)) wake = std::min(wake, freshness_.stale_at() + 0.001);  // to say it stopped
    if (rate_ > 0 && freshness_.fresh(now)) wake = std::min(wake, ticker_.next());
    if (rate_ <= 0 && pending_) wake = std::min(wake, last_sent_ + kSbusFrameSeconds);
    return wake;
}

bool SbusSender::send(double now) {
    const sbus_frame frame = frame_of(latest_, source_);
    switch (line_.send(frame.bytes, error_)) {
        case SbusLine::Sent::sent:
            if (waiting_for_reader_) tell("SBUS output " + path_ + ": a reader came; sending");
            waiting_for_reader_ = false;
            last_sent_ = now;
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
