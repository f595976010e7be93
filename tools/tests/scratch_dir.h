// A folder of its own for a test, removed with the files the test named in it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <vector>

namespace vandry_tools {

class ScratchDir {
public:
    ScratchDir() {
        std::error_code code;
        const auto base = std::filesystem::temp_directory_path(code);
        std::random_device seed;
        for (int attempt = 0; attempt < 100 && dir_.empty(); ++attempt) {
            const auto candidate = base / ("vandry-tools-" + std::to_string(seed()));
            if (std::filesystem::create_directory(candidate, code)) dir_ = candidate.string();
        }
    }
    ~ScratchDir() {
        std::error_code code;
        for (const auto& name : made_) std::filesystem::remove(name, code);
        std::filesystem::remove(dir_, code);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string path(const std::string& name) {
        made_.push_back((std::filesystem::path(dir_) / name).string());
        return made_.back();
    }
    const std::string& dir() const { return dir_; }

    static std::vector<std::uint8_t> contents(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::string dir_;
    std::vector<std::string> made_;
};

}  // namespace vandry_tools
