#pragma once

namespace vordalin::py {

// Sleeps without the interpreter lock, so other threads run meanwhile, then runs the
// interpreter's signal handlers: throws ErrorAlreadySet when one raised (Ctrl-C). A signal
// cuts the sleep short.
void sleep_unlocked(double seconds);

}  // namespace vordalin::py
