// Result publication: the second half of the run, after the computation.
#pragma once

#include <string>

#include "net/net.h"

// Merges a copy of the line results, sends the result document to the master
// when a train identifier was given, and in debug mode prints the plain
// document on standard output.
void PublishResult(MasterLink& link, const std::string& trainId);
