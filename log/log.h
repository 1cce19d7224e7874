// The log facility: one timestamped line on standard error per call, for
// the program and for the calculation library (Log is its log callback).
//
// Line form: "%d-%m-%Y %X " local time, ".", milliseconds within the second
// without leading zeros, ": ", then the message exactly as the caller gave
// it (callers end it with "\n").
//
// With a log file set (SetLogFile), standard output and standard error both
// append to it and every Log call first rotates the file once it has grown
// above LOG_ROTATION_SIZE_BYTES. The run sequence sets no log file.
#pragma once

#include <cstddef>
#include <string>

constexpr size_t LOG_MESSAGE_BUFFER_BYTES = 100000;   // messages are cut to 99,999 characters
constexpr long long LOG_ROTATION_SIZE_BYTES = 26214400;  // 25 MiB; a file of exactly this size stays

// printf-like; safe from any thread. Also handed to Tarvik_SetOnLog.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Sends standard output and standard error to `path` in append mode.
// An empty or unusable path redirects nothing. Always ends with a Log line.
void SetLogFile(std::string path);

// Rotates the log file when it has grown above LOG_ROTATION_SIZE_BYTES.
// Does nothing (no lock, no file-system query) while no log file is set.
void CheckLogRotation();

// True for a relative path, or for an absolute one whose root directory exists.
bool IsLogPathUsable(const std::string& path);
