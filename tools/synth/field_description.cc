// Reading the "field" member of a train description: which departures from
// the installation model the passage carries, and how strong each may be.
// An effect is on when its member is an object; members it leaves out take
// the strengths a real track shows. Unknown members are refused, so that a
// misspelt effect does not quietly leave a scenario on the ideal model.
#include <cmath>
#include <string>

#include <rapidjson/document.h>

#include "tools/synth/json_reading.h"

namespace synth {

namespace {

using Value = rapidjson::Value;

struct FieldReader {
  std::string* error;
  bool failed = false;

  void Fail(const std::string& what) {
    if (!failed) *error = "field: " + what;
    failed = true;
  }

  // Refuses members of `object` other than `known`.
  void OnlyKnown(const Value& object, const char* name, std::initializer_list<const char*> known) {
    for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
      bool found = false;
      for (const char* k : known) found = found || std::string(k) == it->name.GetString();
      if (!found) Fail(std::string(name) + " has no member \"" + it->name.GetString() + "\"");
    }
  }

  double Number(const Value& object, const char* key, double fallback) {
    auto it = object.FindMember(key);
    if (it == object.MemberEnd()) return fallback;
    if (!it->value.IsNumber() || it->value.GetDouble() < 0) {
      Fail(std::string("\"") + key + "\" must be a number not below 0");
      return fallback;
    }
    return it->value.GetDouble();
  }

  // [low, high], or one number X read as [0, X] for an amplitude (from_zero)
  // and as exactly X for anything else.
  Range Span(const Value& object, const char* key, Range fallback, bool from_zero) {
    auto it = object.FindMember(key);
    if (it == object.MemberEnd()) return fallback;
    const Value& v = it->value;
    Range r;
    if (v.IsNumber()) {
      r = {from_zero ? 0 : v.GetDouble(), v.GetDouble()};
    } else if (v.IsArray() && v.Size() == 2 && v[0].IsNumber() && v[1].IsNumber()) {
      r = {v[0].GetDouble(), v[1].GetDouble()};
    } else {
      Fail(std::string("\"") + key + "\" must be a number or a range [low, high]");
      return fallback;
    }
    if (r.low < 0 || r.high < r.low) Fail(std::string("\"") + key + "\" must satisfy 0 <= low <= high");
    return r;
  }

  // The member's object when the effect is on; nullptr when it is absent or false.
  const Value* Effect(const Value& field, const char* key) {
    auto it = field.FindMember(key);
    if (it == field.MemberEnd() || it->value.IsFalse()) return nullptr;
    if (!it->value.IsObject()) {
      Fail(std::string("\"") + key + "\" must be an object or false");
      return nullptr;
    }
    return &it->value;
  }
};

void ReadDead(FieldReader& r, const Value& list, const TrainSpec& train, FieldSpec* out) {
  if (!list.IsArray()) return r.Fail("\"dead\" must be an array");
  for (const Value& d : list.GetArray()) {
    if (!d.IsObject()) return r.Fail("each dead sensor must be an object");
    r.OnlyKnown(d, "a dead sensor", {"line", "side", "sensor", "kind"});
    DeadSensorSpec dead;
    dead.line_id = static_cast<int>(r.Number(d, "line", 1));
    dead.sensor = static_cast<int>(r.Number(d, "sensor", 0));
    auto side = d.FindMember("side");
    auto kind = d.FindMember("kind");
    std::string side_name = side != d.MemberEnd() && side->value.IsString() ? side->value.GetString() : "";
    std::string kind_name = kind != d.MemberEnd() && kind->value.IsString() ? kind->value.GetString() : "silent";
    if (side_name != "odd" && side_name != "even") r.Fail("a dead sensor's side must be \"odd\" or \"even\"");
    if (kind_name != "silent" && kind_name != "stuck") r.Fail("a dead sensor's kind must be \"silent\" or \"stuck\"");
    dead.side = side_name == "even" ? EVEN : ODD;
    dead.kind = kind_name == "stuck" ? DeadKind::STUCK : DeadKind::SILENT;
    const LineSpec* line = nullptr;
    for (const LineSpec& l : train.lines)
      if (l.id == dead.line_id) line = &l;
    if (line == nullptr) {
      r.Fail("a dead sensor names line " + std::to_string(dead.line_id) + ", which is not installed");
    } else if (dead.sensor >= static_cast<int>(line->devices[static_cast<size_t>(dead.side)].sensors.size())) {
      r.Fail("a dead sensor's index is beyond its device's sensors");
    }
    out->dead.push_back(dead);
  }
}

}  // namespace

int ReadField(const Value& field, TrainSpec* train, std::string* error) {
  FieldReader r{error};
  if (!field.IsObject()) {
    r.Fail("must be an object");
    return -1;
  }
  r.OnlyKnown(field, "field", {"dynamics", "influence", "spikes", "hum", "lost", "dead"});
  FieldSpec out;
  if (const Value* v = r.Effect(field, "dynamics")) {
    r.OnlyKnown(*v, "dynamics", {"bounce", "pitch", "roll", "frequency_hz", "vibration", "vibration_hz"});
    DynamicsSpec d;
    // Body motions up to about 5 % each, as a real track shows them.
    d.bounce = r.Span(*v, "bounce", {0, 0.05}, true);
    d.pitch = r.Span(*v, "pitch", {0, 0.05}, true);
    d.roll = r.Span(*v, "roll", {0, 0.05}, true);
    d.frequency_hz = r.Span(*v, "frequency_hz", d.frequency_hz, false);
    d.vibration = r.Span(*v, "vibration", d.vibration, true);
    d.vibration_hz = r.Span(*v, "vibration_hz", d.vibration_hz, false);
    for (const Range* amplitude : {&d.bounce, &d.pitch, &d.roll, &d.vibration})
      if (amplitude->high >= 0.5) r.Fail("dynamic amplitudes must stay below 0.5 of the static load");
    out.dynamics = d;
  }
  if (const Value* v = r.Effect(field, "influence")) {
    r.OnlyKnown(*v, "influence", {"half_width_m", "sharpness", "asymmetry", "side_lobe"});
    InfluenceSpec s;
    s.half_width_m = r.Span(*v, "half_width_m", s.half_width_m, false);
    s.sharpness = r.Span(*v, "sharpness", s.sharpness, false);
    s.asymmetry = r.Number(*v, "asymmetry", 0.25);
    s.side_lobe = r.Span(*v, "side_lobe", {0, 0.04}, true);
    // Narrower than this a pulse would slip between the samples of a fast train.
    if (s.half_width_m.low < 0.1 || s.half_width_m.high > 1.0) r.Fail("half_width_m must lie in 0.1..1.0 m");
    if (s.sharpness.low <= 0) r.Fail("sharpness must be above 0");
    if (s.asymmetry >= 0.9) r.Fail("asymmetry must stay below 0.9");
    if (s.side_lobe.high > 0.5) r.Fail("side_lobe must stay within 0.5");
    out.influence = s;
  }
  if (const Value* v = r.Effect(field, "spikes")) {
    r.OnlyKnown(*v, "spikes", {"per_s", "max_counts"});
    SpikeSpec s;
    s.per_s = r.Number(*v, "per_s", s.per_s);
    s.max_counts = r.Number(*v, "max_counts", s.max_counts);
    out.spikes = s;
  }
  if (const Value* v = r.Effect(field, "hum")) {
    r.OnlyKnown(*v, "hum", {"max_counts", "hz"});
    HumSpec h;
    h.amplitude_counts = r.Span(*v, "max_counts", h.amplitude_counts, true);
    h.hz = r.Number(*v, "hz", h.hz);
    out.hum = h;
  }
  if (const Value* v = r.Effect(field, "lost")) {
    r.OnlyKnown(*v, "lost", {"runs", "ms"});
    LostSpec l;
    l.runs = r.Span(*v, "runs", {1, 3}, false);
    l.ms = r.Span(*v, "ms", l.ms, false);
    if (l.runs.low != std::floor(l.runs.low) || l.runs.high != std::floor(l.runs.high))
      r.Fail("lost runs must be whole numbers");
    if (l.ms.low <= 0) r.Fail("a lost run must last more than 0 ms");
    out.lost = l;
  }
  auto dead = field.FindMember("dead");
  if (dead != field.MemberEnd()) ReadDead(r, dead->value, *train, &out);
  if (r.failed) return -1;
  train->field = out;
  return 0;
}

int ParseFieldDescription(const std::string& json_text, TrainSpec* train, std::string* error) {
  rapidjson::Document doc;
  if (!ParseJson(json_text, &doc, error)) return -1;
  return ReadField(doc, train, error);
}

}  // namespace synth
