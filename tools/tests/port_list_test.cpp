// --list-ports on POSIX systems, over a /dev laid out by the test.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "port_list.h"
#include "scratch_dir.h"

namespace vandry_tools {
namespace {

namespace fs = std::filesystem;

class PortList : public ::testing::Test {
protected:
    // Makes ROOT/dev/NAME for each name; "serial/by-id/X>ttyUSB0" makes a
    // link there as udev does (relative: ../../ttyUSB0).
    void lay_out(std::initializer_list<std::string> entries) {
        for (const std::string& entry : entries) {
            const auto arrow = entry.find('>');
            const fs::path path = dev() / entry.substr(0, arrow);
            fs::create_directories(path.parent_path());
            if (arrow == std::string::npos) {
                std::ofstream(path.string()).put('\n');
            } else {
                fs::create_symlink("../../" + entry.substr(arrow + 1), path);
            }
        }
    }
    fs::path dev() const { return fs::path(root_) / "dev"; }
    ScratchDir scratch_;
    std::string root_ = fs::canonical(scratch_.dir()).string();

    void TearDown() override { fs::remove_all(dev()); }
};

TEST_F(PortList, NamedLinksFirstThenTheOtherUsbPortsInNumberOrder) {
    lay_out({"ttyUSB0", "ttyUSB10", "ttyUSB2", "ttyACM1", "ttyS0", "ttyUSBx", "tty", "null",
             "serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0>ttyUSB10",
             "serial/by-id/usb-Arduino_Leonardo-if00>ttyACM1"});
    std::string error;
    const auto ports = list_serial_ports_under(root_, error);
    EXPECT_EQ(error, "");
    const std::string d = dev().string();
    const std::vector<std::pair<std::string, std::string>> expected = {
        {d + "/serial/by-id/usb-Arduino_Leonardo-if00", d + "/ttyACM1"},
        {d + "/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0", d + "/ttyUSB10"},
        {d + "/ttyUSB0", ""},
        {d + "/ttyUSB2", ""},
    };
    ASSERT_EQ(ports.size(), expected.size());
    for (std::size_t k = 0; k < ports.size(); ++k) {
        EXPECT_EQ(ports[k].name, expected[k].first) << k;
        EXPECT_EQ(ports[k].detail, expected[k].second) << k;
    }
}

TEST_F(PortList, NoUsbPortIsAnEmptyListNotAnError) {
    lay_out({"ttyS0", "ttyS1"});
    std::string error;
    EXPECT_TRUE(list_serial_ports_under(root_, error).empty());
    EXPECT_EQ(error, "");
}

TEST_F(PortList, ALinkToNothingIsListedWithoutWhereItLeads) {
    lay_out({"serial/by-id/usb-gone>ttyUSB7"});
    std::string error;
    const auto ports = list_serial_ports_under(root_, error);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].detail, "");
}

TEST_F(PortList, AnUnreadableDevFolderIsAnErrorNamingIt) {
    std::string error;
    EXPECT_TRUE(list_serial_ports_under(root_ + "/missing", error).empty());
    EXPECT_NE(error.find("cannot list " + root_ + "/missing/dev"), std::string::npos) << error;
}

}  // namespace
}  // namespace vandry_tools
