// Confora, the settings wizard: the dialog, or --unattended for scripts.
#include "wizard/command_line.h"

int main(int argc, char** argv) { return RunConfora(argc, argv, ConforaDialog()); }
