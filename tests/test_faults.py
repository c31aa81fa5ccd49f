"""Fault injection on the three file functions.

Every function meets a missing file, a directory, a path with a NUL byte, a non-UTF-8 file, files
that end in the middle of a line or of a UTF-8 sequence, /dev/full and a path in a missing
directory. Each gives its documented class (OSError for load_min_instance and
save_multi_commodity_instance, RuntimeError for load_multi_commodity_instance) with exactly the
documented text as its only argument, and leaves no file descriptor open.
"""

import math
import os
import shutil
import tempfile
from pathlib import Path

import pytest
from fault_support import (
    DATA,
    DEVICE_FULL,
    ENDLESS_LINE,
    INVALID_UTF8,
    IS_A_DIRECTORY,
    MCF_TEXT,
    NO_SUCH_FILE,
    NUL_IN_PATH,
    READERS,
    VALID,
    as_unprivileged,
    no_descriptor_left,
    raises_exactly,
    sample_network,
    save_function,
)
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pelmora


@pytest.fixture
def shared_dir():
    """A directory that an unprivileged child may enter and write to."""
    path = Path(tempfile.mkdtemp(prefix="pelmora-faults-"))
    path.chmod(0o777)
    yield path
    shutil.rmtree(path)


@pytest.fixture(scope="module")
def network():
    return sample_network()


# ------------------------------------------------------------------------------------------------
# Paths that cannot be opened


@pytest.mark.parametrize("name", READERS)
class TestReaderPaths:
    def test_missing_file(self, name, tmp_path):
        fn, cls = READERS[name]
        raises_exactly(lambda: fn(str(tmp_path / "absent.min")), cls, NO_SUCH_FILE)

    def test_path_in_missing_directory(self, name, tmp_path):
        fn, cls = READERS[name]
        raises_exactly(lambda: fn(str(tmp_path / "no" / "such" / "dir.min")), cls, NO_SUCH_FILE)

    def test_directory(self, name, tmp_path):
        fn, cls = READERS[name]
        raises_exactly(lambda: fn(str(tmp_path)), cls, IS_A_DIRECTORY)

    @pytest.mark.parametrize("path", ["\0", "net\0.min", "/dev/null\0", "\0/etc/passwd"])
    def test_nul_byte(self, name, path, tmp_path):
        fn, cls = READERS[name]
        raises_exactly(lambda: fn(path), cls, NUL_IN_PATH)

    def test_nul_byte_checked_before_the_file(self, name, tmp_path):
        # The part before the NUL names a readable file; the path is still refused.
        fn, cls = READERS[name]
        good = tmp_path / "ok.min"
        good.write_bytes(VALID[name])
        fn(str(good))
        raises_exactly(lambda: fn(str(good) + "\0"), cls, NUL_IN_PATH)

    def test_unreadable_file(self, name, shared_dir):
        fn, cls = READERS[name]
        target = shared_dir / "locked.min"
        target.write_bytes(VALID[name])
        target.chmod(0o644)
        assert as_unprivileged(lambda: fn(str(target))) is None  # readable: it is the mode that counts
        target.chmod(0)
        assert as_unprivileged(lambda: fn(str(target))) == (cls.__name__, ("Permission denied (os error 13)",))

    def test_endless_stream_without_line_feed(self, name):
        # /dev/full reads as an endless run of NUL bytes: its first line never ends.
        fn, cls = READERS[name]
        raises_exactly(lambda: fn("/dev/full"), cls, ENDLESS_LINE)

    def test_empty_device(self, name):
        fn, _ = READERS[name]
        with no_descriptor_left():
            result = fn("/dev/null")
        assert result.nodes == [] and result.edges == [] and result.num_nodes == 0


@pytest.mark.parametrize("name", READERS)
@pytest.mark.parametrize("path", [b"net.min", Path("net.min"), None, 3])
def test_reader_path_of_wrong_type(name, path):
    fn, _ = READERS[name]
    with no_descriptor_left():
        with pytest.raises(TypeError, match=r"^argument 'path': '\w+' (object )?is not an instance of 'str'$"):
            fn(path)


@pytest.mark.parametrize("fn", [pelmora.load_min_instance, pelmora.load_multi_commodity_instance,
                                lambda p: pelmora.save_multi_commodity_instance(p, None, None)])
def test_path_with_lone_surrogate(fn):
    with no_descriptor_left():
        with pytest.raises(UnicodeEncodeError):
            fn("net\udcff.min")


# ------------------------------------------------------------------------------------------------
# Files whose content breaks off or is not text


@pytest.mark.parametrize("name", READERS)
class TestReaderContent:
    def read(self, name, tmp_path, content):
        path = tmp_path / "input"
        path.write_bytes(content)
        return READERS[name][0], READERS[name][1], str(path)

    @pytest.mark.parametrize("bad", [b"\xff", b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\x80"])
    @pytest.mark.parametrize("where", ["first line", "comment", "last line"])
    def test_not_utf8(self, name, tmp_path, bad, where):
        lines = VALID[name].split(b"\n")[:-1]
        if where == "first line":
            lines[0] += bad
        elif where == "comment":
            lines.insert(2, b"c " + bad)
        else:
            lines[-1] += b" " + bad
        fn, cls, path = self.read(name, tmp_path, b"\n".join(lines) + b"\n")
        raises_exactly(lambda: fn(path), cls, INVALID_UTF8)

    def test_invalid_utf8_after_a_number_error_is_not_reached(self, name, tmp_path):
        # The first error met wins: a bad number on line 2 comes before bad bytes on line 3.
        fn, cls, path = self.read(name, tmp_path, b"c x\nn 1 x5\n\xff\n")
        raises_exactly(lambda: fn(path), cls, "invalid digit found in string")

    @pytest.mark.parametrize("cut", [1, 2])
    def test_ends_inside_a_utf8_sequence(self, name, tmp_path, cut):
        # U+3000 (ideographic space) takes three bytes; the file ends after `cut` of them.
        fn, cls, path = self.read(name, tmp_path, VALID[name] + b"c" + "\u3000".encode()[:cut])
        raises_exactly(lambda: fn(path), cls, INVALID_UTF8)

    def test_whole_last_character_reads(self, name, tmp_path):
        fn, _, path = self.read(name, tmp_path, VALID[name] + b"c" + "\u3000".encode())
        with no_descriptor_left():
            assert len(fn(path).edges) == 2

    def test_last_line_without_line_feed_counts(self, name, tmp_path):
        fn, _, path = self.read(name, tmp_path, VALID[name].rstrip(b"\n"))
        with no_descriptor_left():
            result = fn(path)
        assert len(result.edges) == 2

    def test_ends_before_the_last_field(self, name, tmp_path):
        # The last arc line loses its cost: the line is too short, and the message says where.
        content = VALID[name].rstrip(b"\n")
        fn, cls, path = self.read(name, tmp_path, content[: content.rindex(b" ")])
        expected = {"load_min_instance": "line 6: arc line is missing the cost (token 5)",
                    "load_multi_commodity_instance": "line 6: arc line is missing the cost (token 6)"}[name]
        raises_exactly(lambda: fn(path), cls, expected)

    def test_ends_inside_a_number(self, name, tmp_path):
        # The last cost was 65 and the file ends after its first digit: the reader takes 6.
        content = VALID[name].rstrip(b"\n") + b"5"
        fn, _, path = self.read(name, tmp_path, content[:-1])
        with no_descriptor_left():
            result = fn(path)
        if name == "load_min_instance":
            assert result.weights == [4, 6]
        else:
            assert result.commodity_weights[(2, 3, 0)] == [6, 6]

    @pytest.mark.parametrize("at", [0, 5, 17, 30])
    def test_ends_anywhere(self, name, tmp_path, at):
        # Any prefix of a valid file reads, or fails with the documented class; never anything else.
        fn, cls, path = self.read(name, tmp_path, VALID[name][:at])
        with no_descriptor_left():
            try:
                fn(path)
            except cls as error:
                assert type(error) is cls and len(error.args) == 1


# Lines of the two formats, from which Hypothesis builds files with arbitrary damage.
LINE = st.one_of(
    st.just(b"p min 3 2 2 1 1 0 1 0.5 7"), st.just(b"p min 3 2"), st.just(b"n 1 4 2 2"), st.just(b"n 3 -4"),
    st.just(b"a 1 2 0 5 5 5 1 1"), st.just(b"a 1 3 0 5 1"), st.just(b"c comment"), st.just(b""),
    st.binary(max_size=12))


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture], max_examples=150)
@given(lines=st.lists(LINE, max_size=12), ending=st.sampled_from([b"\n", b"\r\n", b""]),
       tail=st.binary(max_size=4))
@pytest.mark.parametrize("name", READERS)
def test_any_bytes_give_a_result_or_the_documented_error(name, tmp_path, lines, ending, tail):
    fn, cls = READERS[name]
    path = tmp_path / "fuzzed"
    path.write_bytes(ending.join(lines) + tail)
    with no_descriptor_left():
        try:
            result = fn(str(path))
        except BaseException as error:
            assert type(error) is cls, repr(error)
            (message,) = error.args
            assert message in {"invalid digit found in string", "number too large to fit in target type",
                               "number too small to fit in target type", INVALID_UTF8,
                               "invalid float literal"} or message.startswith("line "), message
        else:
            assert len(result.edges) == len(result.capacities)


# ------------------------------------------------------------------------------------------------
# The writer


class TestWriter:
    def test_path_in_missing_directory(self, network, tmp_path):
        save = save_function(network)
        target = tmp_path / "no" / "out.mcf"
        raises_exactly(lambda: save(str(target)), OSError, NO_SUCH_FILE)
        assert not target.parent.exists()

    def test_directory(self, network, tmp_path):
        raises_exactly(lambda: save_function(network)(str(tmp_path)), OSError, IS_A_DIRECTORY)

    @pytest.mark.parametrize("path", ["\0", "out\0.mcf"])
    def test_nul_byte(self, network, tmp_path, path):
        os.chdir(tmp_path)
        raises_exactly(lambda: save_function(network)(path), OSError, NUL_IN_PATH)
        assert list(tmp_path.iterdir()) == []

    def test_device_full(self, network):
        raises_exactly(lambda: save_function(network)("/dev/full"), OSError, DEVICE_FULL)

    def test_read_only_file(self, network, shared_dir):
        save = save_function(network)
        target = shared_dir / "ro.mcf"
        target.write_text("keep")
        target.chmod(0o444)
        assert as_unprivileged(lambda: save(str(target))) == ("OSError", ("Permission denied (os error 13)",))
        assert target.read_text() == "keep"
        target.chmod(0o666)
        assert as_unprivileged(lambda: save(str(target))) is None
        assert target.read_text().startswith("c Multicommodity flow generated by pelmora\n")

    @pytest.mark.parametrize("old", [b"\xff\xfe not text \x80" * 5000, b"a 1 2 0 10 \xe3\x80", MCF_TEXT * 200, b""])
    def test_replaces_any_existing_file(self, network, tmp_path, old):
        # A broken or longer file at the path is replaced by exactly what a fresh write gives.
        save = save_function(network)
        fresh, target = tmp_path / "fresh.mcf", tmp_path / "old.mcf"
        target.write_bytes(old)
        with no_descriptor_left():
            save(str(fresh))
            save(str(target))
        assert target.read_bytes() == fresh.read_bytes()

    def test_data_of_a_smaller_network(self, network, tmp_path):
        # Arcs without capacities and costs are refused before the file is touched: an existing
        # file keeps its content. (Data of a larger network is written; its extra arcs are ignored.)
        small, data = network
        grid = pelmora.load_min_instance(str(DATA / "own-grid-40x40.min"))
        target = tmp_path / "keep.mcf"
        target.write_text("keep")
        raises_exactly(lambda: pelmora.save_multi_commodity_instance(str(target), grid, data), ValueError,
                       "data set does not fit the network: it holds capacities and costs for "
                       f"{len(small.edges)} arcs, the network has {len(grid.edges)}")
        assert target.read_text() == "keep"

    @pytest.mark.parametrize("args", [(b"out.mcf", "instance", "data"), ("out.mcf", "data", "instance"),
                                      ("out.mcf", "instance", "instance"), ("out.mcf", None, "data")])
    def test_arguments_of_wrong_type(self, network, tmp_path, args):
        objects = {"instance": network[0], "data": network[1]}
        call = [objects.get(a, a) if isinstance(a, str) and a in objects else a for a in args]
        os.chdir(tmp_path)
        with no_descriptor_left():
            with pytest.raises(TypeError, match=r"^argument '(path|instance|multi_data)': "):
                pelmora.save_multi_commodity_instance(*call)
        assert list(tmp_path.iterdir()) == []


def test_written_file_survives_a_reread_after_faults(network, tmp_path):
    # Faults leave nothing behind that disturbs the next good call.
    save = save_function(network)
    for bad in ["/dev/full", str(tmp_path), "x\0y"]:
        with pytest.raises(OSError):
            save(bad)
    out = tmp_path / "good.mcf"
    with no_descriptor_left():
        save(str(out))
        parsed = pelmora.load_multi_commodity_instance(str(out))
    assert parsed.num_commodities == 2 and not math.isnan(parsed.cap_zero_param)
