"""``python -m ornivex``: the ``ornivex`` command (with no arguments, the demo run)."""

from ornivex.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
