// The simulated target's memory: program, EEPROM, ID and configuration
// spaces, erased, written through the mask (and, on a clear-only part, onto
// what the cell holds), read with the stuck cells, cells that lack bits, and
// their Intel HEX image (the dump and --load format).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "icd2sim_settings.h"

namespace icd2sim {

// The target's memory. Program, ID and configuration cells are words, EEPROM
// cells bytes; addresses are the word addresses the host sends.
class Memory {
  public:
    explicit Memory(const DeviceSettings& settings);

    // The cell at address, or nullopt when the address is outside the space.
    std::optional<uint16_t> read(SpaceId space, uint32_t address) const;
    // False (nothing stored) when the address is outside the space. The cell
    // keeps the bits of the space's mask and of its own implemented mask; on a
    // clear-only part a program, ID or configuration cell keeps old AND new.
    bool write(SpaceId space, uint32_t address, uint16_t value);
    // Every writable cell back to its erased value (less its unimplemented bits).
    void erase();

    // Intel HEX in the dump layout; error texts, empty on success.
    std::string load_hex(const std::string& path);
    std::string dump_hex(const std::string& path) const;

  private:
    struct Space {
        uint32_t start = 0;
        uint32_t size = 0;
        uint16_t erased = 0;
        uint16_t mask = 0;
        std::vector<uint16_t> cells;
        std::map<uint32_t, uint16_t> stuck;
        std::map<uint32_t, uint16_t> implemented;  // the bits a cell has, where not all
        bool clear_only = false;
    };
    // value as the cell at address (in space) can hold it.
    static uint16_t holdable(const Space& space, uint32_t address, uint16_t value);
    Space spaces_[kSpaceCount];
};

}  // namespace icd2sim
