# The sanitizer options of every run of an instrumented build (the sanitizer
# test suite, the determinism check, the fuzz targets), unless already set.
# Sourced: `. scripts/sanitizer_env.sh`.
#   allocator_may_return_null, max_allocation_size_mb: a refused or oversized
#     allocation returns null to the plug-in, as on a machine out of memory;
#   detect_leaks, abort_on_error, halt_on_error: any finding fails the run.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1:max_allocation_size_mb=4096:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
