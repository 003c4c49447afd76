"""Authenticode signatures: read, judged, verified and made (the modules: release/__init__.py)."""
