"""Round trips of JSON-compatible values, with Python's json module as referee."""
import json

from hypothesis import given, settings
from hypothesis import strategies as st

from vorlisk._rust import _convert_value_debug, _render_json_debug

# Every code point but the surrogates, which are not text: astral characters,
# control characters, quotes and backslashes included.
texts = st.text(st.characters(blacklist_categories=("Cs",)))
scalars = (st.none() | st.booleans() | st.integers() | st.integers(min_value=-(2**200), max_value=2**200)
           | st.floats(allow_nan=False, allow_infinity=False) | texts)
json_values = st.recursive(
    scalars,
    lambda children: st.lists(children, max_size=6) | st.dictionaries(texts, children, max_size=6),
    max_leaves=40,
)


@settings(max_examples=150, deadline=None)
@given(json_values)
def test_rendered_json_parses_back_to_the_value(value):
    text = _render_json_debug(value)
    parsed = json.loads(text)
    assert parsed == value
    assert json.dumps(parsed) == json.dumps(value)  # ints stay ints, floats floats
    assert "\n" not in text


@settings(max_examples=150, deadline=None)
@given(json_values)
def test_conversion_round_trips(value):
    converted = _convert_value_debug(value)
    assert converted == value
    assert json.dumps(converted) == json.dumps(value)
