// Oscillogram input: the loader that streams an oscillogram file record by
// record, and the sample feeding that turns each record into a SideSample for
// the calculation library.
//
// All of this runs on the main thread, before any line thread exists, so the
// per-device tables need no lock.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "config/config.h"

struct SideSample;

// Sampling frequency per device id, Hz; 0 means not set. Filled by the run
// sequence from the configuration before loading.
extern uint16_t frequencyById[DEVICE_ID_COUNT];
// Time origin per device id, microseconds; 0 means not set.
extern int64_t timeOriginById[DEVICE_ID_COUNT];
// File position of the current record, counted over accepted records only:
// starts at the data start (21504) and grows by each accepted record's size.
extern int64_t recordPosition;
// Raw dump text lines per device id, collected only in debug mode.
// FeedRecord packs each record's line into large text blocks (a string per
// record would cost a heap block, and a passage has millions); this call
// first unpacks every device's packed text into its list, so that the lists
// show every line collected so far, in order.
std::vector<std::string>* RawLinesById();  // DEVICE_ID_COUNT lists
// True when the device has raw dump text, in its list or still packed.
bool HasRawText(int32_t deviceId);
// Writes the device's raw dump text to `file`: the lines of its list, then
// its packed text, each line followed by "\n", in large writes. Unpacks
// nothing and leaves both as they are. Write errors are not reported.
void WriteRawText(int32_t deviceId, std::FILE* file);

// Forgets what a passage left behind: frequencies, time origins, raw dump
// text and the record position, as at the start of the process. For the
// programs that feed many passages in one process (tests, fuzzing, benches).
void ResetFeeding();

// Lists the carriage table and feeds every data record to FeedRecord, in
// file order. Messages go straight to standard error without timestamp.
// Reading stops at a trailing piece shorter than a record or a payload length
// above 12 (silently), at a payload length below 12 (with a message naming
// the record's offset) and at a read error (with a message naming its cause,
// e.g. a directory). Memory use does not grow with the file.
void LoadOscillogram(std::string path);

// Converts one record into a SideSample and pushes it to the library.
// Records of device ids DEVICE_ID_COUNT and above, and of devices without a
// frequency, are dropped with a Log line; recordPosition does not move.
void FeedRecord(const uint8_t* header, const uint8_t* payload, uint16_t payloadLength);
// FeedRecord for each of `count` whole records (header and a payload of 12
// bytes) that lie one after another from `records`, without a call per record.
void FeedRecords(const uint8_t* records, size_t count);

// Where FeedRecord hands each sample: Tarvik_PushSideData unless replaced.
// The sink owns the sample (allocated with std::calloc) and frees it with
// std::free. A null sink restores Tarvik_PushSideData. Lets tests and
// benchmarks see every sample without the library.
using SampleSink = void (*)(SideSample* sample);
void SetSampleSink(SampleSink sink);

// The thermistor reading (10-bit converter value) in degrees Celsius;
// NaN above 1023.
float ThermistorCelsius(uint16_t reading);
