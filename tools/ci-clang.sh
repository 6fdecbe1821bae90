#!/usr/bin/env bash
# CI's second compiler: builds with Clang (warnings and lock-discipline findings are errors), runs the PDB check,
# the consumer of the install tree and the test programs where a second compiler's code generation matters most
# (the exported tables and their slots, the gate and the call frame, the lock, the pools, the handle tables, the
# COM sessions with the stand-in service on both hosts, events, the C++ layer, zvcli), then clang-tidy over src/.
# The fault suite, the HTTP tests against the loopback server and the registry and repair tests stay with the
# GCC run of the whole suite: they test the platform and the services more than the compiled code, and take most of
# the suite's time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
SECONDS=0
suites='Lifecycle|QueryInterface|SlotOrder|CallFrameTest|FailedInitialization|HResultToZVResult|SharedExclusiveLock'
suites+='|PoolRunner|ThreadPool|TablesTest|TableStore|LateWorkItems|AuthApiTest|ForwardingTest|ConnectionsTest|EventSink'
suites+='|WrapperTest|Zvcli'
ZV_COMPILER=clang bash "$root/tools/test.sh" -R "^package\\.|(^|/)($suites)\\."
echo "ci-clang: build and tests: ${SECONDS}s"
SECONDS=0
bash "$root/tools/tidy.sh"
echo "ci-clang: clang-tidy: ${SECONDS}s"
