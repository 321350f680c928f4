"""Where the board's trace goes while a learner's program runs (zelk-run-on-sim --trace).

The trace arrives from BoardSim's reader thread at any moment, while the program writes its
own output. TraceOutput writes every trace line whole, in one write, and never inside a line
of the program's output on the same file: when the program's stdout or stderr shares the
trace's file (both on one terminal, or `2>&1`) and is in the middle of a line
(print("...", end="")), trace lines are held back and follow as soon as that line ends.
"""

import io
import os
import sys
import threading


def _file_identity(stream):
    try:
        st = os.fstat(stream.fileno())
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        return None
    return st.st_dev, st.st_ino


class _LineWatch:
    """Takes the place of sys.stdout or sys.stderr: hands everything to the real stream and
    keeps track of whether the program is at the start of a line there."""

    def __init__(self, stream, trace):
        self._stream = stream
        self._trace = trace
        self.at_line_start = True

    def write(self, text):
        with self._trace.lock:
            n = self._stream.write(text)
            if text:
                self.at_line_start = text.endswith("\n")
                if self.at_line_start:
                    self._trace.release_held()
            return n

    def writelines(self, lines):
        for line in lines:
            self.write(line)

    def __getattr__(self, name):
        return getattr(self._stream, name)


class TraceOutput:
    """A text stream for BoardSim(echo=...): each write() is one whole trace line."""

    def __init__(self, stream, owns_stream=False):
        self.stream = stream
        self.lock = threading.RLock()
        self._owns_stream = owns_stream
        self._held = []
        self._watches = []  # (name in sys, original stream, its _LineWatch)

    @classmethod
    def open(cls, where):
        """ "stderr", or the path of a file to (over)write."""
        if where == "stderr":
            return cls(sys.stderr)
        return cls(open(where, "w", encoding="utf-8"), owns_stream=True)

    def watch_program_output(self):
        """Puts a line watch on sys.stdout and sys.stderr where they write to the trace's file."""
        target = _file_identity(self.stream)
        for name in ("stdout", "stderr"):
            stream = getattr(sys, name)
            if stream is self.stream or (target is not None and _file_identity(stream) == target):
                watch = _LineWatch(stream, self)
                self._watches.append((name, stream, watch))
                setattr(sys, name, watch)
        return self

    def _program_at_line_start(self):
        return all(watch.at_line_start for _, _, watch in self._watches)

    def _emit(self, text):
        # The program's output written before this point comes first on the shared file.
        for _, stream, _ in self._watches:
            stream.flush()
        self.stream.write(text)
        self.stream.flush()

    def write(self, line):
        with self.lock:
            if self._held or not self._program_at_line_start():
                self._held.append(line)
            else:
                self._emit(line)
        return len(line)

    def flush(self):
        pass  # every line is flushed as it is written

    def release_held(self):
        """Writes the held-back lines once the program is at the start of a line again."""
        with self.lock:
            if self._held and self._program_at_line_start():
                held, self._held = self._held, []
                self._emit("".join(held))

    def close(self):
        """Writes what is still held back, on lines of their own even if the program ended in
        the middle of a line, and gives the program's streams back."""
        with self.lock:
            if self._held:
                held, self._held = self._held, []
                if not self._program_at_line_start():
                    held.insert(0, "\n")
                try:
                    self._emit("".join(held))
                except (OSError, ValueError):
                    pass
            for name, stream, watch in self._watches:
                if getattr(sys, name) is watch:
                    setattr(sys, name, stream)
            self._watches = []
        if self._owns_stream:
            self.stream.close()
