// Sample storage of the reference library.
