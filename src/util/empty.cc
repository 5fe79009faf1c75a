// Placeholder translation unit for a subsystem whose sources are not in yet.
