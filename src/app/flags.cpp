// The two process-wide flags; the only mutable state of the application shell.
#include "flags.h"

bool is_running = true;
bool has_failed = false;
