// Turning the driver's frame trace on and off from a test, in place of
// whatever the environment says. Not to be called while transfers run.
#pragma once

namespace zelqd::trace {

// Starts tracing to target ("-": standard error; otherwise a file, appended
// to); nullptr or "" turns the trace off. Returns whether the trace is on.
bool Start(const char* target);

// Turns the trace off and closes its file.
void Stop();

}  // namespace zelqd::trace
