import vorlisk._rust as rust


def test_module_doc_is_empty():
    assert rust.__doc__ == ""
