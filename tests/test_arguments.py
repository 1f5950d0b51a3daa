"""The shared argument-binding messages, seen through ProtocolAddress."""
import pytest

from ulo_protocol import ProtocolAddress

P = ProtocolAddress


@pytest.mark.parametrize("call,message", [
    (lambda: P(), "ProtocolAddress.__new__() missing 3 required positional arguments: "
                  "'address_class', 'type_', and 'ref_'"),
    (lambda: P("body"), "ProtocolAddress.__new__() missing 2 required positional arguments: "
                        "'type_' and 'ref_'"),
    (lambda: P("body", "t"), "ProtocolAddress.__new__() missing 1 required positional "
                             "argument: 'ref_'"),
    (lambda: P("body", "t", "r", "x"), "ProtocolAddress.__new__() takes 3 positional arguments "
                                       "but 4 were given"),
    (lambda: P("body", "t", ref_="r", extra=1), "ProtocolAddress.__new__() got an unexpected "
                                               "keyword argument 'extra'"),
    (lambda: P("body", "t", "r", type_="t"), "ProtocolAddress.__new__() got multiple values "
                                             "for argument 'type_'"),
    (lambda: P.parse("a", "b"), "ProtocolAddress.parse() takes 1 positional arguments but 2 "
                                "were given"),
    (lambda: P.parse(uri=b"x"), "argument 'uri': 'bytes' object cannot be cast as 'str'"),
    (lambda: P(None, "t", "r"), "argument 'address_class': 'NoneType' object cannot be cast "
                                "as 'str'"),
])
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_keywords_in_any_order():
    assert P(ref_="r", type_="t", address_class="doc") == P("doc", "t", "r")


def test_str_subclass_is_text():
    class S(str):
        pass

    assert P(S("body"), S("t"), S("r")).address_class == "body"


def test_no_argument_method_refuses_arguments():
    with pytest.raises(TypeError):
        P("body", "t", "r").to_uri(1)
