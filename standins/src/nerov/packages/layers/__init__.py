"""Stand-in kit layers."""
