"""Command-line tools around the kit's native modules."""
