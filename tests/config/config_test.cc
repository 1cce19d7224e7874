// The configuration loader: a table of files with the result and every
// message each one gives (loaded in forked children, so that each case
// starts from an empty configuration and its messages can be read), and the
// model a realistic file builds.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "config/config.h"
#include "tests/log/forked_child.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace {

// JSON members in order; Set replaces a member (or appends it), and an empty
// value removes it, so one case changes exactly one thing of a valid file.
using Members = std::vector<std::pair<std::string, std::string>>;

Members Set(Members members, const std::string& key, const std::string& value) {
  for (auto it = members.begin(); it != members.end(); ++it) {
    if (it->first != key) continue;
    if (value.empty())
      members.erase(it);
    else
      it->second = value;
    return members;
  }
  if (!value.empty()) members.emplace_back(key, value);
  return members;
}

// Built with += throughout: GCC 12 warns falsely (-Wrestrict) on literal + string.
std::string Json(const Members& members) {
  std::string text = "{";
  for (const auto& [key, value] : members) {
    if (text.size() > 1) text += ", ";
    text += '"';
    text += key;
    text += "\": ";
    text += value;
  }
  return text + "}";
}

std::string Array(const std::vector<std::string>& items) {
  std::string text = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += ", ";
    text += items[i];
  }
  return text + "]";
}

Members SensorMembers() {
  return {{"channel", "0"}, {"side", "false"}, {"coeff", "2.5"}, {"vel_coeff", "0.9"}, {"enabled", "true"}};
}

std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  quoted += text;
  quoted += '"';
  return quoted;
}

Members DeviceMembers(int port, std::string sensors = "") {
  if (sensors.empty()) sensors = Array({Json(SensorMembers())});
  return {{"enabled", "true"}, {"uid", Quoted(std::string("u") + std::to_string(port))}, {"port", std::to_string(port)},
          {"frequency", "2000"}, {"host", "\"10.0.0.1\""}, {"sensors", sensors}};
}

Members LineMembers(int id, const std::string& odd, const std::string& even) {
  return {{"id", std::to_string(id)}, {"devices", Json({{"odd", odd}, {"even", even}})}};
}

std::string Line(int id, int oddPort, int evenPort) {
  return Json(LineMembers(id, Json(DeviceMembers(oddPort)), Json(DeviceMembers(evenPort))));
}

// A line whose odd device (port 7126) carries the changed member.
std::string OddDevice(const std::string& key, const std::string& value) {
  return Json(LineMembers(1, Json(Set(DeviceMembers(7126), key, value)), Json(DeviceMembers(7127))));
}

// A line whose odd device has a valid sensor followed by `second`.
std::string OddSensors(const Members& second) {
  return Json(LineMembers(1, Json(DeviceMembers(7126, Array({Json(SensorMembers()), Json(second)}))),
                          Json(DeviceMembers(7127))));
}

std::string OddSensor(const std::string& key, const std::string& value) {
  return OddSensors(Set(SensorMembers(), key, value));
}

std::string File(const std::vector<std::string>& lines) { return Json({{"lines", Array(lines)}}); }

std::string Added(const char* side, int port, const std::string& uid = "") {
  return std::string("Device (") + side + " side) uid " + (uid.empty() ? std::string("u") + std::to_string(port) : uid) +
         " added to config with id " + std::to_string(port - 7126);
}

std::string Nested(int depth, bool closed) {
  return std::string(depth, '[') + (closed ? std::string(depth, ']') : "");
}

struct ConfigCase {
  std::string name;
  std::string text;
  int32_t result;
  size_t lineCount;                    // lines in deviceConfigList afterwards
  std::vector<std::string> messages;   // after "Loading config file ..."; a final '*' matches a prefix
};

const std::string NOT_JSON = "Config file $PATH is not valid JSON: *";
const std::string MISSING = "\" is missing or not ";

std::vector<ConfigCase> Cases() {
  const std::string odd = "Line 0 odd device: \"", sensor1 = "Line 0 odd device sensor 1: \"";
  const std::vector<std::string> goodLine = {Added("odd", 7126), Added("even", 7127)};
  return {
      // The file as a whole.
      {"empty file", "", CONFIG_REFUSED, 0, {"Config file $PATH is not valid JSON: The document is empty. (at byte 0)"}},
      {"truncated", File({Line(1, 7126, 7127)}).substr(0, 40), CONFIG_REFUSED, 0, {NOT_JSON}},
      {"trailing text", File({}) + " {}", CONFIG_REFUSED, 0, {NOT_JSON}},
      {"NaN", File({OddSensor("coeff", "NaN")}), CONFIG_REFUSED, 0, {NOT_JSON}},
      {"unclosed deep nesting", Nested(100000, false), CONFIG_REFUSED, 0, {NOT_JSON}},
      {"deep nesting as root", Nested(100000, true), CONFIG_REFUSED, 0,
       {"Config has no \"lines\"", "Config is not object"}},
      {"deep nesting ignored", "{\"lines\": [], \"x\": " + Nested(100000, true) + "}", CONFIG_OK, 0, {}},
      {"root array", "[]", CONFIG_REFUSED, 0, {"Config has no \"lines\"", "Config is not object"}},
      {"no lines", "{\"Lines\": []}", CONFIG_REFUSED, 0, {"Config has no \"lines\""}},
      {"lines not array", "{\"lines\": {}}", CONFIG_REFUSED, 0, {"\"lines\" is not array type"}},
      {"empty lines", File({}), CONFIG_OK, 0, {}},
      {"first lines wins", "{\"lines\": [" + Line(1, 7126, 7127) + "], \"lines\": 5}", CONFIG_OK, 1, goodLine},
      // Lines: skipped ones keep their index.
      {"non-object lines", File({"5", "null", "[]", Line(1, 7126, 7127)}), CONFIG_OK, 1, goodLine},
      {"no devices", File({Json({{"id", "1"}}), Line(2, 7126, 7127)}), CONFIG_OK, 1,
       {"line 0 has no member devices", Added("odd", 7126), Added("even", 7127)}},
      {"devices not object", File({Json({{"id", "1"}, {"devices", "[]"}})}), CONFIG_OK, 0,
       {"Line 0 devices is not an object"}},
      {"no id", File({Line(1, 7126, 7127), Json(Set(LineMembers(2, "{}", "{}"), "id", "")), Line(3, 7128, 7129)}),
       CONFIG_OK, 2, {Added("odd", 7126), Added("even", 7127), "Line 1 has no id set", Added("odd", 7128), Added("even", 7129)}},
      {"id as text", File({Json(Set(LineMembers(1, "{}", "{}"), "id", "\"1\""))}), CONFIG_REFUSED, 0,
       {"Line 0: \"id" + MISSING + "an integer"}},
      {"id above int32", File({Json(Set(LineMembers(1, "{}", "{}"), "id", "2147483648"))}), CONFIG_REFUSED, 0,
       {"Line 0: \"id" + MISSING + "an integer"}},
      {"sides missing or not objects", File({Json({{"id", "1"}, {"devices", "{\"odd\": 5}"}}),
                                             Json(LineMembers(2, "null", Json(DeviceMembers(7126))))}),
       CONFIG_OK, 2,
       {"Line 0 odd device is not an object", "Line 0 has no member even", "Line 1 odd device is not an object",
        Added("even", 7126)}},
      // Devices.
      {"enabled missing", File({OddDevice("enabled", "")}), CONFIG_REFUSED, 0, {odd + "enabled" + MISSING + "a boolean"}},
      {"uid as number", File({OddDevice("uid", "5")}), CONFIG_REFUSED, 0, {odd + "uid" + MISSING + "a string or null"}},
      {"uid null, host absent", File({Json(LineMembers(1, Json(Set(Set(DeviceMembers(7126), "uid", "null"), "host", "")),
                                                      Json(Set(DeviceMembers(7127), "uid", ""))))}),
       CONFIG_OK, 1, {"Device (odd side) uid  added to config with id 0", "Device (even side) uid  added to config with id 1"}},
      {"port as text", File({OddDevice("port", "\"7126\"")}), CONFIG_REFUSED, 0, {odd + "port" + MISSING + "an integer"}},
      {"huge port", File({OddDevice("port", "99999999999999999999")}), CONFIG_REFUSED, 0,
       {odd + "port" + MISSING + "an integer"}},
      {"port above double", File({OddDevice("port", "1e400")}), CONFIG_REFUSED, 0, {NOT_JSON}},
      {"port below the ids", File({OddDevice("port", "7125")}), CONFIG_REFUSED, 0,
       {"Line 0 odd device port 7125 gives device id -1; ports 7126 to 7133 (ids 0 to 7) are supported"}},
      {"port above the ids", File({OddDevice("port", "7134")}), CONFIG_REFUSED, 0,
       {"Line 0 odd device port 7134 gives device id 8; ports 7126 to 7133 (ids 0 to 7) are supported"}},
      {"port taken by its low 16 bits", File({Line(1, 7126 + 65536, 7127)}), CONFIG_OK, 1,
       {"Device (odd side) uid u72662 added to config with id 0", Added("even", 7127)}},
      {"duplicate port in a later line", File({Line(1, 7126, 7127), Line(2, 7128, 7126), Line(3, 7130, 7131)}),
       CONFIG_DUPLICATE_PORT, 1, {Added("odd", 7126), Added("even", 7127), Added("odd", 7128), "Duplicate port found"}},
      {"duplicate port within a line", File({Line(1, 7126, 7126)}), CONFIG_DUPLICATE_PORT, 0,
       {Added("odd", 7126), "Duplicate port found"}},
      {"frequency as text", File({OddDevice("frequency", "\"2000\"")}), CONFIG_REFUSED, 0,
       {odd + "frequency" + MISSING + "an integer"}},
      {"sensors not array", File({Line(1, 7128, 7129), OddDevice("sensors", "{}")}), CONFIG_OK, 2,
       {Added("odd", 7128), Added("even", 7129), "sensors in device 1 is not array", Added("odd", 7126),
        Added("even", 7127)}},
      // Sensors.
      {"sensor not object", File({OddDevice("sensors", "[5]")}), CONFIG_REFUSED, 0,
       {"Line 0 odd device sensor 0 is not an object"}},
      {"channel missing", File({OddSensor("channel", "")}), CONFIG_REFUSED, 0, {sensor1 + "channel" + MISSING + "an integer"}},
      {"side as number", File({OddSensor("side", "0")}), CONFIG_REFUSED, 0, {sensor1 + "side" + MISSING + "a boolean"}},
      {"coeff as text", File({OddSensor("coeff", "\"2\"")}), CONFIG_REFUSED, 0,
       {sensor1 + "coeff" + MISSING + "a number within float range"}},
      {"coeff above float", File({OddSensor("coeff", "1e39")}), CONFIG_REFUSED, 0,
       {sensor1 + "coeff" + MISSING + "a number within float range"}},
      {"vel_coeff below float", File({OddSensor("vel_coeff", "-1e300")}), CONFIG_REFUSED, 0,
       {sensor1 + "vel_coeff" + MISSING + "a number within float range"}},
      {"integer coeff, disabled sensor", File({OddSensors(Set(Set(SensorMembers(), "coeff", "2"), "enabled", "false")),
                                               Line(2, 7128, 7129)}),
       CONFIG_OK, 2, {Added("odd", 7126), Added("even", 7127), Added("odd", 7128), Added("even", 7129)}},
  };
}

bool MessageMatches(const std::string& expected, const std::string& actual) {
  if (!expected.empty() && expected.back() == '*') return actual.compare(0, expected.size() - 1, expected, 0, expected.size() - 1) == 0;
  return expected == actual;
}

std::string WithPath(std::string message, const std::string& path) {
  size_t at = message.find("$PATH");
  return at == std::string::npos ? message : message.replace(at, 5, path);
}

TEST(ConfigFile, ResultsAndMessages) {
  std::vector<ConfigCase> cases = Cases();
  TempDir dir;
  // A directory opens but cannot be read.
  cases.push_back({"directory", "", CONFIG_REFUSED, 0, {"Config file $PATH cannot be read: Is a directory"}});
  for (const ConfigCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = c.name == "directory" ? dir.path() : dir.Write("scales.json.conf", c.text);
    ChildRun child = RunInChild(dir.path(), [&] {
      int32_t result = LoadConfig(path.c_str());
      std::printf("%zu\n", conf->deviceConfigList.size());
      return 16 + result;
    });
    ASSERT_EQ(child.signal, 0);
    EXPECT_EQ(child.exitStatus - 16, c.result);
    EXPECT_EQ(child.out, std::to_string(c.lineCount) + "\n");
    std::vector<std::string> messages = LogMessages(child.err);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0], "Loading config file " + path);
    messages.erase(messages.begin());
    ASSERT_EQ(messages.size(), c.messages.size()) << child.err;
    for (size_t i = 0; i < messages.size(); ++i)
      EXPECT_TRUE(MessageMatches(WithPath(c.messages[i], path), messages[i])) << messages[i];
  }
}

TEST(ConfigFile, MissingFileIsNotOpened) {
  TempDir dir;
  std::string path = dir.File("absent.conf");
  ChildRun child = RunInChild(dir.path(), [&] { return 16 + LoadConfig(path.c_str()); });
  EXPECT_EQ(child.exitStatus - 16, CONFIG_CANNOT_OPEN);
  EXPECT_EQ(LogMessages(child.err), std::vector<std::string>{"Config file " + path + " not found"});
}

void ResetConfig() {
  conf->deviceConfigList.clear();
  UsedPorts().clear();
}

std::string Describe(const DeviceConfig& device) {
  std::ostringstream out;
  out << "id " << device.id << " port " << device.port << " freq " << device.frequency << " enabled "
      << device.enabled << " side " << device.side << " uid '" << device.uid << "' host '" << device.host
      << "' reserved '" << device.reserved << "' sensors";
  for (const SensorConfig& sensor : device.sensors)
    out << " [" << sensor.channel << ' ' << sensor.side << ' ' << sensor.coeff << ' ' << sensor.vel_coeff << ' '
        << sensor.enabled << ']';
  return out.str();
}

TEST(ConfigModel, RealisticFileBuildsTheModel) {
  const std::string text = R"({
    "site": "north", "lines": [
    {"id": 11, "comment": "ignored", "devices": {
      "odd": {"enabled": false, "uid": "A-1", "port": 7126, "port": 7130, "frequency": 67536, "host": "10.0.0.11",
              "sensors": [{"channel": 65539, "side": true, "coeff": 2, "vel_coeff": 0.9, "enabled": false},
                          {"channel": 1, "side": false, "coeff": -1.5e-3, "vel_coeff": 12.75, "enabled": true}]},
      "even": {"enabled": true, "uid": null, "port": 7127, "frequency": 1000, "sensors": []}}},
    {"id": -4, "devices": {"odd": {"enabled": true, "port": 7133, "frequency": 500, "host": "h", "sensors": []}}}
  ]})";
  ResetConfig();
  TempDir dir;
  std::string path = dir.Write("scales.json.conf", text);
  ASSERT_EQ(LoadConfig(path.c_str()), CONFIG_OK);
  ASSERT_EQ(conf->deviceConfigList.size(), 2u);
  const LineConfig &first = conf->deviceConfigList[0], &second = conf->deviceConfigList[1];
  EXPECT_EQ(first.id, 11);
  EXPECT_EQ(second.id, -4);
  EXPECT_TRUE(first.active && second.active);
  // The first "port" counts; frequency and channel keep their low 16 bits; a
  // disabled sensor is kept, for the library still counts it.
  EXPECT_EQ(Describe(first.devconf.first), "id 0 port 7126 freq 2000 enabled 0 side 0 uid 'A-1' host '10.0.0.11' "
                                           "reserved '' sensors [3 1 2 0.9 0] [1 0 -0.0015 12.75 1]");
  EXPECT_EQ(Describe(first.devconf.second), "id 1 port 7127 freq 1000 enabled 1 side 1 uid '' host '' reserved '' sensors");
  EXPECT_EQ(Describe(second.devconf.first), "id 7 port 7133 freq 500 enabled 1 side 0 uid '' host 'h' reserved '' sensors");
  // The missing even side keeps a fresh device's defaults.
  EXPECT_EQ(Describe(second.devconf.second), "id 0 port 0 freq 0 enabled 1 side 0 uid '' host '' reserved '' sensors");
  EXPECT_EQ(UsedPorts(), (std::vector<uint16_t>{7126, 7127, 7133}));

  // A second load appends to the first: its ports are all taken.
  EXPECT_EQ(LoadConfig(path.c_str()), CONFIG_DUPLICATE_PORT);
  EXPECT_EQ(conf->deviceConfigList.size(), 2u);
  ResetConfig();
}

}  // namespace
