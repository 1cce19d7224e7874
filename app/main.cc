#include "app/run.h"

int main(int argc, char** argv) { return RunKorvanet(argc, argv); }
