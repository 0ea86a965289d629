# Sourced by the build and test scripts: build_jobs and test_jobs, the
# parallel jobs for compiling and for running tests. WIVORA_JOBS sets both;
# by default one per core this process may run on (nproc follows taskset),
# fewer where memory is short: a compile takes up to 1.5 GiB, a test with
# its server and clients (sanitized) about 1 GiB.
cores=$(nproc)
available_mib=$(awk '/^MemAvailable:/ { print int($2 / 1024) }' /proc/meminfo)
jobs_for() {
  local fit=$((available_mib / $1))
  ((fit < 1)) && fit=1
  ((fit > cores)) && fit=$cores
  echo "$fit"
}
build_jobs=${WIVORA_JOBS:-$(jobs_for 1536)}
test_jobs=${WIVORA_JOBS:-$(jobs_for 1024)}
