// The test builds' wait hook. One process-wide hook, set by tests before they start threads;
// read under a mutex so that no thread calls a hook another thread is replacing.
#include "wait_hook.h"

#ifdef KESTRINE_WAIT_HOOKS

#include "py_ref.h"

namespace kestrine {

namespace {

PyMutex hook_mutex;
PyObject* hook_object = nullptr;
// The hook's own waits call no hook: it would recurse at every turn.
thread_local bool in_hook = false;

Ref current_hook() {
    PyMutex_Lock(&hook_mutex);
    Ref hook = Ref::borrow(hook_object);
    PyMutex_Unlock(&hook_mutex);
    return hook;
}

PyObject* set_wait_hook(PyObject*, PyObject* hook) {
    if (hook != Py_None && !PyCallable_Check(hook)) {
        PyErr_SetString(PyExc_TypeError, "the wait hook must be callable or None");
        return nullptr;
    }
    PyMutex_Lock(&hook_mutex);
    PyObject* previous = hook_object;
    hook_object = hook == Py_None ? nullptr : Py_NewRef(hook);
    PyMutex_Unlock(&hook_mutex);
    Py_XDECREF(previous);
    Py_RETURN_NONE;
}

}  // namespace

bool run_wait_hook() {
    // A wait entered with an exception aside (or set) leaves it alone.
    if (in_hook || PyErr_Occurred()) return true;
    Ref hook = current_hook();
    if (!hook) return true;
    in_hook = true;
    Ref result = Ref::steal(PyObject_CallNoArgs(hook.get()));
    in_hook = false;
    return bool(result);
}

PyMethodDef wait_hook_method = {
    "_set_wait_hook", set_wait_hook, METH_O,
    "_set_wait_hook(hook, /)\n--\n\nTest builds: call hook() at every turn of every wait."};

}  // namespace kestrine

#endif
