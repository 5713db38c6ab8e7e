"""A click test runner that keeps stdout and stderr apart on every click
version: 8.1 needs mix_stderr=False for that, 8.2 dropped the argument and
always keeps them apart."""

from click.testing import CliRunner


def cli_runner() -> CliRunner:
    try:
        return CliRunner(mix_stderr=False)
    except TypeError:
        return CliRunner()
