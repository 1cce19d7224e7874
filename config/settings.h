// Process-wide settings of one run, from the command line. The entry point
// writes them before the computation starts; after that they are only read
// (by the sample feeding, the computation, the raw dump and the master link),
// so they need no lock. They live here, below every reader, so that no
// subsystem has to include the driver for them.
#pragma once

#include <cstdint>
#include <string>

inline bool wideInfo = false;        // --wideinfo=: the document sent carries per-wheel arrays
inline bool debugMode = false;       // --debug=: raw dump files and the printed document
inline std::string oscFilePath;      // the oscillogram file, as given on the command line
inline uint16_t masterPort = 0;      // the master server's UDP port
