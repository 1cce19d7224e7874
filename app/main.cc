#include "app/run.h"

// The run ends through EndProcess, never by returning from main: the receive
// thread and abandoned line threads are still running, and the destructors
// of process-wide objects (the calculation library's among them) must not
// run under them.
int main(int argc, char** argv) { EndProcess(RunKorvanet(argc, argv)); }
