// Placeholder translation unit; removed once the library has real sources.
