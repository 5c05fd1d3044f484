"""Unit names at a site and the archive's lasting node numbers."""
import pytest

from vantor import schema
from vantor.history.postgres_store import PostgresStore
from vantor.history.sqlite_store import SQLiteStore
from vantor.site.names import UnitNameError, site_key, split_key, split_name


@pytest.mark.parametrize("text, nodes, placed", [
    ("cryo-2/17", {"cryo-2", "b"}, ("cryo-2", 17)),
    ("cryo-2/1.3", {"cryo-2", "b"}, ("cryo-2", "1.3")),
    ("17", {"only"}, ("only", 17)),
    (17, {"only"}, ("only", 17)),
    ("0.3", {"only"}, ("only", "0.3")),
])
def test_names_place_units_at_their_node(text, nodes, placed):
    assert split_name(text, nodes) == placed


@pytest.mark.parametrize("text, nodes, words", [
    ("17", {"a", "b"}, "several nodes (a, b): name it NODE/17"),
    ("c/17", {"a", "b"}, "no node 'c' at this site (nodes: a, b)"),
    ("a/x", {"a"}, "expected NODE/RANK or NODE/MCU.CU"),
    ("a.b/1", {"a"}, "'a.b' is not a node name"),
    ("17", set(), "no node has reported"),
    (True, {"a"}, "expected NODE/RANK"),
])
def test_names_that_cannot_be_placed_say_why(text, nodes, words):
    with pytest.raises(UnitNameError, match=words.replace("(", r"\(").replace(")", r"\)")):
        split_name(text, nodes)


def test_the_service_schema_takes_site_names_and_keeps_refusing_the_rest():
    assert schema.unit_names(["cryo-2/17", "cryo-2/1.3", "5"]) == ["cryo-2/17", "cryo-2/1.3", 5]
    for bad in ("cryo 2/17", "a/b/1", "a/1.x"):
        with pytest.raises(schema.SchemaError, match="NODE/RANK"):
            schema.unit_name(bad)


def test_keys_of_two_nodes_never_meet():
    assert split_key(site_key(2, 17)) == (2, 17)
    assert site_key(1, 999_999) < site_key(2, 1)


@pytest.fixture(params=["sqlite", "postgresql"])
def reopen(request, tmp_path):
    if request.param == "sqlite":
        return lambda: SQLiteStore(tmp_path / "a.sqlite")
    url = request.getfixturevalue("postgres_url")
    return lambda: PostgresStore(url)


def test_a_node_keeps_its_number_in_the_archive(reopen):
    store = reopen()
    assert [store.node_index(n) for n in ("north", "south", "north")] == [1, 2, 1]
    assert store.node_index("east", create=False) is None
    store.close()
    store = reopen()
    assert (store.node_index("south", create=False), store.node_index("east")) == (2, 3)
    store.close()
