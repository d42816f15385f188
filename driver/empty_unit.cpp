// Keeps the minidriver library non-empty while its folders fill up.
