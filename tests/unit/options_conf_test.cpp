// The options file: a typing mistake refuses the file with its line and key,
// never falls back to a default; the packaged example holds every key at its
// default.
#include "config/options_conf.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Row {
  const char* text;
  const char* expect;  // "key=value ..." of every key, or the refusal's text
};

std::string outcome(const ConfResult<Options>& read) {
  if (!read.ok()) return read.refusal()->text;
  std::string out;
  for (size_t i = 0; i < kOptionCount; ++i) {
    out += std::string(i ? " " : "") + kOptionKeys[i].name + "=" + read.value().values()[i] +
           (read.value().lines()[i] ? "@" + std::to_string(read.value().lines()[i]) : "");
  }
  return out;
}

TEST(OptionsConf, ReadsKeysAndRefusesEveryKindOfMistakeWithLineAndKey) {
  const std::string defaults = "device_outage=exit unreachable_report=none gps_talkers=GP";
  const Row rows[] = {
      {"", defaults.c_str()},
      {"# only a comment\r\n\r\n   \n", defaults.c_str()},
      {"device_outage=keep_running\r\n unreachable_report = devinfo \r\n#x=y\r\n"
       "gps_talkers= GP, GN ,GL",
       "device_outage=keep_running@1 unreachable_report=devinfo@2 gps_talkers=GP, GN ,GL@4"},
      {"\ndevice_outage=exit", "device_outage=exit@2 unreachable_report=none gps_talkers=GP"},
      {"\n\ndevice_outages=exit\n", "Configure file o.ini: line 3: unknown key device_outages!!"},
      {"gps_talkers=GP\r\ndevice_outage=exit\r\ngps_talkers=GN\r\n",
       "Configure file o.ini: line 3: key gps_talkers given twice (first on line 1)!!"},
      {"device_outage=Keep_running",
       "Configure file o.ini: line 1: key device_outage has value \"Keep_running\", not "
       "exit|keep_running!!"},
      {"unreachable_report=",
       "Configure file o.ini: line 1: key unreachable_report has value "
       "\"\", not none|devinfo!!"},
      {"device_outage=exit # trailing",
       "Configure file o.ini: line 1: key device_outage has "
       "value \"exit # trailing\", not exit|keep_running!!"},
      {"gps_talkers=GP,,GN",
       "Configure file o.ini: line 1: key gps_talkers has value \"GP,,GN\", "
       "not a comma list of two-letter NMEA talkers!!"},
      {"gps_talkers=gp",
       "Configure file o.ini: line 1: key gps_talkers has value \"gp\", not a "
       "comma list of two-letter NMEA talkers!!"},
      {"gps_talkers=GPS",
       "Configure file o.ini: line 1: key gps_talkers has value \"GPS\", not a "
       "comma list of two-letter NMEA talkers!!"},
      {"device_outage\r\n", "Configure file o.ini: line 1: \"device_outage\" is not key=value!!"},
      {"=exit", "Configure file o.ini: line 1: \"=exit\" is not key=value!!"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(outcome(parse_options_conf(row.text, "o.ini")), row.expect) << row.text;
  }
  const Options o = parse_options_conf("gps_talkers= GP, GN ,GL", "o.ini").value();
  EXPECT_EQ(gps_talkers(o), (std::vector<std::string>{"GP", "GN", "GL"}));
  EXPECT_FALSE(keeps_running(o));
  EXPECT_TRUE(o.given("gps_talkers"));
  EXPECT_FALSE(o.given("device_outage"));
}

TEST(OptionsConf, PackagedExampleHoldsEveryKeyAtItsDefault) {
  auto text = read_whole_file(std::string(QUORVANE_SOURCE_DIR) +
                              "/packaging/examples/quorvane_options.ini");
  ASSERT_TRUE(text);
  auto read = parse_options_conf(*text, "quorvane_options.ini");
  ASSERT_TRUE(read.ok()) << read.refusal()->text;
  for (size_t i = 0; i < kOptionCount; ++i) {
    EXPECT_TRUE(read.value().lines()[i] != 0) << kOptionKeys[i].name << " missing";
    EXPECT_EQ(read.value().values()[i], kOptionKeys[i].default_value) << kOptionKeys[i].name;
  }
}

}  // namespace
