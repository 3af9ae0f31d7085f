"""Runs the examples in the docstrings of every _kesp function, then the
examples of README.md.  Exits non-zero when an example fails.
"""

import doctest
import pathlib
import re
import sys

import _kesp

failed = 0
for name in _kesp.__all__:
    function = getattr(_kesp, name)
    examples = doctest.DocTestParser().get_examples(function.__doc__ or "")
    if not examples:
        print(f"no examples: {name}")
        continue
    test = doctest.DocTest(examples, vars(_kesp).copy(), name, None, 0, None)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    result = runner.run(test)
    failed += result.failed
    status = "ok" if result.failed == 0 else "FAILED"
    print(f"{status}: {name} ({result.attempted} examples)")
readme = pathlib.Path(__file__).resolve().parent.parent / "README.md"
if readme.exists():
    blocks = re.findall(r"```python\n(.*?)```", readme.read_text(encoding="utf-8"), re.S)
    test = doctest.DocTestParser().get_doctest("".join(blocks), {}, "README.md", None, 0)
    result = doctest.DocTestRunner().run(test)
    failed += result.failed
    print(f"{'ok' if result.failed == 0 else 'FAILED'}: README.md ({result.attempted} examples)")
print(f"module: {_kesp.__file__}")
sys.exit(1 if failed else 0)
