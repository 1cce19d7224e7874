#include "result/result.h"

TrainResult MergeLineResults(std::vector<LineResult*>) { return {}; }
