// A folder of its own for a test, removed with the files the test named in it.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vandry_tools {

class ScratchDir {
public:
    ScratchDir() {
        char pattern[] = "/tmp/vandry-tools-XXXXXX";
        if (mkdtemp(pattern) != nullptr) dir_ = pattern;
    }
    ~ScratchDir() {
        for (const auto& name : made_) std::remove(name.c_str());
        rmdir(dir_.c_str());
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string path(const std::string& name) {
        made_.push_back(dir_ + "/" + name);
        return made_.back();
    }

    static std::vector<std::uint8_t> contents(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::string dir_;
    std::vector<std::string> made_;
};

}  // namespace vandry_tools
