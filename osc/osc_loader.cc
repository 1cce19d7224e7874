#include "osc/osc.h"

void LoadOscillogram(std::string) {}
