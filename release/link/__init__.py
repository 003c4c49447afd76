"""What the linker took into a program (the modules: release/__init__.py)."""
