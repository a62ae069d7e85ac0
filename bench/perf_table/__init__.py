"""The pieces of bench/perf-table: one module per measured section, and what they share."""
