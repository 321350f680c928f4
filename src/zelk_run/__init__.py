"""zelk_run: runs learners' car programs without the car, or watches them on the car.

- ``zelk-run-on-sim PROGRAM.py`` (``python -m zelk_run``): the program drives a simulated
  controller board (``zelk-board-sim``), or with ``--world`` a virtual car, and camera 0 is a
  stand-in; ``--web`` serves a page that shows its windows and the board's trace.
- ``zelk-run-on-car PROGRAM.py`` (``python -m zelk_run.on_car``): the program runs on the car,
  unchanged, with that page.

Modules: ``on_sim`` and ``on_car`` (the launchers), ``program_runner`` (running a program as
__main__), ``board_link`` (the simulator: start, control requests, trace, the serial port
redirected to it), ``board_tap`` (the trace of the real serial line), ``camera_stand_in`` and
``window_capture`` (camera 0 and the windows), ``web_launch`` and ``web_view`` (the page;
its HTML is ``page/index.html``), ``trace_output`` (the trace in the terminal), ``world`` (the
virtual car's worlds, their line and the lesson summary); the shipped worlds are in
``worlds/``.
"""
