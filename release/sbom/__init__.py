"""The bill of materials and the third-party notices (the modules: release/__init__.py)."""
