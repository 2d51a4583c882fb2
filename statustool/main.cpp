#include "statustool/status_update.h"

int main(int argc, char** argv) { return RunStatusUpdate(argc, argv); }
