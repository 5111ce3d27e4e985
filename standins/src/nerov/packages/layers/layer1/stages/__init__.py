"""Layer-1 stages (the compiled stages are installed here)."""
