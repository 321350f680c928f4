"""What both launchers offer about a run's output, besides the page: --quiet hides the lines
control_zelk.Drivox_1 prints for each command, --save-windows DIR keeps the last picture of
each window as a file.
"""

import builtins
import contextlib
import os
import sys

from .program_runner import after_import
from .window_files import LastPictures

LIBRARY = "control_zelk.Drivox_1"
# What the library prints as a matter of course: on making a device, the check of each reply,
# the return code of a chassis command; and the frame of each command, a list. Its warnings
# (a reply wrong or missing) are none of these, and still show.
ROUTINE_TEXTS = frozenset({"初始化ID", "数据校验正确！", "1"})


def add_options(group):
    group.add_argument(
        "--quiet",
        action="store_true",
        help=f"hide the lines {LIBRARY} prints for each command (初始化ID, the frames, "
        "数据校验正确！, 1); its warnings, the program's own lines and the board's lines stay",
    )
    group.add_argument(
        "--save-windows",
        metavar="DIR",
        help="at the end (also after an error or Ctrl-C), write the last picture of each "
        "window as DIR/<window name>.png (characters other than letters, digits, space, "
        "'-', '_', '.' become '_')",
    )


def quiet_print(*args, **kwargs):
    """The library's print under --quiet: its routine lines go nowhere, the rest to print."""
    if len(args) == 1 and (
        isinstance(args[0], list) or isinstance(args[0], str) and args[0] in ROUTINE_TEXTS
    ):
        return
    builtins.print(*args, **kwargs)


@contextlib.contextmanager
def quiet_library():
    """While the block runs, the library's module global `print` is quiet_print: the library
    looks its print up there at each call, before the builtin. A program's `from
    control_zelk.Drivox_1 import *` must not take that print for its own, so the module's
    __all__ is set to the names such an import took before."""
    changed = []

    def silence(module):
        if not hasattr(module, "__all__"):
            module.__all__ = [name for name in vars(module) if not name.startswith("_")]
            changed.append("__all__")
        module.print = quiet_print
        changed.append("print")

    try:
        with after_import(LIBRARY, silence):
            yield
    finally:
        module = sys.modules.get(LIBRARY)
        for name in changed:
            with contextlib.suppress(AttributeError):
                delattr(module, name)


def start(opts, stack, prog):
    """Puts the options into effect for as long as `stack` is open. Returns the LastPictures to
    hand the window capture, or None. Raises OSError when DIR cannot be made."""
    if opts.quiet:
        stack.enter_context(quiet_library())
    if opts.save_windows is None:
        return None
    folder = opts.save_windows
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as exc:
        raise OSError(
            f"cannot make the folder {folder} for --save-windows: {exc.strerror}"
        ) from None
    keep = LastPictures(folder)
    stack.callback(save_windows, keep, prog)
    return keep


def save_windows(keep, prog):
    """Writes the windows' last pictures and says where they went."""
    written, failed = keep.write()
    if written:
        names = ", ".join(os.path.basename(path) for path in written)
        print(f"{prog}: windows saved in {keep.folder}: {names}", file=sys.stderr, flush=True)
    for path in failed:
        print(f"{prog}: cannot write {path}", file=sys.stderr, flush=True)
