"""Python binding of ka_core's C interface (ctypes; numpy arrays in and out).

    import ka_core
    with ka_core.Context("bundles/avatar.imx", "b1") as ctx:
        frame = ctx.render_drive_rgba(0)          # (H, W, 4) uint8
    with ka_core.Prior("bundles/avatar") as p:
        row = p.row(0).view("float16")            # (3, S, S)

The library is found through $KA_CORE_LIBRARY, else the prefix pkg-config knows, else the dynamic
loader's path. Failures raise KaError carrying the family's last-error text; bad arguments (dtype,
shape, non-contiguous memory) raise TypeError or ValueError before the library is called.

Each C family is one module: core (context, bundle resolution), prior (warp prior rows); a new
family (an audio engine, a session) adds one module built on _lib.Family and _lib.Handle.
"""
from ._lib import KaError
from .core import Context, host_kp_rows, resolve_bundle, resolve_member
from .prior import Prior

__all__ = ["KaError", "Context", "Prior", "host_kp_rows", "resolve_bundle", "resolve_member"]
