// The Modbus function engine: one libmodbus master context per exchange.

#include <modbus.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "common/console.h"
#include "common/text.h"
#include "common/thread_annotations.h"
#include "modbus/modbus_engine.h"
#include "modbus/modbus_io.h"
#include "modbus/modbus_texts.h"

namespace {

namespace tx = modbus_texts;

struct ContextFree {
  void operator()(modbus_t* ctx) const { modbus_free(ctx); }
};
using ContextPtr = std::unique_ptr<modbus_t, ContextFree>;

// An open link: closed before its context is released.
class Connection {
 public:
  explicit Connection(ContextPtr ctx) : ctx_(std::move(ctx)) {}
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() { modbus_close(ctx_.get()); }
  modbus_t* get() const { return ctx_.get(); }

 private:
  ContextPtr ctx_;
};

// One exchange at a time on each link: the polling thread's scan and the main
// thread's write-back must not share a serial line or a device's connection.
// A link is a serial device path or a TCP address and port; exchanges on
// different links go on side by side, so a command is not held up by the scan
// of a slow device elsewhere.
class LinkLocks {
 public:
  Mutex& of(const MbDevice* device) {
    std::string key = device == nullptr ? std::string()
                      : device->transport == DeviceTransport::kTcp
                          ? std::string(c_text(device->ip_addr, sizeof device->ip_addr)) + ":" +
                                std::to_string(device->tcp_port)
                          : std::string(c_text(device->serial_dev, sizeof device->serial_dev));
    MutexLock hold(table_);
    return links_[std::move(key)];  // a map node stays where it is
  }

 private:
  Mutex table_;
  std::map<std::string, Mutex> links_ GUARDED_BY(table_);
};

LinkLocks& link_locks() {
  static LinkLocks locks;
  return locks;
}

using Faults = std::vector<ModbusFault>;

// Prints a failure's line (to standard error or as a console line) and
// notes it with errno as the failed call left it.
void fail(Faults& faults, const char* text, bool to_error_stream) {
  const int why = errno;
  to_error_stream ? console().error(text) : console().line(text);
  std::string_view what(text);
  while (!what.empty() && (what.back() == '\r' || what.back() == '\n')) what.remove_suffix(1);
  faults.push_back({std::string(what), why, modbus_strerror(why)});
}

ContextPtr new_context(const MbDevice& dev) {
  if (dev.transport == DeviceTransport::kRtu) {
    std::string path(c_text(dev.serial_dev, sizeof dev.serial_dev));
    return ContextPtr(
        modbus_new_rtu(path.c_str(), dev.baud, dev.parity, dev.data_bits, dev.stop_bits));
  }
  std::string ip(c_text(dev.ip_addr, sizeof dev.ip_addr));
  return ContextPtr(modbus_new_tcp(ip.c_str(), dev.tcp_port));
}

// Opens the device's link, runs the requests, closes it. The requests answer
// whether a read failed.
template <typename Requests>
Exchange run_exchange(const MbDevice* device, Requests&& requests) {
  ostril_init();
  MutexLock lock(link_locks().of(device));
  Exchange out;
  ContextPtr ctx = device != nullptr ? new_context(*device) : nullptr;
  if (!ctx) {
    fail(out.faults, tx::kNoContext, true);
    out.result = IoResult::kUnreachable;
    return out;
  }
  modbus_set_slave(ctx.get(), device->slave_id);
  if (modbus_connect(ctx.get()) == -1) {
    fail(out.faults, tx::kConnectFailed, true);
    out.result = IoResult::kUnreachable;
    return out;
  }
  Connection link(std::move(ctx));
  out.result = requests(link.get(), out.faults) ? IoResult::kReadError : IoResult::kOk;
  return out;
}

// The success log: the head with the number requested, then the values the
// library reports as transferred.
template <typename T>
void log_values(const char* head, int requested, const T* values, int transferred) {
  char line[512];
  bformat(line, sizeof line, head, requested);
  int n = std::min(transferred, kMaxSlots);
  for (int i = 0; i < n; ++i)
    bappend(line, sizeof line, i + 1 < n ? tx::kValueNext : tx::kValueLast,
            static_cast<int>(values[i]));
  console().write(line);
}

// One request's outcome: the log on success, the error line on failure.
// Answers whether it failed.
template <typename T>
bool report(Faults& faults, int rc, const char* head, int requested, const T* values,
            const char* error) {
  if (rc < 0) {
    fail(faults, error, false);
    return true;
  }
  log_values(head, requested, values, rc);
  return false;
}

// A read of `own` inputs (or input registers) followed by the device's outputs
// of the same width, when the outputs are also reported as inputs: the real
// inputs come first, then a copy of the outputs read in this exchange.
// Answers whether the read failed.
template <typename T, typename ReadFn>
bool read_inputs(Faults& faults, modbus_t* ctx, ReadFn read, int start, int count,
                 bool outputs_as_inputs, const T* outputs, int output_count, T* inputs,
                 const char* head, const char* error) {
  if (!outputs_as_inputs)
    return report(faults, read(ctx, start, count, inputs), head, count, inputs, error);
  int own = std::max(count - output_count, 0);
  bool failed = own > 0 && report(faults, read(ctx, start, own, inputs), head, own, inputs, error);
  std::copy_n(outputs, std::min(output_count, kMaxSlots - own), inputs + own);
  return failed;
}

// Answers whether a read failed (a failed write is only printed).
bool make_requests(Faults& faults, modbus_t* ctx, uint8_t* do_buf, uint8_t* di_buf,
                   uint16_t* ao_buf, uint16_t* ai_buf, const MbDevice& dev, Function function) {
  const int do_n = dev.do_count;
  const int di_n = dev.di_count;
  const int ao_n = dev.ao_count;
  const int ai_n = dev.ai_count;
  const bool all = function == Function::kReadAll;
  bool read_failed = false;

  if (do_n > 0 && (all || function == Function::kReadDo))
    read_failed |= report(faults, modbus_read_bits(ctx, dev.do_start, do_n, do_buf),
                          tx::kReadDoHead, do_n, do_buf, tx::kReadDoError);
  if (di_n > 0 && (all || function == Function::kReadDi))
    read_failed |=
        read_inputs(faults, ctx, modbus_read_input_bits, dev.di_start, di_n, dev.do_as_di, do_buf,
                    do_n, di_buf, tx::kReadDiHead, tx::kReadDiError);
  if (ao_n > 0 && (all || function == Function::kReadAo))
    read_failed |= report(faults, modbus_read_registers(ctx, dev.ao_start, ao_n, ao_buf),
                          tx::kReadAoHead, ao_n, ao_buf, tx::kReadAoError);
  if (ai_n > 0 && (all || function == Function::kReadAi))
    read_failed |=
        read_inputs(faults, ctx, modbus_read_input_registers, dev.ai_start, ai_n, dev.ao_as_ai,
                    ao_buf, ao_n, ai_buf, tx::kReadAiHead, tx::kReadAiError);
  if (do_n > 0 && function == Function::kWriteDo)
    report(faults, modbus_write_bits(ctx, dev.do_start, do_n, do_buf), tx::kWriteDoHead, do_n,
           do_buf, tx::kWriteDoError);
  if (ao_n > 0 && function == Function::kWriteAo)
    report(faults, modbus_write_registers(ctx, dev.ao_start, ao_n, ao_buf), tx::kWriteAoHead, ao_n,
           ao_buf, tx::kWriteAoError);
  return read_failed;
}

// Copies the device's current values into the positions the command does not
// set. False when they could not be read.
template <typename T, typename ReadFn>
bool keep_unmapped(modbus_t* ctx, ReadFn read, int start, int count, const ChannelMask& mapped,
                   T* buf) {
  if (std::all_of(mapped.begin(), mapped.begin() + count, [](bool m) { return m; })) return true;
  T current[kMaxSlots] = {};
  if (read(ctx, start, count, current) != count) return false;
  for (int i = 0; i < count; ++i)
    if (!mapped[static_cast<size_t>(i)]) buf[i] = current[i];
  return true;
}

}  // namespace

Exchange modbus_exchange(uint8_t* do_buf, uint8_t* di_buf, uint16_t* ao_buf, uint16_t* ai_buf,
                         const MbDevice* device, Function function) {
  return run_exchange(device, [&](modbus_t* ctx, Faults& faults) {
    return make_requests(faults, ctx, do_buf, di_buf, ao_buf, ai_buf, *device, function);
  });
}

IoResult modbus_write_merged(uint8_t* do_buf, uint16_t* ao_buf, const MbDevice* device,
                             Function function, const ChannelMask& mapped) {
  return run_exchange(
             device,
             [&](modbus_t* ctx, Faults& faults) {
               const MbDevice& dev = *device;
               // Unmapped positions keep the device's values; when
               // they cannot be read, nothing is written.
               auto kept = [&](auto read, int start, int n, auto* buf, const char* read_error,
                               const char* write_error) {
                 if (n == 0 || keep_unmapped(ctx, read, start, n, mapped, buf)) return true;
                 fail(faults, read_error, false);
                 fail(faults, write_error, false);
                 return false;
               };
               const bool ok = function == Function::kWriteDo
                                   ? kept(modbus_read_bits, dev.do_start, dev.do_count, do_buf,
                                          tx::kReadDoError, tx::kWriteDoError)
                               : function == Function::kWriteAo
                                   ? kept(modbus_read_registers, dev.ao_start, dev.ao_count, ao_buf,
                                          tx::kReadAoError, tx::kWriteAoError)
                                   : true;
               if (ok) {
                 make_requests(faults, ctx, do_buf, nullptr, ao_buf, nullptr, dev, function);
               }
               return false;
             })
      .result;
}
