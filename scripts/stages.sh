# Sourced by the test scripts: `stage NAME` prints how long the stage that
# just ended took, so that each stage's wall time is in the log.
stage_started=$SECONDS
stage() {
  echo "=== stage $1: $((SECONDS - stage_started)) s"
  stage_started=$SECONDS
}
