// The upgrade engine: board inventory, firmware binding, driver safeguards, upgrade run.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "catalogue.h"

class QVDevice;
class Firmware;

// One recognised GPU chip (one PCI function).
class Board {
public:
    Board();
    ~Board();

    std::string version;
    std::string bdf;
    product_t product = ZK_R640_C;
};

class Upgrader {
public:
    explicit Upgrader(bool accept_other_products);
    ~Upgrader();

    std::vector<Board*> ListBoard();
    bool SetFirmware(std::string path);
    std::vector<std::string> getAllItemString(std::vector<Board*> boards, std::string name);
    bool ifDualClipboard(const std::string& bdf);
    void select_devs(bool add, std::string line);

    bool unloadDriver();
    void reloadDriver();
    void dkms_remove_nudra();
    void remove_brenvoda_ko_file();
    void dkms_install_nudra();
    void restore_brenvoda_ko_file();

    // Takes a board that could not be examined out of the run: it is no
    // target any more, and the run's result is failure.
    void pass_over(Board* board);

    bool StarUpgrade(bool sram_mode);
    bool preUpgrade();

    void SetUpgraderStatus(bool value);
    bool GetUpgraderStatus();
    std::string GetProductName();
    bool GetChipState();
    std::string GetFWVersion();

    std::vector<std::string> items;
    std::vector<std::string> selected_items;
    std::string product_name;
    std::string version_label;
    bool chip_state = false;
    std::map<Board*, QVDevice*> devices;
    std::vector<Board*> boards;
    std::vector<Board*> targets;
    Firmware* firmware = nullptr;
    bool upgrader_status = false;
    bool accept_other_products;
    bool driver_flag = false;
    bool boards_passed_over = false;
    // The put-back left the driver package or its module file out: the
    // record stays for a later run, and this run has failed.
    bool driver_not_put_back = false;
};
