#include "stdout_backlog.h"

namespace vandry_tools {
namespace {

class SystemStdout final : public StdoutSink {
public:
    WriteStatus offer(std::string_view text, std::size_t& taken, std::string& error) override {
        return offer_stdout(text, taken, error);
    }
    void wait(double seconds) override { wait_for_stdout(seconds); }
    bool flushed() override { return stdout_flushed(); }
};

std::string mebibytes(std::size_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

}  // namespace

StdoutSink& system_stdout() {
    static SystemStdout sink;
    return sink;
}

bool StdoutBacklog::write(std::string_view text) {
    if (status_ != WriteStatus::ok) return false;
    kept_.append(text);
    if (!hand_over()) return false;
    if (pending() <= limit_) return true;
    status_ = WriteStatus::failed;
    error_ = "cannot write to stdout: its reader fell more than " + mebibytes(limit_) +
             " behind (the most kept for it); the run stops, and the lines it has not taken are lost";
    return false;
}

bool StdoutBacklog::hand_over() {
    if (status_ != WriteStatus::ok) return false;
    // Offered even when empty: a writer thread tells only so that it failed
    // with what it took before.
    std::size_t taken = 0;
    status_ = sink_.offer(std::string_view(kept_).substr(head_), taken, error_);
    head_ += taken;
    if (head_ == kept_.size()) {
        kept_.clear();
        head_ = 0;
    } else if (head_ >= kept_.size() / 2) {  // each byte moves a bounded number of times
        kept_.erase(0, head_);
        head_ = 0;
    }
    return status_ == WriteStatus::ok;
}

bool StdoutBacklog::drain(double patience) {
    double quiet_since = now_seconds();
    while (hand_over() && !(empty() && sink_.flushed())) {
        const std::size_t before = pending();
        sink_.wait(0.1);
        hand_over();
        const double now = now_seconds();
        if (pending() < before || !stop_requested()) quiet_since = now;
        if (now - quiet_since > patience) status_ = WriteStatus::closed;
    }
    return status_ == WriteStatus::ok;
}

}  // namespace vandry_tools
