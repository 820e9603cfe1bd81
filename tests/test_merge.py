import collections

import pytest

from vorlisk._rust import _convert_value_debug, merge_fields


class Tag(str):
    """A str subclass: its keys are never plain."""


class OddHash(str):
    def __hash__(self):
        return 7

    def __eq__(self, other):
        return self is other


def merged_items(bound, kwargs, contextvars):
    return list(merge_fields(bound, kwargs, contextvars).items())


@pytest.mark.parametrize("bound, kwargs, contextvars, expected", [
    ({"a": 1, "b": 2}, {"b": 3, "c": 4}, {"a": 9, "d": 5},
     [("a", 1), ("b", 3), ("c", 4), ("d", 5)]),
    ({}, {"exc_info": True, "stack_info": True, "x": 1}, {}, [("x", 1)]),
    ({"exc_info": 1}, {}, {}, [("exc_info", 1)]),
    ({}, {}, {"stack_info": 2}, [("stack_info", 2)]),
    ({}, {Tag("exc_info"): 1, "y": 2}, {}, [("y", 2)]),
    ({"a": 1}, {"b": 2, "a": 3, "exc_info": 0}, {}, [("a", 3), ("b", 2)]),
    ({1: "int key"}, {}, {1: "ignored", 2: "added"}, [(1, "int key"), (2, "added")]),
])
def test_precedence(bound, kwargs, contextvars, expected):
    assert merged_items(bound, kwargs, contextvars) == expected


def test_kwargs_key_with_a_lone_surrogate_is_never_skipped():
    key = "exc_info\ud800"
    assert merged_items({}, {key: 1}, {}) == [(key, 1)]


def test_contextvar_never_overrides_a_key_that_renders_alike():
    # The subclass key hashes differently from the plain "user", so the dict
    # keeps them apart; rendering would collapse them with the later winning.
    bound = {OddHash("user"): "bound"}
    merged = merge_fields(bound, {}, {"user": "ctx", "other": 1})
    assert list(merged.values()) == ["bound", 1]
    assert _convert_value_debug(merged) == {"user": "bound", "other": 1}


def test_contextvars_that_render_alike_are_all_added():
    contextvars = {OddHash("k"): "first", "k": "second"}
    merged = merge_fields({}, {"x": 0}, contextvars)
    assert len(merged) == 3
    assert _convert_value_debug(merged) == {"x": 0, "k": "second"}


def test_inputs_are_untouched_and_result_is_a_plain_dict():
    bound = collections.OrderedDict(a=1)
    kwargs = {"a": 2, "exc_info": 1}
    contextvars = collections.defaultdict(int, z=3)
    merged = merge_fields(bound=bound, kwargs=kwargs, contextvars=contextvars)
    assert type(merged) is dict
    assert merged == {"a": 2, "z": 3}
    assert bound == {"a": 1} and kwargs == {"a": 2, "exc_info": 1} and contextvars == {"z": 3}


@pytest.mark.parametrize("args, message, parameter", [
    ((1, {}, {}), "'int' object is not an instance of 'dict'", "bound"),
    (({}, [], {}), "'list' object is not an instance of 'dict'", "kwargs"),
    (({}, {}, None), "'None' is not an instance of 'dict'", "contextvars"),
])
def test_arguments_must_be_dicts(args, message, parameter):
    with pytest.raises(TypeError) as raised:
        merge_fields(*args)
    assert str(raised.value) == message
    assert raised.value.__notes__ == [f"while processing '{parameter}'"]


# ---- dicts changed by a key's __hash__ while they are walked --------------------

class MutatingKey:
    """Hashes normally to enter its dict; its next hash runs `action` once."""

    def __init__(self, action):
        self.action = action
        self.calls = 0

    def __hash__(self):
        self.calls += 1
        if self.calls == 2:
            self.action()
        return 99

    def __eq__(self, other):
        return self is other


def panic_message(call):
    with pytest.raises(BaseException) as raised:
        call()
    error = raised.value
    assert type(error).__name__ == "PanicException"
    assert not isinstance(error, Exception)
    return str(error)


def test_kwargs_key_that_deletes_its_own_entry():
    # The key and its value are owned only by the dict that the key empties.
    kwargs = {}
    kwargs[MutatingKey(lambda: kwargs.clear())] = object()
    kwargs["after"] = 1
    assert panic_message(lambda: merge_fields({}, kwargs, {})) == \
        "dictionary changed size during iteration"


def test_kwargs_key_that_swaps_an_entry():
    kwargs = {"a": 1}

    def swap():
        del kwargs["a"]
        kwargs["z"] = 2

    kwargs[MutatingKey(swap)] = 3
    assert panic_message(lambda: merge_fields({}, kwargs, {})) == \
        "dictionary keys changed during iteration"


def test_contextvar_key_that_deletes_its_own_entry():
    contextvars = {}
    contextvars[MutatingKey(lambda: contextvars.clear())] = object()
    contextvars["other"] = 1
    assert panic_message(lambda: merge_fields({}, {}, contextvars)) == \
        "dictionary changed size during iteration"


def fail():
    raise ValueError("unhashable today")


@pytest.mark.parametrize("source", ["kwargs", "contextvars"])
def test_error_from_a_key_hash_is_raised(source):
    sources = {"bound": {"b": 1}, "kwargs": {}, "contextvars": {}}
    sources[source][MutatingKey(fail)] = 1
    with pytest.raises(ValueError, match="unhashable today"):
        merge_fields(**sources)
