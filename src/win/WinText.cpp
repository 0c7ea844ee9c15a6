// ANSI helpers
