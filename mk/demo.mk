# `make demo`: build the module into $(VENV) and run the guided tour in examples/.
.PHONY: demo

demo: install
	@env -u PYTHON_GIL $(VPY) examples/tour.py
