"""``python -m kestrel``: the kestrel command (see ``python -m kestrel --help``)."""

from kestrel.app.cli import console

if __name__ == "__main__":
    console()
