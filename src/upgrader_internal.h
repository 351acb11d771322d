// Helpers of the upgrade engine that only upgrader.cpp uses; declared here so
// that the unit tests can reach them.
#pragma once

#include <map>
#include <string>
#include <vector>

class Board;
class QVDevice;

// Sysfs paths of every PCI function of vendor 0x7e51, in directory order.
std::vector<std::string> get_devices();
// Opens and identifies each path; every usable chip of a known group is entered into devices.
void get_devices_info(std::vector<std::string>& paths, std::map<Board*, QVDevice*>& devices);

// The two-chip test of the chip at that address: dual tells whether it is one
// of the two chips of a two-chip board. False when the test could not be
// made (its device file not printed, its register window not opened or
// mapped, or too small for the board register).
bool two_chip_test(const std::string& bdf, bool& dual);
// The chip's PCI switch: its node in the device tree less the last four components.
// Empty when the node cannot be resolved.
std::string getDeviceSwitchPath(std::string bdf);
// True when both chips sit under the same (known) switch path.
bool chip_same_borad(std::string a, std::string b);
// The boards, in the order given, that the menu lines name; once per naming line.
std::vector<Board*> prase_ui_string(std::vector<Board*> boards, std::vector<std::string> lines);
// True when the version's numbers do not compare above 1.0.9.
bool fw_version_check(const std::string& version);
// Reads /proc/modules: loaded tells whether it lists brenvoda or zk_driver.
// False, after its message, when the list cannot be opened or read whole.
bool get_driver(bool& loaded);
// True for a version text made only of digits and dots (never empty).
bool is_plain_version(const std::string& version);
