// A hook that test builds (KESTRINE_WAIT_HOOKS) call at every turn of every wait for an
// access guard, so that tests can run Python code exactly where a waiting or draining thread
// runs signal handlers and the collector. Release builds have no hook and no cost.
#pragma once

#include <Python.h>

namespace kestrine {

#ifdef KESTRINE_WAIT_HOOKS
// Calls the hook set by `_set_wait_hook` (if any, and not from inside the hook itself).
// false with the hook's exception set: the wait ends as if a signal handler had raised.
bool run_wait_hook();
// The module function `_set_wait_hook(hook)`: a callable taking no arguments, or None.
extern PyMethodDef wait_hook_method;
#else
inline bool run_wait_hook() {
    return true;
}
#endif

}  // namespace kestrine
