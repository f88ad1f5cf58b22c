#!/bin/sh
# Runs one command under Valgrind's memcheck and requires the command's own
# exit code. Valgrind's findings (invalid reads and writes, uses of
# uninitialised values, definite leaks) turn the exit code into 99.
#
#   run-under-valgrind.sh VALGRIND EXPECTED_EXIT COMMAND [ARGS...]
#
# Exits 77 (the test is skipped) when VALGRIND is not an executable.
valgrind=$1
expected=$2
shift 2
if [ -z "$valgrind" ] || [ ! -x "$valgrind" ]; then
  echo "valgrind not found: skipped"
  exit 77
fi
"$valgrind" --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
  --num-callers=40 "$@"
code=$?
if [ "$code" -ne "$expected" ]; then
  echo "exit code $code, expected $expected (99: Valgrind reported errors)" >&2
  exit 1
fi
exit 0
