"""Stand-in layer-1 base and exceptions."""
