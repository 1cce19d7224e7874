// Process-wide settings of one run. Written by the entry point before the
// computation starts and only read afterwards, so they need no lock.
#pragma once

#include <cstdint>
#include <string>

extern bool wideInfo;          // --wideinfo=: the document sent carries per-wheel arrays
extern bool debugMode;         // --debug=: raw dump files and the printed document
extern std::string oscFilePath;  // the oscillogram file, as given on the command line
extern uint16_t masterPort;    // the master server's UDP port
