"""The package's one error type: every failure a step reports to its user is
a `StepError` whose message is one line naming the file or step and what to
do; the command prints it and exits with status 1, without a traceback."""


class StepError(Exception):
    """A failure the user can act on: the message is one line naming the file
    and what to do."""


class OperationFailed(StepError):
    """A failure inside one of the module's functions, as an ordinary
    exception (the module's own is a BaseException, which task schedulers do
    not carry between processes)."""
