"""Stand-ins for the kit's nerov package; not the real kit."""
