"""The DIMACS .min reader behind load_min_instance: lines, tokens, numbers and messages."""

from __future__ import annotations

import os

import pytest
from hypothesis import assume, given
from hypothesis import strategies as st
from min_model import (
    I64_MAX,
    I64_MIN,
    INVALID,
    NOT_WHITE_SPACE,
    TOO_LARGE,
    TOO_SMALL,
    WHITE_SPACE,
    check_against_model,
    load,
    load_error,
    model_int,
    write_bytes,
    write_text,
)

# --------------------------------------------------------------------------------------------
# Lines and tokens.


class TestLinesAndTokens:
    def test_comment_rule_and_ignored_lines(self, tmp_path):
        text = "\n".join([
            "   c indented comment",
            "comment line",
            "cat 1 2",
            "c",
            "arc 1 2 0 1 1",
            "x 1 2",
            "A 1 2 0 1 1",
            "N 1 5",
            "P min 3 3",
            "\u00e9 1 2",  # a first token of two bytes
            "  a   1\t2  0 7 8 extra tokens 1.5 x",
            "\tn 1 3",
        ])
        instance = load(write_text(tmp_path, text))
        assert instance.arcs == [(1, 2, 0)] and instance.edges[0].cost == 8
        assert instance.supplies == {1: 3} and (instance.num_nodes, instance.num_arcs) == (0, 0)

    def test_line_endings(self, tmp_path):
        for text in ["p min 2 1\r\na 1 2 0 4 5\r\n", "p min 2 1\na 1 2 0 4 5", "p min 2 1\r\na 1 2 0 4 5\r"]:
            instance = load(write_text(tmp_path, text))
            assert instance.arcs == [(1, 2, 0)] and instance.edges[0].cost == 5 and instance.num_nodes == 2
        # a lone carriage return does not end a line: the rest joins the line's tokens
        instance = load(write_text(tmp_path, "a 1 2 0 4 5\ra 3 4 0 1 1\n"))
        assert instance.arcs == [(1, 2, 0)]

    @pytest.mark.parametrize("space", [c for c in WHITE_SPACE if c != "\n"])
    def test_every_white_space_character_separates_and_trims(self, tmp_path, space):
        text = f"{space}a{space}1{space}{space}2{space}0{space}4{space}5{space}\n"
        instance = load(write_text(tmp_path, text))
        assert [(e.tail, e.head, e.low, e.up, e.cost) for e in instance.edges] == [(1, 2, 0, 4, 5)]
        # and a comment letter after leading white space still makes a comment
        assert load(write_text(tmp_path, f"{space}c a 1 2 0 4 5\n")).edges == []

    @pytest.mark.parametrize("char", NOT_WHITE_SPACE)
    def test_other_characters_are_part_of_a_token(self, tmp_path, char):
        assert load_error(write_text(tmp_path, f"a 1{char}2 3 0 4 5\n")) == INVALID
        assert load_error(write_text(tmp_path, f"a 1 2 0 4 5{char}\n")) == INVALID
        # ... and a leading one makes the first token longer than one byte: the line is ignored
        assert load(write_text(tmp_path, f"{char}a 1 2 0 4 5\n")).edges == []

    @pytest.mark.parametrize("shift", range(66))
    def test_tokens_at_every_offset_and_across_64_byte_blocks(self, tmp_path, shift):
        zeros = "0" * 70
        line = f"a{' ' * (shift + 1)}1 {zeros}2 -{zeros}3\t+00000004 {' ' * shift}123456789"
        for text in [line + "\n", line + " x\n" if shift % 2 else line]:
            edge = load(write_text(tmp_path, text)).edges[0]
            assert (edge.tail, edge.head, edge.low, edge.up, edge.cost) == (1, 2, -3, 4, 123456789)
        assert load_error(write_text(tmp_path, f"a{' ' * (shift + 1)}1 2 3 4 {zeros}5x\n")) == INVALID

    def test_nul_characters_are_ordinary_text(self, tmp_path):
        assert load(write_text(tmp_path, "\0 1 2\nn 1 2\n")).supplies == {1: 2}
        assert load_error(write_text(tmp_path, "a 1 2 0 4 5\0\n")) == INVALID

    def test_lines_longer_than_the_buffer(self, tmp_path):
        pad = " " * 20000
        long_comment = "c" + "x" * 100000
        text = "\n".join([long_comment, f"a{pad}1 2{pad}0 4 5{pad}", "n 1 7", f"p min 3 {pad}9"]) + "\n"
        instance = load(write_text(tmp_path, text))
        assert instance.arcs == [(1, 2, 0)] and instance.supplies == {1: 7} and instance.num_arcs == 9

    @pytest.mark.parametrize("offset", range(8185, 8196))
    def test_multi_byte_space_across_buffer_refills(self, tmp_path, offset):
        # The three bytes of U+3000 and a two-byte U+00A0 land on both sides of the 8192-byte
        # boundary for some offset.
        text = "c" + "x" * (offset - 2) + "\n" + "a 1\u30002\u00a00 4 5\n" * 3
        instance = load(write_text(tmp_path, text))
        assert instance.arcs == [(1, 2, 0), (1, 2, 1), (1, 2, 2)]

    def test_many_lines_across_many_buffers(self, tmp_path):
        lines = [f"a {i % 97} {i % 89} {i} {i * 3} {-i}" for i in range(20000)]
        text = "p min 100 20000\n" + "\n".join(lines) + "\n"
        check_against_model(write_text(tmp_path, text), text)


# --------------------------------------------------------------------------------------------
# Numbers.

TOKEN_CASES = [
    ("007", 7), ("-0", 0), ("+5", 5), ("-17", -17), (str(I64_MAX), I64_MAX), (str(I64_MIN), I64_MIN),
    ("+" + "0" * 40 + "12", 12),
    ("1.5", INVALID), ("abc", INVALID), ("+", INVALID), ("-", INVALID), ("--5", INVALID), ("+-5", INVALID),
    ("1_000", INVALID), ("0x10", INVALID), ("1e3", INVALID), ("\uff11", INVALID), ("5-", INVALID),
    (str(I64_MAX + 1), TOO_LARGE), (str(I64_MIN - 1), TOO_SMALL), ("9" * 40, TOO_LARGE), ("-" + "9" * 40, TOO_SMALL),
    ("9" * 20 + "x", TOO_LARGE),  # the overflow is met before the letter
    ("922337203685477580x", INVALID), ("x" + "9" * 30, INVALID), ("-9223372036854775808" + "0", TOO_SMALL),
]


def parsed_positions(token):
    """Every place where the reader parses an integer, with the field that receives it."""
    for k, field in enumerate(["tail", "head", "low", "up", "cost"]):
        values = ["1", "2", "3", "4", "5"]
        values[k] = token
        yield "a " + " ".join(values), lambda inst, field=field: getattr(inst.edges[0], field)
    yield f"n {token} 1", lambda inst: next(iter(inst.supplies))
    yield f"n 1 {token}", lambda inst: inst.supplies[1]
    yield f"p min {token} 1", lambda inst: inst.num_nodes
    yield f"p min 1 {token}", lambda inst: inst.num_arcs


@pytest.mark.parametrize("token,expected", TOKEN_CASES)
def test_integer_tokens_at_every_parsed_position(tmp_path, token, expected):
    for line, field in parsed_positions(token):
        path = write_text(tmp_path, line + "\n")
        if isinstance(expected, str):
            assert load_error(path) == expected, line
        else:
            assert field(load(path)) == expected, line


def test_problem_type_is_not_examined(tmp_path):
    instance = load(write_text(tmp_path, "p 1.5x 3 4\n"))
    assert (instance.num_nodes, instance.num_arcs) == (3, 4)


@given(st.text(alphabet="0123456789+-x. ", min_size=1, max_size=24).map(str.strip).filter(bool)
       | st.integers(-(2**70), 2**70).map(str))
def test_integer_rule_matches_the_model(tmp_path_factory, token):
    assume(" " not in token)
    path = write_text(tmp_path_factory.mktemp("tok"), f"a 1 2 3 4 {token}\n")
    expected = model_int(token)
    if isinstance(expected, str):
        assert load_error(path) == expected
    else:
        assert load(path).edges[0].cost == expected


# --------------------------------------------------------------------------------------------
# Errors.


class TestErrors:
    def test_missing_file_directory_and_nul(self, tmp_path):
        assert load_error(tmp_path / "missing.min") == "No such file or directory (os error 2)"
        assert load_error(tmp_path) == "Is a directory (os error 21)"
        assert load_error("") == "No such file or directory (os error 2)"
        assert load_error(str(tmp_path / "a\0b.min")) == "file name contained an unexpected NUL byte"
        assert load_error(tmp_path / "missing" / "x.min") == "No such file or directory (os error 2)"
        (tmp_path / "f").write_text("")
        assert load_error(tmp_path / "f" / "x.min") == "Not a directory (os error 20)"

    @pytest.mark.skipif(os.geteuid() == 0, reason="root reads files whatever their permission bits")
    def test_permission_denied(self, tmp_path):
        path = write_text(tmp_path, "p min 1 1\n")
        path.chmod(0)
        assert load_error(path) == "Permission denied (os error 13)"

    @pytest.mark.parametrize("bad", [
        b"\x80", b"\xc0\xaf", b"\xe0\x80\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80",
        b"\xff", b"\xc3", b"\xe2\x82", b"a\xc3(b",
    ])
    def test_invalid_utf8_anywhere_in_a_line(self, tmp_path, bad):
        for line in [b"c comment " + bad, b"a 1 2 0 4 5 " + bad, bad + b"x 1 2", b"n 1 2" + bad]:
            assert load_error(write_bytes(tmp_path, b"p min 1 1\n" + line + b"\na 1 2 0 4 5\n")) == (
                "stream did not contain valid UTF-8")
        # also in an unterminated last line and past the first buffer
        assert load_error(write_bytes(tmp_path, b"c" + b"y" * 9000 + b"\n" + bad)) == "stream did not contain valid UTF-8"
        assert load_error(write_bytes(tmp_path, b"c" + b"y" * 9000 + bad + b"\n")) == "stream did not contain valid UTF-8"

    def test_valid_utf8_of_every_length_is_accepted(self, tmp_path):
        text = "c \u00e9 \u20ac \U0001f600 \U0010ffff \ud7ff\ue000\nn 1 2\n"
        assert load(write_text(tmp_path, text)).supplies == {1: 2}

    def test_first_error_in_file_order_wins(self, tmp_path):
        assert load_error(write_bytes(tmp_path, b"a 1 2 0 x 5\nc \xff\n")) == INVALID
        assert load_error(write_bytes(tmp_path, b"c \xff\na 1 2 0 x 5\n")) == "stream did not contain valid UTF-8"
        assert load_error(write_text(tmp_path, f"a {I64_MAX}0 2 0 x 5\n")) == TOO_LARGE
        assert load_error(write_text(tmp_path, "a 1 2\na 1 2 0 x 5\n")) == "line 1: arc line is missing the lower bound (token 3)"

    @pytest.mark.parametrize("line,message", [
        ("a", "arc line is missing the tail (token 1)"),
        ("a 1", "arc line is missing the head (token 2)"),
        ("a 1 2", "arc line is missing the lower bound (token 3)"),
        ("a 1 2 0", "arc line is missing the capacity (token 4)"),
        ("a 1 2 0 4", "arc line is missing the cost (token 5)"),
        ("n", "node line is missing the node identifier (token 1)"),
        ("n 5", "node line is missing the supply (token 2)"),
        ("p", "problem line is missing the problem type (token 1)"),
        ("p min", "problem line is missing the node count (token 2)"),
        ("p min 3", "problem line is missing the arc count (token 3)"),
    ])
    def test_short_lines_name_line_and_token(self, tmp_path, line, message):
        text = "c header\n\np min 3 3\n" + line + "   \n"
        assert load_error(write_text(tmp_path, text)) == f"line 4: {message}"
        # a line ending in carriage return and line feed counts as one line
        assert load_error(write_text(tmp_path, text.replace("\n", "\r\n"))) == f"line 4: {message}"

    def test_malformed_token_before_a_short_line_is_reported(self, tmp_path):
        assert load_error(write_text(tmp_path, "a 1 x\n")) == INVALID
        assert load_error(write_text(tmp_path, "n +\n")) == INVALID
        assert load_error(write_text(tmp_path, "p min 1.0\n")) == INVALID
