// The front end of a build without a window toolkit: the program offers
// only --unattended.
#include "wizard/command_line.h"

DialogRunner ConforaDialog() { return {}; }
