import pytest

from Corvane import simpleImage_ext


@pytest.fixture
def ext():
    """The extension module."""
    return simpleImage_ext


@pytest.fixture
def restore_module_attributes():
    """Puts back every module attribute that a test rebinds."""
    saved = dict(vars(simpleImage_ext))
    yield simpleImage_ext
    for name in set(vars(simpleImage_ext)) - set(saved):
        delattr(simpleImage_ext, name)
    for name, value in saved.items():
        setattr(simpleImage_ext, name, value)
