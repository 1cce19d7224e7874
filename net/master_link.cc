#include "net/net.h"

void OnMasterMessage(int32_t, const char*, uint16_t) {}
void OnStatusMessage(const std::string&) {}
std::string ServerId() { return ""; }
