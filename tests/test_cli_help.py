"""The command line as typed: every option described in --help, host names
resolved before anything runs, numbers with a minus sign taken as numbers."""
import argparse

import pytest

from vantor import cli

COMMANDS = ("run", "sim", "iv", "record", "show")


def subparsers():
    parser = cli.parser()
    action = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    return parser, action.choices


@pytest.mark.parametrize("command", COMMANDS)
def test_every_option_and_argument_is_described(command):
    _, choices = subparsers()
    sub = choices[command]
    assert sub.description, f"{command} has no description"
    bare = [a.dest for a in sub._actions if not a.help and a.dest != "help"]
    assert bare == []
    text = sub.format_help()
    assert "`" not in text and "vantor.ops" not in text


def test_top_level_help_has_no_markup():
    parser, _ = subparsers()
    assert "`" not in parser.format_help() and "vantor.ops" not in parser.format_help()


@pytest.mark.parametrize("argv, words", [
    (["sim", "--target", "nowhere.invalid:5000"], "cannot resolve host 'nowhere.invalid'"),
    (["run", "--hardware", "no-such-board.invalid:5000"], "cannot resolve host"),
    (["run", "--seconds", "-1"], "expected seconds > 0"),
    (["run", "--worker-processes", "-3"], "expected 0 or more"),
    (["run", "--drop", "1.5"], "expected a probability 0 to 1"),
    (["iv", "--mcus", "0"], "expected 1 to 256"),
])
def test_refused_by_the_parser_with_one_line(capsys, argv, words):
    with pytest.raises(SystemExit) as info:
        cli.parser().parse_args(cli._joined_numbers(argv))
    assert info.value.code == 2 and words in capsys.readouterr().err


def test_negative_numbers_are_values_not_options():
    args = cli.parser().parse_args(cli._joined_numbers(
        ["iv", "--start", "-1e-5", "--stop", "-2e-6", "--step", "1e-6"]))
    assert (args.start, args.stop, args.step) == (-1e-5, -2e-6, 1e-6)
    # a word that is not a number stays what it was
    assert cli._joined_numbers(["--start", "--stop", "1"]) == ["--start", "--stop=1"]
