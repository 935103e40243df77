# Sanitizer runs, each in its own venv and CMake build dir.
#
# Both build the extension with the wait hook, so the tests marked wait_hook run there too.
#
# `make asan`: the extension built with gcc's AddressSanitizer + UndefinedBehaviorSanitizer
# and loaded into the ordinary free-threaded interpreter with libasan preloaded.
#  1. The whole test suite, any memory error or undefined behaviour fatal. The free-threaded
#     interpreter runs only on mimalloc (it rejects PYTHONMALLOC=malloc), so Python objects
#     live outside ASan's heap; PYTHONMALLOC=debug puts CPython's guard bytes and freed-memory
#     poisoning on that heap instead. Leak checking is off here: LeakSanitizer does not scan
#     the object heap, so whatever an object alive at exit owns reads as leaked, and objects
#     alive at exit are the rule (module-level classes, and every class once a test starts a
#     thread: the free-threaded 3.13 interpreter then makes classes immortal).
#  2. tools/lsan_churn.py with leak checking on: every owner is freed before exit there, so
#     any leak report is a real one. It needs no suppressions.
#
# `make tsan`: a free-threaded CPython built with ThreadSanitizer (tools/build_tsan_python.sh,
# cached like the ordinary interpreter), the extension built with clang -fsanitize=thread,
# and every test module that starts threads (TSAN_TESTS=tests for the whole suite).
# tools/tsan.supp holds suppressions for interpreter-only reports; a report is fatal.
.PHONY: asan tsan

SAN_PIP = -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
	-Ccmake.build-type=RelWithDebInfo -Ccmake.define.KESTRINE_WERROR=ON \
	-Ccmake.define.KESTRINE_WAIT_HOOKS=ON

ASAN_VENV ?= .venv-asan
ASAN_BUILD_DIR ?= build/asan
ASAN_TESTS ?= tests
# Recursive: g++ is only asked when the target runs.
ASAN_ENV = KESTRINE_SANITIZED=address PYTHONMALLOC=debug LD_PRELOAD=$(shell g++ -print-file-name=libasan.so) \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ASAN_OPTS = detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:halt_on_error=1

asan:
	@KESTRINE_VENV=$(abspath $(ASAN_VENV)) bash tools/bootstrap.sh >/dev/null
	@echo "[make] building kestrine with address,undefined into $(ASAN_VENV)"
	@$(ASAN_VENV)/bin/python $(SAN_PIP) -Cbuild-dir=$(ASAN_BUILD_DIR) \
		-Ccmake.define.KESTRINE_SANITIZE=address,undefined .
	@echo "[make] AddressSanitizer + UndefinedBehaviorSanitizer run: $(ASAN_TESTS)"
	@env -u PYTHON_GIL $(ASAN_ENV) ASAN_OPTIONS=$(ASAN_OPTS):detect_leaks=0 \
		$(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider $(PYTEST_ARGS) $(ASAN_TESTS)
	@echo "[make] LeakSanitizer run: tools/lsan_churn.py"
	@env -u PYTHON_GIL $(ASAN_ENV) ASAN_OPTIONS=$(ASAN_OPTS):detect_leaks=1 \
		$(ASAN_VENV)/bin/python tools/lsan_churn.py

TSAN_VENV ?= .venv-tsan
TSAN_BUILD_DIR ?= build/tsan
# Every test module that starts threads, found when the target runs.
TSAN_TESTS ?= $(shell grep -lE '\b(threading|concurrent\.futures|ThreadPool)\b' tests/test_*.py)
TSAN_SUPP = suppressions=$(abspath tools/tsan.supp)
# Reports go to files (pytest captures a test's stderr, which a halting report would lose);
# a failed run prints them.
TSAN_REPORT = $(abspath $(TSAN_BUILD_DIR))/report

tsan:
	@KESTRINE_VENV=$(abspath $(TSAN_VENV)) bash tools/build_tsan_python.sh >/dev/null
	@echo "[make] building kestrine with thread (clang) into $(TSAN_VENV)"
	@CC=clang CXX=clang++ TSAN_OPTIONS="$(TSAN_SUPP) exitcode=0" $(TSAN_VENV)/bin/python $(SAN_PIP) \
		-Cbuild-dir=$(TSAN_BUILD_DIR) -Ccmake.define.KESTRINE_SANITIZE=thread .
	@echo "[make] ThreadSanitizer run: $(TSAN_TESTS)"
	@rm -f $(TSAN_REPORT).*
	@env -u PYTHON_GIL KESTRINE_SANITIZED=thread TSAN_OPTIONS="$(TSAN_SUPP) halt_on_error=1 exitcode=66 second_deadlock_stack=1 log_path=$(TSAN_REPORT)" \
		$(TSAN_VENV)/bin/python -m pytest -q -p no:cacheprovider $(PYTEST_ARGS) $(TSAN_TESTS) \
		|| { cat $(TSAN_REPORT).* 2>/dev/null; exit 1; }
