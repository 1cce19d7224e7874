// Per-line solver of the reference library.
