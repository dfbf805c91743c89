// ktsensors' main: everything happens in Run.
#include "tool.h"

int main(int argc, char **argv) { return ktsensors::Run(argc, argv); }
