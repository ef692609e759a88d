import pytest

from _tarnwick_stream_debug import Binding


def test_handle_is_taken_modulo_2_64():
    assert Binding(-1).handle == 2**64 - 1
    assert Binding(2**64 + 3).handle == 3
    assert Binding(handle=True).handle == 1


@pytest.mark.parametrize("args,kwargs", [(("7",), {}), ((), {}), ((1.5,), {}), ((1, 2), {})])
def test_bad_arguments_raise_type_error(args, kwargs):
    with pytest.raises(TypeError):
        Binding(*args, **kwargs)


def test_repr_int_and_hash():
    assert repr(Binding(0)) == "Binding(0)"
    assert repr(Binding(42)) == "Binding(42)"
    assert int(Binding(2**64 - 1)) == 2**64 - 1
    assert hash(Binding(5)) == 5
    assert hash(Binding(2**64 - 1)) == -2
    assert hash(Binding(2**64 - 2)) == -2  # reinterpreted as signed: -2


def test_equal_by_handle_not_identity():
    a, b = Binding(5), Binding(5)
    assert a is not b and a == b and not (a != b)
    assert {a: "x"}[b] == "x"


def test_comparisons_are_unsigned():
    assert Binding(2**64 - 1) > Binding(0)
    assert Binding(1) <= Binding(1) < Binding(2)
    assert Binding(3) >= Binding(2)


def test_other_operands_are_not_implemented():
    assert (Binding(1) == 1) is False
    assert Binding(1) != 1
    with pytest.raises(TypeError):
        Binding(1) < 2


def test_immutable_and_subclassable():
    b = Binding(9)
    with pytest.raises(AttributeError):
        b.handle = 3

    class Sub(Binding):
        pass

    s = Sub(9)
    assert isinstance(s, Binding) and s == b and hash(s) == 9
    assert repr(s) == "Binding(9)"
