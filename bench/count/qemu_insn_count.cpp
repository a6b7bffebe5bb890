// Instruction counter for qemu user-mode emulation (a TCG plugin), used to
// count the ARM build of instruction_count under qemu-arm.
//
//   qemu-arm -cpu cortex-a9 -L /usr/arm-linux-gnueabihf
//     -plugin build/bin/libqemu_insn_count.so,on=count_begin,off=count_end,part=fifo_read
//     build-arm/bin/instruction_count batch 3 8 0
//
// Counts the guest instructions executed between an execution of a function
// whose symbol contains `on` and one whose symbol contains `off` (the markers
// of instruction_count); with several such windows, their sum. Each `part`
// (up to eight) counts, within the windows, the instructions of the
// functions whose symbol contains it, a function with its own code only
// (not its callees). At exit prints one line to standard error:
//   instructions <total> <part name>=<count> ...
// Every translated block is one run of instructions of one function; it is
// counted whole when it starts executing (a block is left early only by a
// fault, which the counted code never takes).
//
// Written against the plugin interface of qemu 7.2 (API version 1); the few
// declarations it needs are below, so that no qemu source is needed to build
// it.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

extern "C" {
using qemu_plugin_id_t = uint64_t;
struct qemu_info_t;
struct qemu_plugin_tb;
struct qemu_plugin_insn;
enum qemu_plugin_cb_flags { QEMU_PLUGIN_CB_NO_REGS };
using qemu_plugin_vcpu_udata_cb_t = void (*)(unsigned int vcpu_index, void* userdata);
using qemu_plugin_vcpu_tb_trans_cb_t = void (*)(qemu_plugin_id_t id, qemu_plugin_tb* tb);
using qemu_plugin_udata_cb_t = void (*)(qemu_plugin_id_t id, void* userdata);
void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
size_t qemu_plugin_tb_n_insns(const qemu_plugin_tb* tb);
uint64_t qemu_plugin_tb_vaddr(const qemu_plugin_tb* tb);
qemu_plugin_insn* qemu_plugin_tb_get_insn(const qemu_plugin_tb* tb, size_t idx);
const char* qemu_plugin_insn_symbol(const qemu_plugin_insn* insn);
void qemu_plugin_register_vcpu_tb_exec_cb(qemu_plugin_tb* tb, qemu_plugin_vcpu_udata_cb_t cb,
                                          qemu_plugin_cb_flags flags, void* userdata);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, qemu_plugin_udata_cb_t cb, void* userdata);

__attribute__((visibility("default"))) extern const int qemu_plugin_version;
__attribute__((visibility("default"))) int qemu_plugin_install(qemu_plugin_id_t id,
                                                               const qemu_info_t* info, int argc,
                                                               char** argv);
}

const int qemu_plugin_version = 1;

namespace {

constexpr int max_parts = 8;
enum : int { kind_plain = -1, kind_on = -2, kind_off = -3 };

const char* on_name = "count_begin";
const char* off_name = "count_end";
const char* part_names[max_parts];
int part_count;

bool counting;
uint64_t total;
uint64_t parts[max_parts];

// What one translated block is: its length and its kind (a part's index, or
// one of the kinds above). Blocks live as long as the process.
struct block_info {
  uint64_t insns;
  int kind;
  uint64_t* by_function;  // the function's count for the listing, or null
};

// With list=1: instructions counted per function, printed at exit.
bool listing;
std::map<std::string, uint64_t> functions;

bool has(const char* symbol, const char* name) {
  return symbol && std::strstr(symbol, name);
}

void on_exec(unsigned int, void* udata) {
  const auto* b = static_cast<const block_info*>(udata);
  if (b->kind == kind_on) {
    counting = true;
    return;
  }
  if (b->kind == kind_off) {
    counting = false;
    return;
  }
  if (!counting) return;
  total += b->insns;
  if (b->kind >= 0) parts[b->kind] += b->insns;
  if (b->by_function) *b->by_function += b->insns;
}

void on_translate(qemu_plugin_id_t, qemu_plugin_tb* tb) {
  const size_t n = qemu_plugin_tb_n_insns(tb);
  if (n == 0) return;
  const char* symbol = qemu_plugin_insn_symbol(qemu_plugin_tb_get_insn(tb, 0));
  auto* b = static_cast<block_info*>(std::malloc(sizeof(block_info)));
  if (!b) return;
  b->insns = n;
  b->kind = kind_plain;
  b->by_function = nullptr;
  if (listing) {
    // Code without a symbol (a shared library's) is listed by its page.
    char page[32];
    std::snprintf(page, sizeof page, "? %#llx",
                  static_cast<unsigned long long>(qemu_plugin_tb_vaddr(tb) & ~0xFFFull));
    b->by_function = &functions[symbol ? symbol : page];
  }
  if (has(symbol, on_name))
    b->kind = kind_on;
  else if (has(symbol, off_name))
    b->kind = kind_off;
  else
    for (int i = 0; i < part_count; ++i)
      if (has(symbol, part_names[i])) {
        b->kind = i;
        break;
      }
  qemu_plugin_register_vcpu_tb_exec_cb(tb, on_exec, QEMU_PLUGIN_CB_NO_REGS, b);
}

void on_exit(qemu_plugin_id_t, void*) {
  std::fprintf(stderr, "instructions %llu", static_cast<unsigned long long>(total));
  for (int i = 0; i < part_count; ++i)
    std::fprintf(stderr, " %s=%llu", part_names[i], static_cast<unsigned long long>(parts[i]));
  std::fprintf(stderr, "\n");
  for (const auto& [name, count] : functions)
    if (count)
      std::fprintf(stderr, "%12llu %s\n", static_cast<unsigned long long>(count), name.c_str());
}

}  // namespace

int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t*, int argc, char** argv) {
  for (int i = 0; i < argc; ++i) {
    char* eq = std::strchr(argv[i], '=');
    if (!eq) return -1;
    *eq = '\0';
    const char* value = eq + 1;
    if (std::strcmp(argv[i], "on") == 0)
      on_name = value;
    else if (std::strcmp(argv[i], "off") == 0)
      off_name = value;
    else if (std::strcmp(argv[i], "list") == 0)
      listing = std::strcmp(value, "0") != 0;
    else if (std::strcmp(argv[i], "part") == 0 && part_count < max_parts)
      part_names[part_count++] = value;
    else
      return -1;
  }
  qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
  qemu_plugin_register_atexit_cb(id, on_exit, nullptr);
  return 0;
}
