"""What the launchers (zelk-run-on-sim, zelk-run-on-car) share: splitting their own options
from the program's arguments, acting when the program imports a module, running a learner's
program as __main__, and ending as its interpreter would have ended.
"""

import atexit
import contextlib
import importlib.abc
import importlib.util
import os
import runpy
import signal
import sys
import threading
import traceback


def split_argv(parser, argv):
    """(launcher's words, program and its arguments): the first word that is neither an
    option nor an option's value is the program; `--` may stand before it."""
    takes_value = {
        name for action in parser._actions if action.nargs != 0 for name in action.option_strings
    }
    i = 0
    while i < len(argv):
        word = argv[i]
        if word == "--":
            return argv[:i], argv[i + 1 :]
        if not word.startswith("-") or word == "-":
            break
        i += 2 if word in takes_value else 1
    return argv[:i], argv[i:]


def parse_args(parser, argv):
    """The launcher's options, with .program and .args (the program's own arguments)."""
    own, rest = split_argv(parser, argv)
    opts = parser.parse_args(own + ["--"] + rest[:1])
    opts.args = rest[1:]
    if not os.path.isfile(opts.program):
        parser.error(f"no such program: {opts.program}")
    return opts


class _AfterImport(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    """Runs action(module) once the module `name` is first imported, right after its own
    code: the program finds it already adjusted, and one that never imports it does not pay
    for importing it (cv2 takes over a second)."""

    def __init__(self, name, action):
        self.name = name
        self.action = action
        self._loader = None

    def find_spec(self, fullname, path=None, target=None):
        if fullname != self.name:
            return None
        sys.meta_path.remove(self)
        found = importlib.util.find_spec(fullname)  # found as it would be without this finder
        if found is not None and found.loader is not None:
            self._loader, found.loader = found.loader, self
        return found

    def create_module(self, found):
        return self._loader.create_module(found)

    def exec_module(self, module):
        module.__spec__.loader = module.__loader__ = self._loader
        self._loader.exec_module(module)
        self.action(module)


@contextlib.contextmanager
def after_import(name, action):
    """action(module) when `name` is imported while the block runs (at once if it already is)."""
    if name in sys.modules:
        action(sys.modules[name])
        yield
        return
    finder = _AfterImport(name, action)
    sys.meta_path.insert(0, finder)
    try:
        yield
    finally:
        if finder in sys.meta_path:
            sys.meta_path.remove(finder)


def let_ctrl_c_through():
    """The launchers end a program with SIGINT, as Ctrl-C does (the web page's Stop,
    --duration): make sure it arrives even when this process was started ignoring it, as a
    shell's background job is."""
    if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)


class Ending:
    """How a program ended: `status` as its interpreter would exit, and what it would print."""

    def __init__(self, program, status=0, message=None, error=None):
        self.program = program
        self.status = status
        self.message = message  # sys.exit's text
        self.error = error  # an uncaught exception

    def report(self):
        """Prints what the interpreter prints at such an end; returns the exit status."""
        if self.error is not None:
            print_program_error(self.error, self.program)
        elif self.message is not None:
            print(self.message, file=sys.stderr)
        return self.status


def run_as_main(program, args, during=None):
    """Runs the program as __main__ with sys.argv = [program, *args] (inside the context
    manager `during`, if any), waits for its threads, then runs its exit handlers (the
    program's interpreter would run them now; control_zelk.Drivox_1 stops a car left driving
    there, while the board still listens). Returns its Ending."""
    sys.argv = [program] + list(args)
    sys.path.insert(0, os.path.dirname(os.path.abspath(program)))
    ending = Ending(program)
    try:
        with during or contextlib.nullcontext():
            runpy.run_path(program, run_name="__main__")
    except SystemExit as exc:
        ending.status, ending.message = exit_status(exc)
    except KeyboardInterrupt:
        ending.status = 130
    except BaseException as exc:
        ending.status, ending.error = 1, exc
    try:
        wait_for_threads()
    except KeyboardInterrupt:
        ending.status = ending.status or 130
    # A second Ctrl-C (or the web page's Stop) must not cut short the handler that stops the car.
    ctrl_c = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        atexit._run_exitfuncs()
    finally:
        signal.signal(signal.SIGINT, ctrl_c)
    return ending


def wait_for_threads():
    """Waits, as the interpreter does before it runs the exit handlers, for the threads of the
    program that are not daemons (the launcher's own threads all are): the car is stopped
    after the last of them, not while one still drives."""
    current = threading.current_thread()
    for thread in threading.enumerate():
        if thread is not current and not thread.daemon:
            thread.join()


def exit_status(exc):
    """(status, message to print) for a SystemExit, as the interpreter would treat it."""
    code = exc.code
    if code is None:
        return 0, None
    if isinstance(code, int):
        return code, None
    return 1, code


def print_program_error(exc, program):
    """Prints the traceback from the program's first frame on: the runner's own frames above it
    are no help to whoever wrote the program."""
    tb = exc.__traceback__
    path = os.path.abspath(program)
    while tb is not None and os.path.abspath(tb.tb_frame.f_code.co_filename) != path:
        tb = tb.tb_next
    traceback.print_exception(type(exc), exc, tb or exc.__traceback__)
