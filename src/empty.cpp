// Placeholder translation unit for an area that has no sources yet.
