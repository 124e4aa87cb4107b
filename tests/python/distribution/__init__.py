"""The type stubs and the wheel."""
