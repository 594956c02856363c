# The CPython versions the package claims (pyproject.toml's requires-python and
# classifiers say the same), and where to find each. Sourced by
# scripts/install-deps and scripts/test-interpreters.
claimed_cpythons=(3.8 3.9 3.10 3.11 3.12 3.13)

# find_cpython VERSION: prints the path of a CPython VERSION interpreter (from
# VORLINDE_PYTHON_<major>_<minor>, python<VERSION> on PATH, or pyenv), or fails.
find_cpython() {
  local v="$1" var="VORLINDE_PYTHON_${1/./_}" candidate
  if [ -n "${!var:-}" ]; then
    echo "${!var}"
    return 0
  fi
  for candidate in "$(command -v "python$v" 2>/dev/null)" "$HOME"/.pyenv/versions/"$v".*/bin/"python$v"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ] &&
       [ "$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$v" ]; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}
