import numpy as np
import pytest

import lodex


def test_fresh_index_surface():
    index = lodex.Index(128, 4, False, 42)
    assert repr(index) == "lodex.Index(dim=128, bits=4, size=0, use_qjl=false)"
    assert index.size == 0
    assert index.config == {"dim": 128, "bits": 4, "use_qjl": False, "seed": 42}
    assert list(index.config) == ["dim", "bits", "use_qjl", "seed"]
    assert repr(lodex.Index(1, 2, True, 0)) == "lodex.Index(dim=1, bits=2, size=0, use_qjl=true)"


def test_config_is_a_fresh_dict_each_time():
    index = lodex.Index(8, 3, True, 2**64 - 1)
    first, second = index.config, index.config
    assert first is not second
    first["dim"] = 99
    assert second["dim"] == 8 and index.config["dim"] == 8
    assert index.config["seed"] == 2**64 - 1 and index.config["use_qjl"] is True


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(dim=128, bits=4, use_qjl=False, seed=42),
        dict(seed=42, use_qjl=False, bits=4, dim=128),
    ],
)
def test_keywords_equal_positional(kwargs):
    assert lodex.Index(**kwargs).config == lodex.Index(128, 4, False, 42).config


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((0, 4, False, 0), ValueError, "dimension 0 must be a power of 2"),
        ((100, 4, False, 0), ValueError, "dimension 100 must be a power of 2"),
        ((6, 4, False, 0), ValueError, "dimension 6 must be a power of 2"),
        ((3, 9, False, 0), ValueError, "dimension 3 must be a power of 2"),
        ((128, 1, False, 0), ValueError, "bits must be 2-5, got 1"),
        ((128, 6, False, 0), ValueError, "bits must be 2-5, got 6"),
        ((128, 0, False, 0), ValueError, "bits must be 2-5, got 0"),
        ((128, 300, False, 0), OverflowError, "out of range integral type conversion attempted"),
        ((128, -1, False, 0), OverflowError, "out of range integral type conversion attempted"),
        ((128, 2**70, False, 0), OverflowError, None),
        ((128, 4, False, -1), OverflowError, "can't convert negative int to unsigned"),
        ((-128, 4, False, 0), OverflowError, "can't convert negative int to unsigned"),
        ((128, 4, False, 2**64), OverflowError, None),
        ((128.0, 4, False, 0), TypeError, "argument 'dim': 'float' object cannot be interpreted as an integer"),
        ((128, 4.0, False, 0), TypeError, "argument 'bits': 'float' object cannot be interpreted as an integer"),
        ((128, 4, False, "0"), TypeError, "argument 'seed': 'str' object cannot be interpreted as an integer"),
        ((128, 4, 1, 0), TypeError, "argument 'use_qjl': 'int' object cannot be converted to 'PyBool'"),
        ((128, 4, None, 0), TypeError, "argument 'use_qjl': 'NoneType' object cannot be converted to 'PyBool'"),
        ((128, 4, np.int8(1), 0), TypeError, "argument 'use_qjl': 'int8' object cannot be converted to 'PyBool'"),
    ],
)
def test_bad_arguments(args, exc, message):
    with pytest.raises(exc) as info:
        lodex.Index(*args)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
        assert info.value.args == (message,)


def test_first_failing_conversion_wins():
    # Conversion runs in positional order even for keyword arguments.
    with pytest.raises(TypeError, match="argument 'dim'"):
        lodex.Index(seed="x", dim=1.5, bits=4, use_qjl=False)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: lodex.Index(128, 4, False), "Index.__new__() missing 1 required positional argument: 'seed'"),
        (
            lambda: lodex.Index(128, 4),
            "Index.__new__() missing 2 required positional arguments: 'use_qjl' and 'seed'",
        ),
        (
            lambda: lodex.Index(128),
            "Index.__new__() missing 3 required positional arguments: 'bits', 'use_qjl', and 'seed'",
        ),
        (lambda: lodex.Index(128, 4, False, 0, 5), "Index.__new__() takes 4 positional arguments but 5 were given"),
        (
            lambda: lodex.Index(128, 4, False, 0, dim=128),
            "Index.__new__() got multiple values for argument 'dim'",
        ),
        (
            lambda: lodex.Index(128, 4, False, 0, colour=1),
            "Index.__new__() got an unexpected keyword argument 'colour'",
        ),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("flag", [np.bool_(True), np.bool_(False), True, False])
def test_use_qjl_accepts_bools_and_numpy_bools(flag):
    assert lodex.Index(8, 4, flag, 0).config["use_qjl"] is bool(flag)


class Seven:
    def __index__(self):
        return 7


def test_index_protocol_and_bool_as_int():
    index = lodex.Index(True, 4, False, Seven())
    assert index.config == {"dim": 1, "bits": 4, "use_qjl": False, "seed": 7}
    assert lodex.Index(np.uint64(64), np.int8(3), False, np.uint64(2**64 - 1)).config["seed"] == 2**64 - 1


def test_conversion_cause_is_kept():
    class Bad:
        def __index__(self):
            raise TypeError("nope") from KeyError("root")

    with pytest.raises(TypeError) as info:
        lodex.Index(Bad(), 4, False, 0)
    assert str(info.value) == "argument 'dim': nope"
    assert isinstance(info.value.__cause__, KeyError)


def test_other_conversion_errors_pass_unchanged():
    class Boom:
        def __index__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError, match="^boom$"):
        lodex.Index(8, 4, False, Boom())


def test_system_never_raises_builtin_index_error():
    for args in [(0, 4, False, 0), (8, 9, False, 0), (8, 4, 0, 0)]:
        with pytest.raises(Exception) as info:
            lodex.Index(*args)
        assert not isinstance(info.value, IndexError)
