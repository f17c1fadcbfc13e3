// The coroutines behind the awaitable forms live in Python source of the module's own
// (src/py/aio.py), built into the module and run on first use.
#pragma once

#include "py/ref.hpp"

namespace vordalin::py {

// The named attribute of that source's module ("readable", ...); runs the source the first time.
Ref aio(const char* name);

}  // namespace vordalin::py
