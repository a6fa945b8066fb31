"""The command line's parts, by job; `ventra.sandbox.cli` runs them in order.

- `options`: the parser and the translation of ``run``'s arguments into a spawn dict. A new
  option is an ``add_argument`` in `options.build_parser` and its key in `options.build_spec`.
- `checks`: pre-flight checks of a spawn dict against the host and the backend, run before
  anything starts: each returns an error text (the run stops) or notice texts (it goes on).
- `live`: supervision of the running child (live pass-through, standard input, signals,
  the collected or ``--json`` output).
- `messages`: exit codes, error and notice lines, and every fixed text of the command line.
"""
