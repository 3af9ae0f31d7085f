"""Objects that count every call of their Python-level methods.

Many stretches of the module are safe only because they run no Python code:
they read the stored state of lists, tuples, dicts and str objects and never
ask the caller's objects anything.  A caller's object whose method were called
there could lie, raise, or change the very container being read.  The
tripwire classes here are subclasses of str, list, tuple and dict, and a plain
value class, whose special and reading methods each add one to a shared
counter (under "Class.__method__") and then behave like their base.  A test
builds its input, clears the counter, makes the call, and checks that the
counter is still empty.

A tripwire str may be given the hash of another text, so that a dict holding
it compares it with the keys of that text whenever the dict probes for them.
"""

import collections


class Tripwires:
    """A fresh set of tripwire classes sharing one counter, `calls`."""

    def __init__(self):
        calls = self.calls = collections.Counter()

        def counted(name, base_method=None):
            def method(self, *args, **kwargs):
                calls[f"{type(self).__name__}.{name}"] += 1
                if base_method is not None:
                    return base_method(self, *args, **kwargs)
                return None

            method.__name__ = name
            return method

        def methods(base, names):
            made = {name: counted(name, getattr(base, name)) for name in names}
            made["__bool__"] = counted("__bool__", lambda self: base.__len__(self) != 0)
            return made

        reading = ("__len__", "__iter__", "__getitem__", "__contains__")
        compare = ("__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__")
        finalizer = {"__del__": counted("__del__")}

        def new_str(cls, text, hash_as=None):
            self = str.__new__(cls, text)
            self.hash_as = hash_as
            return self

        def str_hash(self):
            calls["Str.__hash__"] += 1
            return str.__hash__(self if self.hash_as is None else self.hash_as)

        # A str that counts; Str(text, hash_as=other) has the hash of `other`.
        self.Str = type("Str", (str,), {
            "__new__": new_str,
            "__hash__": str_hash,
            **methods(str, compare + ("__str__", "__repr__", "__format__", "__len__", "__iter__",
                                      "__getitem__", "__contains__")),
            **finalizer,
        })
        self.List = type("List", (list,), {
            **methods(list, reading + compare + ("__reversed__",)), "__hash__": None, **finalizer,
        })
        self.Tuple = type("Tuple", (tuple,), {
            **methods(tuple, reading + compare + ("__hash__",)), **finalizer,
        })
        self.Dict = type("Dict", (dict,), {
            **methods(dict, reading + compare + ("keys", "items", "values", "get", "copy")),
            "__hash__": None,
            "__missing__": counted("__missing__"),
            **finalizer,
        })
        # An object with no order of its own.
        self.Value = type("Value", (), {
            **{name: counted(name, getattr(object, name))
               for name in ("__eq__", "__ne__", "__hash__", "__repr__")},
            **{name: counted(name, lambda self, other: NotImplemented)
               for name in ("__lt__", "__le__", "__gt__", "__ge__")},
            "__bool__": counted("__bool__", lambda self: True),
            **finalizer,
        })
