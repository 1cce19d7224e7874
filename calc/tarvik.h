// The calculation library's interface: six functions with C linkage and the
// records exchanged through them. The program and every build of
// libtarvik.so share this one header, so the record layouts below are a
// byte-level contract, checked by the static_asserts at the end.
//
// Ownership:
// - SideSample: the program allocates each one with
//   std::calloc(1, sizeof(SideSample)) and hands it to Tarvik_PushSideData;
//   from that call on the library owns it and releases it with std::free.
//   The program never reads or frees a pushed sample again.
// - LineResult and everything below it (carriages, axles, wheels and the
//   containers inside them): the library allocates them with new and never
//   frees a record it returned. A returned record stays valid until the
//   process ends. The program only reads them; it never writes or frees one.
// - Tarvik_InitDevice receives both coefficient lists by value: the library
//   holds its own copies.
//
// Calling order and threads:
// 1. Tarvik_SetOnLog, then Tarvik_Init, once each, on the main thread.
// 2. Per line in configuration order: Tarvik_InitDevice (odd side),
//    Tarvik_InitDevice (even side), Tarvik_InitLine; main thread.
// 3. Tarvik_PushSideData once per accepted data record, in file order; main
//    thread.
// 4. Tarvik_Compute once per line, each on its own thread, all at once: the
//    library must accept concurrent calls for different lines.
// The library may call the log callback from any thread that is inside one
// of its calls.
//
// The records hold libstdc++ containers (vector 24 bytes, string 32 bytes on
// x86-64), so program and library must be built against the same standard
// library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

// One converted data record: a device's four channel values at one moment.
#pragma pack(push, 1)
struct SideSample {
  uint32_t deviceId;        // the record's device id (0..7)
  int64_t timeUs;           // microseconds since the device's time origin
  float temperature;        // degrees Celsius; NaN when the reading is out of range
  uint16_t channels[4];     // raw converter values of channels 0..3
  uint8_t reserved[8];      // zero
};
#pragma pack(pop)

struct LocoInfo {
  bool flag;                // the carriage is a locomotive
  std::string type;         // the locomotive's type text, may be empty
};

struct LineWheel {
  std::vector<int32_t> strength;   // per sensor that saw the wheel
  std::vector<int32_t> ids;        // the matching sensor identifiers
  int32_t weight;                  // weight on this wheel
  float condition;                 // condition value of the wheel
};

struct LineAxis {
  uint8_t libraryReserved[8];      // the library's own; not read by the program
  double speed;                    // train speed at this axle
  std::vector<LineWheel*> wheels;  // at least two; [0] odd rail, [1] even rail
};

struct LineCarriage {
  uint8_t libraryReserved0[4];     // the library's own; not read by the program
  int32_t full_weight;             // weight of the carriage
  uint8_t libraryReserved1[8];     // the library's own; not read by the program
  std::vector<LineAxis*> axis;     // the carriage's axles, in order
  LocoInfo loco;
};

struct LineResult {
  uint16_t line;                   // informational line number
  bool correct;                    // 0: nothing else in the record is read
  int32_t total_weight;            // weight of the whole train on this line
  std::vector<LineCarriage*> carriages;
};

extern "C" {
typedef void (*TarvikLogCallback)(const char* format, ...);

void Tarvik_SetOnLog(TarvikLogCallback callback);
void Tarvik_Init();
void Tarvik_InitDevice(int32_t deviceId, std::vector<double> coeff, std::vector<double> velCoeff);
void Tarvik_InitLine(int32_t lineId, int32_t oddDeviceId, int32_t evenDeviceId);
void Tarvik_PushSideData(SideSample* sample);
LineResult* Tarvik_Compute(int32_t lineId);
}

// The layout contract. A change here breaks every library build in the field.
static_assert(sizeof(std::vector<int32_t>) == 24, "records assume a 24-byte vector");
static_assert(sizeof(std::string) == 32, "records assume a 32-byte string");

static_assert(sizeof(SideSample) == 32);
static_assert(offsetof(SideSample, deviceId) == 0);
static_assert(offsetof(SideSample, timeUs) == 4);
static_assert(offsetof(SideSample, temperature) == 12);
static_assert(offsetof(SideSample, channels) == 16);
static_assert(offsetof(SideSample, reserved) == 24);

static_assert(std::is_standard_layout_v<LineResult>);
static_assert(sizeof(LineResult) == 32);
static_assert(offsetof(LineResult, line) == 0);
static_assert(offsetof(LineResult, correct) == 2);
static_assert(offsetof(LineResult, total_weight) == 4);
static_assert(offsetof(LineResult, carriages) == 8);

static_assert(std::is_standard_layout_v<LineCarriage>);
static_assert(sizeof(LineCarriage) == 80);
static_assert(offsetof(LineCarriage, full_weight) == 4);
static_assert(offsetof(LineCarriage, axis) == 16);
static_assert(offsetof(LineCarriage, loco) == 40);
static_assert(offsetof(LineCarriage, loco) + offsetof(LocoInfo, flag) == 40);
static_assert(offsetof(LineCarriage, loco) + offsetof(LocoInfo, type) == 48);

static_assert(std::is_standard_layout_v<LineAxis>);
static_assert(sizeof(LineAxis) == 40);
static_assert(offsetof(LineAxis, speed) == 8);
static_assert(offsetof(LineAxis, wheels) == 16);

static_assert(std::is_standard_layout_v<LineWheel>);
static_assert(sizeof(LineWheel) == 56);
static_assert(offsetof(LineWheel, strength) == 0);
static_assert(offsetof(LineWheel, ids) == 24);
static_assert(offsetof(LineWheel, weight) == 48);
static_assert(offsetof(LineWheel, condition) == 52);
