import sys

import pytest

from vorlisk._rust import report_unraisable


def test_report_unraisable_reaches_the_hook(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    try:
        raise KeyError("lost")
    except KeyError as caught:
        error = caught
    assert report_unraisable(error) is None
    assert len(seen) == 1
    assert seen[0].exc_value is error and seen[0].exc_type is KeyError
    assert seen[0].exc_traceback is error.__traceback__ and seen[0].object is None

    monkeypatch.setattr(sys, "unraisablehook", lambda info: 1 / 0)
    assert report_unraisable(error=SystemExit(2)) is None
    with pytest.raises(TypeError) as raised:
        report_unraisable("boom")
    assert str(raised.value) == "'str' object is not an instance of 'BaseException'"
    assert raised.value.__notes__ == ["while processing 'error'"]
