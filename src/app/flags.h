// The run and failure flags shared by the loop and the callbacks.
#pragma once

// The event loop runs while this holds.
extern bool is_running;
// Set with is_running cleared on a failure: wait for Enter, exit 1.
extern bool has_failed;
