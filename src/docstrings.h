// The nine docstrings.  Each starts with the text signature line, "--" and an
// empty line, from which the interpreter derives __text_signature__.
#pragma once

namespace kesp::doc {

inline constexpr const char parse[] =
    "parse(s)\n"
    "--\n"
    "\n"
    "Extract number from string.\n"
    "\n"
    "Args:\n"
    "    s: String to parse.\n"
    "\n"
    "Returns:\n"
    "    Parsed int or float, or None if parsing fails.\n"
    "\n"
    "Examples:\n"
    "    >>> parse('1,200m')\n"
    "    1200\n"
    "    >>> parse('100.0')\n"
    "    100.0\n"
    "    >>> parse('(1)')\n"
    "    -1";

inline constexpr const char multikeysort[] =
    "multikeysort(items, columns, inplace=False)\n"
    "--\n"
    "\n"
    "Sort list of dictionaries by multiple keys.\n"
    "\n"
    "Uses pre-extracted values for O(n) extraction instead of O(n log n).\n"
    "\n"
    "Args:\n"
    "    items: List of dictionaries to sort.\n"
    "    columns: List of column names (prefix with '-' for descending).\n"
    "    inplace: If True, sort in place; otherwise return new sorted list.\n"
    "\n"
    "Returns:\n"
    "    Sorted list if inplace=False, otherwise None.";

inline constexpr const char sanitize_vulgar_string[] =
    "sanitize_vulgar_string(s)\n"
    "--\n"
    "\n"
    "Replace vulgar fractions with decimal equivalents.\n"
    "\n"
    "Converts number and vulgar fraction combinations to number and decimal.\n"
    "\n"
    "Args:\n"
    "    s: String containing vulgar fractions.\n"
    "\n"
    "Returns:\n"
    "    String with fractions converted to decimals.\n"
    "\n"
    "Examples:\n"
    "    >>> sanitize_vulgar_string(\"Foo-Bar+Baz: 17s 4¾ 1 ⅛ 20 93¾ - 94⅛\")\n"
    "    'Foo-Bar+Baz: 17s 4.75 1.125 20 93.75 - 94.125'\n"
    "    >>> sanitize_vulgar_string(\"⅓ cup\")\n"
    "    '0.333333 cup'";

inline constexpr const char uncamel[] =
    "uncamel(camel)\n"
    "--\n"
    "\n"
    "Convert camelCase to snake_case.\n"
    "\n"
    "Args:\n"
    "    camel: CamelCase string.\n"
    "\n"
    "Returns:\n"
    "    snake_case string.\n"
    "\n"
    "Examples:\n"
    "    >>> uncamel('CamelCase')\n"
    "    'camel_case'\n"
    "    >>> uncamel('CamelCamelCase')\n"
    "    'camel_camel_case'\n"
    "    >>> uncamel('getHTTPResponseCode')\n"
    "    'get_http_response_code'";

inline constexpr const char underscore_to_camelcase[] =
    "underscore_to_camelcase(s)\n"
    "--\n"
    "\n"
    "Convert underscore_delimited_text to camelCase.\n"
    "\n"
    "Args:\n"
    "    s: Underscore-delimited string.\n"
    "\n"
    "Returns:\n"
    "    camelCase string.\n"
    "\n"
    "Examples:\n"
    "    >>> underscore_to_camelcase('foo_bar_baz')\n"
    "    'fooBarBaz'\n"
    "    >>> underscore_to_camelcase('FOO_BAR')\n"
    "    'fooBar'\n"
    "    >>> underscore_to_camelcase('_foo_bar')\n"
    "    'fooBar'";

inline constexpr const char collapse[] =
    "collapse(*args)\n"
    "--\n"
    "\n"
    "Recursively flatten nested lists/tuples into a single list.\n"
    "\n"
    "Args:\n"
    "    args: Items to collapse (can be nested lists/tuples).\n"
    "\n"
    "Returns:\n"
    "    Flattened list of items.\n"
    "\n"
    "Examples:\n"
    "    >>> collapse([['a', ['b', ('c', 'd')]], -2, -1, [0, 1]])\n"
    "    ['a', 'b', 'c', 'd', -2, -1, 0, 1]";

inline constexpr const char backfill[] =
    "backfill(values)\n"
    "--\n"
    "\n"
    "Back-fill a sorted array with the latest value.\n"
    "\n"
    "Args:\n"
    "    values: List of values (may contain None).\n"
    "\n"
    "Returns:\n"
    "    List with None values replaced by the most recent non-None value.\n"
    "\n"
    "Examples:\n"
    "    >>> backfill([None, None, 1, 2, 3, None, 4])\n"
    "    [1, 1, 1, 2, 3, 3, 4]";

inline constexpr const char backfill_iterdict[] =
    "backfill_iterdict(iterdict)\n"
    "--\n"
    "\n"
    "Back-fill a sorted iterdict with the latest values.\n"
    "\n"
    "Args:\n"
    "    iterdict: List of dicts with possibly None values.\n"
    "\n"
    "Returns:\n"
    "    List of dicts with None values replaced by most recent non-None values per key.\n"
    "\n"
    "Examples:\n"
    "    >>> backfill_iterdict([{'a': 1, 'b': None}, {'a': 4, 'b': 2}, {'a': None, 'b': None}])\n"
    "    [{'a': 1, 'b': 2}, {'a': 4, 'b': 2}, {'a': 4, 'b': 2}]";

inline constexpr const char same_order[] =
    "same_order(ref_list, comp)\n"
    "--\n"
    "\n"
    "Compare two lists and check if elements in ref appear in same order in comp.\n"
    "\n"
    "Args:\n"
    "    ref_list: Reference list of elements.\n"
    "    comp: Comparison list to check order against.\n"
    "\n"
    "Returns:\n"
    "    True if all ref elements appear in comp in the same relative order.\n"
    "\n"
    "Examples:\n"
    "    >>> same_order(['x', 'y', 'z'], ['x', 'a', 'b', 'y', 'd', 'z'])\n"
    "    True\n"
    "    >>> same_order(['x', 'y', 'z'], ['x', 'z', 'y'])\n"
    "    False";

}  // namespace kesp::doc
