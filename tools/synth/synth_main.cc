// synth: writes PREFIX.osc, PREFIX.json.conf and PREFIX.truth.json for a
// train description.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tools/synth/synth.h"

namespace {

const char* const USAGE =
    "usage: synth DESCRIPTION.json OUTPUT_PREFIX [--records=N] [--seed=N] [--noise=SIGMA] [--field=FIELD.json]\n"
    "writes OUTPUT_PREFIX.osc, OUTPUT_PREFIX.json.conf and OUTPUT_PREFIX.truth.json;\n"
    "FIELD.json holds an object that takes the place of the description's \"field\"\n";

bool ReadFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *text = s.str();
  return true;
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

// "--name=value" into *value; false when the argument is another option.
bool Option(const std::string& arg, const std::string& name, std::string* value) {
  std::string prefix = "--" + name + "=";
  if (arg.rfind(prefix, 0) != 0) return false;
  *value = arg.substr(prefix.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs(USAGE, stderr);
    return 2;
  }
  std::string description_path = argv[1];
  std::string prefix = argv[2];
  std::string text;
  if (!ReadFile(description_path, &text)) {
    std::fprintf(stderr, "synth: cannot read %s\n", description_path.c_str());
    return 1;
  }
  synth::TrainSpec train;
  std::string error;
  if (synth::ParseTrainDescription(text, &train, &error) != 0) {
    std::fprintf(stderr, "synth: %s: %s\n", description_path.c_str(), error.c_str());
    return 1;
  }
  for (int i = 3; i < argc; ++i) {
    std::string value;
    char* end = nullptr;
    if (Option(argv[i], "records", &value)) {
      train.records = std::strtoll(value.c_str(), &end, 10);
    } else if (Option(argv[i], "seed", &value)) {
      train.seed = std::strtoull(value.c_str(), &end, 10);
    } else if (Option(argv[i], "noise", &value)) {
      train.noise_sigma_counts = std::strtod(value.c_str(), &end);
    } else if (Option(argv[i], "field", &value)) {
      std::string field_text;
      if (!ReadFile(value, &field_text)) {
        std::fprintf(stderr, "synth: cannot read %s\n", value.c_str());
        return 1;
      }
      if (synth::ParseFieldDescription(field_text, &train, &error) != 0) {
        std::fprintf(stderr, "synth: %s: %s\n", value.c_str(), error.c_str());
        return 1;
      }
      continue;
    } else {
      std::fprintf(stderr, "synth: unknown option %s\n%s", argv[i], USAGE);
      return 2;
    }
    if (end == value.c_str() || *end != '\0') {
      std::fprintf(stderr, "synth: bad value in %s\n", argv[i]);
      return 2;
    }
  }

  synth::Passage passage;
  if (synth::PlanPassage(train, &passage, &error) != 0) {
    std::fprintf(stderr, "synth: %s: %s\n", description_path.c_str(), error.c_str());
    return 1;
  }
  auto started = std::chrono::steady_clock::now();
  synth::OscStats stats;
  if (synth::WriteOscillogram(train, passage, prefix + ".osc", &stats, &error) != 0) {
    std::fprintf(stderr, "synth: %s\n", error.c_str());
    return 1;
  }
  double elapsed_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!WriteFile(prefix + ".json.conf", synth::ConfigurationJson(train)) ||
      !WriteFile(prefix + ".truth.json", synth::TruthJson(train, passage, stats))) {
    std::fprintf(stderr, "synth: cannot write %s.json.conf or %s.truth.json\n", prefix.c_str(), prefix.c_str());
    return 1;
  }
  std::printf("%s.osc: %zu vehicles, %zu axles, %lld records, %.3f s of passage, written in %.2f s\n",
              prefix.c_str(), train.vehicles.size(), passage.axles.size(), static_cast<long long>(stats.records),
              stats.duration_s, elapsed_s);
  if (!stats.train_complete)
    std::fprintf(stderr, "synth: warning: the record count ends the passage before the train has cleared the line\n");
  return 0;
}
