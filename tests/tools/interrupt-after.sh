#!/usr/bin/env bash
# Runs a command and gives it SIGINT (Ctrl-C) after a while; exits with the command's status, its
# output passed through. For expect-run.sh: expect-run.sh STATUS PATTERN -- interrupt-after.sh ...
#   interrupt-after.sh SECONDS COMMAND [ARG...]
set -uo pipefail
set -m # job control: the command runs in a group of its own, SIGINT not ignored as in the background
seconds=$1
shift
"$@" &
pid=$!
sleep "$seconds"
kill -INT "$pid"
# The command must end by itself after the interrupt; 20 s is far beyond its cancel's grace.
for _ in $(seq 200); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
  kill -KILL "$pid"
  echo "interrupt-after: the command did not end within 20 s of SIGINT"
fi
wait "$pid"
