"""``python -m ornivex``: the ``ornivex`` command (with no arguments, the demo run)."""

from ornivex.cli import command

if __name__ == "__main__":
    command()
