"""Stand-in information-flow governance."""
