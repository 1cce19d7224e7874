// Reading the synthesizer's JSON: what the train description and its
// "field" member share.
#pragma once

#include <string>

#include <rapidjson/document.h>

#include "tools/synth/synth.h"

namespace synth {

// Parses `json_text` into *doc; false with a message naming where it fails.
bool ParseJson(const std::string& json_text, rapidjson::Document* doc, std::string* error);
// Reads a "field" object into train->field (whose lines must be read
// already). Returns 0, or -1 with a message.
int ReadField(const rapidjson::Value& field, TrainSpec* train, std::string* error);

}  // namespace synth
