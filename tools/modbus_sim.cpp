// modbus_sim: simulated Modbus devices for the bench kit and the tests.
//
// Serves one or more devices from one process: Modbus TCP on loopback, and
// Modbus RTU on a pseudo-terminal whose slave path the gateway opens. Each
// device holds coils (do), discrete inputs (di), holding registers (ao) and
// input registers (ai) at chosen addresses. Lines on standard input set and
// inspect the values while the devices serve, take a device offline, make a
// function answer with an exception and slow the replies down; see
// tools/README.md.
//
//   modbus_sim --tcp 0 --slave 1 --block do:100:16 --rtu --slave 7
//
// prints "device <n> tcp 127.0.0.1 <port>" or "device <n> rtu <path>" per
// device, then "ready", and answers every control line with "ok ..." or
// "error ...". End of input or "quit" ends it.

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/unique_fd.h"

namespace {

using FileDesc = UniqueFd;

struct ContextFree {
  void operator()(modbus_t* c) const { modbus_free(c); }
};
using ContextPtr = std::unique_ptr<modbus_t, ContextFree>;
struct MappingFree {
  void operator()(modbus_mapping_t* m) const { modbus_mapping_free(m); }
};
using MappingPtr = std::unique_ptr<modbus_mapping_t, MappingFree>;

enum IoType { kDO, kDI, kAO, kAI };
constexpr std::array<const char*, 4> kTypeNames = {"do", "di", "ao", "ai"};

struct Block {
  int start = 0;
  int count = 1000;
};

struct Client {
  FileDesc fd;
  ContextPtr ctx;  // frames the replies; does not own the socket
};

struct Device {
  bool tcp = true;
  int port = 0;
  std::string path;  // RTU: slave side of the pty
  int slave = 1;
  std::array<Block, 4> blocks{};
  MappingPtr map;
  // TCP
  FileDesc listen_fd;
  std::vector<Client> clients;
  // RTU
  FileDesc master_fd;
  FileDesc hold_fd;  // keeps the slave side open so the master never hangs up
  ContextPtr rtu;
  // Behaviour and bookkeeping
  bool offline = false;
  std::set<int> failing;
  int delay_ms = 0;
  std::vector<std::string> requests;
  long connections = 0;
};

[[noreturn]] void die(const std::string& why) {
  std::fprintf(stderr, "modbus_sim: %s\n", why.c_str());
  std::exit(2);
}

FileDesc listen_on(int port) {
  FileDesc fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) return fd;
  int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd.get(), 64) != 0)
    fd.reset();
  return fd;
}

int bound_port(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  return ntohs(addr.sin_port);
}

void start_tcp(Device& d) {
  d.listen_fd = listen_on(d.port);
  if (!d.listen_fd.valid()) die("cannot listen on port " + std::to_string(d.port));
  d.port = bound_port(d.listen_fd.get());
}

void start_rtu(Device& d) {
  d.master_fd = FileDesc(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!d.master_fd.valid() || ::grantpt(d.master_fd.get()) != 0 ||
      ::unlockpt(d.master_fd.get()) != 0)
    die("cannot open a pseudo-terminal");
  d.path = ::ptsname(d.master_fd.get());
  d.hold_fd = FileDesc(::open(d.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  termios tio{};
  if (!d.hold_fd.valid() || ::tcgetattr(d.hold_fd.get(), &tio) != 0) die("cannot open " + d.path);
  // Raw, so that the line discipline neither echoes nor cooks the frames
  // between the gateway's connections.
  ::cfmakeraw(&tio);
  ::tcsetattr(d.hold_fd.get(), TCSANOW, &tio);
  d.rtu.reset(modbus_new_rtu(d.path.c_str(), 9600, 'N', 8, 1));
  if (!d.rtu) die("cannot create an RTU context");
  modbus_set_slave(d.rtu.get(), d.slave);
  modbus_set_socket(d.rtu.get(), d.master_fd.get());
}

void start_device(Device& d) {
  const auto& b = d.blocks;
  d.map.reset(modbus_mapping_new_start_address(
      static_cast<unsigned>(b[kDO].start), static_cast<unsigned>(b[kDO].count),
      static_cast<unsigned>(b[kDI].start), static_cast<unsigned>(b[kDI].count),
      static_cast<unsigned>(b[kAO].start), static_cast<unsigned>(b[kAO].count),
      static_cast<unsigned>(b[kAI].start), static_cast<unsigned>(b[kAI].count)));
  if (!d.map) die("cannot create the register map");
  if (d.tcp)
    start_tcp(d);
  else
    start_rtu(d);
}

void take_offline(Device& d) {
  d.offline = true;
  if (d.tcp) {
    d.clients.clear();
    d.listen_fd.reset();
  }
}

bool bring_online(Device& d) {
  if (d.tcp && !d.listen_fd.valid()) {
    d.listen_fd = listen_on(d.port);
    if (!d.listen_fd.valid()) return false;
  }
  d.offline = false;
  return true;
}

// Answers one request as the device's behaviour says. An offline RTU device
// stays silent, as a device that lost power would.
void serve(Device& d, modbus_t* ctx, const uint8_t* req, int len) {
  const int hl = modbus_get_header_length(ctx);
  const int fc = req[hl];
  const int addr = (req[hl + 1] << 8) | req[hl + 2];
  const int nb = (req[hl + 3] << 8) | req[hl + 4];
  d.requests.push_back(std::to_string(fc) + ":" + std::to_string(addr) + ":" + std::to_string(nb));
  if (d.offline) return;
  if (d.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(d.delay_ms));
  if (d.failing.count(fc) != 0)
    modbus_reply_exception(ctx, req, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
  else
    modbus_reply(ctx, req, len, d.map.get());
}

// --- control lines ------------------------------------------------------

int parse_type(const std::string& name) {
  for (size_t i = 0; i < kTypeNames.size(); ++i)
    if (name == kTypeNames[i]) return static_cast<int>(i);
  return -1;
}

// The map cell of a type at a Modbus address, or nullptr out of the block.
template <typename T>
T* cell(T* table, const Block& b, long addr) {
  if (addr < b.start || addr >= b.start + b.count) return nullptr;
  return table + (addr - b.start);
}

struct CellRef {
  uint8_t* bit = nullptr;
  uint16_t* reg = nullptr;
};

CellRef cell_at(Device& d, int type, long addr) {
  const Block& b = d.blocks[static_cast<size_t>(type)];
  modbus_mapping_t* m = d.map.get();
  switch (type) {
    case kDO:
      return {cell(m->tab_bits, b, addr), nullptr};
    case kDI:
      return {cell(m->tab_input_bits, b, addr), nullptr};
    case kAO:
      return {nullptr, cell(m->tab_registers, b, addr)};
    default:
      return {nullptr, cell(m->tab_input_registers, b, addr)};
  }
}

std::string handle(std::vector<Device>& devs, const std::string& line, bool& quit) {
  std::istringstream in(line);
  std::string cmd;
  if (!(in >> cmd)) return "";
  if (cmd == "quit") {
    quit = true;
    return "ok";
  }
  long dev_no = -1;
  if (!(in >> dev_no) || dev_no < 0 || dev_no >= static_cast<long>(devs.size()))
    return "error no such device";
  Device& d = devs[static_cast<size_t>(dev_no)];

  if (cmd == "set" || cmd == "get") {
    std::string type_name;
    long addr = 0;
    in >> type_name >> addr;
    int type = parse_type(type_name);
    if (type < 0 || !in) return "error usage: " + cmd + " DEV do|di|ao|ai ADDR ...";
    std::string out = "ok";
    if (cmd == "set") {
      long v = 0;
      int n = 0;
      for (; in >> v; ++addr, ++n) {
        CellRef c = cell_at(d, type, addr);
        if (c.bit == nullptr && c.reg == nullptr) return "error address out of the block";
        if (c.bit != nullptr) *c.bit = v != 0 ? 1 : 0;
        if (c.reg != nullptr) *c.reg = static_cast<uint16_t>(v);
      }
      return n > 0 ? out : "error no value";
    }
    long n = 1;
    in >> n;
    for (long i = 0; i < n; ++i) {
      CellRef c = cell_at(d, type, addr + i);
      if (c.bit == nullptr && c.reg == nullptr) return "error address out of the block";
      out += " " + std::to_string(c.bit != nullptr ? *c.bit : *c.reg);
    }
    return out;
  }
  if (cmd == "fail") {
    int fc = 0;
    if (!(in >> fc)) return "error usage: fail DEV FUNCTION";
    d.failing.insert(fc);
    return "ok";
  }
  if (cmd == "heal") {
    d.failing.clear();
    d.delay_ms = 0;
    return "ok";
  }
  if (cmd == "delay") {
    int ms = 0;
    if (!(in >> ms) || ms < 0) return "error usage: delay DEV MS";
    d.delay_ms = ms;
    return "ok";
  }
  if (cmd == "offline") {
    take_offline(d);
    return "ok";
  }
  if (cmd == "online") return bring_online(d) ? "ok" : "error cannot listen again";
  if (cmd == "requests") {
    std::string out = "ok";
    for (const auto& r : d.requests) out += " " + r;
    d.requests.clear();
    return out;
  }
  if (cmd == "connections") return "ok " + std::to_string(d.connections);
  return "error unknown command";
}

// --- command line -------------------------------------------------------

void usage() {
  std::fputs(
      "usage: modbus_sim (--tcp PORT | --rtu) [--slave N] [--block TYPE:START:COUNT]... ...\n"
      "  --tcp PORT   a Modbus TCP device on 127.0.0.1 (0: a free port)\n"
      "  --rtu        a Modbus RTU device on a new pseudo-terminal\n"
      "  --slave N    unit address of the last device (RTU answers only it; default 1)\n"
      "  --block T:S:C  type do|di|ao|ai of the last device starts at S with C values\n"
      "                 (default 0:1000)\n",
      stderr);
  std::exit(2);
}

std::vector<Device> parse_args(int argc, char** argv) {
  std::vector<Device> devs;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (a == "--tcp") {
      Device d;
      d.port = std::atoi(value().c_str());
      devs.push_back(std::move(d));
    } else if (a == "--rtu") {
      Device d;
      d.tcp = false;
      devs.push_back(std::move(d));
    } else if (a == "--slave" && !devs.empty()) {
      devs.back().slave = std::atoi(value().c_str());
    } else if (a == "--block" && !devs.empty()) {
      std::string block_text = value();
      char name[3] = {};
      int start = 0, count = 0;
      if (std::sscanf(block_text.c_str(), "%2[a-z]:%d:%d", name, &start, &count) != 3 ||
          parse_type(name) < 0 || start < 0 || count < 0 || start + count > 65536)
        usage();
      devs.back().blocks[static_cast<size_t>(parse_type(name))] = {start, count};
    } else {
      usage();
    }
  }
  if (devs.empty()) usage();
  return devs;
}

// What a poll entry stands for.
struct Source {
  enum Kind { kControl, kListen, kClient, kRtu } kind;
  size_t dev = 0;
  size_t client = 0;
};

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::vector<Device> devs = parse_args(argc, argv);
  for (size_t i = 0; i < devs.size(); ++i) {
    start_device(devs[i]);
    if (devs[i].tcp)
      std::printf("device %zu tcp 127.0.0.1 %d\n", i, devs[i].port);
    else
      std::printf("device %zu rtu %s\n", i, devs[i].path.c_str());
  }
  std::printf("ready\n");

  std::array<uint8_t, MODBUS_TCP_MAX_ADU_LENGTH> req{};
  std::string pending;  // control input not yet ended by a line break
  bool quit = false;
  while (!quit) {
    std::vector<pollfd> fds;
    std::vector<Source> src;
    for (size_t i = 0; i < devs.size(); ++i) {
      Device& d = devs[i];
      if (d.tcp) {
        if (d.listen_fd.valid()) {
          fds.push_back({d.listen_fd.get(), POLLIN, 0});
          src.push_back({Source::kListen, i});
        }
        for (size_t c = 0; c < d.clients.size(); ++c) {
          fds.push_back({d.clients[c].fd.get(), POLLIN, 0});
          src.push_back({Source::kClient, i, c});
        }
      } else {
        fds.push_back({d.master_fd.get(), POLLIN, 0});
        src.push_back({Source::kRtu, i});
      }
    }
    // Control lines last in a round, so that they see every connection and
    // request that arrived before them.
    fds.push_back({STDIN_FILENO, POLLIN, 0});
    src.push_back({Source::kControl});
    if (::poll(fds.data(), fds.size(), -1) < 0) continue;

    std::vector<std::pair<size_t, size_t>> closed;  // (device, client)
    for (size_t k = 0; k < fds.size() && !quit; ++k) {
      if (fds[k].revents == 0) continue;
      const Source& s = src[k];
      switch (s.kind) {
        case Source::kControl: {
          char buf[4096];
          ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
          if (n <= 0) {
            quit = true;
            break;
          }
          pending.append(buf, static_cast<size_t>(n));
          size_t nl;
          while (!quit && (nl = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            std::string reply = handle(devs, line, quit);
            if (!reply.empty()) std::printf("%s\n", reply.c_str());
          }
          break;
        }
        case Source::kListen: {
          Device& d = devs[s.dev];
          for (;;) {  // every connection waiting, each blocking once accepted
            FileDesc fd(::accept4(d.listen_fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!fd.valid()) break;
            ContextPtr ctx(modbus_new_tcp("127.0.0.1", d.port));
            modbus_set_socket(ctx.get(), fd.get());
            d.clients.push_back({std::move(fd), std::move(ctx)});
            ++d.connections;
          }
          break;
        }
        case Source::kClient: {
          Device& d = devs[s.dev];
          // A control line of this round may have dropped the connection.
          if (s.client >= d.clients.size() || d.clients[s.client].fd.get() != fds[k].fd) break;
          modbus_t* ctx = d.clients[s.client].ctx.get();
          int rc = modbus_receive(ctx, req.data());
          if (rc > 0)
            serve(d, ctx, req.data(), rc);
          else if (rc < 0)
            closed.emplace_back(s.dev, s.client);
          break;
        }
        case Source::kRtu: {
          Device& d = devs[s.dev];
          int rc = modbus_receive(d.rtu.get(), req.data());
          if (rc > 0) serve(d, d.rtu.get(), req.data(), rc);
          break;
        }
      }
    }
    // Drop closed connections, last first so the indices stay right.
    for (auto it = closed.rbegin(); it != closed.rend(); ++it) {
      auto& clients = devs[it->first].clients;
      if (it->second < clients.size())
        clients.erase(clients.begin() + static_cast<long>(it->second));
    }
  }
  return 0;
}
