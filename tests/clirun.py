"""Running the vl command line in-process, as a user would from a shell."""

import os

from click.testing import CliRunner

from vl.cli import main


def cli_runner() -> CliRunner:
    # click 8.1 needs mix_stderr=False to keep stderr apart; 8.2 dropped the
    # argument and always keeps them apart.
    try:
        return CliRunner(mix_stderr=False)
    except TypeError:
        return CliRunner()


def run(*args, cwd=None, env=None, code=0, input=None):
    """Run `vl args` in `cwd`; check the exit code and that no traceback
    reached the user; return the click result."""
    old = os.getcwd()
    os.chdir(cwd or old)
    try:
        result = cli_runner().invoke(main, [str(a) for a in args], env=env, input=input)
    finally:
        os.chdir(old)
    assert result.exit_code == code, (args, result.exit_code, result.stdout, result.stderr, result.exception)
    assert "Traceback" not in result.stderr
    return result
