"""The package's one error type: every failure a step reports to its user is
a `StepError` whose message is one line naming the file or step and what to
do; the command prints it and exits with status 1, without a traceback."""


class StepError(Exception):
    """A failure the user can act on: the message is one line naming the file
    and what to do."""


class OperationFailed(StepError):
    """A failure inside one of the module's functions, as an ordinary
    exception (the module's own is a BaseException, which task schedulers do
    not carry between processes): `function` is its name, `detail` the
    module's own message, kept verbatim. A step that knows which file the
    failing input came from reports it with `about`."""

    def __init__(self, function, detail):
        super().__init__(function, detail)  # both in args, so it survives pickling
        self.function, self.detail = function, detail

    def __str__(self):
        return f"{self.function} failed: {self.detail}"

    def about(self, paths, hint):
        """The failure told as one of `paths` (files the failing input came
        from) that the module could not read, with what to do."""
        them = "it" if len(paths) == 1 else "one of them"
        return StepError(f"{' or '.join(map(str, paths))}: the module could not read {them} ({self.detail}); "
                         f"{'the file is' if len(paths) == 1 else 'a file is'} damaged or not from this run: {hint}")


class RowsError(StepError):
    """A fault a worker found in the rows of its slice of a table; the step
    tells it as a local read of the table does, which names the line."""
