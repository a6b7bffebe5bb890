// A test spy on the FPGA device layer: records every store in order.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "hardware/fpga.h"

struct recorded_store {
  fpga_block block;
  uint32_t offset;
  unsigned width;
  uint32_t value;
  bool operator==(const recorded_store&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const recorded_store& s) {
  const fpga_register* r = fpga_register_at(s.block, s.offset);
  os << (r ? r->name : fpga_blocks[static_cast<int>(s.block)].name) << "@" << s.offset << "/"
     << s.width << "=0x" << std::hex << s.value << std::dec;
  return os;
}

struct store_recorder {
  std::vector<recorded_store> stores;
  fpga_observer observer{this, &store_recorder::on_store, nullptr, nullptr};

  void attach() { fpga_obs = &observer; }
  static void detach() { fpga_obs = nullptr; }

  // Stores to one register (block and offset), in order.
  std::vector<uint32_t> values_of(fpga_block b, uint32_t offset) const {
    std::vector<uint32_t> v;
    for (const auto& s : stores)
      if (s.block == b && s.offset == offset) v.push_back(s.value);
    return v;
  }

 private:
  static void on_store(void* ctx, fpga_block b, uint32_t offset, unsigned width, uint32_t value) {
    static_cast<store_recorder*>(ctx)->stores.push_back({b, offset, width, value});
  }
};
