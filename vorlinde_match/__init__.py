"""Running a private matching with vorlinde on real files: the three parties'
steps (`vorlinde_match.steps`), chunked with progress, optionally on Dask and
with partitioned stores, and a whole run on one machine
(`vorlinde_match.whole_run`); the command `vorlinde-match` drives them."""

from .errors import OperationFailed, StepError
from .steps import (bank_build, bank_decrypt, bank_randomize, make_keys, operator_combine, operator_finish,
                    operator_query)
from .whole_run import WholeRun, run_all

__all__ = ["StepError", "OperationFailed", "make_keys", "bank_build", "bank_randomize", "bank_decrypt",
           "operator_query", "operator_combine", "operator_finish", "run_all", "WholeRun"]
