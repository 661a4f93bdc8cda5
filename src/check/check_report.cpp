// quorvane-check's report: text for a person, or one JSON object for scripts,
// holding the same facts.

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "check/check.h"
#include "common/text.h"
#include "config/fixed_settings.h"
#include "config/io_type.h"
#include "messaging/uplink.h"

namespace {

// Text with its control characters and quotes escaped (C and JSON alike),
// and bytes that are not UTF-8 as \ufffd, so that --json stays valid JSON.
std::string escaped(std::string_view text) {
  return json_escaped(text);
}

// A JSON writer: values and members in order, commas where they belong.
class Json {
 public:
  Json& open(char bracket) {
    comma();
    out_ += bracket;
    first_.push_back(true);
    return *this;
  }
  Json& close(char bracket) {
    out_ += bracket;
    first_.pop_back();
    return *this;
  }
  Json& key(const char* name) {
    comma();
    out_ += '"';
    out_ += name;
    out_ += "\":";
    pending_key_ = true;
    return *this;
  }
  Json& str(std::string_view text) { return raw("\"" + escaped(text) + "\""); }
  Json& num(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", v);
    return raw(text);
  }
  Json& boolean(bool v) { return raw(v ? "true" : "false"); }
  Json& null() { return raw("null"); }
  const std::string& text() const { return out_; }

 private:
  Json& raw(const std::string& text) {
    comma();
    out_ += text;
    return *this;
  }
  void comma() {
    if (pending_key_) {
      pending_key_ = false;
      return;
    }
    if (!first_.empty()) {
      if (!first_.back()) out_ += ',';
      first_.back() = false;
    }
  }
  std::string out_;
  std::vector<bool> first_;
  bool pending_key_ = false;
};

const char* kTypeKeys[] = {"do", "di", "ao", "ai"};

std::string transport(const MbDevice& d) {
  char text[96];
  if (d.transport == DeviceTransport::kTcp) {
    std::snprintf(text, sizeof text, "TCP %s:%d", d.ip_addr, d.tcp_port);
  } else {
    std::snprintf(text, sizeof text, "RTU %s %d %s %d %d", escaped(d.serial_dev).c_str(), d.baud,
                  escaped(std::string(1, d.parity)).c_str(), d.data_bits, d.stop_bits);
  }
  return text;
}

template <typename T>
std::string list(const T* values, int n) {
  std::string out = "[";
  for (int i = 0; i < n; ++i) out += (i ? "," : "") + std::to_string(values[i]);
  return out + "]";
}

// What the next report of a session would carry for DI or AI: the UDP frame
// (packet ID 0, as the first cycle) or the MQTT payload.
struct Uplink {
  std::string name;   // "WDI", "WAI", "DI", "AI"
  std::string topic;  // MQTT only
  std::string text;
};

Uplink uplink_of(const Settings& settings, int32_t session_id, int type,
                 const std::vector<uint16_t>& values) {
  // Frames can be long: the buffers are on the heap, not the stack.
  std::vector<char> out(kFrameBufferSize);
  std::vector<char> scratch(kFrameBufferSize);
  const std::vector<uint8_t> bits(values.begin(), values.end());
  const InputValues typed =
      type == io_index(IoType::DI) ? InputValues(std::span(bits)) : InputValues(std::span(values));
  const InputMessage m =
      build_input_message(out, scratch, settings, session_id, 0, typed, std::time(nullptr));
  return {m.name, m.topic ? m.topic : "", m.length ? out.data() : ""};
}

class Reporter {
 public:
  Reporter(const CheckOptions& o, const FilesCheck& f, const std::vector<DeviceRead>* reads)
      : o_(o), f_(f), reads_(reads) {}

  int run() {
    const Refusal* refusal = f_.refusal();
    int failed_devices = 0;
    if (reads_ != nullptr) {
      for (const DeviceRead& r : *reads_) failed_devices += r.answered ? 0 : 1;
    }
    const bool warned = o_.strict && std::any_of(f_.warnings.begin(), f_.warnings.end(),
                                                 [](const Warning& w) { return !w.note; });
    const int status = (refusal != nullptr || failed_devices > 0 || warned) ? 1 : 0;

    j_.open('{').key("command").str(o_.devices ? "devices" : "files");
    j_.key("root").str(o_.root);
    if (o_.devices) {
      if (refusal == nullptr) devices_part();
    } else {
      program_part();
      options_part();
      device_file_part();
      sessions_part();
    }
    warnings_part();
    verdict(refusal, failed_devices, status);
    j_.key("exit").num(status).close('}');
    if (o_.json) std::printf("%s\n", j_.text().c_str());
    return status;
  }

 private:
  void say(const char* format, auto... args) {
    if (o_.json) return;
    if constexpr (sizeof...(args) == 0) {
      std::fputs(format, stdout);  // nothing to render: not a format
    } else {
      std::printf(format, args...);
    }
  }

  void program_part() {
    const auto& prog = *f_.prog;
    say("Program file %s\n", configFile_prog);
    j_.key("program").open('{').key("file").str(configFile_prog).key("positions").open('[');
    if (prog.ok()) say("  pos line  field            value\n");
    for (int p = 0; prog.ok() && p < kProgPositions; ++p) {
      const Field<Settings>* field = field_at(kProgFields, p);
      const ProgLine& line = f_.prog_lines[static_cast<size_t>(p)];
      const bool is_text = field != nullptr && field->kind == FieldKind::Text;
      const std::string value = field ? prog_value(prog.value(), *field) : "";
      std::string shown = field == nullptr ? escaped(line.text)
                          : is_text        ? "\"" + escaped(value) + "\""
                                           : value;
      say("  %3d %4s  %-16s %s\n", p, line.line ? std::to_string(line.line).c_str() : "-",
          field ? field->name : "(unused)", shown.c_str());
      j_.open('{').key("position").num(p).key("field");
      field ? j_.str(field->name) : j_.null();
      j_.key("line").num(line.line).key("value");
      if (field == nullptr) {
        j_.null();
      } else if (is_text) {
        j_.str(value);
      } else {
        j_.num(read_int(value));
      }
      j_.close('}');
    }
    if (!prog.ok()) say("  refused (see the verdict)\n");
    j_.close(']').close('}');
  }

  // Every key with its value and where it came from: a line of the file, or
  // the default.
  void options_part() {
    const auto& read = *f_.options;
    say("Options file %s\n", configFile_options);
    j_.key("options").open('{').key("file").str(configFile_options).key("keys").open('[');
    if (!read.ok()) say("  refused (see the verdict)\n");
    for (size_t i = 0; read.ok() && i < kOptionCount; ++i) {
      const int line = read.value().lines()[i];
      const std::string& value = read.value().values()[i];
      const bool is_default = value == kOptionKeys[i].default_value;
      const std::string origin =
          line ? "line " + std::to_string(line) + (is_default ? ", the default" : "") : "default";
      say("  %-20s %-24s %s\n", kOptionKeys[i].name, escaped(value).c_str(), origin.c_str());
      j_.open('{').key("key").str(kOptionKeys[i].name).key("value").str(value);
      j_.key("line").num(line).key("default").boolean(is_default).close('}');
    }
    j_.close(']').close('}');
  }

  void device_file_part() {
    const auto& devs = *f_.devices;
    j_.key("devices").open('{').key("file").str(configFile_mb).key("devices").open('[');
    if (!devs.ok()) say("Device file %s\n  refused (see the verdict)\n", configFile_mb);
    if (devs.ok()) say("Device file %s: %zu device(s)\n", configFile_mb, devs.value().size());
    for (size_t i = 0; devs.ok() && i < devs.value().size(); ++i) {
      const MbDevice& d = devs.value()[i];
      const DeviceHeader h = i < f_.headers.size() ? f_.headers[i] : DeviceHeader{};
      say("  device %zu  line %d %s  slave %d  %s\n", i + 1, h.line, escaped(h.text).c_str(),
          d.slave_id, transport(d).c_str());
      j_.open('{').key("number").num(double(i + 1)).key("line").num(h.line);
      j_.key("header").str(h.text).key("slave_id").num(d.slave_id);
      j_.key("transport")
          .str(d.transport == DeviceTransport::kTcp ? "tcp" : "rtu")
          .key("address")
          .str(transport(d).substr(4));
      say("     ");
      for (IoType t : kIoTypes) {
        const int32_t start = by_type(t, d.do_start, d.di_start, d.ao_start, d.ai_start);
        say(" %s %d from %d%s", io_type_name(t), int{io_count(d, t)}, start,
            t == IoType::AI ? "" : ",");
        j_.key(kTypeKeys[io_index(t)]).open('{').key("start").num(start);
        j_.key("count").num(io_count(d, t)).close('}');
      }
      say("\n");
      if (d.do_as_di)
        say("      do_as_di: DI %d + %d coils = %d\n", d.di_count - d.do_count, int{d.do_count},
            int{d.di_count});
      if (d.ao_as_ai)
        say("      ao_as_ai: AI %d + %d holding registers = %d\n", d.ai_count - d.ao_count,
            int{d.ao_count}, int{d.ai_count});
      j_.key("do_as_di").num(d.do_as_di ? 1 : 0).key("ao_as_ai").num(d.ao_as_ai ? 1 : 0).close('}');
    }
    j_.close(']').close('}');
  }

  void sessions_part() {
    j_.key("mapping").open('{').key("file").str(configFile_mb_mapping);
    if (!f_.mapping || !f_.mapping->ok()) {
      say("Mapping file %s\n  %s\n", configFile_mb_mapping,
          f_.mapping ? "refused (see the verdict)" : "not read: the device file is refused");
      j_.key("sessions").null().close('}');
      return;
    }
    const Mapping& m = f_.mapping->value();
    const DeviceList& devices = f_.devices->value();
    say("Mapping file %s: %s, %d session(s)\n", configFile_mb_mapping,
        m.default_mapping ? "default mapping, built from the devices at every start"
                          : "hand-written mapping",
        int{m.session_count});
    if (m.session_count > 0) say("  slots as slot:device-channel@address\n");
    j_.key("default_mapping").num(m.default_mapping).key("sessions").open('[');
    for (int s = 0; s < m.session_count; ++s) {
      say("  session %d, ID %d\n", s + 1, m.session_id[s]);
      j_.open('{').key("index").num(s).key("id").num(m.session_id[s]);
      for (IoType t : kIoTypes) {
        const int n = map_num(m, t, s);
        say("    %s %2d slot(s)", io_type_name(t), n);
        j_.key(kTypeKeys[io_index(t)]).open('[');
        const MbMapEntry(&slots)[kMaxSlots] = map_slots(m, t, s);
        for (int k = 0; k < n; ++k) {
          if (k % 8 == 0) say("\n     ");
          const MbMapEntry e = slots[k];
          j_.open('{').key("slot").num(k + 1);
          if (e.dev_no == 0) {
            say(" %d:-", k + 1);
            j_.key("device").null().close('}');
            continue;
          }
          bool aliased = false;
          const int32_t address =
              slot_address(devices[e.dev_no - 1u], io_index(t), e.ch_no, aliased);
          const char* table = aliased ? (t == IoType::DI ? "DO" : "AO") : "";
          say(" %d:%d-%d@%s%d", k + 1, e.dev_no, e.ch_no, table, address);
          j_.key("device").num(e.dev_no).key("channel").num(e.ch_no).key("address").num(address);
          j_.key("table").str(aliased ? table : io_type_name(t)).close('}');
        }
        say("\n");
        j_.close(']');
      }
      j_.close('}');
    }
    j_.close(']').close('}');
  }

  void devices_part() {
    const DeviceList& devices = f_.devices->value();
    const Settings& settings = f_.prog->value();
    say("Devices (one read-only exchange each)\n");
    j_.key("devices").open('[');
    for (size_t i = 0; i < devices.size(); ++i) {
      const DeviceRead& r = (*reads_)[i];
      const MbDevice& d = devices[i];
      say("  device %zu  %s  slave %d: %s in %.1f ms%s%s\n", i + 1, transport(d).c_str(),
          d.slave_id,
          r.answered    ? "answered"
          : r.connected ? "READ ERROR"
                        : "NOT CONNECTED",
          r.ms, r.error.empty() ? "" : ": ", r.error.c_str());
      j_.open('{').key("number").num(double(i + 1)).key("transport").str(transport(d));
      j_.key("connected").boolean(r.connected).key("answered").boolean(r.answered);
      j_.key("error").str(r.error).key("ms").num(r.ms);
      if (r.connected) {
        const int n[] = {d.do_count, d.di_count, d.ao_count, d.ai_count};
        say("    DO %s DI %s AO %s AI %s\n", list(r.do_buf, n[0]).c_str(),
            list(r.di_buf, n[1]).c_str(), list(r.ao_buf, n[2]).c_str(),
            list(r.ai_buf, n[3]).c_str());
        j_.key("values").open('{');
        values_json("do", r.do_buf, n[0]);
        values_json("di", r.di_buf, n[1]);
        values_json("ao", r.ao_buf, n[2]);
        values_json("ai", r.ai_buf, n[3]);
        j_.close('}');
      }
      j_.key("log").open('[');
      for (const std::string& line : r.log) j_.str(line);
      j_.close(']').close('}');
    }
    j_.close(']');

    const Mapping& m = f_.mapping->value();
    say("Sessions: what the next reports carry (%s)\n", settings.transport == ReportTransport::kMqtt
                                                            ? "MQTT publications"
                                                            : "UDP frames, packet ID 0");
    j_.key("sessions").open('[');
    for (int s = 0; s < m.session_count; ++s) {
      say("  session %d, ID %d\n", s + 1, m.session_id[s]);
      j_.open('{').key("index").num(s).key("id").num(m.session_id[s]);
      for (IoType t : {IoType::DI, IoType::AI}) {
        std::vector<bool> unknown;
        auto values = session_values(m, s, io_index(t), devices, *reads_, unknown);
        const Uplink u = uplink_of(settings, m.session_id[s], io_index(t), values);
        j_.key(kTypeKeys[io_index(t)]).open('{').key("values").open('[');
        for (size_t k = 0; k < values.size(); ++k) unknown[k] ? j_.null() : j_.num(values[k]);
        j_.close(']').key("message").str(u.name);
        if (!u.topic.empty()) j_.key("topic").str(u.topic);
        j_.key("text");
        values.empty() ? j_.null() : j_.str(u.text);
        j_.close('}');
        if (values.empty()) {
          say("    %-3s not sent: no %s slot\n", u.name.c_str(), io_type_name(t));
          continue;
        }
        say("    %-3s %s%s%s\n", u.name.c_str(), u.topic.c_str(), u.topic.empty() ? "" : " ",
            escaped(u.text).c_str());
        std::string missing;
        for (size_t k = 0; k < unknown.size(); ++k) {
          if (unknown[k]) missing += (missing.empty() ? "" : ",") + std::to_string(k + 1);
        }
        if (!missing.empty()) {
          say("        slot(s) %s: the device did not answer, shown as 0\n", missing.c_str());
        }
      }
      j_.close('}');
    }
    j_.close(']');
  }

  template <typename T>
  void values_json(const char* name, const T* values, int n) {
    j_.key(name).open('[');
    for (int i = 0; i < n; ++i) j_.num(values[i]);
    j_.close(']');
  }

  void warnings_part() {
    if (o_.devices) {
      if (!f_.warnings.empty()) {
        say("%zu warning(s) about the files: quorvane-check files shows them\n",
            f_.warnings.size());
      }
    } else {
      say("%s", f_.warnings.empty() ? "Warnings: none\n" : "Warnings:\n");
      for (const Warning& w : f_.warnings) {
        if (w.line > 0) {
          say("  %s line %d: %s\n", w.file.c_str(), w.line, w.text.c_str());
        } else {
          say("  %s: %s\n", w.file.c_str(), w.text.c_str());
        }
      }
    }
    j_.key("warnings").open('[');
    for (const Warning& w : f_.warnings) {
      j_.open('{').key("file").str(w.file).key("line").num(w.line).key("text").str(w.text);
      j_.close('}');
    }
    j_.close(']');
  }

  void verdict(const Refusal* refusal, int failed_devices, int status) {
    j_.key("refusal");
    if (refusal != nullptr) {
      j_.open('{').key("file").str(refusal->file).key("line").num(refusal->line);
      j_.key("text").str(refusal->text).close('}');
      say("Verdict: %s refused, the daemon would end with status 1:\n%s\n", refusal->file.c_str(),
          refusal->text.c_str());
      return;
    }
    j_.null();
    if (failed_devices > 0) {
      say("Verdict: %d of %zu device(s) did not answer (exit %d)\n", failed_devices, reads_->size(),
          status);
    } else {
      say("Verdict: %s, %zu warning(s)%s (exit %d)\n",
          o_.devices ? "every device answered" : "accepted", f_.warnings.size(),
          status != 0 ? ", counted with --strict" : "", status);
    }
  }

  const CheckOptions& o_;
  const FilesCheck& f_;
  const std::vector<DeviceRead>* reads_;
  Json j_;
};

}  // namespace

int report(const CheckOptions& options, const FilesCheck& files,
           const std::vector<DeviceRead>* reads) {
  return Reporter(options, files, reads).run();
}
