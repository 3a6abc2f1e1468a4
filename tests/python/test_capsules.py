"""The module's face: documentation, function order and signatures, the
capsules it hands out, and multi-phase initialisation."""

import ctypes
import sys
import sysconfig

import pytest

import vexol_cpp

_api = ctypes.pythonapi
_api.PyCapsule_GetPointer.restype = ctypes.c_void_p
_api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_api.PyCapsule_GetName.restype = ctypes.c_char_p
_api.PyCapsule_GetName.argtypes = [ctypes.py_object]
_api.PyCapsule_GetContext.restype = ctypes.c_void_p
_api.PyCapsule_GetContext.argtypes = [ctypes.py_object]
_api.PyCapsule_IsValid.restype = ctypes.c_int
_api.PyCapsule_IsValid.argtypes = [ctypes.py_object, ctypes.c_char_p]

FUNCTIONS = [
    "pg_sample_f64_capsule",
    "pg_sample_batched_f64_capsule",
    "pg_sample_shared_f64_capsule",
    "pg_sample_f32_capsule",
    "pg_sample_batched_f32_capsule",
    "pg_sample_shared_f32_capsule",
]


def test_module_documentation_and_function_order():
    assert vexol_cpp.__doc__ == "On-device Pólya-Gamma sampling as XLA FFI custom calls"
    names = [n for n in vars(vexol_cpp) if n in FUNCTIONS]
    assert names == FUNCTIONS


@pytest.mark.parametrize("name", FUNCTIONS)
def test_signature_text(name):
    fn = getattr(vexol_cpp, name)
    assert fn.__doc__.splitlines()[0] == f"{name}() -> typing_extensions.CapsuleType"


def test_capsules_are_new_unnamed_and_point_at_the_handlers():
    first = vexol_cpp.pg_sample_f64_capsule()
    second = vexol_cpp.pg_sample_f64_capsule()
    batched = vexol_cpp.pg_sample_batched_f64_capsule()

    assert first is not second
    for capsule in (first, second, batched):
        assert type(capsule).__name__ == "PyCapsule"
        # No name: opening it needs a null name, and nothing to clean up.
        assert _api.PyCapsule_GetName(capsule) is None
        assert _api.PyCapsule_IsValid(capsule, None) == 1
        assert _api.PyCapsule_IsValid(capsule, b"xla._CUSTOM_CALL_TARGET") == 0
        assert _api.PyCapsule_GetContext(capsule) is None

    flat_ptr = _api.PyCapsule_GetPointer(first, None)
    assert flat_ptr
    assert _api.PyCapsule_GetPointer(second, None) == flat_ptr
    assert _api.PyCapsule_GetPointer(batched, None) not in (None, flat_ptr)
    assert _api.PyCapsule_GetPointer(vexol_cpp.pg_sample_batched_f64_capsule(), None) == (
        _api.PyCapsule_GetPointer(batched, None)
    )


@pytest.mark.parametrize("name", FUNCTIONS)
def test_arguments_are_rejected(name):
    fn = getattr(vexol_cpp, name)
    with pytest.raises(TypeError):
        fn(1)
    with pytest.raises(TypeError):
        fn(seed=1)


def test_initialisation_is_multi_phase():
    # The init function hands back a module definition, not a module, and
    # the same definition each time.
    # The definition comes back as a borrowed pointer, so it is read as an
    # address and looked at without taking ownership of it.
    library = ctypes.PyDLL(vexol_cpp.__file__)
    library.PyInit_vexol_cpp.restype = ctypes.c_void_p
    address = library.PyInit_vexol_cpp()
    assert address
    definition = ctypes.cast(ctypes.c_void_p(address), ctypes.py_object).value
    assert type(definition).__name__ == "moduledef"
    del definition
    assert library.PyInit_vexol_cpp() == address


def test_the_build_runs_on_the_oldest_supported_jax():
    # The FFI API the handlers were compiled for must be one that the
    # oldest jaxlib the package declares already provides; newer headers
    # would make that jaxlib refuse every handler.
    from vexol._compat import FIRST_RELEASE_WITH_API, MINIMUM_JAX

    built = vexol_cpp.ffi_api_version()
    assert isinstance(built, tuple) and len(built) == 2
    assert FIRST_RELEASE_WITH_API[built] <= MINIMUM_JAX[:2]


PY_MOD_EXEC, PY_MOD_GIL = 2, 4
PY_MOD_GIL_NOT_USED = 1


def module_slots():
    """(slot, value) pairs of the module definition PyInit_vexol_cpp returns,
    read through PyModuleDef's layout: the object header, m_init, m_index,
    m_copy, m_name, m_doc, m_size and m_methods come before m_slots."""
    library = ctypes.PyDLL(vexol_cpp.__file__)
    library.PyInit_vexol_cpp.restype = ctypes.c_void_p
    address = library.PyInit_vexol_cpp()
    pointer = ctypes.sizeof(ctypes.c_void_p)
    offset = object.__basicsize__ + 7 * pointer
    slots_address = ctypes.c_void_p.from_address(address + offset).value
    slots = []
    while True:
        slot = ctypes.c_int.from_address(slots_address).value
        if slot == 0:
            return slots
        value = ctypes.c_void_p.from_address(slots_address + pointer).value
        slots.append((slot, value or 0))
        slots_address += 2 * pointer


def test_free_threaded_interpreters_keep_the_gil_off():
    slots = dict(module_slots())
    assert PY_MOD_EXEC in slots  # the reader found the definition's slots
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        # Built for a free-threaded interpreter: the module declares that it
        # needs no GIL, and importing it left the GIL off.
        assert slots.get(PY_MOD_GIL) == PY_MOD_GIL_NOT_USED
        assert not sys._is_gil_enabled()
    else:
        # The abi3 build for regular interpreters carries no such slot.
        assert PY_MOD_GIL not in slots
