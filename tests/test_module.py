"""The module's face and the argument rules shared by all nine functions."""

import contextlib
import json
import os
import shutil
import subprocess
import sys
import textwrap
import threading
import types

import pytest

import _kesp
from hostile import (
    FAILURE_REPORT,
    RESUMING,
    RESUMING_LINES,
    Mutating,
    panic_exception_type,
    raising,
)

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


# The help text of every function, as __doc__ shows it (the signature line,
# "--" and the empty line are taken off by the interpreter).
DOCS = {
    "parse": (
        'Extract number from string.\n'
        '\n'
        'Args:\n'
        '    s: String to parse.\n'
        '\n'
        'Returns:\n'
        '    Parsed int or float, or None if parsing fails.\n'
        '\n'
        'Examples:\n'
        "    >>> parse('1,200m')\n"
        '    1200\n'
        "    >>> parse('100.0')\n"
        '    100.0\n'
        "    >>> parse('(1)')\n"
        '    -1'
    ),
    "multikeysort": (
        'Sort list of dictionaries by multiple keys.\n'
        '\n'
        'Uses pre-extracted values for O(n) extraction instead of O(n log n).\n'
        '\n'
        'Args:\n'
        '    items: List of dictionaries to sort.\n'
        "    columns: List of column names (prefix with '-' for descending).\n"
        '    inplace: If True, sort in place; otherwise return new sorted list.\n'
        '\n'
        'Returns:\n'
        '    Sorted list if inplace=False, otherwise None.'
    ),
    "sanitize_vulgar_string": (
        'Replace vulgar fractions with decimal equivalents.\n'
        '\n'
        'Converts number and vulgar fraction combinations to number and decimal.\n'
        '\n'
        'Args:\n'
        '    s: String containing vulgar fractions.\n'
        '\n'
        'Returns:\n'
        '    String with fractions converted to decimals.\n'
        '\n'
        'Examples:\n'
        '    >>> sanitize_vulgar_string("Foo-Bar+Baz: 17s 4\u00be 1 \u215b 20 93\u00be - 94\u215b")\n'
        "    'Foo-Bar+Baz: 17s 4.75 1.125 20 93.75 - 94.125'\n"
        '    >>> sanitize_vulgar_string("\u2153 cup")\n'
        "    '0.333333 cup'"
    ),
    "uncamel": (
        'Convert camelCase to snake_case.\n'
        '\n'
        'Args:\n'
        '    camel: CamelCase string.\n'
        '\n'
        'Returns:\n'
        '    snake_case string.\n'
        '\n'
        'Examples:\n'
        "    >>> uncamel('CamelCase')\n"
        "    'camel_case'\n"
        "    >>> uncamel('CamelCamelCase')\n"
        "    'camel_camel_case'\n"
        "    >>> uncamel('getHTTPResponseCode')\n"
        "    'get_http_response_code'"
    ),
    "underscore_to_camelcase": (
        'Convert underscore_delimited_text to camelCase.\n'
        '\n'
        'Args:\n'
        '    s: Underscore-delimited string.\n'
        '\n'
        'Returns:\n'
        '    camelCase string.\n'
        '\n'
        'Examples:\n'
        "    >>> underscore_to_camelcase('foo_bar_baz')\n"
        "    'fooBarBaz'\n"
        "    >>> underscore_to_camelcase('FOO_BAR')\n"
        "    'fooBar'\n"
        "    >>> underscore_to_camelcase('_foo_bar')\n"
        "    'fooBar'"
    ),
    "collapse": (
        'Recursively flatten nested lists/tuples into a single list.\n'
        '\n'
        'Args:\n'
        '    args: Items to collapse (can be nested lists/tuples).\n'
        '\n'
        'Returns:\n'
        '    Flattened list of items.\n'
        '\n'
        'Examples:\n'
        "    >>> collapse([['a', ['b', ('c', 'd')]], -2, -1, [0, 1]])\n"
        "    ['a', 'b', 'c', 'd', -2, -1, 0, 1]"
    ),
    "backfill": (
        'Back-fill a sorted array with the latest value.\n'
        '\n'
        'Args:\n'
        '    values: List of values (may contain None).\n'
        '\n'
        'Returns:\n'
        '    List with None values replaced by the most recent non-None value.\n'
        '\n'
        'Examples:\n'
        '    >>> backfill([None, None, 1, 2, 3, None, 4])\n'
        '    [1, 1, 1, 2, 3, 3, 4]'
    ),
    "backfill_iterdict": (
        'Back-fill a sorted iterdict with the latest values.\n'
        '\n'
        'Args:\n'
        '    iterdict: List of dicts with possibly None values.\n'
        '\n'
        'Returns:\n'
        '    List of dicts with None values replaced by most recent non-None values per key.\n'
        '\n'
        'Examples:\n'
        "    >>> backfill_iterdict([{'a': 1, 'b': None}, {'a': 4, 'b': 2}, {'a': None, 'b': None}])\n"
        "    [{'a': 1, 'b': 2}, {'a': 4, 'b': 2}, {'a': 4, 'b': 2}]"
    ),
    "same_order": (
        'Compare two lists and check if elements in ref appear in same order in comp.\n'
        '\n'
        'Args:\n'
        '    ref_list: Reference list of elements.\n'
        '    comp: Comparison list to check order against.\n'
        '\n'
        'Returns:\n'
        '    True if all ref elements appear in comp in the same relative order.\n'
        '\n'
        'Examples:\n'
        "    >>> same_order(['x', 'y', 'z'], ['x', 'a', 'b', 'y', 'd', 'z'])\n"
        '    True\n'
        "    >>> same_order(['x', 'y', 'z'], ['x', 'z', 'y'])\n"
        '    False'
    ),
}


@pytest.mark.parametrize("name", NAMES)
def test_every_docstring_byte_for_byte(name):
    assert getattr(_kesp, name).__doc__ == DOCS[name]


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


@pytest.mark.parametrize("args", [(), (1,), tuple(range(1000))])
def test_collapse_accepts_any_number_of_positional_values(args):
    assert _kesp.collapse(*args) == list(args)


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
    refused = (
        "ImportError: PyO3 modules do not yet support subinterpreters, see "
        "https://github.com/PyO3/pyo3/issues/576"
    )
    # The first interpreter to run the init function is bound.  When the
    # subinterpreter imports first, CPython 3.12 runs the init function there
    # alone, so the subinterpreter is bound and the main one refused; 3.13 and
    # later run a single-phase init function in the main interpreter before
    # running it in the subinterpreter, so there the main interpreter is the
    # one bound in both orders.
    if order == "sub-first" and sys.version_info < (3, 13):
        first, second = "sub", "main"
    else:
        first, second = "main", "sub"
    assert lines[first] == "imported"
    assert lines[second] == refused


def test_function_module_is_the_dotted_name_inside_a_package(tmp_path):
    package = tmp_path / "pkg"
    package.mkdir(exist_ok=True)  # the leak hunter runs the body again
    (package / "__init__.py").write_text("")
    shutil.copy(_kesp.__file__, package / os.path.basename(_kesp.__file__))
    script = (
        "import sys; sys.path.insert(0, sys.argv[1])\n"
        "import pkg._kesp as m\n"
        "print(m.__name__, m.parse.__module__, m.same_order.__module__, m.parse('(7)'))\n"
    )
    run = subprocess.run([sys.executable, "-c", script, str(tmp_path)], capture_output=True,
                         text=True, check=True)
    assert run.stdout.split() == ["pkg._kesp", "pkg._kesp", "pkg._kesp", "-7"]
    assert run.stderr == ""  # a successful import writes nothing


REGISTRATION_SWEEP_SCRIPT = textwrap.dedent(
    """
    import ctypes, json, sys, _testcapi
    init = ctypes.PyDLL(sys.argv[1]).PyInit__kesp
    init.restype = ctypes.py_object
    init.argtypes = []
    failures = []
    for start in range(int(sys.argv[2]), 400):
        _testcapi.set_nomemory(start, start + 1)
        try:
            module = init()
        except BaseException as e:
            failures.append(f"{type(e).__module__}.{type(e).__name__}: {e}")
        else:
            break
        finally:
            _testcapi.remove_mem_hooks()
    again = init()
    print(json.dumps({"failures": failures, "through_at": start,
                      "after": [again is module, module.__all__, module.parse("(12)")]}))
    """
)


def test_failed_initialisation_leaves_nothing_behind(tmp_path):
    # The init export is called directly, with one allocation failing, in a
    # process that has not imported the module, at each position in turn:
    # every failed call must leave the module cell empty, so the first call
    # that gets through registers the nine functions afresh, and later calls
    # return that module.  A call can get through with its failure swallowed
    # by the interpreter (3.12 swallows four in a row early in the
    # registration); a fresh process then sweeps on from the next position,
    # until eight in a row get through at their first position, past the
    # registration's end.
    pytest.importorskip("_testcapi")
    script = tmp_path / "sweep.py"
    script.write_text(REGISTRATION_SWEEP_SCRIPT)
    failures, first, through_at_once = [], 0, 0
    while through_at_once < 8:
        run = subprocess.run([sys.executable, str(script), _kesp.__file__, str(first)],
                             capture_output=True, text=True, check=True)
        report = json.loads(run.stdout)
        assert report["after"] == [True, NAMES, -12], report
        failures += report["failures"]
        through_at_once = 0 if report["failures"] else through_at_once + 1
        first = report["through_at"] + 1
        assert first < 400
    assert len(failures) >= 20  # the sweep went through the registration
    for kind in set(failures):
        assert kind == "builtins.MemoryError: " or kind.startswith(
            "pyo3_runtime.PanicException: could not append __name__ to __all__: PyErr { type: "
            "<class 'MemoryError'>"
        ), kind


# ---------------------------------------------------------------------------
# Errors raised from a call: wrapping, the PanicException class, internal
# failures and panics resumed from the caller's code.  multikeysort serves as
# the vehicle: its `inplace` conversion runs the caller's __bool__ on a numpy
# look-alike, and its comparisons run the caller's __lt__.

def numpy_bool_like(__bool__):
    return type("bool_", (), {"__module__": "numpy", "__bool__": __bool__})()


def convert_inplace_raising(exc):
    def __bool__(self):
        raise exc

    return lambda: _kesp.multikeysort([{"a": 2}, {"a": 1}], ["a"], numpy_bool_like(__bool__))


def shrinking_sort():
    # Comparisons that shorten the list make the sort's read-back fail: an
    # internal failure.
    items = []
    shrink = lambda: len(items) > 5 and items.pop()  # noqa: E731
    items.extend({"k": Mutating(i % 5, shrink)} for i in range(10))
    _kesp.multikeysort(items, ["k"], True)


def panicking_sort(text="boom"):
    panic = panic_exception_type()
    _kesp.multikeysort([{"k": raising(lambda: panic(text), "__lt__")} for _ in range(2)], ["k"])


@contextlib.contextmanager
def sys_hook(name, value):
    """sys.`name` set to `value` for the block, then as it was."""
    missing = object()
    saved = getattr(sys, name, missing)
    setattr(sys, name, value)
    try:
        yield
    finally:
        if saved is missing:
            delattr(sys, name)
        else:
            setattr(sys, name, saved)


class Unprintable:
    def __init__(self, error):
        self.error = error

    def __str__(self):
        raise self.error


def test_wrapped_type_error_keeps_the_incoming_cause_only():
    root = ValueError("root")
    incoming = TypeError("bad")
    incoming.__cause__ = root
    with pytest.raises(TypeError) as info:
        convert_inplace_raising(incoming)()
    assert type(info.value) is TypeError and info.value is not incoming
    assert info.value.args == ("argument 'inplace': bad",)
    assert info.value.__cause__ is root
    assert info.value.__suppress_context__ is True
    assert info.value.__context__ is None  # the incoming error is not attached


def test_type_error_subclass_passes_through_unwrapped():
    class Sub(TypeError):
        pass

    incoming = Sub("bad")
    with pytest.raises(Sub) as info:
        convert_inplace_raising(incoming)()
    assert info.value is incoming and str(incoming) == "bad"


def test_wrapped_type_error_whose_str_raises():
    reported = []
    hook = sys_hook("unraisablehook", lambda u: reported.append(u.exc_type))
    with pytest.raises(TypeError) as info, hook:
        convert_inplace_raising(TypeError(Unprintable(ValueError("no str"))))()
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'inplace': <unprintable TypeError object>"
    assert reported == [ValueError]


def test_panic_from_the_str_of_a_wrapped_type_error_is_resumed(capfd):
    panic = panic_exception_type()
    reported = []
    capfd.readouterr()
    hook = sys_hook("unraisablehook", lambda u: reported.append(u.exc_type))
    with pytest.raises(panic) as info, hook:
        convert_inplace_raising(TypeError(Unprintable(panic("from str()"))))()
    assert type(info.value) is panic and info.value.args == ("from str()",)
    assert reported == []
    assert RESUMING in capfd.readouterr().err


def test_panic_exception_class(capfd):
    panic = panic_exception_type()
    assert panic.__module__ == "pyo3_runtime" and panic.__name__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    doc = panic.__doc__
    assert doc.startswith("\n") and doc.endswith("\n")
    paragraphs = doc.strip("\n").split("\n\n")
    assert [len(p.split("\n")) for p in paragraphs] == [1, 3]
    assert "BaseException" in paragraphs[1] and "SystemExit" in paragraphs[1]
    # Made once: the class an internal failure raises, the one a resumed panic
    # raises and the only one of that name are the same.
    raised = []
    for call in (shrinking_sort, panicking_sort):
        try:
            call()
        except BaseException as e:
            raised.append(type(e))
    found = [c for c in BaseException.__subclasses__() if c.__name__ == "PanicException"
             and c.__module__ == "pyo3_runtime"]
    assert raised == [panic, panic] and found == [panic]
    err = capfd.readouterr().err
    assert len(FAILURE_REPORT.findall(err)) == 1 and err.count(RESUMING) == 1, err


@pytest.mark.parametrize("call", [shrinking_sort, panicking_sort], ids=["internal", "resumed"])
def test_except_exception_does_not_catch_a_panic_exception(call, capfd):
    caught = None
    try:
        try:
            call()
        except Exception as e:
            caught = ("Exception", e)
    except BaseException as e:
        caught = ("BaseException", e)
    assert caught[0] == "BaseException" and type(caught[1]) is panic_exception_type()
    err = capfd.readouterr().err
    if call is shrinking_sort:  # the report alone, with the exception's text
        match = FAILURE_REPORT.fullmatch(err)
        assert match and match.group(5) == str(caught[1]), err
    else:  # the resumed panic's lines and its traceback, no report
        assert err.startswith(RESUMING_LINES) and "_kesp: internal failure" not in err, err


def test_internal_failure_report_on_standard_error(capfd):
    panic = panic_exception_type()
    capfd.readouterr()
    with pytest.raises(panic) as info:
        shrinking_sort()
    err = capfd.readouterr().err
    match = FAILURE_REPORT.search(err)
    assert match, err
    thread, file, line, column, text = match.groups()
    assert thread == "main" and file == "src/dictsort.cpp" and int(line) > 0 and int(column) > 0
    assert text == str(info.value) and info.value.args == (text,)
    assert RESUMING not in err


def test_internal_failure_report_names_another_thread(capfd):
    panic = panic_exception_type()
    outcome = []

    def run():
        try:
            shrinking_sort()
        except BaseException as e:
            outcome.append(type(e))

    capfd.readouterr()
    worker = threading.Thread(target=run)
    worker.start()
    worker.join()
    assert outcome == [panic]
    match = FAILURE_REPORT.search(capfd.readouterr().err)
    # Python 3.14 gives its threads OS names (at most 15 bytes of the thread's
    # name); before, a thread keeps the process's name, which says nothing.
    assert match and match.group(1) in ("<unnamed>", worker.name.encode()[:15].decode())


# Covers /proc with an empty file system in a mount namespace of its own.  The
# /proc mount is made private in that namespace first, so that nothing
# mounted on it reaches the mounts of any other namespace.
HIDE_PROC = "mount --make-private /proc && mount -t tmpfs none /proc && exec \"$@\""


@pytest.mark.no_leak_check("runs a fresh interpreter")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the ASan runtime needs /proc")
def test_internal_failure_report_names_another_thread_without_proc():
    # A chroot may have no /proc: the module knows the name threads inherit
    # from the main thread without it.
    unshare = shutil.which("unshare")
    hide = [unshare, "--mount", "--propagation", "unchanged", "sh", "-c", HIDE_PROC, "sh"]
    if not unshare or subprocess.run(hide + ["true"], capture_output=True).returncode != 0:
        pytest.skip("needs unshare and the right to make a mount namespace (root)")
    test = f"{os.path.abspath(__file__)}::test_internal_failure_report_names_another_thread"
    run = subprocess.run(
        hide + ["sh", "-c", 'test ! -e /proc/self/comm && exec "$@"', "sh",
                sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", test],
        capture_output=True, text=True, timeout=120,
    )
    assert run.returncode == 0 and "1 passed" in run.stdout, run.stdout + run.stderr


def test_resumed_panic_prints_the_original_through_excepthook(capfd):
    panic = panic_exception_type()
    hooked = []
    marker = object()
    capfd.readouterr()
    with sys_hook("last_exc", marker), sys_hook("excepthook", lambda *a: hooked.append(a)):
        with pytest.raises(panic) as info:
            panicking_sort("resumed text")
        last_exc = sys.last_exc
    err = capfd.readouterr().err
    assert err.startswith(RESUMING_LINES)
    assert "_kesp: internal failure" not in err  # no ordinary report
    [(kind, original, traceback)] = hooked
    assert kind is panic and original is not info.value and traceback is not None
    assert original.args == info.value.args == ("resumed text",)
    assert last_exc is marker  # printed, not recorded as the last exception


def test_resumed_panic_traceback_goes_to_standard_error(capfd):
    capfd.readouterr()
    with pytest.raises(panic_exception_type()):
        panicking_sort("shown")
    err = capfd.readouterr().err
    assert err.index(RESUMING) < err.index("Traceback (most recent call last):")
    assert "pyo3_runtime.PanicException: shown" in err


def test_resumed_panic_whose_str_raises(capfd):
    with pytest.raises(panic_exception_type()) as info:
        panicking_sort(Unprintable(ValueError("no str")))
    assert info.value.args == ("Unwrapped panic from Python code",)
    err = capfd.readouterr().err
    assert err.startswith(RESUMING_LINES) and "PanicException: <exception str() failed>" in err, err


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        (lambda s: _kesp.parse(s), 5),
        (lambda s: _kesp.parse(s=s), 5),
        (lambda s: _kesp.parse("(5)"), -5),
        (lambda s: _kesp.parse("abc"), None),
        (lambda s: _kesp.parse("1,2"), 12),
    ],
    ids=["positional", "keyword", "parenthesised", "none", "filtered"],
)
def test_successful_call_allocates_nothing_in_the_frame(call, expected):
    # With every allocation failing, a call whose result needs no new object
    # still succeeds: matching, reading the text and the trampoline allocate
    # nothing.
    _testcapi = pytest.importorskip("_testcapi")
    text = "5"
    _testcapi.set_nomemory(0, 0)
    try:
        result = call(text)
    except MemoryError:
        result = MemoryError
    finally:
        _testcapi.remove_mem_hooks()
    assert result == expected
