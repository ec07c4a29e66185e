import pytest

import norvel_core
from conftest import graph_text, worked_graph  # noqa: F401

PyGraph = norvel_core.PyGraph
EMPTY = '{"nodes":[],"edges":[]}'


def message_of(call):
    with pytest.raises(BaseException) as caught:
        call()
    return type(caught.value), caught.value.args


def test_docstrings_and_text_signatures():
    assert PyGraph.__doc__.startswith("Wrapper Python-visible du graphe ")
    assert len(PyGraph.__doc__.split()) == 5 and "\n" not in PyGraph.__doc__
    assert PyGraph.from_json.__text_signature__ == "(json_str)"
    assert PyGraph.from_json.__doc__ == (
        "Construit un PyGraph depuis une chaîne JSON\n"
        "Appelé depuis Python : `PyGraph.from_json(json_str)`")
    assert PyGraph.node_count.__text_signature__ == "($self)"
    assert PyGraph.node_count.__doc__ == "Nombre de nœuds (utile pour les tests Python)"
    assert PyGraph.edge_count.__text_signature__ == "($self)"
    assert PyGraph.edge_count.__doc__ == "Nombre d'arcs"
    assert [name for name in vars(PyGraph) if not name.startswith("__")] == [
        "from_json", "node_count", "edge_count"]


def test_counts_follow_the_document(worked_graph):
    assert (worked_graph.node_count(), worked_graph.edge_count()) == (3, 3)
    empty = PyGraph.from_json(EMPTY)
    assert (empty.node_count(), empty.edge_count()) == (0, 0)
    repeated = PyGraph.from_json(graph_text([(7, 0.0, 0.0), (7, 1.0, 1.0)], []))
    assert repeated.node_count() == 2


def test_from_json_binds_by_keyword_on_class_and_instance(worked_graph):
    by_keyword = PyGraph.from_json(json_str=EMPTY)
    assert type(by_keyword) is PyGraph and by_keyword.node_count() == 0
    fresh = worked_graph.from_json(EMPTY)
    assert fresh is not worked_graph and fresh.node_count() == 0
    assert worked_graph.node_count() == 3


def test_str_subclass_is_read_as_its_text():
    class Text(str):
        pass
    assert PyGraph.from_json(Text(graph_text([(1, 0.0, 0.0)], []))).node_count() == 1


@pytest.mark.parametrize("call, expected", [
    (lambda: PyGraph.from_json(),
     "PyGraph.from_json() missing 1 required positional argument: 'json_str'"),
    (lambda: PyGraph.from_json(EMPTY, EMPTY),
     "PyGraph.from_json() takes 1 positional arguments but 2 were given"),
    (lambda: PyGraph.from_json(EMPTY, EMPTY, EMPTY, text=1),
     "PyGraph.from_json() takes 1 positional arguments but 3 were given"),
    (lambda: PyGraph.from_json(text=EMPTY),
     "PyGraph.from_json() got an unexpected keyword argument 'text'"),
    (lambda: PyGraph.from_json(EMPTY, json_str=EMPTY),
     "PyGraph.from_json() got multiple values for argument 'json_str'"),
    (lambda: PyGraph.from_json(b"{}"),
     "argument 'json_str': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: PyGraph.from_json(None),
     "argument 'json_str': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: PyGraph.from_json(json_str=3.5),
     "argument 'json_str': 'float' object cannot be converted to 'PyString'"),
])
def test_from_json_argument_errors(call, expected):
    assert message_of(call) == (TypeError, (expected,))


def test_type_name_in_messages_is_the_qualified_name():
    class Outer:
        class Inner:
            pass
    assert message_of(lambda: PyGraph.from_json(Outer.Inner())) == (TypeError, (
        "argument 'json_str': 'test_type_name_in_messages_is_the_qualified_name.<locals>.Outer.Inner'"
        " object cannot be converted to 'PyString'",))


def test_argument_type_error_is_a_fresh_plain_type_error():
    with pytest.raises(TypeError) as caught:
        PyGraph.from_json(b"")
    assert type(caught.value) is TypeError
    assert caught.value.__cause__ is None


def test_unpaired_surrogate_is_the_interpreters_encode_error():
    with pytest.raises(UnicodeEncodeError) as caught:
        PyGraph.from_json('{"nodes":[],"edges":[]}\udc80')
    assert "argument" not in str(caught.value)


def test_keyword_without_utf8_form_is_unexpected():
    assert message_of(lambda: PyGraph.from_json(**{"\udc80": EMPTY})) == (
        TypeError, ("PyGraph.from_json() got an unexpected keyword argument '\udc80'",))


@pytest.mark.parametrize("text, expected", [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("{}", "missing field `nodes` at line 1 column 2"),
    ('{"nodes":[],"edges":[]} x', "trailing characters at line 1 column 25"),
    ('{"nodes":[{"id":1,"lat":"48.85","lon":2.35}],"edges":[]}',
     'invalid type: string "48.85", expected f64 at line 1 column 31'),
    ('{"nodes":[{"id":1,"lat":2}],"edges":[]}', "missing field `lon` at line 1 column 26"),
])
def test_malformed_document_is_value_error_with_the_message_unchanged(text, expected):
    assert message_of(lambda: PyGraph.from_json(text)) == (ValueError, (expected,))
