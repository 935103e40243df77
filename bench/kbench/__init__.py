"""The benchmarks that bench/run.py runs: measurements, sections, targets, tables and results."""
