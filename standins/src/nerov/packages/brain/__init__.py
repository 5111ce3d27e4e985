"""Stand-in classifier and capability matcher."""
