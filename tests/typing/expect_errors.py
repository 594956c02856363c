"""Runs mypy with the arguments given on a file and checks that it reports
exactly the errors its `# expect: CODE` comments announce: each marked line
an error with that code, no error anywhere else, and a failing exit status.

    python expect_errors.py FILE [MYPY OPTION ...]
"""

import re
import subprocess
import sys

EXPECT = re.compile(r"#\s*expect:\s*([a-z-]+)\s*$")
ERROR = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: (?P<text>.*)  \[(?P<code>[a-z-]+)\]$")


def main(path: str, options: list[str]) -> int:
    with open(path, encoding="utf-8") as f:
        expected = {
            (number, match.group(1))
            for number, line in enumerate(f, start=1)
            if (match := EXPECT.search(line))
        }
    result = subprocess.run(
        [sys.executable, "-m", "mypy", *options, path], capture_output=True, text=True, check=False
    )
    reported = set()
    for line in result.stdout.splitlines():
        error = ERROR.match(line)
        if error:
            reported.add((int(error["line"]), error["code"]))
    problems = [f"{path}:{n}: expected a [{code}] error, mypy reported none" for n, code in sorted(expected - reported)]
    problems += [f"{path}:{n}: unexpected [{code}] error" for n, code in sorted(reported - expected)]
    if result.returncode != 1:
        problems.append(f"mypy exited with status {result.returncode}, not 1 (errors found)")
    if problems:
        print(result.stdout + result.stderr, end="")
        print("\n".join(problems))
        return 1
    print(f"{path}: mypy rejects all {len(expected)} misuses, each with its expected code")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2:]))
