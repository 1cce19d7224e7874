// The scripted calculation library hands tests the record shapes they ask
// for, including those a real library must never produce; the program's
// robustness tests rely on getting exactly those shapes.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "calc/tarvik.h"
#include "tests/support/scripted_library.h"

TEST(ScriptedTarvik, ReturnsTheScriptedShapes) {
  TempDir dir;
  ScriptedLibrary library = PrepareScriptedLibrary(dir, R"({
    "lines": [
      {"line": 1, "result": null},
      {"line": 2, "result": {"line": 20, "correct": 2, "total_weight": -5, "carriages": [
        {"full_weight": 77, "loco": {"flag": true, "type": "TE\"10"}, "axis": [
          {"speed": "nan", "wheels": []},
          {"speed": "-inf", "wheels": [{"weight": 9, "condition": "inf", "strength": [1, -2], "ids": [3]}]}]}]}},
      {"line": 3}],
    "default": {"result": {"correct": true, "total_weight": 42}}})");
  setenv("TARVIK_SCRIPT", library.scriptPath.c_str(), 1);
  // A handle of its own, beside the real library that the test binary links.
  void* handle = dlopen((std::string(SCRIPTED_TARVIK_DIR) + "/libtarvik.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  auto init = reinterpret_cast<decltype(&Tarvik_Init)>(dlsym(handle, "Tarvik_Init"));
  auto compute = reinterpret_cast<decltype(&Tarvik_Compute)>(dlsym(handle, "Tarvik_Compute"));
  ASSERT_TRUE(init && compute);
  init();
  unsetenv("TARVIK_SCRIPT");

  EXPECT_EQ(compute(1), nullptr);

  LineResult* shaped = compute(2);
  ASSERT_NE(shaped, nullptr);
  uint8_t correctByte;
  std::memcpy(&correctByte, &shaped->correct, 1);
  EXPECT_EQ(shaped->line, 20);
  EXPECT_EQ(correctByte, 2);
  EXPECT_EQ(shaped->total_weight, -5);
  ASSERT_EQ(shaped->carriages.size(), 1u);
  const LineCarriage& carriage = *shaped->carriages[0];
  EXPECT_EQ(carriage.full_weight, 77);
  EXPECT_TRUE(carriage.loco.flag);
  EXPECT_EQ(carriage.loco.type, "TE\"10");
  ASSERT_EQ(carriage.axis.size(), 2u);
  EXPECT_TRUE(std::isnan(carriage.axis[0]->speed));
  EXPECT_TRUE(carriage.axis[0]->wheels.empty());
  EXPECT_EQ(carriage.axis[1]->speed, -INFINITY);
  ASSERT_EQ(carriage.axis[1]->wheels.size(), 1u);
  const LineWheel& wheel = *carriage.axis[1]->wheels[0];
  EXPECT_EQ(wheel.weight, 9);
  EXPECT_EQ(wheel.condition, INFINITY);
  EXPECT_EQ(wheel.strength, (std::vector<int32_t>{1, -2}));
  EXPECT_EQ(wheel.ids, (std::vector<int32_t>{3}));

  // An entry without a result gives the line's empty record; no entry, "default".
  LineResult* empty = compute(3);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->line, 3);
  EXPECT_FALSE(empty->correct);
  LineResult* fallback = compute(4);
  ASSERT_NE(fallback, nullptr);
  EXPECT_EQ(fallback->line, 4);
  EXPECT_EQ(fallback->total_weight, 42);
  EXPECT_NE(compute(4), fallback);  // a fresh record per call
}
