"""The module's face and the argument rules shared by all nine functions."""

import os
import subprocess
import sys
import textwrap
import types

import pytest

import _kesp

NAMES = [
    "parse",
    "multikeysort",
    "sanitize_vulgar_string",
    "uncamel",
    "underscore_to_camelcase",
    "collapse",
    "backfill",
    "backfill_iterdict",
    "same_order",
]

SIGNATURES = {
    "parse": "(s)",
    "multikeysort": "(items, columns, inplace=False)",
    "sanitize_vulgar_string": "(s)",
    "uncamel": "(camel)",
    "underscore_to_camelcase": "(s)",
    "collapse": "(*args)",
    "backfill": "(values)",
    "backfill_iterdict": "(iterdict)",
    "same_order": "(ref_list, comp)",
}

FIRST_DOC_LINES = {
    "parse": "Extract number from string.",
    "multikeysort": "Sort list of dictionaries by multiple keys.",
    "sanitize_vulgar_string": "Replace vulgar fractions with decimal equivalents.",
    "uncamel": "Convert camelCase to snake_case.",
    "underscore_to_camelcase": "Convert underscore_delimited_text to camelCase.",
    "collapse": "Recursively flatten nested lists/tuples into a single list.",
    "backfill": "Back-fill a sorted array with the latest value.",
    "backfill_iterdict": "Back-fill a sorted iterdict with the latest values.",
    "same_order": "Compare two lists and check if elements in ref appear in same order in comp.",
}


def test_module_doc_and_all():
    assert _kesp.__doc__ == "Python module definition."
    assert type(_kesp.__all__) is list
    assert _kesp.__all__ == NAMES


@pytest.mark.parametrize("name", NAMES)
def test_function_face(name):
    function = getattr(_kesp, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__name__ == name
    assert function.__self__ is _kesp
    assert function.__module__ == "_kesp"
    assert function.__text_signature__ == SIGNATURES[name]
    assert function.__doc__.startswith(FIRST_DOC_LINES[name] + "\n")
    assert "--" not in function.__doc__.split("\n")[0]


def test_docstring_bytes():
    assert _kesp.parse.__doc__ == (
        "Extract number from string.\n\nArgs:\n    s: String to parse.\n\nReturns:\n"
        "    Parsed int or float, or None if parsing fails.\n\nExamples:\n"
        "    >>> parse('1,200m')\n    1200\n    >>> parse('100.0')\n    100.0\n"
        "    >>> parse('(1)')\n    -1"
    )
    assert "\u00be" in _kesp.sanitize_vulgar_string.__doc__
    assert "'0.333333 cup'" in _kesp.sanitize_vulgar_string.__doc__
    assert _kesp.same_order.__doc__.endswith("['x', 'z', 'y'])\n    False")


ARGUMENT_ERRORS = [
    (lambda: _kesp.parse(), "parse() missing 1 required positional argument: 's'"),
    (lambda: _kesp.parse("1", "2"), "parse() takes 1 positional arguments but 2 were given"),
    (lambda: _kesp.parse("1", s="2"), "parse() got multiple values for argument 's'"),
    (lambda: _kesp.parse(x="1"), "parse() got an unexpected keyword argument 'x'"),
    (
        lambda: _kesp.multikeysort(),
        "multikeysort() missing 2 required positional arguments: 'items' and 'columns'",
    ),
    (
        lambda: _kesp.multikeysort(columns=["a"]),
        "multikeysort() missing 1 required positional argument: 'items'",
    ),
    (
        lambda: _kesp.multikeysort([], [], False, 1),
        "multikeysort() takes from 2 to 3 positional arguments but 4 were given",
    ),
    (
        lambda: _kesp.multikeysort([], [], inplace=True, items=[]),
        "multikeysort() got multiple values for argument 'items'",
    ),
    (lambda: _kesp.same_order([1]), "same_order() missing 1 required positional argument: 'comp'"),
    (lambda: _kesp.collapse(1, x=2), "collapse() got an unexpected keyword argument 'x'"),
    (lambda: _kesp.collapse(args=[1]), "collapse() got an unexpected keyword argument 'args'"),
    # too many positional values are reported before any keyword is looked at
    (
        lambda: _kesp.same_order(1, 2, 3, bogus=4),
        "same_order() takes 2 positional arguments but 3 were given",
    ),
    # keywords in the order given, before the missing parameters
    (
        lambda: _kesp.same_order(comp=1, comp2=2),
        "same_order() got an unexpected keyword argument 'comp2'",
    ),
    (lambda: _kesp.uncamel(), "uncamel() missing 1 required positional argument: 'camel'"),
    (
        lambda: _kesp.backfill_iterdict(values=[]),
        "backfill_iterdict() got an unexpected keyword argument 'values'",
    ),
    (
        lambda: _kesp.underscore_to_camelcase("a", "b", "c"),
        "underscore_to_camelcase() takes 1 positional arguments but 3 were given",
    ),
    (lambda: _kesp.parse(**{"\ud800": 1}), "parse() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    (
        lambda: _kesp.backfill(**{"values\udcff": 1}),
        "backfill() got an unexpected keyword argument 'values\ufffd\ufffd\ufffd'",
    ),
]


@pytest.mark.parametrize(("call", "message"), ARGUMENT_ERRORS)
def test_argument_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_conversion_message_uses_qualified_name():
    def f():
        class C:
            pass

        return C()

    with pytest.raises(TypeError, match=r"^argument 's': 'test_conversion_message_uses_qualified_name"
                       r"\.<locals>\.f\.<locals>\.C' object cannot be converted to 'PyString'$"):
        _kesp.parse(f())


def test_collapse_accepts_any_number_of_positional_values():
    # The body may not be built yet; argument matching must pass either way.
    for args in [(), tuple(range(1000))]:
        try:
            _kesp.collapse(*args)
        except NotImplementedError:
            pass


def test_repeated_import_gives_the_identical_module():
    module = _kesp
    module.extra_attribute = 42
    try:
        del sys.modules["_kesp"]
        import _kesp as again

        assert again is module
        assert again.extra_attribute == 42
        assert again.__all__ == NAMES
    finally:
        sys.modules["_kesp"] = module
        del module.extra_attribute


SUBINTERPRETER_SCRIPT = textwrap.dedent(
    """
    import sys, _testcapi
    order, out = sys.argv[1], sys.argv[2]
    sub = '''
    try:
        import _kesp
        result = "imported"
    except ImportError as e:
        result = "ImportError: " + str(e)
    with open({out!r}, "a") as f:
        f.write("sub " + result + "\\\\n")
    '''.format(out=out)
    def main():
        try:
            import _kesp
            result = "imported"
        except ImportError as e:
            result = "ImportError: " + str(e)
        with open(out, "a") as f:
            f.write("main " + result + "\\n")
    if order == "main-first":
        main()
        _testcapi.run_in_subinterp(sub)
    else:
        _testcapi.run_in_subinterp(sub)
        main()
    """
)


@pytest.mark.parametrize("order", ["main-first", "sub-first"])
def test_second_interpreter_is_refused(order, tmp_path):
    pytest.importorskip("_testcapi")
    out = tmp_path / "out.txt"
    script = tmp_path / "script.py"
    script.write_text(SUBINTERPRETER_SCRIPT)
    subprocess.run([sys.executable, str(script), order, str(out)], check=True, env=os.environ.copy())
    lines = dict(line.split(" ", 1) for line in out.read_text().splitlines())
    # The first interpreter to run the init function is bound.  When the
    # subinterpreter imports first, CPython (3.13 and later) itself runs a
    # single-phase init function in the main interpreter before running it
    # in the subinterpreter, so in both orders the main interpreter is the
    # one bound and the subinterpreter is refused.
    assert lines["main"] == "imported"
    assert lines["sub"] == (
        "ImportError: PyO3 modules do not yet support subinterpreters, see "
        "https://github.com/PyO3/pyo3/issues/576"
    )
