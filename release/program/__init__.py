"""Reading a built program from its bytes alone (the modules: release/__init__.py)."""
