# Type stubs of _qrl_shared, the shared runtime of the quarlopro extension
# modules. It is installed at the top of site-packages next to the library.
import inspect
from typing import Any, TypeAlias, final

# For the other stubs only: the modules' functions declare JSON objects and
# JWKs as plain `dict`, and a TLV read as plain `tuple`. Their stubs import
# these under those names (`from _qrl_shared import _JsonObject as dict`),
# so the declarations stay word for word and `mypy --strict` still knows
# the type arguments.
_JsonObject: TypeAlias = dict[str, Any]
_AnyTuple: TypeAlias = tuple[Any, ...]

@final
class function:
    """The type of every function and Plugin method of the quarlopro modules.

    Calls bind arguments like a Python function (positional-or-keyword
    parameters, defaults); the object binds to instances like a Python
    function, so it also serves as a method.
    """

    __name__: str
    __qualname__: str
    __module__: str
    __annotations__: dict[str, str]
    @property
    def __globals__(self) -> dict[str, Any]: ...
    @property
    def __defaults__(self) -> tuple[Any, ...] | None: ...
    @property
    def __signature__(self) -> inspect.Signature: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
    def __get__(self, instance: object, owner: type | None = None, /) -> Any: ...
