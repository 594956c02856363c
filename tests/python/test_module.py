import vorlinde


def test_module_name_and_docstring():
    assert vorlinde.__name__ == "vorlinde"
    assert vorlinde.__doc__ == (
        "A Python module for the cryptographic operations necessary to do feature "
        "extraction (element matching in two datasets)."
    )
