"""Stand-in kit packages."""
