// Shebang interpretation. Stand-in: not reached yet.
