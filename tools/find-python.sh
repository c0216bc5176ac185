#!/usr/bin/env bash
# Prints the path of a CPython 3.10 interpreter: $PYTHON when set, else python3.10 on PATH, else
# pyenv's newest 3.10. The module is built for 3.10 only, so nothing else will do.
set -u
is_310() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 10))' >/dev/null 2>&1; }

if [ -n "${PYTHON:-}" ]; then
  if is_310 "$PYTHON"; then command -v "$PYTHON"; exit 0; fi
  echo "PYTHON=$PYTHON is not a working CPython 3.10" >&2
  exit 1
fi
# A pyenv shim named python3.10 exists even when 3.10 is not selected, so try it, don't trust it.
if command -v python3.10 >/dev/null 2>&1 && is_310 python3.10; then
  python3.10 -c 'import sys; print(sys.executable)'
  exit 0
fi
root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
for candidate in $(ls -d "$root"/versions/3.10*/bin/python3.10 2>/dev/null | sort -V -r); do
  if is_310 "$candidate"; then echo "$candidate"; exit 0; fi
done
echo "No CPython 3.10 found: install one or set PYTHON=/path/to/python3.10" >&2
exit 1
