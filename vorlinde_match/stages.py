"""Named points of a step (reading, module call, writing, renaming) where a
test can stop it deterministically: with VORLINDE_MATCH_TEST_PAUSE=STAGE in
the environment, each time the step reaches STAGE it prints
"vorlinde-match-test: STAGE pid PID" on stderr and sleeps
VORLINDE_MATCH_TEST_PAUSE_SECONDS (default 0.5) before going on. Unset, a
pause costs one string comparison."""

import os
import sys
import time

STAGES = ("reading", "module call", "writing", "renaming")
_WANTED = os.environ.get("VORLINDE_MATCH_TEST_PAUSE", "")


def pause(stage):
    if stage == _WANTED:
        print(f"vorlinde-match-test: {stage} pid {os.getpid()}", file=sys.stderr, flush=True)
        time.sleep(float(os.environ.get("VORLINDE_MATCH_TEST_PAUSE_SECONDS", "0.5")))
