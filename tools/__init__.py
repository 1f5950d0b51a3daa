"""The project's scripts, run from the top folder as `python -m tools.<name>`."""
