// Placeholder unit for a harness library that has no sources yet.
